#include "framework/HostRing.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace nivex {

bool HostRing::Allocate(size_t capacity, unsigned sampleBytes, unsigned rowBytes) {
  if (capacity == 0 || sampleBytes == 0) return false;
  std::unique_ptr<uint8_t[]> fresh(new (std::nothrow) uint8_t[capacity]);
  if (!fresh) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  storage_ = std::move(fresh);
  capacity_ = capacity;
  readPos_ = writePos_ = fill_ = 0;
  sampleBytes_ = sampleBytes;
  rowBytes_ = rowBytes ? rowBytes : sampleBytes;
  readPhase_ = storePhase_ = 0;
  skipLeft_ = 0;
  status_.store(0, std::memory_order_release);
  return true;
}

void HostRing::Release() {
  std::unique_ptr<uint8_t[]> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::move(storage_);
    capacity_ = 0;
  }
}

bool HostRing::HasStorage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return storage_ != nullptr;
}

size_t HostRing::Capacity() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return capacity_;
}

size_t HostRing::Bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fill_;
}

size_t HostRing::Samples() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fill_ / sampleBytes_;
}

void HostRing::StoreLocked(const uint8_t* src, size_t n) {
  const size_t first = std::min(n, capacity_ - writePos_);
  memcpy(storage_.get() + writePos_, src, first);
  if (n > first) memcpy(storage_.get(), src + first, n - first);
  writePos_ = (writePos_ + n) % capacity_;
  fill_ += n;
  storePhase_ = static_cast<unsigned>((storePhase_ + n) % rowBytes_);
}

RingWrite HostRing::Write(const void* data, size_t len) {
  RingWrite w;
  if (len == 0) return w;
  const uint8_t* src = static_cast<const uint8_t*>(data);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!storage_) {
    w.dropped = len;
    return w;
  }
  // The rest of a row whose start was dropped.
  const size_t skip = std::min(len, skipLeft_);
  skipLeft_ -= skip;
  w.dropped = skip;
  src += skip;
  len -= skip;

  const size_t room = capacity_ - fill_;
  size_t n = len;
  if (len > room) {
    // The ring fills up with whole samples; the rest is dropped, and the gap runs on to the same
    // offset of a later row, so it is a whole number of rows long and the samples stored after
    // it keep the channels of their stream positions.
    n = room - room % sampleBytes_;
    const size_t lost = len - n;
    skipLeft_ = (rowBytes_ - lost % rowBytes_) % rowBytes_;
    w.dropped += lost;
  }
  if (n) StoreLocked(src, n);
  w.stored = n;
  if (fill_) status_.fetch_or(kRingData, std::memory_order_acq_rel);
  if (w.dropped) status_.fetch_or(kRingOverflow, std::memory_order_acq_rel);
  return w;
}

size_t HostRing::TakeLocked(uint8_t* dst, size_t bytes) {
  const size_t first = std::min(bytes, capacity_ - readPos_);
  if (dst != nullptr) {  // null: the bytes are discarded
    memcpy(dst, storage_.get() + readPos_, first);
    if (bytes > first) memcpy(dst + first, storage_.get(), bytes - first);
  }
  readPos_ = (readPos_ + bytes) % capacity_;
  fill_ -= bytes;
  readPhase_ = static_cast<unsigned>((readPhase_ + bytes) % rowBytes_);
  if (fill_ == 0) status_.fetch_and(static_cast<uint16_t>(~kRingData), std::memory_order_acq_rel);
  return bytes;
}

size_t HostRing::Read(void* dst, size_t count, size_t width, unsigned* firstChannel) {
  if (count == 0 || width == 0) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (firstChannel) *firstChannel = readPhase_ / sampleBytes_;
  if (!storage_ || fill_ == 0) return 0;
  const size_t elements = std::min(count, fill_ / width);
  if (elements) TakeLocked(static_cast<uint8_t*>(dst), elements * width);
  return elements;
}

size_t HostRing::ReadRows(void* dst, size_t count) {
  if (count == 0) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!storage_) return 0;
  if (readPhase_ != 0) TakeLocked(nullptr, std::min<size_t>(fill_, rowBytes_ - readPhase_));
  const size_t rows = std::min(count, fill_ / rowBytes_);
  if (rows) TakeLocked(static_cast<uint8_t*>(dst), rows * rowBytes_);
  return rows;
}

size_t HostRing::ReadCodes(int32_t* dst, size_t count, unsigned* firstChannel) {
  if (count == 0) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (firstChannel) *firstChannel = readPhase_ / sampleBytes_;
  if (!storage_ || (sampleBytes_ != 2 && sampleBytes_ != 4)) return 0;
  const size_t samples = std::min(count, fill_ / sampleBytes_);
  if (samples == 0) return 0;
  uint8_t* bytes = reinterpret_cast<uint8_t*>(dst);
  TakeLocked(bytes, samples * sampleBytes_);
  if (sampleBytes_ == 2) {
    // Widen in place from the last sample down: slot i (bytes 4i..4i+3) never overlaps the
    // 2-byte samples below i that are still to be read.
    for (size_t i = samples; i-- > 0;) {
      const int16_t v = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
      dst[i] = v;
    }
  } else {
    for (size_t i = 0; i < samples; ++i) {
      const uint8_t* b = bytes + 4 * i;
      dst[i] = static_cast<int32_t>(b[0] | (b[1] << 8) | (b[2] << 16) |
                                    (static_cast<uint32_t>(b[3]) << 24));
    }
  }
  return samples;
}

void HostRing::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  readPos_ = writePos_ = fill_ = 0;
  // The empty ring takes the stream again from the next byte, also one that the writer was
  // still to discard after a drop.
  storePhase_ = static_cast<unsigned>((storePhase_ + rowBytes_ - skipLeft_) % rowBytes_);
  skipLeft_ = 0;
  readPhase_ = storePhase_;
  status_.store(0, std::memory_order_release);
}

}  // namespace nivex

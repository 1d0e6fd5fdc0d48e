#include "framework/SlotRing.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace nivex {

bool SlotRing::Allocate(uint64_t capacity, unsigned width, const unsigned short* slotChannels,
                        int n, uint64_t target) {
  if (width == 0 || slotChannels == nullptr || n < 1 || n > kMaxSlots) return false;
  uint64_t offsets[kMaxSlots] = {}, parts[kMaxSlots] = {};
  uint64_t frame = 0;
  for (int k = 0; k < n; ++k) {
    offsets[k] = frame;
    parts[k] = uint64_t{width} * slotChannels[k];
    frame += parts[k];
  }
  if (frame == 0) return false;
  // Whole samples, and room for a frame at least.
  uint64_t cap = std::max(capacity, frame);
  cap += (width - cap % width) % width;
  if (cap > SIZE_MAX) return false;
  std::unique_ptr<uint8_t[]> fresh(new (std::nothrow) uint8_t[static_cast<size_t>(cap)]);
  if (!fresh) return false;

  std::lock_guard<std::mutex> lock(mutex_);
  storage_ = std::move(fresh);
  capacity_ = cap;
  width_ = width;
  slots_ = n;
  channels_ = static_cast<unsigned>(frame / width);
  frame_ = frame;
  for (int k = 0; k < kMaxSlots; ++k) {
    partOffset_[k] = k < n ? offsets[k] : 0;
    partBytes_[k] = k < n ? parts[k] : 0;
    written_[k] = skip_[k] = 0;
  }
  totalWritten_ = read_ = 0;
  target_ = target;
  status_.store(0, std::memory_order_release);
  return true;
}

void SlotRing::Release() {
  std::unique_ptr<uint8_t[]> old;
  std::lock_guard<std::mutex> lock(mutex_);
  old = std::move(storage_);
  capacity_ = 0;
}

bool SlotRing::HasStorage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return storage_ != nullptr;
}

uint64_t SlotRing::Capacity() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return capacity_;
}

uint64_t SlotRing::FrameOffset(int s, uint64_t j) const {
  return j / partBytes_[s] * frame_ + partOffset_[s] + j % partBytes_[s];
}

uint64_t SlotRing::SlotBytesBefore(int s, uint64_t g) const {
  const uint64_t within = g % frame_;
  const uint64_t inPart =
      within > partOffset_[s] ? std::min(within - partOffset_[s], partBytes_[s]) : 0;
  return g / frame_ * partBytes_[s] + inPart;
}

int SlotRing::Write(int slot, const void* data, size_t len) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!storage_ || slot < 0 || slot >= slots_ || partBytes_[slot] == 0) return kNoColumns;
  const uint8_t* src = static_cast<const uint8_t*>(data);
  uint64_t left = len;
  // The rest of a sample whose beginning was dropped.
  const uint64_t discard = std::min(left, skip_[slot]);
  skip_[slot] -= discard;
  src += discard;
  left -= discard;

  // Slot bytes fit while their frame offsets lie less than the capacity beyond the reader.
  const uint64_t room = SlotBytesBefore(slot, read_ + capacity_) - written_[slot];
  const uint64_t n = std::min(left, room);
  const uint64_t part = partBytes_[slot];
  for (uint64_t done = 0; done < n;) {
    const uint64_t j = written_[slot];
    const uint64_t seg = std::min(n - done, part - j % part);
    const uint64_t at = FrameOffset(slot, j) % capacity_;
    const uint64_t first = std::min(seg, capacity_ - at);
    std::memcpy(storage_.get() + at, src + done, static_cast<size_t>(first));
    if (seg > first)
      std::memcpy(storage_.get(), src + done + first, static_cast<size_t>(seg - first));
    written_[slot] += seg;
    done += seg;
  }
  totalWritten_ += n;
  if (totalWritten_ != read_) status_.fetch_or(kRingData, std::memory_order_acq_rel);
  if (n == left) return kStored;

  // The stored part ends on a sample boundary (capacity, frame and parts are whole samples), so
  // the stream goes on aligned once the dropped bytes make whole samples.
  const uint64_t dropped = left - n;
  skip_[slot] = (width_ - dropped % width_) % width_;
  status_.fetch_or(kRingOverflow, std::memory_order_acq_rel);
  return kOverflow;
}

uint64_t SlotRing::ReadableLocked() const {
  if (!storage_) return 0;
  // The first sample that some slot has not completed yet.
  uint64_t end = UINT64_MAX;
  for (int s = 0; s < slots_; ++s) {
    if (partBytes_[s] == 0) continue;
    end = std::min(end, FrameOffset(s, written_[s] - written_[s] % width_));
  }
  uint64_t samples = (end - read_) / width_;
  if (target_ != 0) {
    const uint64_t done = read_ / width_;
    samples = std::min(samples, target_ > done ? target_ - done : 0);
  }
  return samples;
}

uint64_t SlotRing::Readable() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ReadableLocked();
}

size_t SlotRing::Read(void* dst, size_t count, unsigned* firstChannel) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (firstChannel) *firstChannel = PhaseLocked();
  const uint64_t k = std::min<uint64_t>(count, ReadableLocked());
  if (k == 0) return 0;
  const uint64_t bytes = k * width_;
  const uint64_t at = read_ % capacity_;
  const uint64_t first = std::min(bytes, capacity_ - at);
  uint8_t* out = static_cast<uint8_t*>(dst);
  std::memcpy(out, storage_.get() + at, static_cast<size_t>(first));
  if (bytes > first) std::memcpy(out + first, storage_.get(), static_cast<size_t>(bytes - first));
  read_ += bytes;
  if (totalWritten_ == read_)
    status_.fetch_and(static_cast<uint16_t>(~kRingData), std::memory_order_acq_rel);
  return static_cast<size_t>(k);
}

unsigned SlotRing::Channels() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return channels_;
}

unsigned SlotRing::Width() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return width_;
}

uint64_t SlotRing::TotalRead() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return read_ / width_;
}

unsigned SlotRing::PhaseLocked() const {
  return channels_ ? static_cast<unsigned>(read_ / width_ % channels_) : 0;
}

unsigned SlotRing::ReadPhase() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return PhaseLocked();
}

uint64_t SlotRing::UnreadBytes(int slot) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (slot < 0 || slot >= slots_ || partBytes_[slot] == 0) return 0;
  return written_[slot] - SlotBytesBefore(slot, read_);
}

uint64_t SlotRing::PendingBytes(int slot) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (slot < 0 || slot >= slots_ || partBytes_[slot] == 0) return 0;
  const uint64_t in = written_[slot] % partBytes_[slot];
  return in ? partBytes_[slot] - in : 0;
}

void SlotRingSink::Take(const uint8_t* data, size_t bytes) {
  if (ring_.Write(slot_, data, bytes) == SlotRing::kOverflow && onOverflow_) onOverflow_();
}

}  // namespace nivex

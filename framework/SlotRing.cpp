#include "framework/SlotRing.h"

#include <algorithm>
#include <cstring>
#include <iterator>
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
  // The ranges of dropped frames never grow past their reserve: no allocation on a write.
  std::vector<Rows> dropped;
  try {
    dropped.reserve(kMaxDropped + 1);
  } catch (const std::bad_alloc&) {
    return false;
  }

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
    taken_[k] = unread_[k] = 0;
  }
  dropped_ = std::move(dropped);
  read_ = 0;
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

uint64_t SlotRing::LiveRowLocked(uint64_t row) const {
  const auto it = std::upper_bound(dropped_.begin(), dropped_.end(), row,
                                   [](uint64_t r, const Rows& d) { return r < d.first; });
  // Ranges neither overlap nor touch: the row after one is not dropped.
  return it != dropped_.begin() && row < std::prev(it)->end ? std::prev(it)->end : row;
}

void SlotRing::ForgetStoredLocked(uint64_t first, uint64_t end) {
  // Frames ahead of the reader: every byte a slot took in them up to its position was stored.
  for (int s = 0; s < slots_; ++s) {
    const uint64_t lo = first * partBytes_[s], hi = end * partBytes_[s];
    unread_[s] -= std::clamp(taken_[s], lo, hi) - lo;
  }
}

void SlotRing::DropRowsLocked(uint64_t first, uint64_t end) {
  // Only the frames not dropped before lose what was stored in them.
  uint64_t at = first;
  for (const Rows& d : dropped_) {
    if (d.end <= at) continue;
    if (d.first >= end) break;
    if (d.first > at) ForgetStoredLocked(at, d.first);
    at = std::max(at, d.end);
  }
  if (at < end) ForgetStoredLocked(at, end);

  const auto pos = std::lower_bound(dropped_.begin(), dropped_.end(), first,
                                    [](const Rows& d, uint64_t r) { return d.first < r; });
  dropped_.insert(pos, Rows{first, end});  // within the reserve
  // Ranges that overlap or touch become one.
  size_t out = 0;
  for (size_t i = 1; i < dropped_.size(); ++i) {
    if (dropped_[i].first <= dropped_[out].end)
      dropped_[out].end = std::max(dropped_[out].end, dropped_[i].end);
    else
      dropped_[++out] = dropped_[i];
  }
  dropped_.resize(out + 1);
  if (dropped_.size() > kMaxDropped) {
    Rows& before = dropped_[dropped_.size() - 2];
    ForgetStoredLocked(before.end, dropped_.back().first);
    before.end = dropped_.back().end;
    dropped_.pop_back();
  }
}

void SlotRing::PassDroppedLocked() {
  // The reader stands at a frame's start whenever it reaches a dropped one.
  size_t passed = 0;
  while (passed < dropped_.size() && dropped_[passed].first * frame_ <= read_) {
    read_ = std::max(read_, dropped_[passed].end * frame_);
    ++passed;
  }
  dropped_.erase(dropped_.begin(), dropped_.begin() + static_cast<std::ptrdiff_t>(passed));
}

void SlotRing::UpdateDataBitLocked() {
  bool data = false;
  for (int s = 0; s < slots_; ++s) data = data || unread_[s] != 0;
  if (data)
    status_.fetch_or(kRingData, std::memory_order_acq_rel);
  else
    status_.fetch_and(static_cast<uint16_t>(~kRingData), std::memory_order_acq_rel);
}

int SlotRing::Write(int slot, const void* data, size_t len) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!storage_ || slot < 0 || slot >= slots_ || partBytes_[slot] == 0) return kNoColumns;
  const uint8_t* src = static_cast<const uint8_t*>(data);
  const uint64_t part = partBytes_[slot];
  uint64_t left = len;
  int result = kStored;
  while (left != 0) {
    // One segment at a time, within the slot's part of one frame.
    const uint64_t j = taken_[slot];
    const uint64_t seg = std::min(left, part - j % part);
    const uint64_t g = FrameOffset(slot, j);
    if (g < read_ || LiveRowLocked(j / part) != j / part) {  // a frame dropped before
      taken_[slot] += seg, src += seg, left -= seg;
      continue;
    }
    // Slot bytes fit while their frame offsets lie less than the capacity beyond the reader.
    const uint64_t limit = read_ + capacity_;
    const uint64_t fit = g < limit ? std::min(seg, limit - g) : 0;
    const uint64_t at = g % capacity_;
    const uint64_t first = std::min(fit, capacity_ - at);
    std::memcpy(storage_.get() + at, src, static_cast<size_t>(first));
    if (fit > first) std::memcpy(storage_.get(), src + first, static_cast<size_t>(fit - first));
    taken_[slot] += fit, unread_[slot] += fit, src += fit, left -= fit;
    if (fit < seg) {
      // No room: the rest of the chunk is dropped, and every frame it falls in with it.
      DropRowsLocked(taken_[slot] / part, (taken_[slot] + left - 1) / part + 1);
      taken_[slot] += left;
      left = 0;
      result = kOverflow;
      status_.fetch_or(kRingOverflow, std::memory_order_acq_rel);
    }
  }
  UpdateDataBitLocked();
  return result;
}

uint64_t SlotRing::ReadableLocked() const {
  if (!storage_) return 0;
  // The first sample that some slot has not completed yet, and the run's end.
  // A slot still sending frames the reader passed or dropped owes its part of the next frame.
  uint64_t end = UINT64_MAX;
  for (int s = 0; s < slots_; ++s) {
    if (partBytes_[s] == 0) continue;
    uint64_t j = std::max(taken_[s] - taken_[s] % width_, SlotBytesBefore(s, read_));
    const uint64_t row = LiveRowLocked(j / partBytes_[s]);
    if (row != j / partBytes_[s]) j = row * partBytes_[s];
    end = std::min(end, FrameOffset(s, j));
  }
  if (target_ != 0) end = std::min(end, target_ * width_);
  // Up to there, every frame not dropped.
  uint64_t at = read_, bytes = 0;
  for (const Rows& d : dropped_) {
    if (d.first * frame_ >= end) break;
    if (d.first * frame_ > at) bytes += d.first * frame_ - at;
    at = std::max(at, d.end * frame_);
  }
  if (end > at) bytes += end - at;
  return bytes / width_;
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
  uint8_t* out = static_cast<uint8_t*>(dst);
  for (uint64_t left = k * width_; left != 0;) {
    PassDroppedLocked();
    // Up to the next dropped frame.
    const uint64_t stop = dropped_.empty() ? UINT64_MAX : dropped_.front().first * frame_;
    const uint64_t bytes = std::min(left, stop - read_);
    const uint64_t at = read_ % capacity_;
    const uint64_t first = std::min(bytes, capacity_ - at);
    std::memcpy(out, storage_.get() + at, static_cast<size_t>(first));
    if (bytes > first)
      std::memcpy(out + first, storage_.get(), static_cast<size_t>(bytes - first));
    for (int s = 0; s < slots_; ++s)
      if (partBytes_[s] != 0)
        unread_[s] -= SlotBytesBefore(s, read_ + bytes) - SlotBytesBefore(s, read_);
    read_ += bytes, out += bytes, left -= bytes;
  }
  PassDroppedLocked();
  UpdateDataBitLocked();
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
  return unread_[slot];
}

uint64_t SlotRing::PendingBytes(int slot) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (slot < 0 || slot >= slots_ || partBytes_[slot] == 0) return 0;
  const uint64_t in = taken_[slot] % partBytes_[slot];
  return in ? partBytes_[slot] - in : 0;
}

void SlotRingSink::Take(const uint8_t* data, size_t bytes) {
  if (ring_.Write(slot_, data, bytes) == SlotRing::kOverflow && onOverflow_) onOverflow_();
}

}  // namespace nivex

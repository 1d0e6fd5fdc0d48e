// The shared ring of a slot carrier: every slot streams its channels on a data socket of its
// own, and the ring joins the slots into rows (frames) in which each slot owns its columns. A
// frame holds, for each slot in slot order, that slot's channels (width bytes per sample), so
// it is width x channels bytes long and slot s's part starts width x (channels of the slots
// before s) bytes into it. The ring is a byte stream of frames; positions wrap at the ring's
// capacity, which need not be a whole number of frames.
//
// Every position is kept as an unwrapped 64-bit stream offset: per slot the bytes of its stream
// taken so far, and for the reader the bytes of the frame stream passed so far. Row r of every
// slot's stream belongs to frame r, so the rows of one frame are one instant of every card.
//
// The reader takes samples in frame order, as far as every one of them has been written: up to
// the first sample of any slot that is still missing, and no further than the run's target.
// A slot byte fits while its frame position lies less than the capacity beyond the reader, so
// nothing unread is ever overwritten; what does not fit is dropped with the rest of its chunk,
// the ring sets kRingOverflow, and the write reports it. Every frame that lost a byte is
// dropped whole: the other slots' parts of it are discarded (stored or still to come), and the
// reader passes over it. So every frame read holds the same row of every slot, and every
// sample keeps its channel.
//
// One writer (the device's worker) and any number of readers. One mutex guards every write,
// every size-and-read and the allocation and release; the status word is atomic. Nothing
// sleeps or calls out while holding the mutex.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "framework/HostRing.h"
#include "framework/StreamReceiver.h"

namespace nivex {

class SlotRing {
 public:
  static constexpr int kMaxSlots = 8;
  // What Write returns: stored (perhaps after discarding the rest of a sample dropped before),
  // bytes dropped for lack of room, or nothing stored because there is no storage or the slot
  // has no columns.
  static constexpr int kStored = 0;
  static constexpr int kOverflow = -1;
  static constexpr int kNoColumns = -2;

  SlotRing() = default;
  SlotRing(const SlotRing&) = delete;
  SlotRing& operator=(const SlotRing&) = delete;

  // Sets the layout and allocates the storage, freeing any earlier one, and starts empty:
  // every position 0, status word 0. slotChannels[k] are the channels of slot k (n slots, at
  // most kMaxSlots; 0 for a slot without channels), width the bytes of a sample; target the
  // samples the run is to read (0: no limit). The capacity is rounded up to a whole number of
  // samples and to at least one frame. False, nothing changed, for a layout without channels,
  // width 0, or storage that cannot be had.
  bool Allocate(uint64_t capacity, unsigned width, const unsigned short* slotChannels, int n,
                uint64_t target);
  // Frees the storage. The status word stays, so it still describes the finished run; reads
  // take nothing until the next allocation.
  void Release();
  bool HasStorage() const;
  uint64_t Capacity() const;

  // Worker side: appends len bytes of slot's stream into the slot's columns (bytes of frames
  // dropped before are discarded). Sets kRingData when the ring then holds data. kStored,
  // kOverflow or kNoColumns.
  int Write(int slot, const void* data, size_t len);

  // Reader side: the samples that can be read in frame order now.
  uint64_t Readable() const;
  // Copies up to count of them (width bytes each) to dst; returns the samples copied.
  // firstChannel (may be null) receives the channel (0 .. channels - 1) of the first sample
  // taken, which is the channel of the next sample to read when none is taken. Clears
  // kRingData when nothing written remains unread.
  size_t Read(void* dst, size_t count, unsigned* firstChannel = nullptr);

  uint16_t Status() const { return status_.load(std::memory_order_acquire); }
  void AddStatus(uint16_t bits) { status_.fetch_or(bits, std::memory_order_acq_rel); }
  void DeleteStatus(uint16_t bits) {
    status_.fetch_and(static_cast<uint16_t>(~bits), std::memory_order_acq_rel);
  }

  // ---- observations
  unsigned Channels() const;
  unsigned Width() const;
  uint64_t TotalRead() const;      // samples of the frame stream passed: read or dropped
  unsigned ReadPhase() const;      // channel of the next sample to read
  uint64_t UnreadBytes(int slot) const;   // bytes of the slot stored and not yet read
  uint64_t PendingBytes(int slot) const;  // bytes the slot owes to finish its current part

 private:
  // Rows first .. end - 1 of the frame stream, dropped whole.
  struct Rows {
    uint64_t first, end;
  };
  // Ranges of dropped frames kept at most; beyond, the last two merge (the frames between are
  // dropped too).
  static constexpr size_t kMaxDropped = 4096;

  // Frame-stream offset of byte j of slot s's stream, and the number of slot s's bytes that
  // lie before frame-stream offset g.
  uint64_t FrameOffset(int s, uint64_t j) const;
  uint64_t SlotBytesBefore(int s, uint64_t g) const;
  // The row itself when its frame is not dropped, else the first row after the dropped ones.
  uint64_t LiveRowLocked(uint64_t row) const;
  // Drops frames first .. end - 1: what the slots stored in them is no longer unread.
  void DropRowsLocked(uint64_t first, uint64_t end);
  void ForgetStoredLocked(uint64_t first, uint64_t end);
  // Moves the reader over dropped frames that start where it stands.
  void PassDroppedLocked();
  void UpdateDataBitLocked();
  uint64_t ReadableLocked() const;
  unsigned PhaseLocked() const;

  mutable std::mutex mutex_;
  std::unique_ptr<uint8_t[]> storage_;
  uint64_t capacity_ = 0;
  unsigned width_ = 1;
  int slots_ = 0;
  unsigned channels_ = 0;
  uint64_t frame_ = 0;                     // width x channels
  uint64_t partOffset_[kMaxSlots] = {};    // where slot s's part starts in a frame
  uint64_t partBytes_[kMaxSlots] = {};     // width x slot s's channels
  uint64_t taken_[kMaxSlots] = {};         // slot stream bytes taken: stored or dropped
  uint64_t unread_[kMaxSlots] = {};        // slot bytes stored and not yet read
  std::vector<Rows> dropped_;              // frames ahead of the reader dropped, in order
  uint64_t read_ = 0;                      // frame-stream bytes passed
  uint64_t target_ = 0;                    // samples; 0 = no limit
  std::atomic<uint16_t> status_{0};
};

// One slot's socket feeding the shared ring: the sink of that slot's stream receiver.
// onOverflow, when given, runs on the worker after a write that dropped bytes for lack of room
// (the ring has set its overflow bit), outside the ring's lock.
class SlotRingSink final : public SampleSink {
 public:
  SlotRingSink(SlotRing& ring, int slot, std::function<void()> onOverflow = nullptr)
      : ring_(ring), slot_(slot), onOverflow_(std::move(onOverflow)) {}
  void Take(const uint8_t* data, size_t bytes) override;

 private:
  SlotRing& ring_;
  int slot_;
  std::function<void()> onOverflow_;
};

}  // namespace nivex

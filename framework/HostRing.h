// The host ring of a device: the bytes of the module's sample stream between the worker that
// receives them and the application threads that read them, with the 16-bit status word.
//
// One writer (the device's worker) and any number of readers. One mutex, which lives as long as
// the ring object, guards every check, copy, clear, allocation and release: a reader that races a
// release finds the storage absent and takes nothing. Nothing sleeps while holding it.
//
// The ring keeps its own capacity, taken when the storage is allocated; no other value sizes a
// write. When a chunk does not fit, the ring fills up with what fits and drops the rest together
// with the stream bytes that follow up to the same offset of a later row: every gap is a whole
// number of rows (channels x sample size, or a sync-in frame), so each stored sample keeps the
// channel of its position in the module's stream. Reads take whole elements only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace nivex {

// Status bits that the ring itself sets and clears; the workers OR in the others (scan ended,
// time-outs, target reached ...). The values are those of the public status word.
constexpr uint16_t kRingData = 0x01;      // the ring holds data
constexpr uint16_t kRingOverflow = 0x02;  // bytes of the stream were dropped

// What one write did.
struct RingWrite {
  size_t stored = 0;   // bytes that went into the ring
  size_t dropped = 0;  // bytes discarded: no room, or the rest of a row being skipped
  // The write's result as a ring write reports it: -1 when the chunk was dropped whole, else 0.
  int Result() const { return stored == 0 && dropped != 0 ? -1 : 0; }
};

class HostRing {
 public:
  HostRing() = default;
  HostRing(const HostRing&) = delete;
  HostRing& operator=(const HostRing&) = delete;

  // Allocates capacity bytes, freeing any earlier storage, and starts empty: positions, fill,
  // status word and channel phase 0. sampleBytes is the element of Samples() and of the channel
  // count; rowBytes the stream row (channels x sample size, or a sync-in frame) that drops keep
  // whole (0 = sampleBytes). False when the storage cannot be had (capacity 0 included); then
  // nothing changes.
  bool Allocate(size_t capacity, unsigned sampleBytes, unsigned rowBytes);
  // Frees the storage. Positions, fill and status stay, so the status word and Samples() still
  // describe the finished run; reads take nothing until the next allocation.
  void Release();
  bool HasStorage() const;
  size_t Capacity() const;

  // Worker side: appends len bytes of the stream. Sets kRingData when the ring holds data, and
  // kRingOverflow when anything was dropped (the caller raises its overflow event then).
  RingWrite Write(const void* data, size_t len);

  // Reader side: takes up to count whole elements of width bytes (never part of one), in
  // stream order. Returns the elements taken. Clears kRingData when the ring becomes empty.
  // firstChannel (may be null) receives the channel of the first sample taken: its position in
  // the module's stream modulo the row, counted over every byte any read or clear removed.
  size_t Read(void* dst, size_t count, size_t width, unsigned* firstChannel = nullptr);
  // Takes up to count whole samples as 32-bit codes: 2-byte samples sign-extended, 4-byte
  // samples as the words stand. Needs no scratch memory. 0 for other sample sizes.
  size_t ReadCodes(int32_t* dst, size_t count, unsigned* firstChannel = nullptr);
  // Takes up to count whole rows (the rowBytes of the allocation: a sync-in frame), each from
  // its first byte: what is left of a row whose start a clear or a byte read took is discarded
  // first, and a row not yet complete stays. Returns the rows taken.
  size_t ReadRows(void* dst, size_t count);

  // Empties the ring and zeroes the status word. The channel phase moves to that of the next
  // byte of the stream, so the samples that follow keep their channels.
  void Clear();

  uint16_t Status() const { return status_.load(std::memory_order_acquire); }
  void AddStatus(uint16_t bits) { status_.fetch_or(bits, std::memory_order_acq_rel); }
  // Zeroes the whole status word (as a logger start does); the ring's data stay.
  void ClearStatus() { status_.store(0, std::memory_order_release); }

  size_t Bytes() const;    // bytes held
  size_t Samples() const;  // whole samples held (bytes / sample size)

 private:
  size_t TakeLocked(uint8_t* dst, size_t bytes);
  void StoreLocked(const uint8_t* src, size_t n);

  mutable std::mutex mutex_;
  std::unique_ptr<uint8_t[]> storage_;
  size_t capacity_ = 0;
  size_t readPos_ = 0;
  size_t writePos_ = 0;
  size_t fill_ = 0;
  unsigned sampleBytes_ = 1;
  unsigned rowBytes_ = 1;
  unsigned readPhase_ = 0;   // row offset (bytes) of the byte at the read position
  unsigned storePhase_ = 0;  // row offset of the next byte the writer stores
  size_t skipLeft_ = 0;      // stream bytes still to discard before the next stored byte
  std::atomic<uint16_t> status_{0};
};

}  // namespace nivex

// The host end of one data socket: it waits for the module's sample stream, receives it,
// acknowledges every receive and hands whole samples, in stream order, to a sink (the host ring,
// a log file, a slot's columns of a shared ring).
//
// A receive may end inside a sample. The bytes of that partial sample are carried to the front
// of the next receive, so the sink only ever sees whole samples, the received count and each
// acknowledgement count the samples completed so far (their sum is the whole samples received),
// and near the end of a run with a target the receive asks for exactly the bytes still missing.
//
// The receive buffer is allocated once; a receive allocates nothing.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "framework/HostRing.h"
#include "framework/WorkerSlot.h"

namespace nivex {

// Takes what one receive brought: whole samples (the raw bytes in chunk mode), in stream order.
class SampleSink {
 public:
  virtual void Take(const uint8_t* data, size_t bytes) = 0;
  // The earliest time the sink takes its next chunk (a paced sink); the epoch: at once.
  virtual WorkerSlot::Clock::time_point NextTake() const { return {}; }

 protected:
  ~SampleSink() = default;
};

// The host ring as a sink. After each write it pauses, outside the ring's lock and ended early by
// a stop, until a deadline on the monotonic clock `pace` after the previous write's: the receive
// between two writes and a late wake-up come out of the next pause instead of adding up, so
// back-to-back writes keep to one per pace without drifting. A write that comes more than a
// pace after the previous deadline (the stream paused) starts afresh: its deadline is `pace`
// after itself. onDrop, when given, runs on the worker after a write that dropped bytes (the
// ring has set its overflow bit).
//
// A sink made with pauseBeforeNext leaves the pause to its receive loop instead: a write takes
// no pause, and NextTake tells when the next may come. The loop sleeps until then and takes
// what waits by then, so one wake-up takes it and keeps the pace.
class RingSink final : public SampleSink {
 public:
  RingSink(HostRing& ring, WorkerSlot& worker, std::function<void()> onDrop = nullptr,
           bool pauseBeforeNext = false)
      : ring_(ring), worker_(worker), onDrop_(std::move(onDrop)), deferred_(pauseBeforeNext) {}
  // Sets the pace for the next run; its first write starts afresh.
  void SetPace(std::chrono::microseconds pace) {
    pace_ = pace;
    due_ = WorkerSlot::Clock::time_point();
  }
  void Take(const uint8_t* data, size_t bytes) override { Put(data, bytes); }
  WorkerSlot::Clock::time_point NextTake() const override {
    return deferred_ ? due_ : WorkerSlot::Clock::time_point();
  }
  // Take, telling what the write did.
  RingWrite Put(const uint8_t* data, size_t bytes);

 private:
  HostRing& ring_;
  WorkerSlot& worker_;
  std::function<void()> onDrop_;
  bool deferred_;
  std::chrono::microseconds pace_{1000};
  WorkerSlot::Clock::time_point due_;  // where the last pause ended (or was to end)
};

class StreamReceiver {
 public:
  static constexpr size_t kChunkBytes = 29200;  // the largest receive of a high-speed device
  static constexpr uint32_t kExactBelow = 1460;

  // What a run receives.
  struct Setup {
    unsigned unitBytes = 2;          // sample size: the unit of counting, carry and acknowledgement
    size_t maxReceive = kChunkBytes;  // bytes asked for per receive (at most the buffer)
    uint32_t target = 0;              // samples the run is to receive; 0 = none
    uint32_t exactBelow = kExactBelow;  // fewer samples missing than this: ask exactly for them
    bool chunkStream = false;  // count receives, not samples; hand the raw bytes, ask maxReceive
  };

  // How one receive ended.
  enum class Outcome {
    Data,        // bytes arrived: counted, acknowledged, whole samples handed to the sink
    Again,       // nothing to take after all (EAGAIN, EINTR): wait again
    Closed,      // the module closed the connection (0 bytes on a non-empty request)
    Failed,      // the receive failed (errno set)
    TargetDone,  // the target has been received: nothing is asked for
  };

  // bufferBytes: the receive buffer, at least kChunkBytes (a slot carrier's is larger). receiving
  // (may be null) is set around each socket receive, for the device's busy test.
  explicit StreamReceiver(WorkerSlot& worker, size_t bufferBytes = kChunkBytes,
                          std::atomic<bool>* receiving = nullptr);
  StreamReceiver(const StreamReceiver&) = delete;
  StreamReceiver& operator=(const StreamReceiver&) = delete;

  // Discards what is waiting on fd until no more has come for a moment (bytes still on their
  // way) or until cap has passed. settle: a socket found empty must stay quiet for that moment
  // too (a stop: the module's last bytes may still come); otherwise it counts as quiet at once
  // (a start, after a stop that settled it). closed (may be null) is set when the module has
  // closed the connection (end of stream or a reset); quiet (may be null) tells whether the
  // drain ended on quiet sockets rather than on the cap. Returns the bytes discarded. For the
  // start and the stop, while no worker runs.
  size_t Drain(int fd, std::chrono::milliseconds cap, bool settle = false, bool* closed = nullptr);
  // Drain over the n sockets of fds at once (-1 entries skipped; closed null or n entries), in
  // this receiver's buffer: the moment of quiet is one for all of them.
  size_t DrainAll(const int* fds, size_t n, std::chrono::milliseconds cap, bool settle,
                  bool* closed, bool* quiet = nullptr);

  // Starts a run on fd: the count and the carry are zeroed. sink may be null (nothing kept).
  void Begin(int fd, const Setup& setup, SampleSink* sink);

  // Waits (on the worker) up to ms for the socket to become readable or for a stop.
  WaitResult Wait(long ms) { return worker_.WaitReadable(fd_, ms); }
  // The socket of the run (-1 before one began).
  int Fd() const { return fd_; }
  // When the sink takes its next chunk (NextTake of the sink; the epoch without one).
  WorkerSlot::Clock::time_point NextTake() const {
    return sink_ ? sink_->NextTake() : WorkerSlot::Clock::time_point();
  }

  // One receive: takes what the socket holds, counts it, sends the acknowledgement (4 bytes,
  // little-endian; its result is not examined) and hands the whole samples to the sink. With a
  // target, samples past it are neither counted nor handed on.
  Outcome Receive() { return ReceiveWith(0); }
  // The same for what waits on the socket now, never waiting for more: Again when nothing
  // does.
  Outcome ReceiveWaiting();

  // Samples completed in this run (receives in chunk mode). Any thread.
  uint32_t Received() const { return received_.load(std::memory_order_acquire); }
  // Sets that count back to 0 (any thread; a receive in progress may still add its own).
  void ClearCount() { received_.store(0, std::memory_order_release); }
  // Bytes of a partial sample waiting for the rest.
  size_t Carried() const { return carry_; }

 private:
  Outcome ReceiveWith(int flags);

  WorkerSlot& worker_;
  std::atomic<bool>* receiving_;
  size_t bufferBytes_;
  std::unique_ptr<uint8_t[]> buffer_;
  int fd_ = -1;
  Setup setup_;
  SampleSink* sink_ = nullptr;
  size_t carry_ = 0;
  std::atomic<uint32_t> received_{0};
};

}  // namespace nivex

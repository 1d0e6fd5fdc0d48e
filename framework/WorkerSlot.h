// The one worker thread of a device (scan, sync-in, logger or SD download) with its run flag,
// its wake-up and the waits the worker makes.
//
// A worker is never cancelled. A stop clears the run flag and signals the wake-up; every wait of
// the worker (SleepMs, SleepUntil, WaitReadable) watches the wake-up and returns at once, so the
// worker leaves its loop at its next check and ends. Stop returns as soon as it has ended and
// then joins it. The waits run on the monotonic clock.
//
// Start and Stop are for the device's own threads (they serialise among themselves); the waits,
// Running and EndRun are for the worker.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

struct pollfd;

namespace nivex {

enum class WorkerKind { None, Scan, SyncIn, Logger, Download };

// How a wait of the worker ended.
enum class WaitResult {
  Ready,     // the descriptor is readable (or at end of stream or in error: the receive tells)
  TimedOut,  // the time ran out
  Stopped,   // a stop was requested
  Failed,    // the wait itself failed (errno set; EBADF for a closed or negative descriptor)
};

class WorkerSlot {
 public:
  using Clock = std::chrono::steady_clock;

  WorkerSlot() = default;
  // Stops and joins a worker that still exists.
  ~WorkerSlot();
  WorkerSlot(const WorkerSlot&) = delete;
  WorkerSlot& operator=(const WorkerSlot&) = delete;

  // Runs body on a new thread as a worker of this kind, with the run flag set. Refused (false,
  // nothing changed) for kind None, while a worker exists (also one that has ended by itself
  // and has not been stopped yet), or when the thread or its wake-up cannot be made. A download
  // worker releases the slot itself when it ends: a finished one is joined here first.
  bool Start(WorkerKind kind, std::function<void()> body);

  // Clears the run flag, wakes the worker, waits until it has ended (at most bound) and joins
  // it; the slot is then free. Returns the kind that ran (None when there was no worker).
  // endedInTime (may be null) tells whether the worker ended within the bound; a worker held
  // longer by a bounded step (a command exchange) is still joined, never abandoned. Refused
  // (None) on the worker's own thread.
  WorkerKind Stop(std::chrono::milliseconds bound, bool* endedInTime = nullptr);
  // The first half of Stop: clears the run flag and wakes the worker, without waiting for it
  // (a wait of the worker in progress, a command exchange's included, ends at once). Stop
  // still ends and joins it. Nothing on the worker's own thread or without a worker.
  void RequestStop();

  // A worker exists: running, or ended by itself and not stopped yet.
  bool Busy() const;
  // The kind of the worker that exists (None when there is none).
  WorkerKind Kind() const { return kind_.load(std::memory_order_acquire); }
  // The worker's body has returned.
  bool Finished() const { return finished_.load(std::memory_order_acquire); }

  // ---- worker side
  // The run flag: the worker loops while it is set.
  bool Running() const { return run_.load(std::memory_order_acquire); }
  // The worker ends its own run (target reached, stall, receive error).
  void EndRun() { run_.store(false, std::memory_order_release); }
  // Sleeps ms milliseconds; false at once when a stop is requested.
  bool SleepMs(long ms);
  // Sleeps until deadline; false at once when a stop is requested.
  bool SleepUntil(Clock::time_point deadline);
  // Waits up to ms for fd to become readable, or for a stop. Signals resume the wait with the
  // time left.
  WaitResult WaitReadable(int fd, long ms);
  // Waits up to ms for any of the n (at most 15) descriptors of fds (events POLLIN; revents set on return)
  // to become readable, or for a stop: Ready when at least one has (each one's revents tell
  // which; POLLNVAL for a closed or negative descriptor), Failed only when the wait itself
  // failed.
  WaitResult WaitAnyReadable(struct pollfd* fds, size_t n, long ms);
  // The wake-up of the worker that runs on the calling thread, for a wait of its own (readable
  // once a stop is requested); -1 on any other thread.
  static int CurrentWake();

 private:
  void Run(std::function<void()> body);
  void JoinLocked();
  void WakeLocked();  // run flag cleared, wake-up signalled; control_ held

  std::mutex control_;  // Start and Stop
  std::thread thread_;
  int wake_ = -1;       // eventfd, open while a worker exists
  std::atomic<bool> exists_{false};
  std::atomic<WorkerKind> kind_{WorkerKind::None};
  std::atomic<bool> run_{false};
  std::atomic<bool> finished_{false};
  std::mutex endMutex_;
  std::condition_variable ended_;
};

}  // namespace nivex

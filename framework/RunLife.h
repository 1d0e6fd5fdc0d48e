// The life of a device's acquisition run, the same for every kind of run and every device type:
// what a run needs (RunPlan, a value made by a pure function of the run's kind from the checked
// scan settings) and its start and stop (RunLife).
//
// Start, in this order: refused with 0x18011 while a worker exists; 0 without a code while the
// command socket or a data socket of the plan is closed; the start's drain of the data sockets
// (unless the plan's caller drained them already: DrainForStart), which discards what they
// hold and ends only on a moment of quiet or after the plan's cap (at once on an empty socket
// when the stop before reached quiet), and opens again a connection the module has closed
// (0x17006 when it cannot); the device's sinks opened; the receivers and the run begun under
// the read lock, which the readers of the run's counts take; the worker started. A start that
// fails after the sinks were opened closes them again.
//
// Stop, in this order: the worker stopped (waiting at most the bound of the plan that started
// it, joined all the same), the device's sinks closed, the data sockets drained until the
// module has been quiet for a moment, within what is left of the bound; it returns the failure
// of the run it stopped (0x14102: data lost to a data file), 0 when none or when no worker ran.
//
// Start and Stop run with the device's control lock held; Start also with the command lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

#include "framework/AcquisitionRun.h"
#include "framework/EngineTimings.h"
#include "framework/StreamReceiver.h"
#include "framework/WorkerSlot.h"

namespace nivex {

// The scan parameters a run works with, taken at its start: a change of them during the run
// reaches the next one. Each family's run adds what it needs.
struct RunParams {
  EngineTimings timings;
  uint32_t target = 0;  // N; 0 = continuous
  uint16_t mode = 0;
  uint16_t channels = 1;
  uint16_t gain = 0;
  int rate = 0;
  uint32_t post = 0;
  int64_t silenceMs = 50;  // time-out unit x the silence step
};

// Where a receiver hands its samples; the device has the sink of each.
enum class RunSink { None, Ring, Files };

struct RunPlan {
  static constexpr int kMaxReceivers = AcquisitionRun::kMaxReceivers;
  struct Receiver {
    int socket = 0;  // the device's data socket of this index
    StreamReceiver::Setup stream;
    RunSink sink = RunSink::None;
    uint32_t share = 0;  // its part of the target
    bool active = true;  // false: neither waited on nor counted (a slot without channels)
  };
  WorkerKind kind = WorkerKind::None;
  RunRules rules;
  AcquisitionRun::Setup setup;
  int receivers = 1;
  Receiver receiver[kMaxReceivers];
  bool drainAtStart = true;  // false: the caller drained the sockets already (DrainForStart)
  unsigned int workerFailure = 0;  // the error of a start whose worker cannot be made
  std::chrono::milliseconds drainCap{1000};
  std::chrono::milliseconds stopBound{1000};
};

class RunLife {
 public:
  // What the life needs of its device.
  class Device {
   public:
    virtual int CommandSocket() const = 0;
    virtual int DataSocket(int k) const = 0;
    virtual int DataPort(int k) const = 0;
    // Puts fd in place of data socket k and closes the old one (the command lock held).
    virtual void ReplaceDataSocket(int k, int fd) = 0;
    // The run's ring or data files made ready, with the sink of each receiver (sinks: one per
    // receiver of the plan; false with the error when they cannot be made), and closed after a
    // worker of this kind (None too).
    virtual bool OpenSinks(const RunPlan& plan, SampleSink** sinks) = 0;
    virtual void CloseSinks(WorkerKind ran) = 0;

   protected:
    ~Device() = default;
  };

  RunLife(Device& device, const char* ip, WorkerSlot& worker, AcquisitionRun& run,
          std::recursive_mutex& command, std::mutex& read)
      : device_(device), ip_(ip), worker_(worker), run_(run), command_(command), read_(read) {}
  RunLife(const RunLife&) = delete;
  RunLife& operator=(const RunLife&) = delete;

  // receivers: the device's, one per data socket of the plan; body: the worker's.
  bool Start(const RunPlan& plan, StreamReceiver* const* receivers, std::function<void()> body);
  // The checks and the drain of Start on their own, for a start that must drain before it asks
  // the module for its stream (its plan then has drainAtStart false).
  bool DrainForStart(const RunPlan& plan, StreamReceiver& buffer);
  unsigned int Stop();

 private:
  // No worker exists (else 0x18011) and the command socket and the plan's data sockets are
  // open (else false without a code).
  bool Startable(const RunPlan& plan) const;

  Device& device_;
  const char* ip_;
  WorkerSlot& worker_;
  AcquisitionRun& run_;
  std::recursive_mutex& command_;
  std::mutex& read_;
  // Of the run that started last: its data sockets, its stop bound, and the receiver whose
  // buffer drains them.
  int sockets_[RunPlan::kMaxReceivers] = {};
  int n_ = 0;
  std::chrono::milliseconds stopBound_{1000};
  StreamReceiver* drainer_ = nullptr;
  // The last stop drained its sockets to a moment of quiet: the next start need not wait.
  bool quietAfterStop_ = true;
};

}  // namespace nivex

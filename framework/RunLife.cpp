#include "framework/RunLife.h"

#include <algorithm>

#include "nivex.h"
#include "support/FaultText.h"
#include "support/tcp.h"

namespace nivex {

bool RunLife::Startable(const RunPlan& plan) const {
  if (worker_.Busy()) return Fail(QZ_ERR_DEVICE_BUSY);
  if (device_.CommandSocket() < 0) return false;
  for (int k = 0; k < plan.receivers; ++k)
    if (device_.DataSocket(plan.receiver[k].socket) < 0) return false;
  return true;
}

bool RunLife::DrainForStart(const RunPlan& plan, StreamReceiver& buffer) {
  if (!Startable(plan)) return false;
  const int n = std::clamp(plan.receivers, 0, RunPlan::kMaxReceivers);
  int fds[RunPlan::kMaxReceivers];
  bool closed[RunPlan::kMaxReceivers] = {};
  for (int k = 0; k < n; ++k) fds[k] = device_.DataSocket(plan.receiver[k].socket);
  // Samples left on a data socket by an earlier run never reach this one. After a stop that
  // ran out of its bound while the module was still sending, the bytes still on their way are
  // waited for too.
  buffer.DrainAll(fds, static_cast<size_t>(n), plan.drainCap, !quietAfterStop_, closed);
  quietAfterStop_ = true;
  // A connection the module has closed is opened again as the connect did.
  for (int k = 0; k < n; ++k) {
    if (!closed[k]) continue;
    const int socket = plan.receiver[k].socket;
    const int fd = OpenTcp_DataPort(ip_, device_.DataPort(socket), 1);
    if (fd < 0) return Fail(QZ_ERR_OPEN_DEVICE);
    std::lock_guard<std::recursive_mutex> command(command_);
    device_.ReplaceDataSocket(socket, fd);
  }
  return true;
}

bool RunLife::Start(const RunPlan& plan, StreamReceiver* const* receivers,
                    std::function<void()> body) {
  const int n = std::clamp(plan.receivers, 0, RunPlan::kMaxReceivers);
  if (!(plan.drainAtStart ? DrainForStart(plan, *receivers[0]) : Startable(plan))) return false;
  SampleSink* sinks[RunPlan::kMaxReceivers] = {};
  if (!device_.OpenSinks(plan, sinks)) return false;
  {
    // The readers of the run's counts see the receivers of one run, never a list half made.
    std::lock_guard<std::mutex> read(read_);
    uint32_t shares[RunPlan::kMaxReceivers];
    bool active[RunPlan::kMaxReceivers];
    for (int k = 0; k < n; ++k) {
      const RunPlan::Receiver& r = plan.receiver[k];
      sockets_[k] = r.socket;
      shares[k] = r.share;
      active[k] = r.active;
      receivers[k]->Begin(device_.DataSocket(r.socket), r.stream, sinks[k]);
    }
    n_ = n;
    stopBound_ = plan.stopBound;
    drainer_ = receivers[0];
    run_.Begin(plan.rules, plan.setup, receivers, n, shares, active);
  }
  if (worker_.Start(plan.kind, std::move(body))) return true;
  device_.CloseSinks(plan.kind);
  return plan.workerFailure ? Fail(plan.workerFailure) : false;
}

unsigned int RunLife::Stop() {
  // The worker ends at its next wait; the stop returns as soon as it has (at most the bound,
  // after which it is joined all the same: a worker inside an exchange finishes it first).
  const auto began = WorkerSlot::Clock::now();
  const WorkerKind ran = worker_.Stop(stopBound_);
  device_.CloseSinks(ran);
  if (ran == WorkerKind::None) return 0;
  // A module may send on for a while after "~01Z": what it sends never reaches the next run.
  const auto left = stopBound_ - std::chrono::duration_cast<std::chrono::milliseconds>(
                                     WorkerSlot::Clock::now() - began);
  bool quiet = false;
  if (left.count() > 0 && drainer_ != nullptr) {
    int fds[RunPlan::kMaxReceivers];
    for (int k = 0; k < n_; ++k) fds[k] = device_.DataSocket(sockets_[k]);
    drainer_->DrainAll(fds, static_cast<size_t>(n_), left, true, nullptr, &quiet);
  }
  quietAfterStop_ = quiet;
  return run_.TakeFailure();
}

}  // namespace nivex

// Scan control of the high-speed drivers: the start and stop of a scan, the ring size and the
// time-out unit, and the worker that a start creates.
//
// A start is checked whole before anything changes: a start refused while a worker exists
// leaves the running scan's counts, ring and time-out unit as they are. The module half is
// independent: "~01S" goes out only once the worker runs, "~01Z" before the host half stops.
#include <chrono>
#include <climits>
#include <cmath>

#include "drivers/highspeed/HighSpeedModel.h"
#include "framework/RXMODEL_SyncInFrame.h"
#include "support/FaultText.h"
#include "support/tcp.h"

namespace nivex {

bool HighSpeedModel::TakeScanRun(ScanRun* run) {
  ScanRun r;
  TakeRunParams(&r);
  r.traits = Traits();
  r.rules = r.syncIn ? HighSpeedSyncInRules(r.timings) : HighSpeedScanRules(r.traits, r.timings);
  r.syncIn = syncInFrame != nullptr && (syncInFrame->option & QZ_SYNCIN_ENABLE) != 0;
  // A sync-in scan takes its channel count from the frame's items: only 0 cannot run.
  const int most = r.syncIn ? USHRT_MAX : Channels();
  if (r.channels < 1 || r.channels > most || r.rate < 1) return Fail(QZ_ERR_CHANNEL_RANGE);
  r.rowBytes = r.syncIn ? syncInFrame->GetTotalSize() : r.channels * r.traits.sampleBytes;
  *run = r;
  return true;
}

int HighSpeedModel::PrepareScanLocked() {
  if (cmdSock < 0 || dataSock < 0) return 0;
  ScanRun r;
  if (!TakeScanRun(&r)) return 0;
  acq_.SetModuleCount(0);
  continuous = r.target == 0;
  ringSize = continuous ? kContinuousRingBytes
                        : static_cast<uint64_t>(r.traits.ringPerSample) * r.target;
  timeoutUnit = timeoutUnitOverride >= 1 ? timeoutUnitOverride
                                         : TimeoutUnit(ringSize, r.rate, r.channels);
  return 1;
}

int HighSpeedModel::StopLANQueue() {
  std::lock_guard<std::mutex> control(controlMutex);
  if (dataSock < 0) return 0;
  // The worker leaves an exchange it is in at once, so "~01Z" goes out without waiting
  // for a module that is slow to answer the worker.
  worker.RequestStop();
  StopMagicScan();
  return StopAIScanLocked();
}

int HighSpeedModel::StartAIScanLocked() {
  if (worker.Busy()) return Fail(QZ_ERR_DEVICE_BUSY);
  ScanRun r;
  if (!TakeScanRun(&r)) return 0;
  // Samples left on the data socket by an earlier run never reach this one.
  if (!FreshDataSocket(r.timings.drainCap)) return 0;
  r.silenceMs = SilenceLimitMs(r.timings);
  ResetRunState();
  continuous = r.target == 0;
  SetRun(r);
  if (!LANBuffer_Init()) return 0;
  RestartFilterPhase();  // the software filters walk the new run's channels from channel 0

  StreamReceiver::Setup setup;
  SampleSink* sink = &ringSink_;
  if (r.syncIn) {
    setup.unitBytes = 2;  // the frame stream is counted and acknowledged in 16-bit units
  } else {
    setup.unitBytes = r.traits.sampleBytes;
    setup.chunkStream = r.mode == 8;  // counts receives and keeps no data
    setup.target = setup.chunkStream ? 0 : r.target;
    if (setup.chunkStream) sink = nullptr;
  }
  receiver_.Begin(dataSock, setup, sink);
  ringSink_.SetPace(r.timings.ringPace);
  BeginRun(r);

  const bool started =
      r.syncIn ? worker.Start(WorkerKind::SyncIn, [this] { RunThreadSyncInScan(); })
               : worker.Start(WorkerKind::Scan, [this] { RunThreadAIScan(); });
  if (!started) {
    LANBuffer_Uninit();
    return 0;
  }
  return 1;
}

int HighSpeedModel::StopAIScanLocked() {
  StopWorkerLocked(run_.timings.scanStop);
  return stopFailure_ ? Fail(stopFailure_) : 1;
}

void HighSpeedModel::StopWorkerLocked(std::chrono::milliseconds bound) {
  // The worker ends at its next wait; the stop returns as soon as it has (at most the bound,
  // after which it is joined all the same: a worker inside an exchange finishes it first).
  // Whichever stop ended it, the clean-up is that of the kind that ran.
  const auto began = std::chrono::steady_clock::now();
  const WorkerKind ran = worker.Stop(bound);
  if (ran == WorkerKind::Logger || ran == WorkerKind::Download) {
    logSink_.Close();
  } else {
    LANBuffer_Uninit();
  }
  // A module may send on for a while after "~01Z": what it sends never reaches the next run.
  const auto left = bound - std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - began);
  if (ran != WorkerKind::None && left.count() > 0) receiver_.Drain(dataSock, left, true);
  // A run that lost data to a data file is a failure, which this stop reports.
  stopFailure_ = ran == WorkerKind::None ? 0 : acq_.TakeFailure();
}

bool HighSpeedModel::FreshDataSocket(std::chrono::milliseconds cap) {
  bool closed = false;
  receiver_.Drain(dataSock, cap, false, &closed);
  if (!closed) return true;
  const int fd = OpenTcp_DataPort(IP, static_cast<int>(dataPort), 1);
  if (fd < 0) return Fail(QZ_ERR_OPEN_DEVICE);
  std::lock_guard<std::recursive_mutex> command(exchangeMutex);  // as the connect's sockets
  CloseTcp(dataSock);
  dataSock = fd;
  return true;
}

int HighSpeedModel::StartMagicScan() {
  char reply[kReplySize];
  Exchange(cmdSock, reply, 1000, "~01S");
  return 1;
}

int HighSpeedModel::StopMagicScan() {
  char reply[kReplySize];
  Exchange(cmdSock, reply, 1000, "~01Z");
  return 1;
}

}  // namespace nivex

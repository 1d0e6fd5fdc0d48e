// Scan control of the high-speed drivers: the start and stop of a scan, the ring size and the
// time-out unit, and the worker that a start creates.
//
// A start is checked whole before anything changes: a start refused while a worker exists
// leaves the running scan's counts, ring and time-out unit as they are. The module half is
// independent: "~01S" goes out only once the worker runs, "~01Z" before the host half stops.
#include <algorithm>
#include <climits>
#include <cmath>

#include "drivers/highspeed/HighSpeedModel.h"
#include "framework/RXMODEL_SyncInFrame.h"
#include "support/FaultText.h"

namespace nivex {

bool HighSpeedModel::TakeScanRun(ScanRun* run) {
  ScanRun r;
  r.traits = Traits();
  r.timings = CurrentTimings();
  r.rules = ScanRules(r.traits, r.timings);
  r.syncIn = syncInFrame != nullptr && (syncInFrame->option & QZ_SYNCIN_ENABLE) != 0;
  r.target = targetCount;
  r.mode = triggerMode;
  r.channels = channelCount;
  r.gain = gainCode;
  r.rate = sampleRate;
  r.post = postCount;
  // A sync-in scan takes its channel count from the frame's items: only 0 cannot run.
  const int most = r.syncIn ? USHRT_MAX : Channels();
  if (r.channels < 1 || r.channels > most || r.rate < 1) return Fail(QZ_ERR_CHANNEL_RANGE);
  r.rowBytes = r.syncIn ? syncInFrame->GetTotalSize() : r.channels * r.traits.sampleBytes;
  *run = r;
  return true;
}

int HighSpeedModel::StartLANQueue() {
  std::lock_guard<std::mutex> control(controlMutex);
  {
    std::lock_guard<std::recursive_mutex> command(exchangeMutex);
    if (worker.Busy()) return Fail(QZ_ERR_DEVICE_BUSY);
    if (cmdSock < 0 || dataSock < 0) return 0;
    ScanRun r;
    if (!TakeScanRun(&r)) return 0;
    moduleSampleCount = 0;
    continuous = r.target == 0;
    ringSize = continuous ? kContinuousRingBytes
                          : static_cast<uint64_t>(r.traits.ringPerSample) * r.target;
    timeoutUnit = timeoutUnitOverride >= 1 ? timeoutUnitOverride
                                           : TimeoutUnit(ringSize, r.rate, r.channels);
    if (!StartAIScanLocked()) return 0;
  }
  StartMagicScan();
  return 1;
}

int HighSpeedModel::StopLANQueue() {
  std::lock_guard<std::mutex> control(controlMutex);
  if (dataSock < 0) return 0;
  StopMagicScan();
  StopAIScanLocked();
  return 1;
}

int HighSpeedModel::StartAIScan() {
  std::lock_guard<std::mutex> control(controlMutex);
  std::lock_guard<std::recursive_mutex> command(exchangeMutex);
  return StartAIScanLocked();
}

int HighSpeedModel::StopAIScan() {
  std::lock_guard<std::mutex> control(controlMutex);
  StopAIScanLocked();
  return 1;
}

int HighSpeedModel::StartAIScanLocked() {
  if (worker.Busy()) return Fail(QZ_ERR_DEVICE_BUSY);
  ScanRun r;
  if (!TakeScanRun(&r)) return 0;
  r.silenceMs = static_cast<int64_t>(std::max(timeoutUnit, 1)) * r.timings.silenceStep.count();
  retryCount = 0;
  firstData = false;
  fileClockStarted = false;
  watchdogClock->RestGlobalTicks();
  fileClock->RestGlobalTicks();
  continuous = r.target == 0;
  run_ = r;
  if (!LANBuffer_Init()) return 0;
  RestartFilterPhase();  // the software filters walk the new run's channels from channel 0

  // Samples left on the data socket by an earlier run never reach this one.
  receiver_.Drain(dataSock, r.timings.drainCap);
  StreamReceiver::Setup setup;
  SampleSink* sink = this;
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

  const bool started =
      r.syncIn ? worker.Start(WorkerKind::SyncIn, [this] { RunThreadSyncInScan(); })
               : worker.Start(WorkerKind::Scan, [this] { RunThreadAIScan(); });
  if (!started) {
    LANBuffer_Uninit();
    return 0;
  }
  return 1;
}

void HighSpeedModel::StopAIScanLocked() { StopWorkerLocked(run_.timings.scanStop); }

void HighSpeedModel::StopWorkerLocked(std::chrono::milliseconds bound) {
  // The worker ends at its next wait; the stop returns as soon as it has (at most the bound,
  // after which it is joined all the same: a worker inside an exchange finishes it first).
  // Whichever stop ended it, the clean-up is that of the kind that ran.
  if (worker.Stop(bound) == WorkerKind::Logger) {
    logSink_.Close();
  } else {
    LANBuffer_Uninit();
  }
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

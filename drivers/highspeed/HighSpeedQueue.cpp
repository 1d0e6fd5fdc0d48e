// Scan control of the high-speed drivers: the start and stop of a scan, the ring size and the
// time-out unit, and the worker that a start creates.
//
// A start is checked whole before anything changes: a start refused while a worker exists
// leaves the running scan's counts, ring and time-out unit as they are. The module half is
// independent: "~01S" goes out only once the worker runs, "~01Z" before the host half stops.
#include <chrono>
#include <climits>
#include <cmath>
#include <utility>

#include "drivers/highspeed/HighSpeedModel.h"
#include "framework/RXMODEL_SyncInFrame.h"
#include "support/FaultText.h"
#include "support/tcp.h"

namespace nivex {

bool HighSpeedModel::TakeScanRun(ScanRun* run) {
  ScanRun r;
  TakeRunParams(&r);
  r.traits = Traits();
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
  r.silenceMs = SilenceLimitMs(r.timings);
  continuous = r.target == 0;
  SetRun(r);
  return StartRunLocked(r.syncIn ? HighSpeedSyncInPlan(r) : HighSpeedScanPlan(r));
}

int HighSpeedModel::StartRunLocked(const RunPlan& plan) {
  StreamReceiver* const receivers[] = {&receiver_};
  return life_.Start(plan, receivers, [this] { acq_.Run(); }) ? 1 : 0;
}

int HighSpeedModel::StopAIScanLocked() {
  const unsigned int failure = life_.Stop();
  return failure ? Fail(failure) : 1;
}

// ------------------------------------------------------------------ the run's life

void HighSpeedModel::ReplaceDataSocket(int, int fd) {
  CloseTcp(dataSock);
  dataSock = fd;
}

bool HighSpeedModel::OpenSinks(const RunPlan& plan, SampleSink** sinks) {
  const RunSink sink = plan.receiver[0].sink;
  if (sink == RunSink::Ring) sinks[0] = &ringSink_;
  if (sink == RunSink::Files) sinks[0] = &logSink_;
  ResetRunState();
  if (plan.kind == WorkerKind::Scan || plan.kind == WorkerKind::SyncIn) {
    if (!LANBuffer_Init()) return false;
    RestartFilterPhase();  // the software filters walk the new run's channels from channel 0
    ringSink_.SetPace(run_.timings.ringPace);
    return true;
  }
  LogFileSink::Setup files = LogFiles(run_, run_.mode == 8);
  if (plan.kind == WorkerKind::Download) {  // the first file is named by the recording's date
    files.firstTimeGiven = true;
    files.firstTime = sdDate_;
    files.firstFile = [this] { Add_AD_Buf_Status(QZ_BUF_LOG_STARTED); };
  } else {
    files.firstFile = [this] {
      Add_AD_Buf_Status(QZ_BUF_LOG_STARTED);
      SaveStartSamplingTimetoConfigFile();
    };
  }
  logSink_.Begin(std::move(files));
  return true;
}

void HighSpeedModel::CloseSinks(WorkerKind ran) {
  if (ran == WorkerKind::Logger || ran == WorkerKind::Download) {
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

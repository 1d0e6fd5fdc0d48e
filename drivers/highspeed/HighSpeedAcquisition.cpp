// The workers of the high-speed drivers as rule rows of the device's acquisition run
// (framework/AcquisitionRun.h): the scan (a pre-phase that waits for the module's samples or
// trigger where the run needs it, then the receive loop), the logger, RX5K10's sync-in scan and
// the SD download, and the run's hooks into the device (the status poll "~01N", "~01E", the
// trigger index "~01XN", the data files).
//
// Each run works with the parameters its start took (run_) and receives through the device's
// stream receiver, which writes the ring (or the data files) itself.
#include <algorithm>

#include "drivers/highspeed/HighSpeedModel.h"

namespace nivex {
namespace {

constexpr uint64_t kMostUntriggeredPauseMs = 3000;
// The silence limit of a download when no time-out unit is set: a stalled download ends after
// its retries, some 12 s, whatever the scan rate.
constexpr int64_t kDownloadSilenceMs = 1000;

}  // namespace

// ------------------------------------------------------------------ rule rows

RunRules HighSpeedScanRules(const ScanTraits& t, const EngineTimings& timings) {
  RunRules r;
  r.stallBit = QZ_BUF_SCAN_TIMEOUT;
  r.targetEvent = QZ_EVENT_SCAN_DONE;
  r.endedBit = QZ_BUF_SCAN_ENDED;
  r.hasPrePhase = true;
  r.liveLimit = t.liveLimit;
  r.bufferedModes = t.bufferedModes;
  r.triggerBitModes = (1u << 3) | (1u << 6);
  r.indexAtTriggerModes = 1u << 6;
  r.periodFloorMs = t.periodFloorMs;
  r.pauseAfterPrePhaseMs = t.pauseAfterPrePhaseMs;
  r.dataWaitMs = static_cast<long>(
      (t.longDataWait ? timings.longDataWait : timings.shortDataWait).count());
  r.untimedModes = t.mode1Untimed ? 1u << 1 : 0;
  // Mode 6: a module that triggered before it had N samples ends at the trigger's place.
  r.indexEndModes = 1u << 6;
  r.indexEndBeforeTargetOnly = true;
  return r;
}

RunRules HighSpeedLoggerRules(const ScanTraits& t, const EngineTimings& timings) {
  RunRules r = HighSpeedScanRules(t, timings);
  r.stallBit = QZ_BUF_LOG_TIMEOUT;
  r.targetEvent = QZ_EVENT_LOG_DONE;
  r.endedBit = QZ_BUF_LOG_ENDED;
  // The live limit is the type's (its inputs x 30,000, 64,000 or 42,666 samples a second);
  // trigger mode 7 streams live as well.
  r.bufferedModes = t.bufferedModes & ~(1u << 7);
  r.triggerBitModes = (1u << 3) | (1u << 4) | (1u << 6);
  r.markDataAtTrigger = true;
  r.periodFloorMs = 1;
  r.pauseAfterPrePhaseMs = 1;
  r.untriggeredPauseMs = kMostUntriggeredPauseMs;
  r.untriggeredPauseByTotal = true;
  r.dataWaitMs = static_cast<long>(timings.logDataWait.count());
  r.waitFailureIsReceiveError = false;
  r.untimedModes = 0;  // silence ends a log in every mode
  return r;
}

RunRules HighSpeedSyncInRules(const EngineTimings& timings) {
  RunRules r;
  r.stallBit = QZ_BUF_SCAN_TIMEOUT;
  r.targetEvent = QZ_EVENT_SCAN_DONE;
  r.endedBit = QZ_BUF_SCAN_ENDED;
  r.dataWaitMs = static_cast<long>(timings.longDataWait.count());
  // The frame stream has no count: the first silence with nothing missing ends it.
  r.untargetedModes = ~0u;
  r.silenceEndsOpenRun = true;
  return r;
}

RunRules HighSpeedDownloadRules(const EngineTimings& timings, int64_t silenceMs) {
  RunRules r;
  r.stallBit = QZ_BUF_LOG_TIMEOUT;
  r.targetEvent = QZ_EVENT_LOG_DONE;
  r.endedBit = QZ_BUF_LOG_ENDED;
  r.dataWaitMs = static_cast<long>(
      std::min<int64_t>(timings.logDataWait.count(), std::max<int64_t>(silenceMs, 1)));
  r.waitFailureIsReceiveError = false;
  r.emptyTargetIsDone = true;
  return r;
}

int64_t DownloadSilenceMs(const EngineTimings& timings, int timeoutUnitOverride) {
  return timeoutUnitOverride >= 1
             ? static_cast<int64_t>(timeoutUnitOverride) * timings.silenceStep.count()
             : kDownloadSilenceMs;
}

// ------------------------------------------------------------------ plans

namespace {

// One receiver on the data socket, counting samples of the type's size.
RunPlan OneReceiver(const HighSpeedRun& r, WorkerKind kind, const RunRules& rules, RunSink sink) {
  RunPlan p;
  p.kind = kind;
  p.rules = rules;
  p.setup = AcquisitionRun::Setup::Of(r);
  p.receiver[0].stream.unitBytes = r.traits.sampleBytes;
  p.receiver[0].sink = sink;
  p.receiver[0].share = r.target;
  p.drainCap = r.timings.drainCap;
  p.stopBound = r.timings.scanStop;
  return p;
}

// A scan or a log: mode 8 counts receives (a scan keeps no data, a log the raw bytes).
RunPlan Streamed(RunPlan p, const HighSpeedRun& r) {
  StreamReceiver::Setup& s = p.receiver[0].stream;
  s.chunkStream = r.mode == 8;
  s.target = s.chunkStream ? 0 : r.target;
  return p;
}

}  // namespace

RunPlan HighSpeedScanPlan(const HighSpeedRun& r) {
  return Streamed(OneReceiver(r, WorkerKind::Scan, HighSpeedScanRules(r.traits, r.timings),
                              r.mode == 8 ? RunSink::None : RunSink::Ring),
                  r);
}

RunPlan HighSpeedSyncInPlan(const HighSpeedRun& r) {
  RunPlan p = OneReceiver(r, WorkerKind::SyncIn, HighSpeedSyncInRules(r.timings), RunSink::Ring);
  p.receiver[0].stream.unitBytes = 2;  // the frame stream is counted and acknowledged in 16 bits
  return p;
}

RunPlan HighSpeedLoggerPlan(const HighSpeedRun& r) {
  RunPlan p = Streamed(OneReceiver(r, WorkerKind::Logger,
                                   HighSpeedLoggerRules(r.traits, r.timings), RunSink::Files),
                       r);
  p.stopBound = r.timings.logStop;
  p.workerFailure = QZ_ERR_LOG_FILE_OPEN;
  return p;
}

RunPlan HighSpeedDownloadPlan(const HighSpeedRun& r) {
  // The recording's samples are counted, acknowledged and carried as a scan's; the receive
  // near the end asks for exactly the bytes the recording still owes.
  RunPlan p = OneReceiver(r, WorkerKind::Download,
                          HighSpeedDownloadRules(r.timings, r.silenceMs), RunSink::Files);
  p.receiver[0].stream.target = r.target;
  p.drainAtStart = false;
  return p;
}

// ------------------------------------------------------------------ the workers

int HighSpeedModel::RunThreadAIScan_NSampleRoutine() { return acq_.PrePhase() ? 1 : 0; }

int HighSpeedModel::RunThreadAIScan_ReceiveDATAfromQZDevice() {
  acq_.ReceiveLoop();
  return 1;
}

void HighSpeedModel::RunThreadSyncInScan() { acq_.Run(); }

void HighSpeedModel::RunThread() { acq_.Run(); }

int HighSpeedModel::RunThreadLog_NSampleRoutine() { return RunThreadAIScan_NSampleRoutine(); }

int HighSpeedModel::RunThreadLog_ReceiveDATAfromQZDevice() {
  return RunThreadAIScan_ReceiveDATAfromQZDevice();
}

void HighSpeedModel::RunThreadDownload() { acq_.Run(); }

int HighSpeedModel::RunThreadDownload_ReceiveDATAfromQZDevice() {
  return RunThreadAIScan_ReceiveDATAfromQZDevice();
}

// ------------------------------------------------------------------ the run's hooks

void HighSpeedModel::RaiseEvent(uint16_t event) {
  if (eventMask.load(std::memory_order_acquire) & event) DOCallBackFun(event);
}

bool HighSpeedModel::PollModule(uint32_t* count, uint32_t* status) {
  return GetQZRAMBufferStatus(count, status);
}

bool HighSpeedModel::Finish() {
  if (!run_.files) return true;
  logSink_.Close();  // complete on disk before the status tells that the run has ended
  return !logSink_.Failed();
}

}  // namespace nivex

// Scan control of the slot carriers: the start and stop of a scan, the ring size and the time-out
// unit, and the worker that a start creates, with one stream receiver per slot's data socket.
//
// A start is checked whole before anything changes: a start refused while a worker exists
// leaves the running scan's counts, ring and time-out unit as they are. The module half is
// independent: the start command goes out only once the worker runs, "~01Z" before the host
// half stops.
#include <chrono>
#include <utility>

#include "drivers/slot/SlotCarrier.h"
#include "support/FaultText.h"
#include "support/tcp.h"

namespace nivex {
namespace {

constexpr uint64_t kContinuousRingBytes = 1460000;  // per slot

}  // namespace

bool SlotCarrier::TakeScanRun(SlotScanRun* run) {
  SlotScanRun r;
  TakeRunParams(&r);
  r.traits = ScanTraits();
  r.sampleBytes = SampleBytes();
  r.slots = slotCount;
  unsigned sum = 0;
  for (int k = 0; k < kMaxSlots; ++k) {
    r.slotChannels[k] = k < slotCount ? slotChannelCount[k] : 0;
    r.slotTargets[k] = k < slotCount ? slotTargetCount[k] : 0;
    sum += r.slotChannels[k];
  }
  // Without the scan parameters no slot has channels, and the worker would have nothing to
  // wait on.
  if (!paramsSet || r.channels < 1 || r.channels > ChannelTotal() || sum != r.channels)
    return Fail(QZ_ERR_CHANNEL_RANGE);
  *run = r;
  return true;
}

int SlotCarrier::PrepareScanLocked() {
  if (cmdSock < 0) return 0;
  for (int k = 0; k < slotCount; ++k) {
    if (dataSock[k] < 0) return 0;  // also a slot without channels in this scan
  }
  SlotScanRun r;
  if (!TakeScanRun(&r)) return 0;
  minutesPerFile = 0;
  continuous = r.target == 0;
  ringSize = continuous ? kContinuousRingBytes * static_cast<uint64_t>(slotCount)
                        : uint64_t{r.traits.ringPerSample} * r.target;
  timeoutUnit = r.traits.fixedTimeoutUnit > 0 ? r.traits.fixedTimeoutUnit
                                              : TimeoutUnit(ringSize, r.rate, r.channels);
  return 1;
}

int SlotCarrier::StopLANQueue() {
  std::lock_guard<std::mutex> control(controlMutex);
  // The worker leaves an exchange it is in at once, so "~01Z" goes out without waiting
  // for a module that is slow to answer the worker.
  worker.RequestStop();
  StopMagicScan();
  return StopAIScanLocked();
}

int SlotCarrier::StartAIScanLocked() { return StartWorkerLocked(false); }

int SlotCarrier::StartWorkerLocked(bool log) {
  if (worker.Busy()) return Fail(QZ_ERR_DEVICE_BUSY);
  SlotScanRun r;
  if (!TakeScanRun(&r)) return 0;
  if (log && logFolder[0] == '\0') return Fail(QZ_ERR_LOG_FILE_OPEN);  // no log started it
  r.log = log;
  r.silenceMs = SilenceLimitMs(r.timings);
  continuous = r.target == 0;
  SetRun(r);
  StreamReceiver* receivers[kMaxSlots];
  for (int k = 0; k < kMaxSlots; ++k) receivers[k] = receivers_[k].get();
  return life_.Start(log ? SlotLogPlan(r) : SlotScanPlan(r), receivers, [this] { acq_.Run(); })
             ? 1
             : 0;
}

int SlotCarrier::StopAIScanLocked() {
  const unsigned int failure = life_.Stop();
  return failure ? Fail(failure) : 1;
}

int SlotCarrier::StopLogWorkerLocked() { return StopAIScanLocked(); }

// ------------------------------------------------------------------ the run's life

void SlotCarrier::ReplaceDataSocket(int k, int fd) {
  CloseTcp(dataSock[k]);
  dataSock[k] = fd;
}

bool SlotCarrier::OpenSinks(const RunPlan& plan, SampleSink** sinks) {
  for (int k = 0; k < plan.receivers; ++k) sinks[k] = sinks_[k].get();
  ResetRunState();
  triggerIndex = 0;  // the first data of the run asks the module for it
  if (!LANBuffer_Init()) return false;
  if (run_.log) {
    LogFileSink::Setup files = LogFilesOfRun(run_.channels, SampleBytes());
    files.decimals = scanlog::kTextDecimalsSlot;
    files.firstFile = [this] {
      Add_AD_Buf_Status(QZ_BUF_LOG_STARTED);
      SaveStartSamplingTimetoConfigFile();
    };
    logSink_.Begin(std::move(files));
  }
  return true;
}

void SlotCarrier::CloseSinks(WorkerKind) {
  // Whichever stop ends a log, its data file is left closed and complete.
  logSink_.Close();
  LANBuffer_Uninit();
}

}  // namespace nivex

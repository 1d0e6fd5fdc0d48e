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
  // Samples left on a data socket by an earlier run never reach this one; a connection the
  // module has closed is opened again as the connect did.
  bool closed[kMaxSlots] = {};
  receivers_[0]->DrainAll(dataSock, static_cast<size_t>(r.slots), r.timings.drainCap, false,
                          closed);
  for (int k = 0; k < r.slots; ++k) {
    if (!closed[k]) continue;
    const int fd = OpenTcp_DataPort(IP, static_cast<int>(SlotDataPort(k)), 1);
    if (fd < 0) return Fail(QZ_ERR_OPEN_DEVICE);
    CloseTcp(dataSock[k]);
    dataSock[k] = fd;
  }
  r.silenceMs = SilenceLimitMs(r.timings);
  ResetRunState();
  triggerIndex = 0;  // the first data of the run asks the module for it
  continuous = r.target == 0;
  SetRun(r);
  if (!LANBuffer_Init()) return 0;

  const unsigned width = SampleBytes();
  for (int k = 0; k < r.slots; ++k) {
    StreamReceiver::Setup setup;
    setup.unitBytes = width;
    setup.maxReceive = r.traits.receiveBytes ? r.traits.receiveBytes
                                             : size_t{width} * r.slotChannels[k];
    setup.target = r.slotTargets[k];
    setup.exactBelow = r.traits.exactBelow ? r.traits.exactBelow : r.slotChannels[k];
    receivers_[k]->Begin(dataSock[k], setup, sinks_[k].get());
  }

  if (log) {
    LogFileSink::Setup files = LogFilesOfRun(r.channels, width);
    files.decimals = scanlog::kTextDecimalsSlot;
    files.firstFile = [this] {
      Add_AD_Buf_Status(QZ_BUF_LOG_STARTED);
      SaveStartSamplingTimetoConfigFile();
    };
    logSink_.Begin(std::move(files));
  }
  BeginRun(r);
  const bool started =
      log ? worker.Start(WorkerKind::Logger, [this] { RunThread(); })
          : worker.Start(WorkerKind::Scan, [this] { RunThreadAIScan(); });
  if (!started) {
    LANBuffer_Uninit();
    return log ? Fail(QZ_ERR_LOG_FILE_OPEN) : 0;
  }
  return 1;
}

int SlotCarrier::StopAIScanLocked() {
  // The worker ends at its next wait; the stop returns as soon as it has (at most the bound,
  // after which it is joined all the same: a worker inside an exchange finishes it first).
  // Whichever stop ends a log, its data file is left closed and complete.
  const std::chrono::milliseconds bound = run_.log ? run_.timings.logStop : run_.timings.scanStop;
  const auto began = std::chrono::steady_clock::now();
  const WorkerKind ran = worker.Stop(bound);
  logSink_.Close();
  LANBuffer_Uninit();
  // A module may send on for a while after "~01Z": what it sends never reaches the next run.
  const auto left = bound - std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - began);
  if (ran != WorkerKind::None && left.count() > 0)
    receivers_[0]->DrainAll(dataSock, static_cast<size_t>(slotCount), left, true, nullptr);
  // A log that lost data to a data file is a failure, which this stop reports.
  stopFailure_ = ran == WorkerKind::None ? 0 : acq_.TakeFailure();
  return stopFailure_ ? Fail(stopFailure_) : 1;
}

int SlotCarrier::StopLogWorkerLocked() { return StopAIScanLocked(); }

}  // namespace nivex

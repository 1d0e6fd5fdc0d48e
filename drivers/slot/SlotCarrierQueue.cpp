// Scan control of the slot carriers: the start and stop of a scan, the ring size and the time-out
// unit, and the worker that a start creates, with one stream receiver per slot's data socket.
//
// A start is checked whole before anything changes: a start refused while a worker exists
// leaves the running scan's counts, ring and time-out unit as they are. The module half is
// independent: the start command goes out only once the worker runs, "~01Z" before the host
// half stops.
#include <algorithm>

#include "drivers/slot/SlotCarrier.h"
#include "support/FaultText.h"

namespace nivex {
namespace {

constexpr uint64_t kContinuousRingBytes = 1460000;  // per slot

}  // namespace

bool SlotCarrier::TakeScanRun(SlotScanRun* run) {
  SlotScanRun r;
  r.traits = ScanTraits();
  r.timings = CurrentTimings();
  r.target = targetCount;
  r.mode = triggerMode;
  r.channels = channelCount;
  r.gain = gainCode;
  r.rate = sampleRate;
  r.post = postCount;
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

int SlotCarrier::StartLANQueue() {
  std::lock_guard<std::mutex> control(controlMutex);
  {
    std::lock_guard<std::recursive_mutex> command(exchangeMutex);
    if (worker.Busy()) return Fail(QZ_ERR_DEVICE_BUSY);
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
    if (!StartAIScanLocked()) return 0;
  }
  StartMagicScan();
  return 1;
}

int SlotCarrier::StopLANQueue() {
  std::lock_guard<std::mutex> control(controlMutex);
  StopMagicScan();
  StopAIScanLocked();
  return 1;
}

int SlotCarrier::StartAIScan() {
  std::lock_guard<std::mutex> control(controlMutex);
  std::lock_guard<std::recursive_mutex> command(exchangeMutex);
  return StartAIScanLocked();
}

int SlotCarrier::StopAIScan() {
  std::lock_guard<std::mutex> control(controlMutex);
  StopAIScanLocked();
  return 1;
}

int SlotCarrier::StartAIScanLocked() {
  if (worker.Busy()) return Fail(QZ_ERR_DEVICE_BUSY);
  SlotScanRun r;
  if (!TakeScanRun(&r)) return 0;
  r.silenceMs = static_cast<int64_t>(std::max(timeoutUnit, 1)) * r.timings.silenceStep.count();
  retryCount_ = 0;
  firstData_ = false;
  fileClockStarted_ = false;
  triggerIndex = 0;  // the first data of the run asks the module for it
  watchdogClock->RestGlobalTicks();
  fileClock->RestGlobalTicks();
  continuous = r.target == 0;
  run_ = r;
  if (!LANBuffer_Init()) return 0;

  const unsigned width = SampleBytes();
  for (int k = 0; k < r.slots; ++k) {
    // Samples left on a data socket by an earlier run never reach this one.
    receivers_[k]->Drain(dataSock[k], r.timings.drainCap);
    StreamReceiver::Setup setup;
    setup.unitBytes = width;
    setup.maxReceive = r.traits.receiveBytes ? r.traits.receiveBytes
                                             : size_t{width} * r.slotChannels[k];
    setup.target = r.slotTargets[k];
    setup.exactBelow = r.traits.exactBelow ? r.traits.exactBelow : r.slotChannels[k];
    receivers_[k]->Begin(dataSock[k], setup, sinks_[k].get());
  }

  if (!worker.Start(WorkerKind::Scan, [this] { RunThreadAIScan(); })) {
    LANBuffer_Uninit();
    return 0;
  }
  return 1;
}

void SlotCarrier::StopAIScanLocked() {
  // The worker ends at its next wait; the stop returns as soon as it has (at most the bound,
  // after which it is joined all the same: a worker inside an exchange finishes it first).
  worker.Stop(run_.timings.scanStop);
  LANBuffer_Uninit();
}

}  // namespace nivex

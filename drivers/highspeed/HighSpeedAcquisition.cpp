// The workers of the high-speed drivers: the acquisition worker (the pre-phase that waits for
// the module's samples or trigger, then the receive loop) and RX5K10's sync-in worker.
//
// They run with the parameters their start took (run_), receive through the device's stream
// receiver (whole samples, one acknowledgement per receive, the partial sample carried) and
// end by themselves on the target, a stall or a receive error, or at a stop: every wait and
// pause of theirs ends at once when the run flag is cleared by a stop.
#include <algorithm>
#include <cerrno>

#include "drivers/highspeed/HighSpeedModel.h"
#include "support/FaultText.h"

namespace nivex {
namespace {

constexpr int kPollRetries = 3;    // failed "~01N" polls before the pre-phase stalls
constexpr int kSilenceRetries = 11;  // expiries of the silence limit before a stall
constexpr uint64_t kLongestPause = 5000;

}  // namespace

// ------------------------------------------------------------------ shared steps

HighSpeedModel::WorkerRules HighSpeedModel::ScanRules(const ScanTraits& t,
                                                      const EngineTimings& timings) {
  WorkerRules r;
  r.stallBit = QZ_BUF_SCAN_TIMEOUT;
  r.targetEvent = QZ_EVENT_SCAN_DONE;
  r.liveLimit = t.liveLimit;
  r.bufferedModes = t.bufferedModes;
  r.triggerBitModes = (1u << 3) | (1u << 6);
  r.periodFloorMs = t.periodFloorMs;
  r.pauseAfterPrePhaseMs = t.pauseAfterPrePhaseMs;
  r.dataWaitMs = static_cast<long>(
      (t.longDataWait ? timings.longDataWait : timings.shortDataWait).count());
  r.mode1Untimed = t.mode1Untimed;
  return r;
}

void HighSpeedModel::Pause(uint64_t ms) {
  if (worker.Running() && ms > 0) worker.SleepMs(static_cast<long>(std::min(ms, kLongestPause)));
}

void HighSpeedModel::Notify(unsigned short event) {
  if (eventMask.load(std::memory_order_acquire) & event) DOCallBackFun(event);
}

void HighSpeedModel::Stall() {
  worker.EndRun();
  Notify(QZ_EVENT_TIMEOUT);
  Add_AD_Buf_Status(run_.rules.stallBit);
}

void HighSpeedModel::TargetReached() {
  Notify(run_.rules.targetEvent);
  worker.EndRun();
  Add_AD_Buf_Status(QZ_BUF_TARGET_REACHED);
}

void HighSpeedModel::SilenceExpired(bool mayEnd) {
  if (watchdogClock->GetGlobalTicks() < static_cast<double>(run_.silenceMs)) return;
  if (mayEnd && receiver_.Received() >= run_.target) {
    worker.EndRun();  // the run is complete: it ends without a bit
  } else if (retryCount < kSilenceRetries) {
    watchdogClock->RestGlobalTicks();
    ++retryCount;
    Pause(1);
  } else {
    Stall();
  }
}

void HighSpeedModel::Take(const uint8_t* data, size_t bytes) {
  AD_WriteData(reinterpret_cast<const char*>(data), static_cast<unsigned int>(bytes));
}

// ------------------------------------------------------------------ acquisition worker

void HighSpeedModel::RunThreadAIScan() {
  if (PrePhaseRuns()) RunThreadAIScan_NSampleRoutine();
  RunThreadAIScan_ReceiveDATAfromQZDevice();
  Add_AD_Buf_Status(QZ_BUF_SCAN_ENDED);
}

bool HighSpeedModel::PrePhaseRuns() const {
  const int64_t perSecond = static_cast<int64_t>(run_.rate) * run_.channels;
  const bool bufferedMode = run_.mode < 32 && ((run_.rules.bufferedModes >> run_.mode) & 1u);
  return perSecond > run_.rules.liveLimit || bufferedMode;
}

int HighSpeedModel::RunThreadAIScan_NSampleRoutine() {
  // Milliseconds per sample, and the whole target's worth, before the type's floor.
  uint32_t period = static_cast<uint32_t>(1000.0f / static_cast<float>(run_.rate));
  const uint64_t total = static_cast<uint64_t>(run_.target) * period;
  period = std::max(period, run_.rules.periodFloorMs);
  uint32_t lastCount = 0;
  while (worker.Running()) {
    uint32_t count = 0, status = 0;
    if (GetQZRAMBufferStatus(&count, &status)) {
      moduleSampleCount = count;
      if (DAQProcess_CheckTriggerStatus(status)) {
        watchdogClock->RestGlobalTicks();
        retryCount = 0;
        Pause(static_cast<uint64_t>(run_.rules.pauseAfterPrePhaseMs));
        return 1;
      }
    } else if (retryCount > kPollRetries) {
      const int err = errno;
      Stall();
      _SetLastError(static_cast<unsigned int>(err));
    } else {
      Pause(1);
      ++retryCount;
    }
    lastCount = DAQProcess_CheckTriggerTimeout(period, total, lastCount);
  }
  return 0;
}

bool HighSpeedModel::DAQProcess_CheckTriggerStatus(uint32_t status) {
  if (run_.mode < 32 && ((run_.rules.triggerBitModes >> run_.mode) & 1u)) {
    if ((status & 1u) == 0) return false;  // the trigger has not come
    if (run_.rules.markDataAtTrigger) Add_AD_Buf_Status(QZ_BUF_DATA);
    if (run_.mode == 6) GetAIAnalogTriggerIdx();
  } else if (moduleSampleCount < run_.target) {
    return false;
  }
  return TransmitData() == 1;
}

uint32_t HighSpeedModel::DAQProcess_CheckTriggerTimeout(uint32_t period, uint64_t total,
                                                        uint32_t lastCount) {
  const uint32_t count = moduleSampleCount;
  const bool changed = count != lastCount;
  const double elapsed = watchdogClock->GetGlobalTicks();
  // Every way round pauses at least 1 ms before the next poll.
  if (run_.mode == 0 || run_.mode == 8) {
    if (changed) {
      Pause(1);
      return count;
    }
    if (elapsed < static_cast<double>(run_.silenceMs)) {
      Pause(std::max<uint64_t>(total, 1));
      return count;
    }
    if (count >= run_.target) {
      worker.EndRun();
      return count;
    }
  } else if ((run_.mode == 2 || run_.mode == 5) && count == 0) {
    // Waiting for the trigger: no time-out.
    const uint64_t most = run_.rules.untriggeredPauseMs;
    Pause(run_.rules.untriggeredPauseByTotal ? std::clamp<uint64_t>(total, 1, most) : most);
    return count;
  } else {
    if (elapsed < static_cast<double>(period) * 2000.0) {
      Pause(total <= kLongestPause ? std::max<uint64_t>(total, 1) : 2500);
      return count;
    }
    if (changed) {
      Pause(1);
      watchdogClock->RestGlobalTicks();
      return count;
    }
  }
  if (retryCount < kSilenceRetries) {
    watchdogClock->RestGlobalTicks();
    ++retryCount;
    Pause(1);
  } else {
    Stall();
  }
  return count;
}

int HighSpeedModel::RunThreadAIScan_ReceiveDATAfromQZDevice() {
  while (worker.Running()) {
    const WaitResult ready = receiver_.Wait(run_.rules.dataWaitMs);
    if (ready == WaitResult::Stopped) break;
    if (ready == WaitResult::TimedOut) {
      DAQProcess_ReceiveDataTimeout();
      continue;
    }
    if (ready == WaitResult::Failed && !run_.rules.waitFailureIsReceiveError) {
      worker.EndRun();
      break;
    }
    // A wait that failed (a closed descriptor) is a receive error, not a silence.
    const StreamReceiver::Outcome got = ready == WaitResult::Ready
                                            ? DAQProcess_ReceiveData()
                                            : StreamReceiver::Outcome::Failed;
    if (got == StreamReceiver::Outcome::Again) continue;
    if (got == StreamReceiver::Outcome::TargetDone) {
      TargetReached();  // nothing is missing: a mode-6 run past its target
      break;
    }
    if (got != StreamReceiver::Outcome::Data) {
      Notify(QZ_EVENT_RECV_ERROR);
      worker.EndRun();
      break;
    }
    if (!DAQProcess_AfterReceiveData()) break;  // the data could not be kept: the run ends
    if (run_.target != 0 && DAQProcess_ReachNSample()) break;
  }
  return 1;
}

StreamReceiver::Outcome HighSpeedModel::DAQProcess_ReceiveData() {
  // Receives what is there (near the target exactly the bytes still missing), counts the
  // whole samples, acknowledges them and hands them to the ring (AD_WriteData).
  return receiver_.Receive();
}

int HighSpeedModel::DAQProcess_AfterReceiveData() {
  if (!fileClockStarted) {
    fileClockStarted = true;
    fileClock->RestGlobalTicks();
  }
  firstData = true;
  watchdogClock->RestGlobalTicks();
  if (worker.Kind() == WorkerKind::Logger && logSink_.Failed()) {
    worker.EndRun();
    return 0;
  }
  return 1;
}

void HighSpeedModel::DAQProcess_ReceiveDataTimeout() {
  if (run_.rules.mode1Untimed && run_.mode == 1) return;
  SilenceExpired(run_.target != 0);
}

bool HighSpeedModel::DAQProcess_ReachNSample() {
  const uint32_t received = receiver_.Received();
  if (run_.mode == 6 && moduleSampleCount < run_.target) {
    // The module triggered before it had N samples: the run ends at the trigger's place plus
    // the post-trigger count.
    if (static_cast<uint64_t>(received) >= static_cast<uint64_t>(triggerIndex) + run_.post)
      TargetReached();
    return false;
  }
  if (received < run_.target) return false;
  TargetReached();
  return true;
}

// ------------------------------------------------------------------ sync-in worker

void HighSpeedModel::RunThreadSyncInScan() {
  const long waitMs = static_cast<long>(run_.timings.longDataWait.count());
  while (worker.Running()) {
    const WaitResult ready = receiver_.Wait(waitMs);
    if (ready == WaitResult::Stopped) break;
    if (ready == WaitResult::TimedOut) {
      // With the target 0 that the sync-in setup sets, the first silence ends the run.
      SilenceExpired(true);
      continue;
    }
    const StreamReceiver::Outcome got =
        ready == WaitResult::Ready ? receiver_.Receive() : StreamReceiver::Outcome::Failed;
    if (got == StreamReceiver::Outcome::Again) continue;
    if (got != StreamReceiver::Outcome::Data) {
      Notify(QZ_EVENT_RECV_ERROR);
      worker.EndRun();
      break;
    }
    DAQProcess_AfterReceiveData();
  }
  Add_AD_Buf_Status(QZ_BUF_SCAN_ENDED);
}

}  // namespace nivex

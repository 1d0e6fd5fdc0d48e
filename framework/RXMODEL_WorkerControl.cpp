// The worker's start and stop as every device type shares them: the locks in their order
// (control, then command) around each type's hooks, and the state a run starts from.
#include <algorithm>

#include "framework/RXMODEL_Class.h"

namespace nivex {

int MODEL::StartLANQueue() {
  std::lock_guard<std::mutex> control(controlMutex);
  {
    std::lock_guard<std::recursive_mutex> command(exchangeMutex);
    if (worker.Busy()) return Fail(QZ_ERR_DEVICE_BUSY);
    if (!PrepareScanLocked() || !StartAIScanLocked()) return 0;
  }
  StartMagicScan();
  return 1;
}

int MODEL::StartAIScan() {
  std::lock_guard<std::mutex> control(controlMutex);
  std::lock_guard<std::recursive_mutex> command(exchangeMutex);
  return StartAIScanLocked();
}

int MODEL::StopAIScan() {
  std::lock_guard<std::mutex> control(controlMutex);
  return StopAIScanLocked();
}

int MODEL::Start() {
  std::lock_guard<std::mutex> control(controlMutex);
  std::lock_guard<std::recursive_mutex> command(exchangeMutex);
  return StartLogWorkerLocked();
}

int MODEL::Stop() {
  // Returns once the worker has ended (at most the type's bound).
  std::lock_guard<std::mutex> control(controlMutex);
  return StopLogWorkerLocked();
}

int MODEL::PrepareScanLocked() { return NotImplemented(); }
int MODEL::StartAIScanLocked() { return NotImplemented(); }
int MODEL::StopAIScanLocked() { return NotImplemented(); }
int MODEL::StartLogWorkerLocked() { return NotImplemented(); }
int MODEL::StopLogWorkerLocked() { return NotImplemented(); }

void MODEL::TakeRunParams(RunParams* run) const {
  run->timings = CurrentTimings();
  run->target = targetCount;
  run->mode = triggerMode;
  run->channels = channelCount;
  run->gain = gainCode;
  run->rate = sampleRate;
  run->post = postCount;
}

int64_t MODEL::SilenceLimitMs(const EngineTimings& timings) const {
  return static_cast<int64_t>(std::max(timeoutUnit, 1)) * timings.silenceStep.count();
}

void MODEL::ResetRunState() {
  watchdogClock->RestGlobalTicks();
  fileClock->RestGlobalTicks();
}

}  // namespace nivex

// The pre-phase of an acquisition run: a module that buffers its samples (a rate above its live
// limit, or a trigger mode that buffers) is polled for its status until it has the target or
// its trigger, then asked to send what it holds. Failed polls and a module whose count stops
// moving use up the run's retries; after the last one the run stalls.
#include <cerrno>

#include <algorithm>

#include "framework/AcquisitionRun.h"
#include "nivex.h"
#include "support/FaultText.h"

namespace nivex {

bool AcquisitionRun::PrePhaseDue() const {
  if (!rules_.hasPrePhase) return false;
  const int64_t perSecond = static_cast<int64_t>(setup_.rate) * setup_.channels;
  return perSecond > rules_.liveLimit || InModes(rules_.bufferedModes, setup_.mode);
}

double AcquisitionRun::PhaseElapsedMs() const {
  return std::chrono::duration<double, std::milli>(Clock::now() - phaseSince_).count();
}

bool AcquisitionRun::PrePhase() {
  // Milliseconds per sample, and the whole target's worth, before the floor of the rules.
  uint32_t period = static_cast<uint32_t>(1000.0f / static_cast<float>(setup_.rate));
  const uint64_t total = static_cast<uint64_t>(setup_.target) * period;
  period = std::max(period, rules_.periodFloorMs);
  uint32_t lastCount = 0;
  while (worker_.Running()) {
    uint32_t count = 0, status = 0;
    if (host_.PollModule(&count, &status)) {
      SetModuleCount(count);
      if (TriggerStatus(status)) {
        phaseSince_ = Clock::now();
        retries_ = 0;
        Pause(static_cast<uint64_t>(rules_.pauseAfterPrePhaseMs));
        return true;
      }
    } else if (retries_ > kPollRetries) {
      const int err = errno;
      Stall();
      _SetLastError(static_cast<unsigned int>(err));
    } else {
      Pause(1);
      ++retries_;
    }
    lastCount = TriggerTimeout(period, total, lastCount);
  }
  return false;
}

bool AcquisitionRun::TriggerStatus(uint32_t status) {
  if (InModes(rules_.triggerBitModes, setup_.mode)) {
    if ((status & 1u) == 0) return false;  // the trigger has not come
    if (rules_.markDataAtTrigger) host_.AddStatus(QZ_BUF_DATA);
    if (InModes(rules_.indexAtTriggerModes, setup_.mode)) host_.AskTriggerIndex();
  } else if (ModuleCount() < setup_.target) {
    return false;
  }
  return host_.StartTransfer();
}

uint32_t AcquisitionRun::TriggerTimeout(uint32_t period, uint64_t total, uint32_t lastCount) {
  constexpr uint64_t kLongestPause = 5000;
  const uint32_t count = ModuleCount();
  const bool changed = count != lastCount;
  const double elapsed = PhaseElapsedMs();
  const unsigned mode = setup_.mode;
  // Every way round pauses at least 1 ms before the next poll.
  if (mode == 0 || mode == 8) {
    if (changed) {
      Pause(1);
      return count;
    }
    if (elapsed < static_cast<double>(setup_.silenceMs)) {
      Pause(std::max<uint64_t>(total, 1));
      return count;
    }
    if (count >= setup_.target) {
      worker_.EndRun();
      return count;
    }
  } else if ((mode == 2 || mode == 5) && count == 0) {
    // Waiting for the trigger: no time-out.
    const uint64_t most = rules_.untriggeredPauseMs;
    Pause(rules_.untriggeredPauseByTotal ? std::clamp<uint64_t>(total, 1, most) : most);
    return count;
  } else {
    if (elapsed < static_cast<double>(period) * 2000.0) {
      Pause(total <= kLongestPause ? std::max<uint64_t>(total, 1) : 2500);
      return count;
    }
    if (changed) {
      Pause(1);
      phaseSince_ = Clock::now();
      return count;
    }
  }
  if (retries_ < kSilenceRetries) {
    phaseSince_ = Clock::now();
    ++retries_;
    Pause(1);
  } else {
    Stall();
  }
  return count;
}

}  // namespace nivex

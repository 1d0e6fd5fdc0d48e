// The receive loop of an acquisition run and its outcome; the pre-phase is in
// AcquisitionPrePhase.cpp.
//
// One wait covers every receiver still to be served, so a silent one holds up none of the
// others. Each keeps its own turn all the same: a receiver that has brought nothing for a whole
// data wait takes the silence step, as if it had been waited on alone. A paced sink (the host
// ring) takes at most one write per pace: when the socket is readable before the sink's turn,
// the worker sleeps until then and takes everything that came meanwhile in one receive. Once
// bytes have waited at a turn, the worker sleeps straight to the next turn and takes what waits
// then, without a wait for readiness first, so a module that sends as often as the pace costs
// one wake-up per receive; only when nothing waited at the turn does it wait for the bytes.
#include "framework/AcquisitionRun.h"

#include <poll.h>

#include <algorithm>
#include <cstdio>

#include "nivex.h"
#include "support/Chronum.h"

namespace nivex {

void AcquisitionRun::Begin(const RunRules& rules, const Setup& setup,
                           StreamReceiver* const* receivers, int n, const uint32_t* shares,
                           const bool* active) {
  rules_ = rules;
  setup_ = setup;
  n_ = std::clamp(n, 0, kMaxReceivers);
  for (int k = 0; k < n_; ++k) {
    receivers_[k] = receivers[k];
    shares_[k] = shares ? shares[k] : setup.target;
    active_[k] = active ? active[k] : true;
  }
  retries_ = 0;
  firstData_ = false;
  targetReached_ = false;
  failure_.store(0, std::memory_order_release);
  phaseSince_ = Clock::now();
}

void AcquisitionRun::Run() {
  if (PrePhaseDue()) PrePhase();
  ReceiveLoop();
  // Complete on disk before the status tells that the run has ended.
  if (!host_.Finish() && failure_.load(std::memory_order_acquire) == 0) Fail();
  if (rules_.endedBit) host_.AddStatus(rules_.endedBit);
}

uint64_t AcquisitionRun::Received() const {
  uint64_t total = 0;
  for (int k = 0; k < n_; ++k)
    if (active_[k]) total += receivers_[k]->Received();
  return total;
}

void AcquisitionRun::Pause(uint64_t ms) {
  constexpr uint64_t kLongestPause = 5000;
  if (worker_.Running() && ms > 0) worker_.SleepMs(static_cast<long>(std::min(ms, kLongestPause)));
}

void AcquisitionRun::TargetReached() {
  if (targetReached_) return;
  targetReached_ = true;
  host_.RaiseEvent(rules_.targetEvent);
  worker_.EndRun();
  host_.AddStatus(QZ_BUF_TARGET_REACHED);
}

void AcquisitionRun::EndBySilence(bool stall) {
  worker_.EndRun();
  if (rules_.printsTimeouts) {
    std::puts(stall ? "Time Out 1" : "Time Out 0");
    std::fflush(stdout);
  }
  if (!stall) return;
  host_.RaiseEvent(QZ_EVENT_TIMEOUT);
  host_.AddStatus(rules_.stallBit);
}

void AcquisitionRun::Stall() { EndBySilence(true); }

void AcquisitionRun::Fail() {
  failure_.store(QZ_ERR_LOG_FILE_OPEN, std::memory_order_release);
  host_.RaiseEvent(QZ_EVENT_RECV_ERROR);
  worker_.EndRun();
}

bool AcquisitionRun::Done(int k) const {
  if (!active_[k]) return true;
  return rules_.skipsDoneReceivers && shares_[k] != 0 && receivers_[k]->Received() >= shares_[k];
}

void AcquisitionRun::ReceiveLoop() {
  if (rules_.emptyTargetIsDone && setup_.target == 0) {
    TargetReached();  // an empty recording is complete before it starts
    return;
  }
  const Clock::duration wait = std::chrono::milliseconds(rules_.dataWaitMs);
  Clock::time_point waitingSince[kMaxReceivers];
  const Clock::time_point start = Clock::now();
  for (int k = 0; k < n_; ++k) waitingSince[k] = quietSince_[k] = start;
  bool waited[kMaxReceivers] = {};  // bytes waited at the receiver's last turn
  while (worker_.Running()) {
    pollfd fds[kMaxReceivers];
    int of[kMaxReceivers];
    size_t m = 0;
    bool closed = false;  // a descriptor already closed fails at once, without a wait
    bool straight = true;  // bytes waited at the last turn of every receiver
    Clock::time_point due = Clock::time_point::max(), turn = Clock::time_point::max();
    for (int k = 0; k < n_; ++k) {
      if (Done(k)) continue;
      fds[m] = pollfd{receivers_[k]->Fd(), POLLIN, 0};
      closed = closed || fds[m].fd < 0;
      of[m++] = k;
      due = std::min(due, waitingSince[k] + wait);
      turn = std::min(turn, receivers_[k]->NextTake());
      straight = straight && waited[k];
    }
    // Every receiver has its share (modes only a stop ends): nothing to wait on but the stop.
    if (m == 0) {
      worker_.SleepMs(rules_.dataWaitMs);
      continue;
    }
    straight = straight && !closed;
    WaitResult ready = WaitResult::Ready;
    if (straight) {
      if (!worker_.SleepUntil(turn)) return;
    } else if (!closed) {
      const long left = static_cast<long>(
          std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count());
      ready = worker_.WaitAnyReadable(fds, m, std::max(left, 0L));
      if (ready == WaitResult::Stopped) return;
    }
    // A wait that failed as a whole fails every receiver's.
    const bool failed = ready == WaitResult::Failed;
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < m; ++i) {
      const int k = of[i];
      short got = failed || fds[i].fd < 0 ? POLLNVAL
                  : straight ? (now >= receivers_[k]->NextTake() ? POLLIN : 0)
                  : ready == WaitResult::Ready && !closed ? fds[i].revents
                                                          : 0;
      if (got == 0) {
        if (closed || now - waitingSince[k] < wait) continue;
        waitingSince[k] = now;
        Silence(k);
        continue;
      }
      StreamReceiver::Outcome r = StreamReceiver::Outcome::Again;
      if (straight) {
        r = receivers_[k]->ReceiveWaiting();
        waited[k] = r != StreamReceiver::Outcome::Again;
        if (!waited[k]) continue;  // nothing waited at the turn: the next pass waits for it
      }
      waitingSince[k] = now;
      if (got & POLLNVAL) {
        // A closed descriptor: a receive error, or (a log, a download) just the end.
        if (rules_.waitFailureIsReceiveError) host_.RaiseEvent(QZ_EVENT_RECV_ERROR);
        worker_.EndRun();
        continue;
      }
      if (!straight) {
        // The sink's turn: what comes meanwhile is taken with the bytes already waiting.
        const Clock::time_point next = receivers_[k]->NextTake();
        waited[k] = Clock::now() < next;
        if (waited[k] && !worker_.SleepUntil(next)) return;
        r = receivers_[k]->Receive();
      }
      if (r == StreamReceiver::Outcome::Again) continue;
      if (r == StreamReceiver::Outcome::TargetDone) {
        TargetReached();  // nothing is missing: a run past its target
        continue;
      }
      if (r != StreamReceiver::Outcome::Data) {
        // A failed receive or a closed connection: the others are served once more in this
        // pass, then the run ends.
        host_.RaiseEvent(QZ_EVENT_RECV_ERROR);
        worker_.EndRun();
        continue;
      }
      quietSince_[k] = Clock::now();
      if (!AfterData()) return;
      if (setup_.target != 0 && ReachTarget()) return;
    }
  }
}

bool AcquisitionRun::AfterData() {
  if (!firstData_) {
    if (rules_.firstDataAsksIndex) host_.AskTriggerIndex();
    fileClock_.RestGlobalTicks();
    firstData_ = true;
  }
  if (host_.KeepData()) return true;
  Fail();  // the data could not be kept: the run ends without its target
  return false;
}

bool AcquisitionRun::ReachTarget() {
  if (InModes(rules_.untargetedModes, setup_.mode)) return false;
  const uint64_t total = Received();
  const bool byIndex = InModes(rules_.indexEndModes, setup_.mode) &&
                       (!rules_.indexEndBeforeTargetOnly || ModuleCount() < setup_.target);
  const uint64_t at = uint64_t{host_.TriggerIndex()} + setup_.post;
  if (byIndex && rules_.indexEndBeforeTargetOnly) {
    // The module triggered before it had the target: the run ends at the trigger's place plus
    // the post-trigger count.
    if (total >= at) TargetReached();
    return false;
  }
  if (total >= setup_.target) {
    TargetReached();
    return true;
  }
  // The trigger's place ends the run once the pass over the receivers is complete.
  if (byIndex && total != 0 && total >= at) TargetReached();
  return false;
}

void AcquisitionRun::Silence(int k) {
  const uint64_t total = Received();
  if (InModes(rules_.untimedModes, setup_.mode) ||
      (InModes(rules_.silentUntilDataModes, setup_.mode) && total == 0))
    return;
  // The receiver's silence: since its last data or the last silence let pass, whichever came
  // later (the others' data go on meanwhile: one that stays silent stalls the run all the same).
  if (Clock::now() - quietSince_[k] < std::chrono::milliseconds(setup_.silenceMs)) return;
  const bool mayEnd = setup_.target != 0 || rules_.silenceEndsOpenRun;
  if (mayEnd && total >= setup_.target) {
    EndBySilence(false);  // the run is complete: it ends without a bit
  } else if (retries_ < kSilenceRetries) {
    const Clock::time_point now = Clock::now();
    for (int j = 0; j < n_; ++j) quietSince_[j] = now;
    ++retries_;
    Pause(1);
  } else {
    Stall();
  }
}

}  // namespace nivex

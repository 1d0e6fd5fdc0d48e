// The scan worker of the slot carriers: one pass after another over the slots that have
// channels, each pass after one wait on all their data sockets; each ready slot is received
// once in slot order, each receive counted, acknowledged and written into the slot's columns
// of the shared ring by the slot's stream receiver.
//
// The worker runs with the parameters its start took (run_). It ends by itself on the target,
// on the analog trigger's end (after the pass), on a stall or on a receive error on any slot
// (after the pass: one slot's failure ends the scan for all), or at a stop: every wait of it
// ends at once when a stop is requested.
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "drivers/slot/SlotCarrier.h"
#include "support/FaultText.h"

namespace nivex {
namespace {

constexpr int kSilenceRetries = 11;  // expiries of the silence limit let pass before a stall

}  // namespace

void SlotCarrier::Notify(unsigned short event) {
  if (eventMask.load(std::memory_order_acquire) & event) DOCallBackFun(event);
}

void SlotCarrier::TargetReached() {
  Notify(run_.log ? QZ_EVENT_LOG_DONE : QZ_EVENT_SCAN_DONE);
  worker.EndRun();
  Add_AD_Buf_Status(QZ_BUF_TARGET_REACHED);
}

void SlotCarrier::EndBySilence(bool stall) {
  worker.EndRun();
  if (run_.traits.printsTimeouts && !run_.log) {
    std::puts(stall ? "Time Out 1" : "Time Out 0");
    std::fflush(stdout);
  }
  if (!stall) return;
  Notify(QZ_EVENT_TIMEOUT);
  Add_AD_Buf_Status(QZ_BUF_LOG_TIMEOUT);
}

bool SlotCarrier::SlotDone(int slot) const {
  if (run_.slotChannels[slot] == 0) return true;
  const uint32_t share = run_.slotTargets[slot];
  return share != 0 && receivers_[slot]->Received() >= share;
}

uint64_t SlotCarrier::ReceivedTotal() const {
  uint64_t total = 0;
  for (int k = 0; k < run_.slots; ++k)
    if (run_.slotChannels[k] != 0) total += receivers_[k]->Received();
  return total;
}

void SlotCarrier::RunThreadAIScan() {
  RunThreadAIScan_ReceiveDATAfromQZDevice();
  Add_AD_Buf_Status(QZ_BUF_SCAN_ENDED);
}

int SlotCarrier::RunThreadAIScan_ReceiveDATAfromQZDevice() {
  using Clock = WorkerSlot::Clock;
  const long waitMs = static_cast<long>(run_.timings.shortDataWait.count());
  const Clock::duration wait = run_.timings.shortDataWait;
  // One wait covers every slot still to be served, so a silent slot holds up none of the
  // others. Each slot keeps its own turn all the same: a slot that has brought nothing for a
  // whole wait takes the silence step, as if it had been waited on alone.
  Clock::time_point waitingSince[kMaxSlots];
  for (int k = 0; k < run_.slots; ++k) waitingSince[k] = quietSince_[k] = Clock::now();
  while (worker.Running()) {
    pollfd fds[kMaxSlots];
    int slotOf[kMaxSlots];
    size_t n = 0;
    Clock::time_point due = Clock::time_point::max();
    for (int k = 0; k < run_.slots; ++k) {
      // A slot with its whole share sends nothing more: it is not waited on.
      if (SlotDone(k)) continue;
      fds[n] = pollfd{receivers_[k]->Fd(), POLLIN, 0};
      slotOf[n++] = k;
      due = std::min(due, waitingSince[k] + wait);
    }
    // Every slot has its share (trigger modes 4 and 5 end only at the stop): nothing to wait
    // on but the stop.
    if (n == 0) {
      worker.SleepMs(waitMs);
      continue;
    }
    const long left = static_cast<long>(
        std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count());
    const WaitResult ready = worker.WaitAnyReadable(fds, n, std::max(left, 0L));
    if (ready == WaitResult::Stopped) return 1;
    // A wait that failed as a whole fails every slot's.
    const bool failed = ready == WaitResult::Failed;
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < n; ++i) {
      const int k = slotOf[i];
      const short got = failed ? POLLNVAL : ready == WaitResult::Ready ? fds[i].revents : 0;
      if (got == 0) {
        if (now - waitingSince[k] < wait) continue;
        waitingSince[k] = now;
        DAQProcess_ReceiveDataTimeout(k);
        continue;
      }
      waitingSince[k] = now;
      // A closed descriptor is a receive error, not a silence; a log just ends.
      if ((got & POLLNVAL) && run_.log) {
        worker.EndRun();
        continue;
      }
      const StreamReceiver::Outcome r =
          (got & POLLNVAL) ? StreamReceiver::Outcome::Failed : DAQProcess_ReceiveData(k);
      if (r == StreamReceiver::Outcome::Again || r == StreamReceiver::Outcome::TargetDone)
        continue;
      if (r != StreamReceiver::Outcome::Data) {
        // A failed receive or a closed connection: the other slots are served once more in
        // this pass, then the run ends.
        Notify(QZ_EVENT_RECV_ERROR);
        worker.EndRun();
        continue;
      }
      quietSince_[k] = now;
      // A log whose data file failed ends here, without its target.
      if (!DAQProcess_AfterReceiveData(k)) return 1;
      if (run_.target != 0 && DAQProcess_ReachNSample()) return 1;
    }
  }
  return 1;
}

StreamReceiver::Outcome SlotCarrier::DAQProcess_ReceiveData(int slot) {
  // Receives what the slot's socket holds (near the slot's share exactly the bytes still
  // missing), counts the whole samples, acknowledges them and writes them into the slot's
  // columns of the ring.
  return receivers_[slot]->Receive();
}

int SlotCarrier::DAQProcess_AfterReceiveData(int) {
  if (!firstData) {
    if (run_.traits.asksTriggerIndex) GetAIAnalogTriggerIdx();
    if (!fileClockStarted) {
      fileClockStarted = true;
      fileClock->RestGlobalTicks();
    }
    firstData = true;
  }
  watchdogClock->RestGlobalTicks();
  if (run_.log && !DrainRingToLog()) {
    worker.EndRun();
    return 0;
  }
  return 1;
}

bool SlotCarrier::DAQProcess_ReachNSample() {
  if (run_.mode > 3) return false;  // timed text records: only the stop ends them
  const uint64_t total = ReceivedTotal();
  if (total >= run_.target) {
    TargetReached();
    return true;
  }
  // The analog trigger: the run ends at the trigger's place plus the post-trigger count,
  // once the pass over the slots is complete.
  if ((run_.mode == 2 || run_.mode == 3) && total != 0 &&
      total >= uint64_t{triggerIndex} + run_.post &&
      (AD_BufferStatus() & QZ_BUF_TARGET_REACHED) == 0)
    TargetReached();
  return false;
}

void SlotCarrier::DAQProcess_ReceiveDataTimeout(int slot) {
  const uint64_t total = ReceivedTotal();
  // Modes 0 and 1 always (a log once data came); the trigger modes once data came; the record
  // modes never.
  if (run_.mode > 3 || ((run_.mode >= 2 || run_.log) && total == 0)) return;
  // The slot's silence: since its last data or the last silence let pass, whichever came later
  // (the others' data go on meanwhile: a slot that stays silent stalls the run all the same).
  const auto quiet = WorkerSlot::Clock::now() - quietSince_[slot];
  if (quiet < std::chrono::milliseconds(run_.silenceMs)) return;
  if (run_.target != 0 && total >= run_.target) {
    EndBySilence(false);  // the run is complete: it ends without a bit
  } else if (retryCount < kSilenceRetries) {
    watchdogClock->RestGlobalTicks();
    for (int k = 0; k < run_.slots; ++k) quietSince_[k] = WorkerSlot::Clock::now();
    ++retryCount;
    worker.SleepMs(1);
  } else {
    EndBySilence(true);
  }
}

unsigned int SlotCarrier::GetDAQSampleCnt() { return 0; }

unsigned int SlotCarrier::GetTCPReceivedCnt() {
  uint64_t total = std::min<uint64_t>(ReceivedTotal(), run_.target);
  if (run_.mode == 4 || run_.mode == 5) {
    unsigned withChannels = 0;
    for (int k = 0; k < run_.slots; ++k) withChannels += run_.slotChannels[k] != 0;
    total = withChannels ? total / withChannels : 0;
  }
  return static_cast<unsigned int>(total);
}

}  // namespace nivex

// The scan worker of the slot carriers: one pass after another over the slots that have
// channels, each slot's data socket waited on in turn, each receive counted, acknowledged and
// written into the slot's columns of the shared ring by the slot's stream receiver.
//
// The worker runs with the parameters its start took (run_). It ends by itself on the target,
// on the analog trigger's end (after the pass), on a stall or on a receive error on any slot
// (after the pass: one slot's failure ends the scan for all), or at a stop: every wait of it
// ends at once when a stop is requested.
#include <algorithm>
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
  Notify(QZ_EVENT_SCAN_DONE);
  worker.EndRun();
  Add_AD_Buf_Status(QZ_BUF_TARGET_REACHED);
}

void SlotCarrier::EndBySilence(bool stall) {
  worker.EndRun();
  if (run_.traits.printsTimeouts) {
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
  const long waitMs = static_cast<long>(run_.timings.shortDataWait.count());
  while (worker.Running()) {
    bool waited = false;
    for (int k = 0; k < run_.slots; ++k) {
      // A slot with its whole share sends nothing more: it is not waited on.
      if (SlotDone(k)) continue;
      waited = true;
      const WaitResult ready = receivers_[k]->Wait(waitMs);
      if (ready == WaitResult::Stopped) return 1;
      if (ready == WaitResult::TimedOut) {
        DAQProcess_ReceiveDataTimeout();
        continue;
      }
      // A wait that failed (a closed descriptor) is a receive error, not a silence.
      const StreamReceiver::Outcome got = ready == WaitResult::Ready
                                              ? DAQProcess_ReceiveData(k)
                                              : StreamReceiver::Outcome::Failed;
      if (got == StreamReceiver::Outcome::Again || got == StreamReceiver::Outcome::TargetDone)
        continue;
      if (got != StreamReceiver::Outcome::Data) {
        // A failed receive or a closed connection: the other slots are served once more in
        // this pass, then the run ends.
        Notify(QZ_EVENT_RECV_ERROR);
        worker.EndRun();
        continue;
      }
      DAQProcess_AfterReceiveData(k);
      if (run_.target != 0 && DAQProcess_ReachNSample()) return 1;
    }
    // Every slot has its share (trigger modes 4 and 5 end only at the stop): nothing to wait
    // on but the stop.
    if (!waited) worker.SleepMs(waitMs);
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
  if (!firstData_) {
    if (run_.traits.asksTriggerIndex) GetAIAnalogTriggerIdx();
    if (!fileClockStarted_) {
      fileClockStarted_ = true;
      fileClock->RestGlobalTicks();
    }
    firstData_ = true;
  }
  watchdogClock->RestGlobalTicks();
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

void SlotCarrier::DAQProcess_ReceiveDataTimeout() {
  const uint64_t total = ReceivedTotal();
  // Modes 0 and 1 always; the trigger modes once data came; the record modes never.
  if (run_.mode > 3 || (run_.mode >= 2 && total == 0)) return;
  if (watchdogClock->GetGlobalTicks() < static_cast<double>(run_.silenceMs)) return;
  if (run_.target != 0 && total >= run_.target) {
    EndBySilence(false);  // the run is complete: it ends without a bit
  } else if (retryCount_ < kSilenceRetries) {
    watchdogClock->RestGlobalTicks();
    ++retryCount_;
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

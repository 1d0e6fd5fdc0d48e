// The scan and log worker of the slot carriers as the rule row of the device's acquisition run
// (framework/AcquisitionRun.h): one pass after another over the slots that have channels, each
// pass after one wait on all their data sockets; each ready slot is received once in slot
// order, each receive counted, acknowledged and written into the slot's columns of the shared
// ring by the slot's stream receiver.
//
// The run works with the parameters its start took (run_). It ends by itself on the target, on
// the analog trigger's end (after the pass), on a stall or on a receive error on any slot (after
// the pass: one slot's failure ends the scan for all), or at a stop.
#include <algorithm>

#include "drivers/slot/SlotCarrier.h"

namespace nivex {
namespace {

// The rule row of a scan or a log run of a class with these traits.
template <class Traits>
RunRules SlotRules(const Traits& t, const EngineTimings& timings, bool log) {
  RunRules r;
  r.stallBit = QZ_BUF_LOG_TIMEOUT;
  r.targetEvent = log ? QZ_EVENT_LOG_DONE : QZ_EVENT_SCAN_DONE;
  r.endedBit = log ? QZ_BUF_LOG_ENDED : QZ_BUF_SCAN_ENDED;
  r.printsTimeouts = t.printsTimeouts && !log;
  r.dataWaitMs = static_cast<long>(timings.shortDataWait.count());
  r.waitFailureIsReceiveError = !log;  // a closed descriptor just ends a log
  r.skipsDoneReceivers = true;
  r.firstDataAsksIndex = t.asksTriggerIndex;
  // Modes 0 and 1 time out always (a log once data came); the trigger modes 2 and 3 once data
  // came; the timed text records (4 and up) never, and only the stop ends them.
  r.untimedModes = ~0xFu;
  r.silentUntilDataModes = log ? ~0u : (1u << 2) | (1u << 3);
  r.untargetedModes = ~0xFu;
  // The analog trigger: the run ends at the trigger's place plus the post-trigger count, once
  // the pass over the slots is complete.
  r.indexEndModes = (1u << 2) | (1u << 3);
  return r;
}

}  // namespace

namespace {

// One receiver per slot's data socket, each writing the slot's columns of the ring.
RunPlan SlotPlan(const SlotRun& r, WorkerKind kind) {
  RunPlan p;
  p.kind = kind;
  p.rules = SlotRules(r.traits, r.timings, r.log);
  p.setup = AcquisitionRun::Setup::Of(r);
  p.receivers = std::clamp(r.slots, 0, SlotRun::kMaxSlots);
  for (int k = 0; k < p.receivers; ++k) {
    RunPlan::Receiver& v = p.receiver[k];
    v.socket = k;
    v.stream.unitBytes = r.sampleBytes;
    v.stream.maxReceive = r.traits.receiveBytes ? r.traits.receiveBytes
                                                : size_t{r.sampleBytes} * r.slotChannels[k];
    v.stream.target = r.slotTargets[k];
    v.stream.exactBelow = r.traits.exactBelow ? r.traits.exactBelow : r.slotChannels[k];
    v.sink = RunSink::Ring;
    v.share = r.slotTargets[k];
    v.active = r.slotChannels[k] != 0;
  }
  p.drainCap = r.timings.drainCap;
  p.stopBound = r.log ? r.timings.logStop : r.timings.scanStop;
  p.workerFailure = r.log ? QZ_ERR_LOG_FILE_OPEN : 0;
  return p;
}

}  // namespace

RunPlan SlotScanPlan(const SlotRun& r) {
  SlotRun scan = r;
  scan.log = false;
  return SlotPlan(scan, WorkerKind::Scan);
}

RunPlan SlotLogPlan(const SlotRun& r) {
  SlotRun log = r;
  log.log = true;
  return SlotPlan(log, WorkerKind::Logger);
}

int SlotCarrier::RunThreadAIScan_ReceiveDATAfromQZDevice() {
  acq_.ReceiveLoop();
  return 1;
}

void SlotCarrier::RaiseEvent(uint16_t event) {
  if (eventMask.load(std::memory_order_acquire) & event) DOCallBackFun(event);
}

bool SlotCarrier::Finish() {
  if (!run_.log) return true;
  logSink_.Close();  // complete on disk before the status tells that the log has ended
  return !logSink_.Failed();
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

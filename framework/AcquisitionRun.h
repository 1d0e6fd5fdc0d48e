// One acquisition run of a device's worker, whatever the worker: a scan, a log, a sync-in scan,
// an SD download, a slot carrier's scan or log. The run is handed the stream receivers of its
// data sockets (one for a high-speed module, one per slot of a slot carrier), waits on all of
// them at once through the worker, counts silences, retries and stalls, tests the target, and
// tells its outcome as status bits and events. What differs between the kinds of run is a rule
// row (RunRules); what differs between the device types is a few hooks (Host): the module's
// status poll of the pre-phase, the trigger index, what happens to the data once received.
//
// The run keeps its own state (silences let pass, whether data came, the failure of a run that
// lost data) and its own parameters, taken at its start (Setup): a change of the device's scan
// parameters during the run reaches the next one.
//
// Begin is called before the worker starts; Run is the worker's body; the counts and the
// failure may be read from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "framework/StreamReceiver.h"
#include "framework/WorkerSlot.h"

namespace nivex {

class Chronum;

// How a kind of run runs. Mode sets hold one bit per trigger mode (bit m: mode m).
struct RunRules {
  // The outcome.
  uint16_t stallBit = 0;          // ORed into the status word by a stall
  uint16_t targetEvent = 0;       // raised when the target is in
  uint16_t endedBit = 0;          // ORed into the status word when the worker ends
  bool printsTimeouts = false;    // "Time Out 1" (a stall) / "Time Out 0" when silence ends it

  // The pre-phase of a module that buffers its samples: polls its status until it has them or
  // its trigger, then asks it to send them.
  bool hasPrePhase = false;
  int32_t liveLimit = 0;           // rate x channels above which the pre-phase runs
  uint32_t bufferedModes = 0;      // modes that run the pre-phase at any rate
  uint32_t triggerBitModes = 0;    // modes whose pre-phase waits for the trigger bit
  bool markDataAtTrigger = false;  // the trigger bit ORs QZ_BUF_DATA into the status word
  uint32_t indexAtTriggerModes = 0;  // modes whose pre-phase asks the trigger index
  uint32_t periodFloorMs = 1;      // least pre-phase period
  int pauseAfterPrePhaseMs = 0;
  uint64_t untriggeredPauseMs = 10;      // modes 2 and 5 before the trigger: pause this long,
  bool untriggeredPauseByTotal = false;  // or the target's time held to 1 .. that

  // The receive loop.
  long dataWaitMs = 1000;               // a receiver silent this long takes the silence step
  bool waitFailureIsReceiveError = true;  // else a failed wait just ends the run
  bool emptyTargetIsDone = false;       // a run with target 0 is complete before it starts
  bool skipsDoneReceivers = false;      // a receiver with its whole share is not waited on
  bool firstDataAsksIndex = false;      // the first data of the run asks the trigger index

  // Silence.
  uint32_t untimedModes = 0;          // modes that never end by silence
  uint32_t silentUntilDataModes = 0;  // modes whose silence counts only once data came
  bool silenceEndsOpenRun = false;    // silence ends a run without a target, without a bit

  // The target: the count, or the trigger's place plus the post-trigger count.
  uint32_t untargetedModes = 0;  // modes whose runs only a stop ends (no count)
  uint32_t indexEndModes = 0;
  // The high-speed form: the trigger's place ends the run only when the module had fewer
  // than the target at its trigger, and then instead of the count.
  bool indexEndBeforeTargetOnly = false;
};

class AcquisitionRun {
 public:
  // What the device gives its runs. Called on the worker.
  class Host {
   public:
    virtual void AddStatus(uint16_t bits) = 0;
    virtual void RaiseEvent(uint16_t event) = 0;  // when the event mask holds it
    // The module's trigger index (samples), as the last AskTriggerIndex left it.
    virtual uint32_t TriggerIndex() const = 0;
    virtual void AskTriggerIndex() {}
    // The pre-phase's status poll: false when the exchange failed.
    virtual bool PollModule(uint32_t* count, uint32_t* status) {
      (void)count;
      (void)status;
      return false;
    }
    // Asks the module to send what it holds; true when it accepted.
    virtual bool StartTransfer() { return false; }
    // After each receive with data: false when the data could not be kept (a data file that
    // cannot be written); the run then ends as failed.
    virtual bool KeepData() { return true; }
    // When the loop has ended, before the ended bit: the data files closed; false when the
    // data could not be kept after all.
    virtual bool Finish() { return true; }

   protected:
    ~Host() = default;
  };

  // The run's parameters, taken at its start.
  struct Setup {
    uint32_t target = 0;  // samples of all receivers; 0 = none
    uint16_t mode = 0;
    uint16_t channels = 1;
    int rate = 1;
    uint32_t post = 0;
    int64_t silenceMs = 50;
    // The fields of the same names of a run's parameters.
    template <class P>
    static Setup Of(const P& p) {
      Setup s;
      s.target = p.target;
      s.mode = p.mode;
      s.channels = p.channels;
      s.rate = p.rate;
      s.post = p.post;
      s.silenceMs = p.silenceMs;
      return s;
    }
  };

  static constexpr int kMaxReceivers = 8;
  // Expiries of the silence limit let pass before a stall.
  static constexpr int kSilenceRetries = 11;
  // Failed status polls of the pre-phase before it stalls.
  static constexpr int kPollRetries = 3;

  AcquisitionRun(WorkerSlot& worker, Host& host, Chronum& fileClock)
      : worker_(worker), host_(host), fileClock_(fileClock) {}
  AcquisitionRun(const AcquisitionRun&) = delete;
  AcquisitionRun& operator=(const AcquisitionRun&) = delete;

  // Starts a run over n receivers (at most kMaxReceivers, each begun on its socket); shares
  // (may be null: one receiver with the whole target) gives each its part of the target, and
  // a receiver with active false (a slot without channels) is neither waited on nor counted.
  void Begin(const RunRules& rules, const Setup& setup, StreamReceiver* const* receivers,
             int n, const uint32_t* shares = nullptr, const bool* active = nullptr);

  // The worker's body: the pre-phase when the run needs it, the receive loop, the finish,
  // then the ended bit.
  void Run();
  // The pre-phase runs for this rate, channel count and mode.
  bool PrePhaseDue() const;
  // The pre-phase: true when the module has its samples or its trigger and accepted the
  // request to send them; false when the run ended.
  bool PrePhase();
  // The receive loop, until the target, a stall, a receive error or the stop.
  void ReceiveLoop();

  // Samples received by the active receivers in this run (any thread).
  uint64_t Received() const;
  // The module's count of its last status poll (0 from the start of a scan).
  uint32_t ModuleCount() const { return moduleCount_.load(std::memory_order_acquire); }
  void SetModuleCount(uint32_t n) { moduleCount_.store(n, std::memory_order_release); }
  // The error of a run that lost data (0 when none), taken once: the stop reports it.
  unsigned int TakeFailure() { return failure_.exchange(0, std::memory_order_acq_rel); }
  const Setup& Params() const { return setup_; }

 private:
  using Clock = WorkerSlot::Clock;
  static bool InModes(uint32_t modes, unsigned mode) { return mode < 32 && ((modes >> mode) & 1u); }

  void Pause(uint64_t ms);
  void Stall();
  void TargetReached();
  void EndBySilence(bool stall);
  void Fail();  // the data could not be kept: the receive-error event, the run's failure
  bool Done(int k) const;
  // Pre-phase steps.
  bool TriggerStatus(uint32_t status);
  uint32_t TriggerTimeout(uint32_t period, uint64_t total, uint32_t lastCount);
  double PhaseElapsedMs() const;
  // Receive-loop steps: one receiver's silence, its data, the target test (true: ends).
  void Silence(int k);
  bool AfterData();
  bool ReachTarget();

  WorkerSlot& worker_;
  Host& host_;
  Chronum& fileClock_;
  RunRules rules_;
  Setup setup_;
  int n_ = 0;
  StreamReceiver* receivers_[kMaxReceivers] = {};
  uint32_t shares_[kMaxReceivers] = {};
  bool active_[kMaxReceivers] = {};
  // The run's own state.
  int retries_ = 0;
  bool firstData_ = false;
  bool targetReached_ = false;
  Clock::time_point phaseSince_;               // the pre-phase's stopwatch
  Clock::time_point quietSince_[kMaxReceivers];  // the last data, or the last silence let pass
  std::atomic<uint32_t> moduleCount_{0};
  std::atomic<unsigned int> failure_{0};
};

}  // namespace nivex

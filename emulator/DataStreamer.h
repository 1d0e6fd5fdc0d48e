// The data port of the high-speed types: the module's acquisition and its sample stream.
//
// "~01S" starts a run with the scan parameters the module holds ("~01P", "~01R", "~01T",
// "~01XM", "~01SI"); "~01Z" ends it, and the module stops sending before it answers (with the
// linger fault, StreamSettings::lingerMs later).
//   - Live runs stream right after "~01S", paced at rate x channels (sync-in: rate frames)
//     per second, until the target (N samples; 0 = continuous).
//   - Buffered runs (the rule below, or StreamSettings::buffering) acquire without sending:
//     the "~01N" count grows at rate x channels up to the target; "~01E" sends what was
//     acquired as fast as the connection takes it, then the rest as it comes.
//   - A run is buffered when, as the host's pre-phase condition: RX5K10 rate x channels
//     > 240,000 or a mode other than 0, 1, 8; RX5K30 > 256,000, "T" digit 1 or 2;
//     RXBN500 > 170,664, "T" digit 1 or 2. Sync-in runs are live.
//   - Trigger modes: the RX5K10 mode is its "T" digit; the 24-bit types run mode 6 for
//     "T" 2 and mode 0 otherwise (they have no digit for mode 8: StreamSettings::mode).
//     Modes 2, 3, 5: nothing is acquired (count 0, trigger bit clear) until the trigger.
//     Mode 6: the module keeps at most "pre" samples (whole channel rows) before the
//     trigger; the trigger index ("~01XN") is the trigger's place in the kept stream, and
//     the stream ends at trigger index + post. Other modes trigger at "~01S".
//     Mode 8 sends chunks, one send each, as they are acquired; its target and its "~01N"
//     count are chunks.
//   - The trigger fires on Trigger() or StreamSettings::triggerAfterMs after "~01S".
//   - Sync-in (RX5K10, sync-in option bit 0): frames of the last "~01SIH..." layout, little-
//     endian: a u32 frame index as the header (kinds 1-3); items of type 0 and 1 carry the
//     analog codes of channels 0.. (element mod 8), 16-bit items (2, 3, 9) and 32-bit items
//     (4, 5, 10, 11) frame index + element, bit items (6-8) the frame index's low byte.
//   - The host's 4-byte acknowledgements are read and summed; nothing depends on them.
// Every sample comes from the code function the handler gives: the one-shot reads' signals,
// taken at the sample's instant (its row over the rate, from the start of acquisition).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "emulator/Engine.h"
#include "emulator/StreamParts.h"

namespace nivex::emu {

class HighSpeedScanSetup;

// How the module streams. Mode, buffering, pacing and split are taken at "~01S"; the other
// fields act at once.
struct StreamSettings {
  static constexpr uint64_t kNever = UINT64_MAX;
  enum class Buffering { ByRule, Live, Buffered };
  Buffering buffering = Buffering::ByRule;
  // Unpaced: everything goes as fast as the connection takes it; acquisition is instant.
  bool fast = false;
  int mode = -1;              // the trigger mode of the run; < 0: from the mode command
  int triggerAfterMs = -1;    // modes 2, 3, 5, 6: the trigger fires this long after "~01S"
  uint32_t chunkSamples = 0;  // mode 8: samples per chunk; 0: 20 ms worth (<= 29,200 bytes)

  // ---- faults
  // >= 0: the stream goes out in pieces of 1-7 bytes (TCP_NODELAY), this many ms apart, so
  // that the host's receives end inside samples.
  int splitPauseMs = -1;
  uint64_t silenceAfterBytes = kNever;  // the module stops sending after this many bytes
  uint64_t closeAfterBytes = kNever;    // ... and closes the data connection
  uint64_t extraSamples = 0;            // items sent beyond the end of the run
  int lingerMs = 0;  // > 0: after "~01Z" the run goes on streaming this long, then stops
  bool record = true;                   // keep a copy of the bytes sent (up to 16 MB a run)
  // Paced runs: > 0, a send every this many microseconds on a fixed clock (a send that
  // comes late does not move the next one); 0, a send at most once a millisecond.
  int sendEveryUs = 0;
};

// A run seen from the test side (all of it since the last "~01S").
struct StreamCounters {
  uint64_t runs = 0;    // "~01S" taken since the module started
  bool active = false;  // between "~01S" and "~01Z"
  bool syncIn = false;
  int mode = 0;
  bool buffered = false;
  bool transmitting = false;  // live from "~01S", buffered from "~01E"
  bool triggered = false;     // the trigger bit of "~01N"
  uint32_t triggerIndex = 0;  // what "~01XN" reports
  uint64_t moduleCount = 0;   // what "~01N" reports now
  uint64_t streamItems = 0;   // items the run streams (samples, frames); 0: no end
  unsigned unitBytes = 0;     // bytes per item: sample size or frame size
  uint64_t bytesSent = 0;     // stream bytes the connection took
  uint64_t samplesSent = 0;   // whole samples in them (sync-in: 16-bit units, as acked)
  uint64_t framesSent = 0;    // sync-in: whole frames
  uint64_t ackSum = 0;        // sum of the host's acknowledgements
  uint64_t ackCount = 0;      // their number
};

class DataStreamer {
 public:
  // The raw code of a sample (emulator/StreamParts.h).
  using CodeFn = StreamCodeFn;

  DataStreamer(Engine& engine, Model model, HighSpeedScanSetup& setup, CodeFn code);

  // ---- the handler's hooks (loop thread, engine lock held)
  // Answers "~01S", "~01Z", "~01N", "~01E" and "~01SST"; false for other lines ("Q", the
  // reboot, ends the run and is left to the handler).
  bool Handle(const std::string& line, Answer* answer);
  void OnDataConnected();
  void OnDataReceived(const char* bytes, size_t n);
  void OnDataClosed();
  int OnTick();
  // The next send of a run on the fixed clock, when the last OnTick waits for it (else -1).
  int64_t NextTickUs() const { return tickUs_; }
  bool RunActive() const { return run_.active; }  // between "~01S" and "~01Z"
  // The host's acknowledgements since the last "~01S": their sum and number.
  uint64_t AckSum() const { return acks_.Sum(); }
  uint64_t AckCount() const { return acks_.Count(); }

  // ---- for tests and nivex-emu (any thread; each takes the engine lock)
  StreamSettings Settings() const;
  void SetSettings(const StreamSettings& s);
  void Trigger();              // fires the trigger of a waiting run now
  void CloseDataConnection();  // drops the data connection now
  StreamCounters Counters() const;
  std::string Sent() const;  // the bytes of this run that the connection took

 private:
  struct Item {
    unsigned type;
    unsigned count;
  };
  struct Run {
    bool active = false;
    bool syncIn = false;
    bool fast = false;
    bool split = false;
    int mode = 0;
    bool buffered = false;
    bool transmitting = false;
    bool triggered = false;
    bool acquiring = false;
    bool closed = false;
    int64_t startUs = 0;
    int64_t acqStartUs = 0;
    double itemsPerSec = 1.0;
    double rowsPerSec = 1.0;  // the sample rate (sync-in: frames)
    unsigned channels = 1;
    unsigned unitBytes = 2;
    uint64_t chunk = 1;   // items per send
    uint64_t origin = 0;  // acquisition index of stream item 0
    uint64_t end = 0;     // stream items of the run
    uint32_t pre = 0, post = 0;
    unsigned header = 0;
    std::vector<Item> items;  // sync-in layout
    uint64_t generated = 0;   // stream items turned into bytes
    std::string pending;      // bytes generated, not yet handed to the connection
    size_t pendingOff = 0;
    uint64_t handed = 0;       // bytes handed to the connection
    uint64_t sentAtStart = 0;  // the engine's data byte count at "~01S"
    int64_t nextSendUs = 0;     // paced runs send at most once a millisecond
    int64_t sendEveryUs = 0;    // or on this fixed clock
    int64_t nextPieceUs = 0;
    size_t piece = 0;
    int64_t lingerUntilUs = 0;  // "~01Z" came: the run stops then (the linger fault)
  };

  void StartRun();
  void StopRun();
  bool WaitsForTrigger() const;
  void FireTrigger(int64_t nowUs);
  uint64_t RowItems() const;  // items acquired at one instant
  uint64_t Acquired(int64_t nowUs) const;
  uint64_t Available(int64_t nowUs) const;
  uint64_t SendLimit() const;
  uint64_t ModuleCount(int64_t nowUs) const;
  bool ParseSyncInLayout();  // true: sync-in enabled (option bit 0)
  void AppendItem(uint64_t s);
  void HandOver(size_t n);
  int64_t DueUs(uint64_t items) const;
  std::string StartTimeText() const;

  Engine& engine_;
  Model model_;
  HighSpeedScanSetup& setup_;
  CodeFn code_;
  StreamSettings settings_;
  Run run_;
  int64_t tickUs_ = -1;
  uint64_t runs_ = 0;
  std::string sent_;
  bool nodelay_ = false;
  int64_t startWallMs_ = -1;
  AckTally acks_;
};

}  // namespace nivex::emu

// The SD card of a high-speed module: the recordings it holds and the commands that reach them.
//
//   "~01SDC"           the number of recordings: "!01%u"
//   "~01SDI%08u"       a recording's description: "!01<first>:<samples>:<Y/M/D-h:m:s:>"
//   "~01SDL%01d%08u"   (selector digit, index) the recording's ".config" text followed by "!01"
//                      and CR, sent in pieces; then its samples stream on the data port in the
//                      module's sample format (RX5K10 16-bit codes, the others 24-bit codes in
//                      32-bit words), as fast as the connection takes them. Nothing depends on
//                      the host's 4-byte acknowledgements (the data streamer reads them).
//   "~01Z"             ends a recording's stream (and, as ever, a scan).
// The module refuses ("?01") every SD command while no card is in, an index beyond the card,
// "~01SDL" while a scan runs or a recording streams, and "~01S" while a recording streams.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/DataStreamer.h"
#include "emulator/Engine.h"

namespace nivex::emu {

struct SdRecording {
  uint32_t first = 0;     // the description's first number (passed through)
  uint32_t samples = 0;   // samples of the recording, all channels counted
  std::string date;       // "2024/3/5-9:7:2:"
  unsigned channels = 1;  // the recording's channel count (its rows)
  std::string config;     // the ".config" text sent for it; empty: made from the fields above
};

struct SdSettings {
  bool cardIn = true;
  size_t configPiece = 96;  // the ".config" reply goes out in pieces of this many bytes
  // >= 0: the stream goes out in pieces of 1-7 bytes (TCP_NODELAY), this many ms apart, so
  // that the host's receives end inside samples.
  int splitPauseMs = -1;
  uint64_t silenceAfterBytes = UINT64_MAX;  // the stream stops after this many bytes
};

// The card seen from the test side.
struct SdCounters {
  uint64_t requests = 0;   // "~01SDL" taken
  bool streaming = false;  // a recording's bytes are still to go out
  int selector = -1;       // of the last "~01SDL" taken
  uint32_t index = 0;
  uint64_t bytesSent = 0;  // data bytes the connection took since the last "~01SDL"
  uint64_t ackSum = 0;     // the host's acknowledgements since the last "~01SDL" (until the
  uint64_t ackCount = 0;   // next "~01S")
};

class SdCard {
 public:
  // scan: the module's scan stream, which shares the data port (the card refuses "~01SDL"
  // while it runs) and reads the host's acknowledgements.
  SdCard(Engine& engine, Model model, const DataStreamer& scan);

  // ---- the handler's hooks (loop thread, engine lock held)
  // Answers the SD commands and "~01S" during a stream; "~01Z" ends the stream and is left to
  // the handler (false), as is every other line.
  bool Handle(const std::string& line, Answer* answer);
  void OnDataClosed();
  int OnTick();
  void PowerOn();  // a reboot ends the stream; the recordings stay

  // ---- for tests and nivex-emu (any thread; each takes the engine lock)
  std::vector<SdRecording> Recordings() const;
  void SetRecordings(std::vector<SdRecording> recordings);
  SdSettings Settings() const;
  void SetSettings(const SdSettings& s);
  SdCounters Counters() const;
  // What the module sends for a recording: its stream, and its ".config" text.
  std::string StreamOf(const SdRecording& r) const;
  std::string ConfigOf(const SdRecording& r) const;

 private:
  void StartStream(const SdRecording& r);
  void StopStream();
  void HandOver(size_t n);

  Engine& engine_;
  Model model_;
  const DataStreamer& scan_;
  std::vector<SdRecording> recordings_;
  SdSettings settings_;
  SdCounters counters_;
  std::string pending_;  // the stream's bytes not yet handed to the connection
  size_t handed_ = 0;
  uint64_t sentAtStart_ = 0;
  bool nodelay_ = false;
  int64_t nextPieceUs_ = 0;
  size_t piece_ = 0;
  uint64_t ackSumAtStart_ = 0;
  uint64_t ackCountAtStart_ = 0;
};

}  // namespace nivex::emu

// The data port of one slot of a slot carrier: the card's sample stream and the host's
// acknowledgements.
//
// The carrier starts a run on each slot with channels at its scan start command and ends them
// all at "~01Z" before it answers: nothing more goes out once the reply does. A run streams
// live from its start: the slot's samples as little-endian 16-bit codes, interleaved over the
// slot's channels in the scan (sample j is channel j mod channels of row j / channels), paced
// at rate x channels per second, until the slot's sample count (0: continuous). Each code
// comes from the function the carrier gives (module channel, row, and the row's instant: row /
// rate seconds into the run).
//
// Of StreamSettings a slot takes fast (as fast as the connection takes the samples),
// splitPauseMs, silenceAfterBytes, closeAfterBytes, extraSamples and record; the other fields
// belong to the high-speed types. The host's 4-byte acknowledgements are read and summed per
// slot; nothing depends on them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "emulator/DataStreamer.h"
#include "emulator/Engine.h"
#include "emulator/StreamParts.h"

namespace nivex::emu {

class SlotStreamer {
 public:
  using CodeFn = StreamCodeFn;  // emulator/StreamParts.h

  // What a slot streams in a run.
  struct Layout {
    int firstChannel = 0;  // module channel of the slot's channel 0
    int channels = 0;      // the slot's channels in the scan
    uint32_t samples = 0;  // the slot's sample count; 0: continuous
    double rate = 1.0;     // rows per second
  };

  // index: the slot's data listener (its place in DataPortOffsets()).
  SlotStreamer(Engine& engine, int index, CodeFn code);

  // ---- the carrier's hooks (loop thread, engine lock held)
  void StartRun(const Layout& layout);
  void StopRun();
  void OnDataConnected();
  void OnDataReceived(const char* bytes, size_t n);
  void OnDataClosed();
  // Milliseconds until the streamer wants the next call; < 0: no wish. The slot generates
  // samples of rows below rowBound only.
  int OnTick(uint64_t rowBound);
  // The slot's rows the connection took; false when the slot holds no other slot back (no
  // run, no connection, closed, silent by a fault or every sample out).
  bool RowsInStep(uint64_t* rows) const;

  // ---- for tests (any thread; each takes the engine lock)
  StreamSettings Settings() const;
  void SetSettings(const StreamSettings& s);
  // The run since the last start: runs, active, streamItems (the slot's samples; 0:
  // continuous), unitBytes, bytesSent, samplesSent, ackSum and ackCount.
  StreamCounters Counters() const;
  std::string Sent() const;    // the bytes of this run that the connection took
  void CloseDataConnection();  // drops the slot's data connection now

 private:
  struct Run {
    bool active = false;
    bool fast = false;
    bool split = false;
    bool closed = false;
    Layout layout;
    int64_t startUs = 0;
    uint64_t limit = 0;      // samples the run sends
    uint64_t generated = 0;  // samples turned into bytes
    std::string pending;     // bytes generated, not yet handed to the connection
    uint64_t handed = 0;     // bytes handed to the connection
    uint64_t discarded = 0;  // of them, dropped unsent at the stop
    int64_t nextSendUs = 0;  // paced runs send at most once a millisecond
    int64_t nextPieceUs = 0;
    size_t piece = 0;
  };

  uint64_t Due(int64_t nowUs) const;        // samples acquired by now
  int64_t DueUs(uint64_t samples) const;   // when that many are acquired
  void HandOver(size_t n);
  uint64_t BytesSent() const;

  Engine& engine_;
  int index_;
  CodeFn code_;
  StreamSettings settings_;
  Run run_;
  uint64_t runs_ = 0;
  std::string sent_;
  bool nodelay_ = false;
  AckTally acks_;
};

}  // namespace nivex::emu

// The waits, stop bounds and pacing of the device workers, in one value. The defaults are the
// module protocol's; tests shorten them. A worker start takes a copy, so a change reaches the
// next run, never a running one.
#pragma once

#include <chrono>
#include <cstdint>

namespace nivex {

struct EngineTimings {
  // Data-port waits of one pass of a receive loop.
  std::chrono::milliseconds shortDataWait{1000};  // scan of the 2-byte module, each slot socket
  std::chrono::milliseconds longDataWait{5000};   // scan of the 4-byte modules, sync-in
  std::chrono::milliseconds logDataWait{3000};    // logger, SD download
  // How long a stop waits for the worker to end before it joins it anyway.
  std::chrono::milliseconds scanStop{1000};  // scan, sync-in, SD download start
  std::chrono::milliseconds logStop{5000};   // logger
  // Pause after each ring write, to a deadline this long after the previous write's.
  std::chrono::microseconds ringPace{1000};
  // Longest time a start spends discarding stale bytes of the data socket (it ends sooner once
  // they have stopped coming for a moment).
  std::chrono::milliseconds drainCap{1000};
  // The silence limit of a receive loop is the run's time-out unit times this.
  std::chrono::milliseconds silenceStep{50};
};

// The timings the next start takes.
EngineTimings CurrentTimings();
// Replaces them (tests); DefaultTimings() restores the protocol's values.
void SetTimings(const EngineTimings& timings);
inline EngineTimings DefaultTimings() { return EngineTimings{}; }

// The time-out unit of a run from its ring size: ringBytes x 2.5 / (rate x channels), in the
// single precision of the module's formula, truncated; 1 when that is below 1 or rate x
// channels is not positive, INT_MAX at most.
int TimeoutUnit(uint64_t ringBytes, int rate, int channels);

}  // namespace nivex

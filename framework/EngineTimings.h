// The waits, stop bounds and pacing of the device workers, in one value. The defaults are the
// module protocol's; tests shorten them. A worker start takes a copy, so a change reaches the
// next run, never a running one.
#pragma once

#include <chrono>

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
  // Longest time a start spends discarding stale bytes of the data socket.
  std::chrono::milliseconds drainCap{200};
};

// The timings the next start takes.
EngineTimings CurrentTimings();
// Replaces them (tests); DefaultTimings() restores the protocol's values.
void SetTimings(const EngineTimings& timings);
inline EngineTimings DefaultTimings() { return EngineTimings{}; }

}  // namespace nivex

// Helpers of the scan tests: shortened engine timings, distinct steady input levels, the
// emulator's data streamer and the ring status of a handle.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/DataStreamer.h"
#include "tests/common/DeviceFixture.h"

namespace nivex::test {

// Engine timings with short data waits for the life of the object (the protocol's afterwards).
class QuickTimings {
 public:
  explicit QuickTimings(int dataWaitMs = 20);
  ~QuickTimings();
  QuickTimings(const QuickTimings&) = delete;
  QuickTimings& operator=(const QuickTimings&) = delete;
};

// A steady level of its own on every input (volts, no noise): Level(ch).
double Level(int channel);
void SetLevels(emu::Emulator& e);

emu::DataStreamer& Streamer(Device& d);
// Changes some settings of the device's streamer.
template <class F>
void Stream(Device& d, F change) {
  emu::StreamSettings s = Streamer(d).Settings();
  change(s);
  Streamer(d).SetSettings(s);
}

// The ring status word of a handle (QZ_GetAIBufferStatus), and the samples it holds.
unsigned short RingStatus(void* h);
unsigned int RingSize(void* h);
// Waits until every bit of `bits` is set in the ring status.
bool WaitForStatus(void* h, unsigned short bits, int timeoutMs = 5000);
// Waits until the module has taken acknowledgements summing to what it sent; its sum.
uint64_t SettledAckSum(Device& d);
// How many of the module's command lines equal `command`.
int CountOf(const Strings& commands, const std::string& command);
// The position of the first line equal to `command`, or -1.
int IndexOf(const Strings& commands, const std::string& command);

}  // namespace nivex::test

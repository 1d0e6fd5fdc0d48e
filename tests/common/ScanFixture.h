// Helpers of the scan tests: shortened engine timings, a steady level of its own on every
// input, the emulator's data streamer and the ring status of a handle.
#pragma once

#include "emulator/DataStreamer.h"
#include "tests/common/DeviceFixture.h"

namespace nivex::test {

// Data waits of dataWaitMs for the life of the object (the protocol's afterwards).
struct QuickTimings {
  explicit QuickTimings(int dataWaitMs = 20);
  ~QuickTimings();
};

double Level(int channel);  // volts, no noise
void SetLevels(emu::Emulator& e);

emu::DataStreamer& Streamer(Device& d);
template <class F>
void Stream(Device& d, F change) {
  emu::StreamSettings s = Streamer(d).Settings();
  change(s);
  Streamer(d).SetSettings(s);
}

// QZ_GetAIBufferStatus's two outputs; WaitForStatus waits until every bit of `bits` is set.
unsigned short RingStatus(void* h);
unsigned int RingSize(void* h);
bool WaitForStatus(void* h, unsigned short bits, int timeoutMs = 5000);
int CountOf(const Strings& commands, const std::string& command);

}  // namespace nivex::test

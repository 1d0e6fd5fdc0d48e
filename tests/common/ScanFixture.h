// Helpers of the scan tests: shortened engine timings, a steady level of its own on every
// input, the emulator's data streamer and the ring status of a handle.
#pragma once

#include "emulator/DataStreamer.h"
#include "framework/ScanLogFormat.h"
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

// The scan settings the device has cached, as a log run writes them into its ".config" file
// (QZ_StartLogger with log type 2 in a folder of its own, then QZ_StopLogger); false when the
// logger did not start or wrote no readable file. While no scan setup has succeeded the start
// sends the cached settings to the module first: *resent (may be null) tells whether it did.
// The module's command log is taken.
bool LoggedSettings(Device& d, scanlog::ScanConfig* config, bool* resent = nullptr);

}  // namespace nivex::test

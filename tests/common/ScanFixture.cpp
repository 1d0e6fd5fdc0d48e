// Helpers of the scan tests.
#include "tests/common/ScanFixture.h"

#include <algorithm>

#include "emulator/HighSpeedModule.h"
#include "framework/EngineTimings.h"
#include "nivex.h"
#include "tests/common/TestSupport.h"

namespace nivex::test {

QuickTimings::QuickTimings(int dataWaitMs) {
  EngineTimings t;
  t.shortDataWait = t.longDataWait = t.logDataWait = std::chrono::milliseconds(dataWaitMs);
  SetTimings(t);
}

QuickTimings::~QuickTimings() { SetTimings(DefaultTimings()); }

double Level(int channel) { return (channel % 2 ? -1.0 : 1.0) * (0.4 + 0.45 * channel); }

void SetLevels(emu::Emulator& e) {
  for (int ch = 0; ch < emu::AnalogInputs(e.options().model); ++ch) e.SetSignal(ch, Level(ch));
}

emu::DataStreamer& Streamer(Device& d) { return *emu::StreamerOf(d.emu()); }

unsigned short RingStatus(void* h) {
  unsigned short status = 0;
  unsigned int size = 0;
  QZ_GetAIBufferStatus(h, &status, &size);
  return status;
}

unsigned int RingSize(void* h) {
  unsigned short status = 0;
  unsigned int size = 0;
  QZ_GetAIBufferStatus(h, &status, &size);
  return size;
}

bool WaitForStatus(void* h, unsigned short bits, int timeoutMs) {
  return WaitUntil([&] { return (RingStatus(h) & bits) == bits; }, timeoutMs);
}

int CountOf(const Strings& commands, const std::string& command) {
  return static_cast<int>(std::count(commands.begin(), commands.end(), command));
}

}  // namespace nivex::test

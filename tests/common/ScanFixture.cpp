// Helpers of the scan tests.
#include "tests/common/ScanFixture.h"

#include <algorithm>

#include "emulator/HighSpeedModule.h"
#include "framework/EngineTimings.h"
#include "nivex.h"
#include "tests/common/FileFixtures.h"
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

bool LoggedSettings(Device& d, scanlog::ScanConfig* config, bool* resent) {
  TempFolder folder;
  d.Take();
  const bool started = QZ_StartLogger(d.h(), const_cast<char*>(folder.c()), 0, 2) == 1;
  const Strings sent = d.Take();
  if (resent != nullptr)
    *resent = std::any_of(sent.begin(), sent.end(), [](const std::string& c) {
      return c.rfind("~01P", 0) == 0 || c.rfind("~01R", 0) == 0;
    });
  bool read = false;
  if (started) {
    for (const std::string& f : FilesBelow(folder.str()))
      if (f.size() > 7 && f.compare(f.size() - 7, 7, ".config") == 0)
        read = scanlog::ReadScanConfig(f.c_str(), config) == scanlog::ConfigRead::kOk;
    QZ_StopLogger(d.h());
  }
  d.Take();
  return read;
}

}  // namespace nivex::test

// The scan-setup commands of the high-speed types and the module state they set: scan
// parameters ("~01P", "~01R", "~01T", "~01A"), analog trigger ("~01XM", "~01XC", "~01XN"),
// delay trigger ("~01Y", RX5K10) and the sync-in frame layout ("~01SI", RX5K10).
#pragma once

#include <cstdint>
#include <string>

#include "emulator/Engine.h"

namespace nivex::emu {

// The settings of the scan-setup commands, at their power-on values.
struct HighSpeedScanSettings {
  static constexpr int kMaxChannels = 8;

  int gain = 0;
  int chCnt = 1;
  int T = 0;
  int M = 0;
  long rateHz = 1000;                    // RX5K10
  std::string rateFactors = "02024096";  // 24-bit types: aabbcccc (1000 Hz)
  uint32_t target = 0;
  uint32_t ack = 0;
  uint32_t triggerType = 0;
  uint32_t pre = 0;
  uint32_t post = 0;
  uint32_t levelHigh[kMaxChannels] = {};  // the disabled pattern of the type after PowerOn
  uint32_t levelLow[kMaxChannels] = {};
  uint32_t triggerIndex = 0;
  uint32_t delay = 0;
  // The sync-in layout as last set: "H%XO%02XT%02X" and the items.
  std::string syncInLayout = "H0O00T00";
};

// The settings are read and set by tests under the engine's lock.
class HighSpeedScanSetup : public HighSpeedScanSettings {
 public:
  // `divider` is the exponent of the rate divider ("~01V", RX5K10), read at each "~01R".
  HighSpeedScanSetup(Model model, const int& divider);

  // Answers line when it is one of these commands (exact text); false otherwise.
  bool Handle(const std::string& line, Answer* answer);
  // Every setting back to its power-on value.
  void PowerOn();

  // The sample rate the module runs at: RX5K10 the hertz it was given, the 24-bit types the
  // clock of 16,384,000 Hz divided by a, b and c.
  double RateHz() const;
  // Whether the rate divider 2^exponent ("~01V", RX5K10) leaves room for the rate set: the
  // highest rate under it is 200000 >> exponent.
  bool DividerFits(int exponent) const;

 private:
  Model model_;
  const int& divider_;
  CommandTable table_;
};

}  // namespace nivex::emu

// RXBN500: construction, the calibration load and the conversion of its codes.
#include "drivers/highspeed/RXBN500_Class.h"

#include <algorithm>
#include <cstdio>

#include "framework/Calibration.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {

RXBN500::RXBN500(const char* ip, int cmdPort, int dataPort, WRXmodule row)
    : HighSpeedModel(ip, cmdPort, dataPort, row) {}

RXBN500::~RXBN500() { DisconnectServer(); }  // a running worker stops first

const ScanTraits& RXBN500::Traits() const {
  static constexpr ScanTraits kTraits = {4, 40, 170664, 1u << 6, 20, 1, true, false, -1};
  return kTraits;
}

int RXBN500::ReadAllGainOffsetfromQZ() {
  static constexpr HexSpan kEntry[] = {{1, 4}, {5, 8}};  // gain x 1000, offset
  const int last = LoadCalibration(
      Channels(), 1, 1000, kEntry, 2, false,
      [](int c, int, char* command, size_t size) { std::snprintf(command, size, "$01R1C%01d", c); },
      [this](int c, int, const uint32_t* v) {
        cal.bnGain[c] = static_cast<float>((v[0] & 0xFFFF) / 1000.0);
        cal.bnGainMilli[c] = v[0] & 0xFFFF;
        cal.bnOffset[c] = static_cast<int32_t>(v[1]);
      });
  return last == 1 ? 1 : 0;
}

// ================================================================== raw codes and their conversion

void RXBN500::FormatRawRead(char* command, size_t size, int) const {
  std::snprintf(command, size, "#01R");
}

void RXBN500::CalibrateCode(int code, int channel, int, int* out) const {
  *out = calib::CalibrateBN(code, cal.bnOffset[channel], cal.bnGainMilli[channel],
                            calib::BnScale::kGainTimesTenth);
}

float RXBN500::CodeVoltsOf(const HighSpeedCalibration& k, int code, int channel, int) const {
  return calib::VoltsBN(code, k.bnOffset[channel], k.bnGainMilli[channel]);
}

void RXBN500::DescribeLogRun(scanlog::ScanConfig* config, int) const {
  // The gain factor x 1000 as the module gave it (exact, where the factor's float would lose
  // a unit now and then).
  config->channelLines = scanlog::ChannelLines::kRangeOffset;
  for (int ch = 0; ch < std::min(config->channelCount, Channels()); ++ch) {
    config->channelRange[ch] = cal.bnGainMilli[ch];
    config->channelOffset[ch] = cal.bnOffset[ch];
  }
}

}  // namespace nivex

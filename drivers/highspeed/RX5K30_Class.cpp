// RX5K30: construction and the calibration load.
#include "drivers/highspeed/RX5K30_Class.h"

namespace nivex {

RX5K30::RX5K30(const char* ip, int cmdPort, int dataPort, WRXmodule row)
    : HighSpeedModel(ip, cmdPort, dataPort, row) {}

RX5K30::~RX5K30() = default;

int RX5K30::ReadAllGainOffsetfromQZ() {
  const int channels = Channels();
  const int gains = Ranges();
  int last = 0;
  for (int c = 0; c < channels; ++c) {
    for (int g = 0; g < gains; ++g) {
      char reply[kReplySize];
      uint32_t gain = 0, offset = 0, rangeMv = 0;
      last = Exchange(reply, 1000, "$01RI1C%01dG%01d", c, g) && reply[0] == '!' &&
             HexField(reply, 1, 4, &gain) && HexField(reply, 5, 4, &offset) &&
             HexField(reply, 9, 4, &rangeMv);
      if (last) {
        cal.gain[c][g] = static_cast<uint16_t>(gain);
        cal.offset[c][g] = static_cast<int16_t>(static_cast<uint16_t>(offset));
        cal.range[g] = static_cast<float>(rangeMv / 1000.0);
      }
    }
  }
  int zeroPairs = 0;
  for (int c = 0; c < channels; ++c)
    for (int g = 0; g < gains; ++g)
      if (cal.gain[c][g] == 0 && cal.offset[c][g] == 0) ++zeroPairs;

  const int outputs =
      module.AO < HighSpeedCalibration::kMaxAO ? module.AO : HighSpeedCalibration::kMaxAO;
  for (int a = 0; a < outputs; ++a) {
    for (int r = 0; r < HighSpeedCalibration::kMaxAORanges; ++r) {
      char reply[kReplySize];
      uint32_t gain = 0, offset = 0;
      last = Exchange(reply, 1000, "$01RO1C%01dG%01d", a, r) && reply[0] == '!' &&
             HexField(reply, 1, 4, &gain) && HexField(reply, 5, 4, &offset);
      if (last) {
        cal.aoGain[a][r] = static_cast<uint16_t>(gain);
        cal.aoOffset[a][r] = static_cast<int16_t>(static_cast<uint16_t>(offset));
      }
    }
  }
  if (zeroPairs > module.AI / 2) return 0;
  return last;
}

}  // namespace nivex

// RX5K10: construction and the calibration load.
#include "drivers/highspeed/RX5K10_Class.h"

namespace nivex {

RX5K10::RX5K10(const char* ip, int cmdPort, int dataPort, WRXmodule row)
    : HighSpeedModel(ip, cmdPort, dataPort, row) {
  rateDivider = 1;
  timeoutUnitOverride = -1;
  syncInFrame = new SyncInFrameDef();
  channelValues = new float[module.AI]();
}

RX5K10::~RX5K10() {
  delete syncInFrame;
  syncInFrame = nullptr;
  delete[] channelValues;
  channelValues = nullptr;
}

int RX5K10::ReadAllGainOffsetfromQZ() {
  const int channels = Channels();
  const int gains = Ranges() < 2 ? Ranges() : 2;
  int last = 0;
  for (int c = 0; c < channels; ++c) {
    for (int g = 0; g < gains; ++g) {
      char reply[kReplySize];
      uint32_t gain = 0, offset = 0;
      last = Exchange(reply, kCalibrationTimeoutMs, "$01R0C%01dG%01d", c, g) && reply[0] == '!' &&
             HexField(reply, 1, 4, &gain) && HexField(reply, 5, 4, &offset);
      if (last) {
        cal.gain[c][g] = static_cast<uint16_t>(gain);
        cal.offset[c][g] = static_cast<int16_t>(static_cast<uint16_t>(offset));
      }
    }
  }
  int zeroPairs = 0;
  for (int c = 0; c < channels; ++c)
    for (int g = 0; g < gains; ++g)
      if (cal.gain[c][g] == 0 && cal.offset[c][g] == 0) ++zeroPairs;
  if (zeroPairs > module.AI / 2) return 0;
  return last;
}

}  // namespace nivex

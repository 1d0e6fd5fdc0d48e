// RXBN500: construction and the calibration load.
#include "drivers/highspeed/RXBN500_Class.h"

namespace nivex {

RXBN500::RXBN500(const char* ip, int cmdPort, int dataPort, WRXmodule row)
    : HighSpeedModel(ip, cmdPort, dataPort, row) {}

RXBN500::~RXBN500() = default;

int RXBN500::ReadAllGainOffsetfromQZ() {
  const int channels = Channels();
  int last = 0;
  for (int c = 0; c < channels; ++c) {
    char reply[kReplySize];
    uint32_t gain = 0, offset = 0;
    last = Exchange(reply, 1000, "$01R1C%01d", c) && reply[0] == '!' &&
           HexField(reply, 1, 4, &gain) && HexField(reply, 5, 8, &offset);
    if (last) {
      cal.bnGain[c] = static_cast<float>((gain & 0xFFFF) / 1000.0);
      cal.bnOffset[c] = static_cast<int32_t>(offset);
    }
  }
  return last;
}

}  // namespace nivex

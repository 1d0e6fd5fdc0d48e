// RXBN500: construction, the calibration load and the conversion of its codes.
#include "drivers/highspeed/RXBN500_Class.h"

#include <cstdio>

#include "framework/Calibration.h"
#include "support/FaultText.h"
#include "support/utility.h"

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
    last = Exchange(cmdSock, reply, 1000, "$01R1C%01d", c) && reply[0] == '!' &&
           HexField(reply, 1, 4, &gain) && HexField(reply, 5, 8, &offset);
    if (last) {
      cal.bnGain[c] = static_cast<float>((gain & 0xFFFF) / 1000.0);
      cal.bnGainMilli[c] = gain & 0xFFFF;
      cal.bnOffset[c] = static_cast<int32_t>(offset);
    }
  }
  return last;
}

// ================================================================== raw codes and their conversion

void RXBN500::FormatRawRead(char* command, size_t size, int) const {
  std::snprintf(command, size, "#01R");
}

void RXBN500::CalibrateCode(int code, int channel, int, int* out) const {
  *out = calib::CalibrateBN(code, cal.bnOffset[channel], cal.bnGainMilli[channel]);
}

float RXBN500::CodeVolts(int code, int channel, int) const {
  return calib::VoltsBN(code, cal.bnOffset[channel], cal.bnGainMilli[channel]);
}

}  // namespace nivex

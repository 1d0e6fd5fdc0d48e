// RXBN500: construction and the calibration load.
#include "drivers/highspeed/RXBN500_Class.h"

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

// ================================================================== one-shot reads

int RXBN500::CheckedReadRaw(int first, int last, int gain, int* raw) {
  if (first < 0 || last >= Channels() || last < first) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (gain != 0) return Fail(QZ_ERR_GAIN_RANGE);
  if (Busy()) return 0;
  return ReadAIALLHEXRAW(gain, raw, Channels());
}

int RXBN500::ReadAI(int channel, int gain, float* volts) {
  int raw[HighSpeedCalibration::kMaxChannels] = {};
  if (!CheckedReadRaw(channel, channel, gain, raw)) return 0;
  return Calibrate_Hex2Float(raw[channel], channel, gain, volts);
}

int RXBN500::ReadAIALL(int gain, float* volts, int count) {
  int raw[HighSpeedCalibration::kMaxChannels] = {};
  if (!CheckedReadRaw(0, count - 1, gain, raw)) return 0;
  for (int i = 0; i < count; ++i)
    if (Calibrate_Hex2Float(raw[i], i, gain, &volts[i]) != 1) return 0;
  return 1;
}

int RXBN500::ReadAIHEX(int channel, int gain, int* value) {
  int raw[HighSpeedCalibration::kMaxChannels] = {};
  if (!CheckedReadRaw(channel, channel, gain, raw)) return 0;
  return Calibrate_HEX(raw[channel], channel, gain, value);
}

int RXBN500::ReadAIALLHEX(int gain, int* values, int count) {
  int raw[HighSpeedCalibration::kMaxChannels] = {};
  if (!CheckedReadRaw(0, count - 1, gain, raw)) return 0;
  for (int i = 0; i < count; ++i)
    if (Calibrate_HEX(raw[i], i, gain, &values[i]) != 1) return 0;
  return 1;
}

}  // namespace nivex

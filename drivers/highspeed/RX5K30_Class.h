// The RX5K30 driver: 24-bit, 4 analog inputs with 10 ranges, digital I/O, 2 analog outputs,
// one encoder.
#pragma once

#include "drivers/highspeed/HighSpeedModel.h"

namespace nivex {

class RX5K30 : public HighSpeedModel {
 public:
  RX5K30(const char* ip, int cmdPort, int dataPort, WRXmodule row);
  ~RX5K30() override;

  // "$01RI1C%01dG%01d" for every channel and gain code (gain, offset and the range voltage of
  // the gain code), then "$01RO1C%01dG%01d" for every analog output and range (1000 ms each).
  // A reply that is refused, short or not hexadecimal is a failed read and leaves its entry
  // as it was. 0 when more than half the channel count of input pairs are all zero, else the
  // outcome of the last read.
  int ReadAllGainOffsetfromQZ() override;

  // Per-channel value of configuration item 6, in volts.
  float edValue[HighSpeedCalibration::kMaxChannels] = {};
  // Analog trigger high and low levels per channel (24-bit codes).
  int32_t triggerHigh[HighSpeedCalibration::kMaxChannels] = {};
  int32_t triggerLow[HighSpeedCalibration::kMaxChannels] = {};
  unsigned int triggerType = 0;
  // Encoder state: mode, first and second setting.
  int encoderMode = 0;
  int encoderFirst = 0;
  int encoderSecond = 0;
};

}  // namespace nivex

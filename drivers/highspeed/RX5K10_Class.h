// The RX5K10 driver: 16-bit, 8 analog inputs, digital I/O, counters, sync-in frames.
#pragma once

#include <cstdint>

#include "drivers/highspeed/HighSpeedModel.h"

namespace nivex {

class RX5K10 : public HighSpeedModel {
 public:
  RX5K10(const char* ip, int cmdPort, int dataPort, WRXmodule row);
  ~RX5K10() override;

  // "$01R0C%01dG%01d" for every channel and both gain codes (2000 ms each). A reply that is
  // refused, short or not hexadecimal is a failed read and leaves its entry as it was. 0 when
  // more than half the channel count of pairs are all zero, else the outcome of the last read.
  int ReadAllGainOffsetfromQZ() override;

  static constexpr int kCalibrationTimeoutMs = 2000;

  unsigned int delayValue = 0;   // delay trigger
  unsigned int triggerType = 0;  // analog trigger type
  uint16_t counterMode[4] = {};  // counter mode cache
  uint16_t dicntMode[4] = {};    // DI-counter mode cache
  // Analog trigger high and low levels per channel (raw codes).
  uint16_t triggerHigh[HighSpeedCalibration::kMaxChannels] = {};
  uint16_t triggerLow[HighSpeedCalibration::kMaxChannels] = {};
};

}  // namespace nivex

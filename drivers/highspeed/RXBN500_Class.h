// The RXBN500 driver: 24-bit, 4 analog inputs with one range, software filters.
#pragma once

#include "drivers/highspeed/HighSpeedModel.h"
#include "framework/filter.h"

namespace nivex {

class RXBN500 : public HighSpeedModel {
 public:
  RXBN500(const char* ip, int cmdPort, int dataPort, WRXmodule row);
  ~RXBN500() override;

  // "$01R1C%01d" for every channel (1000 ms each): gain = the 4 hexadecimal characters at
  // position 1 / 1000, offset = the 8 at position 5 (two's complement). A reply that is
  // refused, short or not hexadecimal is a failed read and leaves its entry as it was. The
  // outcome of the last read.
  int ReadAllGainOffsetfromQZ() override;

  // Scan setup (drivers/highspeed/RXBN500_Scan.cpp).
  int SetScanParam(short chCnt, short gain, short trig, int rate, unsigned int target, short M,
                   short A) override;
  int GetScanParam(short* chCnt, short* gain, short* trig, int* rate, unsigned int* target,
                   short* M, short* A) override;
  int SetAIAnalogTriggerParam(int type, char* enable, float* high, float* low, int n,
                              unsigned int pre, unsigned int post) override;
  int GetAIAnalogTriggerParam(int* type, char* enable, float* high, float* low, int n,
                              unsigned int* pre, unsigned int* post) override;

  static constexpr int kFilters = 4;

  // Analog trigger high and low levels per channel (24-bit codes).
  int32_t triggerHigh[HighSpeedCalibration::kMaxChannels] = {};
  int32_t triggerLow[HighSpeedCalibration::kMaxChannels] = {};
  unsigned int triggerType = 0;
  unsigned int filterPhase = 0;
  // One software filter per channel.
  Filter_cls filter[kFilters] = {{0, 0.0f}, {0, 0.0f}, {0, 0.0f}, {0, 0.0f}};

 protected:
  // The type's hooks: 24-bit codes in 4-byte samples, read with "#01R"; a read during a
  // receive is refused (0x18011).
  const ScanTraits& Traits() const override;
  void FormatRawRead(char* command, size_t size, int gain) const override;
  bool CachesReads() const override { return false; }
  void CalibrateCode(int code, int channel, int gain, int* out) const override;
  float CodeVolts(int code, int channel, int gain) const override;
};

}  // namespace nivex

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

  // Calibration query (the one-shot reads are HighSpeedModel's). Channels 0..AI-1: input
  // pair of the gain code; AI..AI+AO-1: analog-output pair of the range code. 0x18008 /
  // 0x18005 with both outputs 0.
  int ReadGainOffset(int channel, int gain, unsigned short* g, short* o) override;

  // Digital I/O: "@01", "@01D%X" (value >= 16: 0x18007), "#01A%X1"/"#01A%X0".
  int ReadDIO(unsigned int* di, unsigned int* dout) override;
  int WriteDO(unsigned int value) override;
  int WriteDOBit(int bit, bool on) override;

  // Analog outputs and the encoder (index 0).
  int WriteAO(int channel, int range, float value) override;
  int WriteAOHEX(int channel, int range, int code) override;
  int GetEncoderMode(int index, int* mode, int* first, int* second) override;
  int SetEncoderMode(int index, int mode, int first, int second) override;
  int ReadEncoder(int index, unsigned int* count) override;
  int ClearEncoder(int index) override;

  // Configuration items (no rate divider, no time-out unit).
  int SetConfig(int kind, int sub, int value) override;
  int GetConfig(int kind, int sub, int* value) override;

  // Scan setup (drivers/highspeed/RX5K30_Scan.cpp).
  int SetScanParam(short chCnt, short gain, short trig, int rate, unsigned int target, short M,
                   short A) override;
  int GetScanParam(short* chCnt, short* gain, short* trig, int* rate, unsigned int* target,
                   short* M, short* A) override;
  int SetAIAnalogTriggerParam(int type, char* enable, float* high, float* low, int n,
                              unsigned int pre, unsigned int post) override;
  int GetAIAnalogTriggerParam(int* type, char* enable, float* high, float* low, int n,
                              unsigned int* pre, unsigned int* post) override;

  // The analog-output checks (channel when the AO count is not 0, range), then the busy flag.
  int CheckAO(int channel, int range);

 protected:
  // The type's hooks: 24-bit codes in 4-byte samples, read with "#01H%01d"; reads during a
  // receive answer from the cache.
  const ScanTraits& Traits() const override;
  void FormatRawRead(char* command, size_t size, int gain) const override;
  void CalibrateCode(int code, int channel, int gain, int* out) const override;
  float CodeVoltsOf(const HighSpeedCalibration& c, int code, int channel,
                    int gain) const override;
  // Logs: the gain code's range after "Gain", and the channels' gain words and offsets.
  void DescribeLogRun(scanlog::ScanConfig* config, int gain) const override;

 private:
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

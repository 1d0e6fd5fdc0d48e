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

  // Calibration query (the one-shot reads are HighSpeedModel's). Cached pair of (channel,
  // gain code); 0x18008 / 0x18005 with both outputs 0.
  int ReadGainOffset(int channel, int gain, unsigned short* g, short* o) override;

  // Digital I/O and counters (DI index < DI count, counter index < counter count).
  int ReadDIO(unsigned int* di, unsigned int* dout) override;
  // "@01%X" up to firmware 0x312, "@01D%X" later; value >= 16: 0x1300C.
  int WriteDO(unsigned int value) override;
  int WriteDOBit(int bit, bool on) override;
  int GetDICNTConfig(unsigned int index, unsigned int* mode, unsigned int* value) override;
  int SetDICNTConfig(unsigned int index, unsigned int mode, unsigned int value) override;
  int GetCounterConfig(unsigned int index, unsigned int* mode, unsigned int* value) override;
  int SetCounterConfig(unsigned int index, unsigned int mode, unsigned int value) override;
  int GetDICNT(unsigned int index, unsigned int* count) override;
  int GetCounter(unsigned int index, unsigned int* count) override;
  int ClearDICNT(unsigned int index) override;
  int ClearDICNTALL() override;
  int ClearCounter(unsigned int index) override;
  int ClearCounterALL() override;
  int GetDICNTAll(unsigned int* counts, int n) override;
  int GetCounterAll(unsigned int* counts, int n) override;

  // Configuration items, including (2,2) the rate divider and (5,2) the time-out unit.
  int SetConfig(int kind, int sub, int value) override;
  int GetConfig(int kind, int sub, int* value) override;
  // "~01RPF%01d" then "~01DT%05d" / "~01RP" then "~01DT".
  int SetRMSParam(short rpf, short dt) override;
  int GetRMSParam(short* rpf, short* dt) override;

  // Scan setup (drivers/highspeed/RX5K10_Scan.cpp).
  int SetScanParam(short chCnt, short gain, short trig, int rate, unsigned int target, short M,
                   short A) override;
  int GetScanParam(short* chCnt, short* gain, short* trig, int* rate, unsigned int* target,
                   short* M, short* A) override;
  int SetAIAnalogTriggerParam(int type, char* enable, float* high, float* low, int n,
                              unsigned int pre, unsigned int post) override;
  int GetAIAnalogTriggerParam(int* type, char* enable, float* high, float* low, int n,
                              unsigned int* pre, unsigned int* post) override;
  int SetAIDelayTriggerParam(unsigned int delay) override;
  int GetAIDelayTriggerParam(unsigned int* delay) override;
  int SetSyncInScanParam(unsigned int header, unsigned short* counts, unsigned short* types,
                         unsigned short n, unsigned int option, unsigned int reserved) override;
  int GetSyncInScanParam(unsigned int* header, unsigned short* counts, unsigned short* types,
                         unsigned short capacity, unsigned short* n, unsigned int* option,
                         unsigned int* reserved) override;

  static constexpr int kCalibrationTimeoutMs = 2000;

 protected:
  // The type's hooks: 16-bit codes in 2-byte samples, read with "#01H%01d" (counts from 0),
  // sign-extended; reads during a receive answer from the cache.
  const ScanTraits& Traits() const override;
  void FormatRawRead(char* command, size_t size, int gain) const override;
  int32_t RawCode(uint32_t field) const override;
  int MinReadCount() const override { return 0; }
  void CalibrateCode(int code, int channel, int gain, int* out) const override;
  float CodeVoltsOf(const HighSpeedCalibration& c, int code, int channel,
                    int gain) const override;
  // Logs: the sync mode and the channels' gain words and offsets; text values with 5 decimals.
  void DescribeLogRun(scanlog::ScanConfig* config, int gain) const override;
  int LogTextDecimals() const override { return scanlog::kTextDecimals16Bit; }

  // DI counters and counters of the row, bounded by the mode caches.
  unsigned int DICount() const;
  unsigned int CounterCount() const;
  // One query (format with the index) whose 8 hexadecimal digits at position 3 give value.
  int ReadValue8(unsigned int* value, const char* format, unsigned int index)
      __attribute__((format(printf, 3, 0)));
  // A clear: 1 when the reply begins with '!'; 0 with 0x17003 otherwise.
  int ClearCommand(const char* command);
  // "@01REC" / "@01G": n values parsed from position 3 after zeroing them; the reply holds the
  // 8 digits of each of the module's `limit` counters.
  int ReadAll(unsigned int* counts, int n, unsigned int limit, const char* command);
  // The sync-in frame's SetLayout under the read lock: the sync-in reads walk the layout.
  int SetSyncInLayout(unsigned int header, const unsigned short* types,
                      const unsigned short* counts, unsigned int n, unsigned int option);

 private:
  unsigned int delayValue = 0;   // delay trigger
  unsigned int triggerType = 0;  // analog trigger type
  uint16_t counterMode[4] = {};  // counter mode cache
  uint16_t dicntMode[4] = {};    // DI-counter mode cache
  // Analog trigger high and low levels per channel (raw codes).
  uint16_t triggerHigh[HighSpeedCalibration::kMaxChannels] = {};
  uint16_t triggerLow[HighSpeedCalibration::kMaxChannels] = {};
};

}  // namespace nivex

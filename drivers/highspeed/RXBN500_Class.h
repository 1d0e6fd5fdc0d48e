// The RXBN500 driver: 24-bit, 4 analog inputs with one range, software filters.
#pragma once

#include <mutex>

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

  // The host-buffer byte reads, the counter clear and the event registration: MODEL's
  // defaults (0xFFFFF), not the family's.
  int ReadHostLANBuffer(char* d, unsigned int n) override { return MODEL::ReadHostLANBuffer(d, n); }
  unsigned int ReadHostLANBufferCnt() override { return MODEL::ReadHostLANBufferCnt(); }
  void ClearCnt() override { MODEL::ClearCnt(); }
  int SetEventCallback(unsigned short mask, unsigned short second, void* callback,
                       void* argument) override {
    return MODEL::SetEventCallback(mask, second, callback, argument);
  }
  int RemoveEventCallback(unsigned short mask) override { return MODEL::RemoveEventCallback(mask); }
  void DOCallBackFun(unsigned short event) override { MODEL::DOCallBackFun(event); }

  // Scan setup (drivers/highspeed/RXBN500_Scan.cpp).
  int SetScanParam(short chCnt, short gain, short trig, int rate, unsigned int target, short M,
                   short A) override;
  int GetScanParam(short* chCnt, short* gain, short* trig, int* rate, unsigned int* target,
                   short* M, short* A) override;
  int SetAIAnalogTriggerParam(int type, char* enable, float* high, float* low, int n,
                              unsigned int pre, unsigned int post) override;
  int GetAIAnalogTriggerParam(int* type, char* enable, float* high, float* low, int n,
                              unsigned int* pre, unsigned int* post) override;

  // Software filters (drivers/highspeed/RXBN500_Filter.cpp), one per analog input 0-3; a
  // channel outside 0-3 changes nothing. Every hook returns 1.
  // Order and rate of a channel's filter. An odd or negative order, or one above
  // kMaxFilterOrder, is ignored. Otherwise the filter gets zeroed storage of the new order
  // and passes samples through until it is designed again (enable and type stay), and the
  // filter phase restarts at 0.
  int Init_Software_Filter(int channel, int order, int rate) override;
  // Stores enable as given; a non-zero enable then designs the filter (a design the order,
  // rate or frequencies do not allow leaves the filter as it was).
  int Set_LowPassFilter(int channel, int enable, float cutoff) override;
  int Set_HighPassFilter(int channel, int enable, float cutoff) override;
  int Set_BandPassFilter(int channel, int enable, float f1, float f2) override;
  int Set_BandStopFilter(int channel, int enable, float f1, float f2) override;
  // Filters count samples in place, sample i being of channel (phase + i) mod the channel
  // count; then phase = (phase + count) mod the channel count. Called right after a ring read
  // on the same thread, the phase is the channel the ring gave the read's first sample and the
  // channel count the run's (NoteReadChannels); otherwise the filter phase and the channel
  // count of the last run started (1 before the first): a scan setup changes the walk only
  // from the next start. The buffer reads call it under the read lock. A sample changes only
  // when its channel is 0-3 and that filter has enable exactly 1 and a design; all others pass
  // unchanged. A channel count of 0 changes nothing.
  int Filter_Data(unsigned int count, float* samples) override;
  // The same over raw words (a 24-bit two's-complement code in the low 3 bytes): x = code /
  // 8388607, y = the filter's output, and the word becomes trunc(8388607 y), held within the
  // 24-bit range, in the same form (low 3 bytes, top byte 0). Words of channels without an
  // active filter stay bit for bit.
  int Filter_DataHEX(unsigned int count, unsigned int* codes) override;
  void RestartFilterPhase() override;
  void NoteReadChannels(unsigned first, unsigned channels) override;

  static constexpr int kFilters = 4;
  static constexpr int kMaxFilterOrder = 16384;

 protected:
  // The type's hooks: 24-bit codes in 4-byte samples, read with "#01R"; a read during a
  // receive is refused (0x18011).
  const ScanTraits& Traits() const override;
  void FormatRawRead(char* command, size_t size, int gain) const override;
  bool CachesReads() const override { return false; }
  void CalibrateCode(int code, int channel, int gain, int* out) const override;
  float CodeVoltsOf(const HighSpeedCalibration& c, int code, int channel,
                    int gain) const override;
  // Logs: each channel's gain factor x 1000 and 32-bit offset ("CH%d,Range,%lu, Offset,%d").
  void DescribeLogRun(scanlog::ScanConfig* config, int gain) const override;

 private:
  // The filter of channel (0-3), else null.
  Filter_cls* FilterOf(int channel);
  // Stores enable and, when it is not 0, runs design on the channel's filter.
  template <class Design>
  int SetFilter(int channel, int enable, Design design);
  // Walks count samples from the filter phase: apply(i, filter) for each sample whose
  // channel has an active filter; then advances the phase. filterMutex_ held.
  template <class Apply>
  void WalkChannels(unsigned int count, Apply apply);

  // Analog trigger high and low levels per channel (24-bit codes).
  int32_t triggerHigh[HighSpeedCalibration::kMaxChannels] = {};
  int32_t triggerLow[HighSpeedCalibration::kMaxChannels] = {};
  unsigned int triggerType = 0;
  // Guards the filters and the phase: a read on one thread must not run a filter whose
  // storage another thread replaces. Taken last (no other lock is taken while it is held).
  std::mutex filterMutex_;
  // Channel of the next sample a filter hook sees; separate from the ring's channel cursor.
  unsigned int filterPhase = 0;
  // One software filter per channel, created with order 0 and rate 0 (no design).
  Filter_cls filter[kFilters] = {{0, 0.0f}, {0, 0.0f}, {0, 0.0f}, {0, 0.0f}};
};

}  // namespace nivex

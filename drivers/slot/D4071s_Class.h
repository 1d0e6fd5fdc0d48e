// The D4071s carrier: up to eight 8-channel analog input cards with two ranges (gain code 0:
// +-5 V, 1: +-10 V) and a factory calibration per card, channel and range. Per-slot commands
// carry the card's position; only the item-6 command "~01EDS" carries the slot index.
#pragma once

#include <cstdint>

#include "drivers/slot/SlotCarrier.h"

namespace nivex {

class D4071s : public SlotCarrier {
 public:
  static constexpr int kSlotChannels = 8;
  static constexpr int kGains = 2;
  static constexpr int kMaxChannels = kMaxSlots * kSlotChannels;
  // The window size announced at connect.
  static constexpr unsigned int kWindowSize = 32768;

  D4071s(const char* ip, int cmdPort, int dataPort, WRXmodule row);
  // Disconnects first: a running worker is stopped while the hooks it calls still exist.
  ~D4071s() override;

  // "$01FS8": the versions of positions 0-7 as "V%X,V%X,...". The reply must begin with '>'.
  // 0 with an empty text when the exchange fails or the module refuses.
  int GetFPGAVersion(char* text) override;

  // Calibration of a raw code of a channel at a gain code: (code x gain) >> 15 + offset,
  // clamped to the int16 range; and that code in volts. 0x18008 / 0x18005 for a channel or a
  // gain code out of range.
  int Calibrate_HEX(int code, int channel, int gain, int* out) override;
  int Calibrate_Hex2Float(int code, int channel, int gain, float* out) override;
  // Up to count samples of the ring in volts: each code through the calibration of the card
  // and channel that produced it (its column of the run's frame) at the run's gain code; the number taken. Raw and volt reads share
  // the ring's one read position, so neither shifts the other's channels.
  int AD_ReadData_float(float* destination, unsigned int count, int width) override;
  // The calibration entry of a channel and gain code; both outputs 0 on a refusal.
  int ReadGainOffset(int channel, int gain, unsigned short* gainOut, short* offsetOut) override;
  // "$01RS%1d%1dG%1d" (position, 0, gain code) for every slot and both gain codes. 0 on the
  // first exchange that fails or reply that is refused, short or not hexadecimal (the entries
  // loaded before it stay); 1 after the last.
  int ReadAllGainOffsetfromQZ() override;

  // The arithmetic of a 16-bit calibration (framework/Calibration.h, shared with the RX5K10
  // and the stored-log reader): (i16 code x gain) >> 15 (rounding down) + offset, clamped to
  // -32768 .. 32767; and a calibrated code in volts (/6553.6 at gain code 0, /3276.8 at 1).
  static int ApplyCalibration(int code, uint16_t gain, int16_t offset);
  static float CodeToVolts(int code, int gainCode);

  // ---- analog trigger and scan commands (drivers/slot/D4071s_Scan.cpp)
  // Trigger of modes 0-3 (0x1800E otherwise) on the first n channels (at most the channel
  // total, else 0x17008); pre + post must make up the stored target (0x18010). Every level of
  // an enabled channel (enable[i] == 1) must lie within the range of the gain code, +-5 V or
  // +-10 V, and its calibration gain must not be 0 (0x1800F); all are checked and converted
  // before anything is stored or sent. Then the pre count is split over the slots, each slot
  // gets the rest of its target as its post count ("~01XS%1dM%1dL%08luR%08lu"), and every
  // channel its level codes ("~01XS%1dC%1dH%04XL%04X"; a disabled channel the pair
  // 0x7FFF / 0x8000, or 0x8000 / 0x7FFF in mode 3; an enabled channel whose saturated codes
  // make up such a pair sends its high code one nearer zero). A command that fails or is
  // refused gives 0x1300A; the commands before it stay sent.
  int SetAIAnalogTriggerParam(int mode, char* enable, float* high, float* low, int n,
                              unsigned int pre, unsigned int post) override;
  // Reads the trigger back: the mode and the summed pre and post counts of every slot, and
  // the level codes of every channel; the first n channels reported (the pair 0x7FFF /
  // 0x8000 as disabled with levels 0, any other pair as enabled with its levels in volts).
  // n above the channel total: 0x17008, with the mode, the counts and the entries of the
  // channels the module has zeroed. A failed exchange gives 0x17008,
  // a refused or unreadable reply 0x17003; outputs and state are written only when every
  // reply was read.
  int GetAIAnalogTriggerParam(int* mode, char* enable, float* high, float* low, int n,
                              unsigned int* pre, unsigned int* post) override;
  // "~01XN": the trigger index = channel count x the row the module names; 0 when the reply
  // is refused or names no row. 1, or 0 with 0x17008 when the exchange fails.
  int GetAIAnalogTriggerIdx() override;
  // "~01NS%1d": the module's buffer status (two decimal digits) and sample count (ten) of a
  // slot. 0 with the outputs untouched when the exchange fails or the reply is refused or
  // unreadable (0x17003), or the slot index is not in the slot list (0x18003).
  int GetQZRAMBufferStatus(int slot, unsigned int* count, unsigned int* status);
  // "~01E": the module sends the samples it holds; 1 when it acknowledged with '!'.
  int TransmitData() override;
  // "~01MS%01d" with a, then "~01ME%01d" with b; the replies are not examined; 1.
  int ConfigTrigOut(int a, int b) override;
  // The raw code of a trigger level in volts for a channel at a gain code: 32767 x (32768 x
  // volts / range - offset) / gain in single precision, truncated and held to -32768..32767.
  // False for a zero gain or a level that is not finite.
  static bool LevelToCode(float volts, int gainCode, uint16_t gain, int16_t offset,
                          int16_t* code);

 protected:
  const char* ClassName() const override { return "D4071s"; }
  bool ParseSlotMap(const ReplyLine& reply) override;
  void ClearSlotMap() override;
  unsigned int SlotDataPort(int k) const override;
  int SlotCapacity(int k) const override;
  int SlotDigit(int k) const override;
  void FormatRawRead(char* command, size_t size, int k, int gain) const override;
  int CardType(int k) const override;
  int AfterConnect() override;
  // The worker's "~01XN" with the run's channel count (never the cached one, which a scan
  // setup may change meanwhile).
  void AskRunTriggerIndex(unsigned channels) override;
  int SetChannelValue(int channel, int mV) override;
  int GetChannelValue(int channel, int* mV) override;
  int CheckScanMode(short gain, short trigger, int rate, unsigned int target) const override;
  short RunTrigger(short trigger) const override { return trigger; }
  bool WholeTargetPerSlot(int trigger) const override { return trigger == 4 || trigger == 5; }
  int SlotFieldDigits() const override { return 1; }
  void FormatRateCommand(char* command, size_t size, int rate) const override;
  bool FormatRateQuery(char* command, size_t size) const override;
  void FormatStartCommand(char* command, size_t size) const override;
  const SlotScanTraits& ScanTraits() const override;

 private:
  // "~01XN" for a scan of channels: GetAIAnalogTriggerIdx's steps.
  int TriggerIndexOf(unsigned channels);
  // 0 with 0x18008 / 0x18005 unless channel and gain index the calibration tables.
  int CheckChannelGain(int channel, int gain) const;

  // Position of slot k (-1: none).
  int slotPosition[kMaxSlots];
  // Calibration per slot index, channel within the slot and gain code.
  uint16_t calGain[kMaxSlots][kSlotChannels][kGains] = {};
  int16_t calOffset[kMaxSlots][kSlotChannels][kGains] = {};
  // Item 6 per channel in volts (MODEL::channelValues points here).
  float channelValue[kMaxChannels] = {};
  // Analog trigger state, filled by the trigger setup.
  uint16_t triggerHigh[kMaxChannels] = {};
  uint16_t triggerLow[kMaxChannels] = {};
  unsigned int analogTriggerMode = 0;
  unsigned int slotPreCount[kMaxSlots] = {};
  unsigned int slotPostCount[kMaxSlots] = {};
  unsigned int startArgument = 0;  // the digit of the start command
};

}  // namespace nivex

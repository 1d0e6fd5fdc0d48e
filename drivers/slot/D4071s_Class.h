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
  ~D4071s() override;

  // "$01FS8": the versions of positions 0-7 as "V%X,V%X,...". The reply must begin with '>'.
  // 0 with an empty text when the exchange fails or the module refuses.
  int GetFPGAVersion(char* text) override;

  // Calibration of a raw code of a channel at a gain code: (code x gain) >> 15 + offset,
  // clamped to the int16 range; and that code in volts. 0x18008 / 0x18005 for a channel or a
  // gain code out of range.
  int Calibrate_HEX(int code, int channel, int gain, int* out) override;
  int Calibrate_Hex2Float(int code, int channel, int gain, float* out) override;
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
  int SetChannelValue(int channel, int mV) override;
  int GetChannelValue(int channel, int* mV) override;

 private:
  // 0 with 0x18008 / 0x18005 unless channel and gain index the calibration tables.
  int CheckChannelGain(int channel, int gain) const;
};

}  // namespace nivex

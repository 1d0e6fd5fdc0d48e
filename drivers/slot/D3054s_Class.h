// The D3054s carrier: up to eight cards of the kinds in Supported_IO_List (8, 12 or 16 analog
// input channels, one range, no calibration in the host). Per-slot commands carry the slot
// index; its raw reads send "#01H" without any slot digit.
#pragma once

#include "drivers/slot/SlotCarrier.h"

namespace nivex {

class D3054s : public SlotCarrier {
 public:
  D3054s(const char* ip, int cmdPort, int dataPort, WRXmodule row);
  // Disconnects first: a running worker is stopped while the hooks it calls still exist.
  ~D3054s() override;

  // "$01F": the reply's comma-separated fields (from position 1, behind '!' or '>'), one per
  // slot, each read as up to 4 hexadecimal digits and written as "V%X" joined by ','. No field
  // or a failed exchange gives an empty text and 0, a refusal or a reply holding a NUL also
  // 0x17003; a field the reply does not have (or that holds no number) ends the list.
  int GetFPGAVersion(char* text) override;

  // The logger. The cards' codes have no conversion to volts here, so the text log modes (1,
  // 3) are refused with 0xFFFFF before anything else; the others as StartLogRun.
  int StartLogger(char* folder, int minutes, int logMode) override;
  // The log worker alone, for the folders and files of the last StartLogger: refused like it.
  int StartLogWorkerLocked() override;
  // Writes the ".config" file of a run of base, prefix, tag and the local time *time (a
  // struct tm).
  void SaveMagicConfig(char* base, char* prefix, unsigned int tag, void* time) override;

 protected:
  const char* ClassName() const override { return "D3054s"; }
  bool ParseSlotMap(const ReplyLine& reply) override;
  void ClearSlotMap() override;
  unsigned int SlotDataPort(int k) const override;
  int SlotCapacity(int k) const override;
  int SlotDigit(int k) const override;
  void FormatRawRead(char* command, size_t size, int k, int gain) const override;
  int CardType(int k) const override;
  // Item 6 does not exist here: the set does nothing, the get writes 0; both give 1.
  int SetChannelValue(int channel, int mV) override;
  int GetChannelValue(int channel, int* mV) override;
  // No checks of gain, trigger or rate: the module runs trigger mode 0 whatever is asked.
  int CheckScanMode(short, short, int, unsigned int) const override { return 1; }
  short RunTrigger(short) const override { return 0; }
  int SlotFieldDigits() const override { return 2; }
  void FormatRateCommand(char* command, size_t size, int rate) const override;
  bool FormatRateQuery(char* command, size_t size) const override;
  void FormatStartCommand(char* command, size_t size) const override;
  const SlotScanTraits& ScanTraits() const override;

 private:
  // The card of slot k ("non" for an empty or unknown card).
  IOmodule slotCard[kMaxSlots];
};

}  // namespace nivex

// D3054s: slot map from the card characters and the hardware versions.
#include "drivers/slot/D3054s_Class.h"

#include <cstdio>
#include <string>

#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {

D3054s::D3054s(const char* ip, int cmdPort, int dataPort, WRXmodule row)
    : SlotCarrier(ip, cmdPort, dataPort, row) {
  sampleRate = 0;
  ClearSlotMap();
}

D3054s::~D3054s() { DisconnectServer(); }

bool D3054s::ParseSlotMap(const ReplyLine& reply) {
  // "!01" + the slot count in two hexadecimal digits + one card character per slot.
  uint32_t count = 0;
  if (!ReplyFits(reply, kDataLeads) || !HexField(reply.text, 3, 2, &count)) return false;
  if (count > static_cast<uint32_t>(kMaxSlots)) return false;  // more slots than the object holds
  IOmodule cards[kMaxSlots];
  for (int p = 0; p < kMaxSlots; ++p) cards[p] = Supported_IO_List[0];
  const size_t len = reply.received;
  for (size_t p = 0; p < static_cast<size_t>(kMaxSlots) && 5 + p < len; ++p)
    cards[p] = Supported_IO_List[CardRowOf(reply.text[5 + p])];
  // The channel total counts the cards that have a slot (and a data socket) only.
  unsigned int total = 0;
  for (uint32_t k = 0; k < count; ++k) total += cards[k].channels;
  for (int p = 0; p < kMaxSlots; ++p) slotCard[p] = cards[p];
  slotCount = static_cast<int>(count);
  module.AI = static_cast<unsigned short>(total);
  return true;
}

void D3054s::ClearSlotMap() {
  slotCount = 0;
  for (IOmodule& card : slotCard) card = Supported_IO_List[0];
}

unsigned int D3054s::SlotDataPort(int k) const { return dataPort[k]; }

int D3054s::SlotCapacity(int k) const { return static_cast<int>(slotCard[k].channels); }

int D3054s::SlotDigit(int k) const { return k; }

void D3054s::FormatRawRead(char* command, size_t size, int, int) const {
  // The module takes the raw read without a slot or gain digit.
  std::snprintf(command, size, "#01H");
}

int D3054s::CardType(int k) const { return static_cast<int>(slotCard[k].cardType); }

int D3054s::SetChannelValue(int, int) { return 1; }

int D3054s::GetChannelValue(int, int* mV) {
  *mV = 0;
  return 1;
}

void D3054s::FormatRateCommand(char* command, size_t size, int rate) const {
  std::snprintf(command, size, "~01R%06ld", static_cast<long>(rate));
}

bool D3054s::FormatRateQuery(char* command, size_t size) const {
  std::snprintf(command, size, "~01R");
  return true;
}

void D3054s::FormatStartCommand(char* command, size_t size) const {
  std::snprintf(command, size, "~01S");
}

const SlotCarrier::SlotScanTraits& D3054s::ScanTraits() const {
  // A ring of 200 bytes per sample; a fixed unit of 100 (5 s of silence); one row part of the
  // slot per receive; the ends by silence printed.
  static const SlotScanTraits kTraits{200, 100, 0, 0, false, true};
  return kTraits;
}

int D3054s::GetFPGAVersion(char* text) {
  if (text == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  text[0] = '\0';
  ReplyLine reply;
  if (!Exchange(cmdSock, &reply, kTimeoutMs, "$01F")) return 0;
  if (!ReplyFits(reply, kDataLeads)) return Fail(QZ_ERR_DEVICE_RESPONSE);
  char fields[kMaxSlots + 1][256];
  const int n = Split(reply.text + 1, ",", fields, kMaxSlots + 1);
  if (n < 1) return 0;  // one field is the version of a one-card carrier
  std::string out;
  for (int k = 0; k < slotCount && k < n; ++k) {
    unsigned int v = 0;
    if (std::sscanf(fields[k], "%4X", &v) != 1) break;
    if (!out.empty()) out += ',';
    char one[16];
    std::snprintf(one, sizeof(one), "V%X", v & 0xFFFFu);
    out += one;
  }
  CopyText(text, kVersionTextSize, out.c_str());
  return 1;
}

}  // namespace nivex

// What the two slot carriers (D4071s, D3054s) share: the slot list found at connect, the command
// socket and one data socket per slot, the single reads, the window-size and reboot commands,
// the configuration items, and helpers that format a command, exchange it and read reply
// fields. The classes differ only in the hooks below: how the "$01C" reply maps the slots, how
// many channels a slot holds, which digit addresses a slot and which data port it streams on.
//
// Terms: a card sits at a carrier position 0-7; the present cards form the slot list, slot
// index k = 0 .. slot count - 1 in ascending order of position. The module's channels are
// numbered over the slot list, slot 0's channels first; the channel total (the row's AI count
// after ConnectServer) is the sum of the slots' channels.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "framework/RXMODEL_Class.h"

namespace nivex {

// One row of the slot card table: the WRXmodule layout with the card type code in place of the
// bytes-per-sample field, followed by the card's channel count.
struct IOmodule {
  char name[20];
  unsigned short id;
  unsigned short DI;
  unsigned short DO;
  unsigned short AI;
  unsigned short AIranges;
  unsigned int cardType;
  unsigned short AO;
  unsigned short AOranges;
  unsigned short counters;
  unsigned short further1;
  unsigned short further2;
  unsigned int channels;
};

// The cards a D3054s slot may hold. Row 0 ("non", no channels) stands for an empty or unknown
// slot; row 7 is never selected.
extern const IOmodule Supported_IO_List[8];

// The row of Supported_IO_List that a "$01C" card character selects: '1' 1, '2' 2, '3' 3,
// '4' 4, '8' 5, '9' 6, any other character 0.
int CardRowOf(char c);

class SlotCarrier : public MODEL {
 public:
  static constexpr int kMaxSlots = 8;
  static constexpr int kMaxSlotChannels = 16;  // the largest card
  static constexpr size_t kReplySize = kExchangeReplySize;  // a reply buffer
  static constexpr int kTimeoutMs = 1000;      // every command of the carriers
  // The longest hardware-version text with its NUL (8 x "VFFFF" and 7 commas): the caller's
  // buffer of GetFPGAVersion must hold this many bytes (QZ_HW_VERSION_SIZE).
  static constexpr size_t kVersionTextSize = 48;

  SlotCarrier(const char* ip, int cmdPort, int dataPort, WRXmodule row);
  // Clears the run flag and disconnects.
  ~SlotCarrier() override;

  // Opens the command socket, asks the slot map with "$01C", opens one data socket per slot and
  // lets the class finish (AfterConnect). 1 on success; 0 with 0x17006 (command port, a refused
  // or unreadable slot map, a data port) or 0x13007 (AfterConnect), and then every socket this
  // call opened is closed again. Prints " [<class>::ConnectServer] cmd port error" or
  // "... data port error" for the 0x17006 cases. Connecting a connected object starts afresh.
  int ConnectServer() override;
  // Closes every open socket and marks it -1; harmless when called again. Always 1.
  int DisconnectServer() override;

  // Single reads. Channel (0 .. channel total - 1) and count as the exported functions check
  // them; gain is sent as it is. While a worker is inside a data-port receive they send nothing
  // and fail with 0x18011. A failed exchange, a refused reply or one too short or not numeric
  // for the slot's fields fails with 0x17003 and stores nothing of that reply (an all-channel
  // read keeps the values of the slots before).
  int ReadAI(int channel, int gain, float* volts) override;
  int ReadAIALL(int gain, float* volts, int count) override;
  int ReadAIHEX(int channel, int gain, int* code) override;
  int ReadAIALLHEX(int gain, int* codes, int count) override;

  // Configuration items: the shared items of MODEL ((4,1) log folder mode, (4,2) stored
  // value, (5,0) "~01RPF", (5,1) "~01DT"), (6,channel) the class's per-channel value; others
  // 0x1300C (0x19002 for an unknown kind-5 item of SetConfig).
  int SetConfig(int kind, int item, int value) override;
  int GetConfig(int kind, int item, int* value) override;

  // "~01WS%1d%06lu" with 8 and bytes; the reply is not examined; 1.
  int SetWinSize(unsigned int bytes) override;
  // Sends "$01Q" and waits for no reply (the module sends none); 1.
  int ReBoot() override;
  // The slot count and one card type byte per slot (types: at least the slot count, at most 8
  // bytes); 1.
  int GetModuleTable(int* count, char* types) override;

  void setQZsamplingStatus(bool busy) override;
  bool getQZsamplingStatus() override;

  int CommandSocket() const override { return cmdSock; }
  int SlotCount() const { return slotCount; }
  int ChannelTotal() const { return module.AI; }
  // Channels of slot k's card (0 for k outside the slot list).
  int SlotChannels(int k) const { return (k >= 0 && k < slotCount) ? SlotCapacity(k) : 0; }
  // The slot and the channel within it of a module channel; false when the channel is not on
  // any slot.
  bool SlotOfChannel(int channel, int* slot, int* within) const;

  // ---------------------------------------------------------------- fields
  unsigned int dataPort[kMaxSlots];     // first data port + i (D4071s: by position, D3054s: by index)
  int cmdSock = -1;
  int dataSock[kMaxSlots];              // by slot index, -1 when closed
  int slotCount = 0;
  unsigned short slotChannelCount[kMaxSlots] = {};  // per-slot share of a scan's channels
  unsigned int slotTargetCount[kMaxSlots] = {};     // per-slot share of a scan's target
  std::atomic<bool> runFlag{false};                 // run flag of the device's worker

 protected:
  // ---------------------------------------------------------------- the class's hooks
  // "D4071s" / "D3054s", for the printed lines.
  virtual const char* ClassName() const = 0;
  // Takes the slot map from the "$01C" reply ('!' or '>' first): sets the slot list, the slot
  // count and the channel total. False (nothing changed) when the reply is refused, out of its
  // format or names a slot count the object cannot hold.
  virtual bool ParseSlotMap(const ReplyLine& reply) = 0;
  // Back to the constructed slot list (no slots).
  virtual void ClearSlotMap() = 0;
  // The data port slot k streams on.
  virtual unsigned int SlotDataPort(int k) const = 0;
  // Channels of slot k's card (k inside the slot list).
  virtual int SlotCapacity(int k) const = 0;
  // The digit that addresses slot k in the per-slot commands.
  virtual int SlotDigit(int k) const = 0;
  // The raw-code read command for slot k.
  virtual void FormatRawRead(char* command, size_t size, int k, int gain) const = 0;
  // The card type byte GetModuleTable reports for slot k; < 0 leaves the caller's byte.
  virtual int CardType(int k) const = 0;
  // Runs after every data socket is open; 1 to complete the connection, otherwise the
  // connection fails with 0x13007.
  virtual int AfterConnect() { return 1; }
  // Configuration item 6 (per-channel value in millivolts).
  virtual int SetChannelValue(int channel, int mV) = 0;
  virtual int GetChannelValue(int channel, int* mV) = 0;

  // ---------------------------------------------------------------- helpers
  // Commands go out with MODEL::Exchange on cmdSock (kTimeoutMs); replies are checked with
  // ReplyFits and their fields read with HexField (support/utility.h) and the parsers below.
  // The n volt fields (7 characters each, from position 1) of a read reply ('!' or '>' first,
  // exactly the n fields long); false when the reply is refused, of another length or a field
  // is not a finite number.
  static bool ParseVolts(const ReplyLine& reply, int n, float* out);
  // The n raw fields (4 hexadecimal characters each, from position 1), 0 .. 65535.
  static bool ParseCodes(const ReplyLine& reply, int n, int* out);

  // One read exchange of slot k, its fields in out (SlotCapacity(k) entries); 0 with 0x17003.
  int ReadSlotVolts(int k, int gain, float* out);
  int ReadSlotCodes(int k, int gain, int* out);

  // Prints " [<class>::ConnectServer] <what>" with puts.
  void PrintConnectError(const char* what) const;
};

}  // namespace nivex

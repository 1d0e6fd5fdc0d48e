// The command set and module state of the slot carriers D4071s and D3054s.
//
// The slot layout comes from Options::slotLayout (or the model's default):
//   D4071s: one character per carrier position 0-7, '1' = a card is present ("11111111").
//   D3054s: one card character per slot ('1' 8 ch, '2' 12, '3' 8, '4' 12, '8' 8, '9' 16, any
//           other character an empty slot with no channels) ("1199").
// Each slot listens on data port + offset (D4071s: the position, D3054s: the slot index; at
// most 8). The module's channels are numbered over the slots in slot order, slot 0's
// channels first, as the host numbers them: the signal source (Engine::Signal) and the
// D4071s calibration table (Engine::Calibration, 64 channels x 2 gain codes) are indexed by
// that number.
//
// The scan setup is per slot, addressed as the host addresses it (D4071s: the position in one
// decimal digit; D3054s: the slot index in two hexadecimal digits): "~01PS" (gain, channels,
// trigger mode, M), "~01TS" (the slot's sample count) and the rate ("~01RS8" / "~01R"); the
// D4071s also keeps an analog trigger per slot ("~01XS..M..L..R..") and level codes per
// channel ("~01XS..C..H..L.."). Settings out of the module's ranges are refused with "?01"
// and change nothing.
//
// The D3054s tells the start time of its last scan ("~01SST": "!01 YYYY/MM/DD hh:mm:ss.mmm").
//
// Each slot streams on its data port (emulator/SlotStreamer.h): the start command ("~01S%d" /
// "~01S") starts every slot with channels, with its "~01PS" channels, its "~01TS" count and the
// rate; "~01Z" ends them before it answers. A slot's codes are those of its channels' signals
// at the slot's gain code as the single reads see them, taken at each sample's instant (D4071s:
// before the calibration), or, with SetRowCodes, (module channel << 10) | (row mod 1024), which tell every sample's place.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emulator/Engine.h"
#include "emulator/SlotStreamer.h"

namespace nivex::emu {

class SlotCarrierModule : public ModuleHandler {
 public:
  SlotCarrierModule(Engine& engine, Model model);

  Answer Handle(const std::string& line) override;
  std::vector<int> DataPortOffsets() const override;
  CalShape AICalShape() const override;
  CalEntry UnityAI(int gainCode) const override;
  void PowerOn() override;
  void OnDataConnected(int index) override;
  void OnDataReceived(int index, const char* bytes, size_t n) override;
  void OnDataClosed(int index) override;
  int OnTick(int64_t nowMs) override;

  // The layout text of a model when Options::slotLayout is empty.
  static std::string DefaultLayout(Model m);

  // ---- the layout (fixed at construction)
  int SlotCount() const { return static_cast<int>(slots_.size()); }
  // Carrier position of slot k (D4071s; the slot index on the D3054s).
  int SlotPosition(int k) const;
  int SlotChannels(int k) const;
  // Module channel of slot k's first channel.
  int FirstChannel(int k) const;

  // ---- settings, taking the engine's lock
  // D3054s: the slot whose codes answer "#01H" (default 0; the command names none).
  void SetRawSlot(int k);
  // The hardware version of the card at a position (D4071s) or slot (D3054s), "$01FS8" /
  // "$01F". Default 0x100 + position or slot.
  void SetCardVersion(int index, unsigned version);
  // The stream's codes tell each sample's module channel and row (see above).
  void SetRowCodes(bool on);
  // D4071s: the row "~01XN" reports (default 0).
  void SetTriggerRow(uint32_t row);
  // The data port of slot k (0 .. SlotCount() - 1).
  SlotStreamer& Stream(int k) { return *streams_[static_cast<size_t>(k)]; }

  // The scan settings of one slot.
  struct SlotScan {
    int gain = 0;
    int channels = 0;
    int trigger = 0;
    int M = 0;
    uint32_t target = 0;
    int triggerMode = 0;   // D4071s analog trigger
    uint32_t pre = 0;
    uint32_t post = 0;
    uint32_t buffered = 0;  // samples the card holds ("~01NS")
  };

  // ---- state, lock held
  int Rpf() const { return rpf_; }
  int Dt() const { return dt_; }
  const SlotScan& Scan(int k) const { return scan_[static_cast<size_t>(k)]; }
  long Rate() const { return rate_; }
  bool Scanning() const { return scanning_; }
  // D4071s level codes of a module channel ("~01XS..C..H..L..").
  uint16_t LevelHigh(int channel) const { return levelHigh_[channel]; }
  uint16_t LevelLow(int channel) const { return levelLow_[channel]; }
  // The two digits of "~01MS" and "~01ME" (-1 before any).
  int TrigOut(int i) const { return trigOut_[i]; }

 private:
  struct Slot {
    int position;
    int channels;
    int first;  // module channel of its channel 0
  };

  void Build();
  void BuildD4071s();
  void BuildD3054s();
  // The scan-setup commands of both models; the D4071s trigger and scan commands.
  void BuildScan();
  void BuildD4071sScan();
  // Slot index of a slot field of the scan commands (-1: none).
  int SlotOfField(const std::string& field) const;
  // Slot index of a carrier position, -1 when no card sits there.
  int SlotAtPosition(int position) const;
  // The volt fields ("%+07.3f") of slot k at a gain code.
  std::string VoltFields(int k, int gain) const;
  // The raw code of a module channel at a gain code as the card delivers it (D4071s: before
  // its calibration).
  int RawCode(int channel, int gain) const;
  // The same of volts at that channel.
  int CodeOf(int channel, int gain, double volts) const;
  // The code slot k streams for a module channel at a row and its instant (seconds into the run).
  int32_t StreamCode(int k, int channel, uint64_t row, double at) const;
  // The scan start and "~01Z": every slot with channels starts a run; every run ends.
  void StartStreams();
  void StopStreams();
  SlotStreamer* StreamAt(int index);  // null for an index without a data port
  // The rows a slot may generate up to: the slowest slot still streaming plus a small lead
  // (all slots sample from one clock); UINT64_MAX when no slot holds the others back.
  uint64_t RowBound() const;

  Model model_;
  std::string layout_;
  std::vector<Slot> slots_;
  CommandTable table_;
  int rawSlot_ = 0;
  std::vector<unsigned> cardVersion_;  // by position (D4071s) or slot (D3054s)
  int rpf_ = 500;
  int dt_ = 1;
  uint32_t edBits_[8][8] = {};  // D4071s item 6, by slot index and channel
  std::vector<SlotScan> scan_;  // by slot index
  long rate_ = 0;
  bool scanning_ = false;
  int64_t startWallMs_ = -1;  // system clock at the last scan start (D3054s "~01SST")
  uint16_t levelHigh_[64] = {};
  uint16_t levelLow_[64] = {};
  uint32_t triggerRow_ = 0;  // "~01XN"
  int trigOut_[2] = {-1, -1};
  bool rowCodes_ = false;
  std::vector<std::unique_ptr<SlotStreamer>> streams_;  // by slot index
};

class Emulator;

// For tests and nivex-emu: the streamer of slot k of a slot carrier; null for another type or
// slot.
SlotStreamer* SlotStreamerOf(Emulator& e, int k);

}  // namespace nivex::emu

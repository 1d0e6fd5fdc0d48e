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
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/Engine.h"

namespace nivex::emu {

class SlotCarrierModule : public ModuleHandler {
 public:
  SlotCarrierModule(Engine& engine, Model model);

  Answer Handle(const std::string& line) override;
  std::vector<int> DataPortOffsets() const override;
  CalShape AICalShape() const override;
  CalEntry UnityAI(int gainCode) const override;
  void PowerOn() override;

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

  // ---- state, lock held
  int Rpf() const { return rpf_; }
  int Dt() const { return dt_; }

 private:
  struct Slot {
    int position;
    int channels;
    int first;  // module channel of its channel 0
  };

  void Build();
  void BuildD4071s();
  void BuildD3054s();
  // Slot index of a carrier position, -1 when no card sits there.
  int SlotAtPosition(int position) const;
  // The volt fields ("%+07.3f") of slot k at a gain code.
  std::string VoltFields(int k, int gain) const;
  // The raw code of a module channel at a gain code as the card delivers it (D4071s: before
  // its calibration).
  int RawCode(int channel, int gain) const;

  Model model_;
  std::string layout_;
  std::vector<Slot> slots_;
  CommandTable table_;
  int rawSlot_ = 0;
  std::vector<unsigned> cardVersion_;  // by position (D4071s) or slot (D3054s)
  int rpf_ = 500;
  int dt_ = 1;
  uint32_t edBits_[8][8] = {};  // D4071s item 6, by slot index and channel
};

}  // namespace nivex::emu

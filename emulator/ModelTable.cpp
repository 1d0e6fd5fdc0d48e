// What distinguishes the emulated types: their names, firmware, channel counts and the
// handler that carries each type's command set.
#include "emulator/Emulator.h"
#include "emulator/Engine.h"
#include "emulator/HighSpeedModule.h"
#include "emulator/SlotCarrierModule.h"

namespace nivex::emu {

std::unique_ptr<ModuleHandler> MakeModuleHandler(Model model, Engine& engine) {
  switch (model) {
    case Model::RX5K10:
    case Model::RX5K30:
    case Model::RXBN500:
      return std::make_unique<HighSpeedModule>(engine, model);
    case Model::D4071s:
    case Model::D3054s:
      break;
  }
  return std::make_unique<SlotCarrierModule>(engine, model);
}

const char* ModelText(Model m) {
  switch (m) {
    case Model::RX5K10: return "RX5K10";
    case Model::RX5K30: return "RX5K30";
    case Model::RXBN500: return "RXBN500";
    case Model::D4071s: return "D4071s";
    case Model::D3054s: return "D3054s";
  }
  return "?";
}

bool ParseModel(const std::string& text, Model* m) {
  const Model all[] = {Model::RX5K10, Model::RX5K30, Model::RXBN500, Model::D4071s,
                       Model::D3054s};
  for (Model x : all) {
    if (text == ModelText(x)) {
      if (m) *m = x;
      return true;
    }
  }
  return false;
}

std::string DefaultModuleName(Model m) {
  switch (m) {
    case Model::RX5K10: return "RX5K10-EMU";
    case Model::RX5K30: return "WRX-5K30M";
    case Model::RXBN500: return "WRX-BN500";
    case Model::D4071s: return "D4071s";
    case Model::D3054s: return "D3054Ws";
  }
  return "";
}

unsigned DefaultFirmwareVersion(Model) { return 0x400; }

int AnalogInputs(Model m) {
  switch (m) {
    case Model::RX5K10: return 8;
    case Model::RX5K30: return 4;
    case Model::RXBN500: return 4;
    case Model::D4071s: return 64;   // 8 positions of 8 channels
    case Model::D3054s: return 128;  // 8 slots of up to 16 channels
  }
  return 0;
}

}  // namespace nivex::emu

// The command set and module state of the high-speed types RX5K10, RX5K30, RXBN500.
#pragma once

#include <string>

#include "emulator/Engine.h"

namespace nivex::emu {

class HighSpeedModule : public ModuleHandler {
 public:
  HighSpeedModule(Engine& engine, Model model);

  Answer Handle(const std::string& line) override;
  CalShape AICalShape() const override;
  CalShape AOCalShape() const override;
  CalEntry UnityAI(int gainCode) const override;
  CalEntry UnityAO(int rangeCode) const override;

  // Full scale of an RX5K30 gain code in millivolts (10000 ... 20).
  static unsigned Rx5k30RangeMv(int gainCode);

 private:
  void BuildCommon();
  void BuildRx5k10();
  void BuildRx5k30();
  void BuildRxbn500();

  Model model_;
  CommandTable table_;
};

}  // namespace nivex::emu

// The high-speed types' commands. Every pattern is matched against the whole line, so
// texts that share a beginning ("~01R" and "~01RP", "$01R0C..." and "$01R1C...") never
// take each other's answers. Replies carry no CR; the engine adds it.
#include "emulator/HighSpeedModule.h"

#include <cstdlib>

namespace nivex::emu {
namespace {

int Digit(const std::smatch& m, size_t i) { return std::atoi(m[i].str().c_str()); }

}  // namespace

HighSpeedModule::HighSpeedModule(Engine& engine, Model model)
    : ModuleHandler(engine), model_(model) {
  BuildCommon();
  switch (model_) {
    case Model::RX5K10: BuildRx5k10(); break;
    case Model::RX5K30: BuildRx5k30(); break;
    default: BuildRxbn500(); break;
  }
}

unsigned HighSpeedModule::Rx5k30RangeMv(int gainCode) {
  static const unsigned kMv[10] = {10000, 5000, 2500, 1250, 625, 300, 150, 75, 40, 20};
  return (gainCode >= 0 && gainCode < 10) ? kMv[gainCode] : 0;
}

CalShape HighSpeedModule::AICalShape() const {
  switch (model_) {
    case Model::RX5K10: return {8, 2};
    case Model::RX5K30: return {4, 10};
    default: return {4, 1};
  }
}

CalShape HighSpeedModule::AOCalShape() const {
  return model_ == Model::RX5K30 ? CalShape{2, 4} : CalShape{};
}

CalEntry HighSpeedModule::UnityAI(int gainCode) const {
  switch (model_) {
    case Model::RX5K10: return CalEntry{0x8000, 0, 0};
    case Model::RX5K30: return CalEntry{0x8000, 0, Rx5k30RangeMv(gainCode)};
    default: return CalEntry{10000, 0, 0};  // "2710": 10.0
  }
}

CalEntry HighSpeedModule::UnityAO(int) const { return CalEntry{0x8000, 0, 0}; }

Answer HighSpeedModule::Handle(const std::string& line) { return table_.Dispatch(line); }

void HighSpeedModule::BuildCommon() {
  // Data window size (connect): "~01WS032768".
  table_.Add(R"(~01WS(\d{6,}))", [this](const std::smatch& m) {
    engine_.windowSize = std::strtoul(m[1].str().c_str(), nullptr, 10);
    return Answer::Ack();
  });
  // Hardware version: the lead and decimal digits ("!12"; "!" alone when empty).
  table_.Add(R"(\$01F)", [this](const std::smatch&) {
    return Answer::Text("!" + engine_.options().hwVersionText);
  });
  // Reboot.
  table_.Add(R"(Q)", [this](const std::smatch&) {
    switch (engine_.options().reboot) {
      case RebootBehaviour::Acknowledge: return Answer::Ack();
      case RebootBehaviour::Silent: return Answer::None();
      case RebootBehaviour::Drop: return Answer::Disconnect();
    }
    return Answer::None();
  });
}

void HighSpeedModule::BuildRx5k10() {
  // Calibration read, channel 0-7, gain code 0-1: "!" gain(4 hex) offset(4 hex, int16).
  table_.Add(R"(\$01R0C([0-7])G([01]))", [this](const std::smatch& m) {
    const CalEntry e = engine_.Calibration(false, Digit(m, 1), Digit(m, 2));
    return Answer::Text(Format("!%04X%04X", e.gain & 0xFFFFu,
                               static_cast<unsigned>(e.offset) & 0xFFFFu));
  });
}

void HighSpeedModule::BuildRx5k30() {
  // Input calibration, channel 0-3, gain code 0-9: gain, offset, range in millivolts.
  table_.Add(R"(\$01RI1C([0-3])G([0-9]))", [this](const std::smatch& m) {
    const CalEntry e = engine_.Calibration(false, Digit(m, 1), Digit(m, 2));
    return Answer::Text(Format("!%04X%04X%04X", e.gain & 0xFFFFu,
                               static_cast<unsigned>(e.offset) & 0xFFFFu, e.rangeMv & 0xFFFFu));
  });
  // Output calibration, output 0-1, range code 0-3.
  table_.Add(R"(\$01RO1C([01])G([0-3]))", [this](const std::smatch& m) {
    const CalEntry e = engine_.Calibration(true, Digit(m, 1), Digit(m, 2));
    return Answer::Text(Format("!%04X%04X", e.gain & 0xFFFFu,
                               static_cast<unsigned>(e.offset) & 0xFFFFu));
  });
}

void HighSpeedModule::BuildRxbn500() {
  // Calibration, channel 0-3: gain x 1000 (4 hex) and offset (8 hex, int32).
  table_.Add(R"(\$01R1C([0-3]))", [this](const std::smatch& m) {
    const CalEntry e = engine_.Calibration(false, Digit(m, 1), 0);
    return Answer::Text(Format("!%04X%08X", e.gain & 0xFFFFu, static_cast<unsigned>(e.offset)));
  });
}

}  // namespace nivex::emu

// The high-speed types' commands. Every pattern is matched against the whole line, so
// texts that share a beginning ("~01R" and "~01RP", "$01R0C..." and "$01R1C...") never
// take each other's answers. Replies carry no CR; the engine adds it.
#include "emulator/HighSpeedModule.h"

#include <algorithm>
#include <cstdlib>

#include "emulator/Emulator.h"
#include "emulator/InverseCalibration.h"

namespace nivex::emu {
namespace {

int Digit(const std::smatch& m, size_t i) { return std::atoi(m[i].str().c_str()); }
unsigned Hex(const std::smatch& m, size_t i) {
  return static_cast<unsigned>(std::strtoul(m[i].str().c_str(), nullptr, 16));
}

}  // namespace

HighSpeedModule::HighSpeedModule(Engine& engine, Model model)
    : ModuleHandler(engine),
      model_(model),
      // The stream's samples come from the one-shot reads' signals, at each sample's instant and
      // the scan's gain code.
      stream_(engine, model, scan_, [this](int ch, uint64_t, double at) {
        return CodeOf(ch, scan_.gain, engine_.SignalAt(ch, at));
      }) {
  BuildCommon();
  switch (model_) {
    case Model::RX5K10:
      BuildRx5k10();
      BuildDigital();
      BuildCounters();
      BuildConfig();
      break;
    case Model::RX5K30:
      BuildRx5k30();
      BuildDigital();
      BuildConfig();
      BuildOutputs();
      break;
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

void HighSpeedModule::PowerOn() {
  io = IOState{};
  scan_.PowerOn();
  sd_.PowerOn();
}

Answer HighSpeedModule::Handle(const std::string& line) {
  if (Answer a; scan_.Handle(line, &a)) return a;
  if (Answer a; sd_.Handle(line, &a)) return a;
  if (Answer a; stream_.Handle(line, &a)) return a;
  return table_.Dispatch(line);
}

void HighSpeedModule::OnDataConnected(int) { stream_.OnDataConnected(); }
void HighSpeedModule::OnDataReceived(int, const char* bytes, size_t n) {
  stream_.OnDataReceived(bytes, n);
}
void HighSpeedModule::OnDataClosed(int) {
  stream_.OnDataClosed();
  sd_.OnDataClosed();
}
int HighSpeedModule::OnTick(int64_t) {
  const int scan = stream_.OnTick(), card = sd_.OnTick();
  return scan < 0 ? card : card < 0 ? scan : std::min(scan, card);
}

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
    return Answer::Reboot(engine_.options().reboot);
  });
}

void HighSpeedModule::BuildRx5k10() {
  // One-shot read of the 8 inputs at gain code 0-1: ">" and 4 hex digits per channel.
  table_.Add(R"(#01H([01]))", [this](const std::smatch& m) { return ReadCodes(Digit(m, 1)); });
  // Calibration read, channel 0-7, gain code 0-1: "!" gain(4 hex) offset(4 hex, int16).
  table_.Add(R"(\$01R0C([0-7])G([01]))", [this](const std::smatch& m) {
    const CalEntry e = engine_.Calibration(false, Digit(m, 1), Digit(m, 2));
    return Answer::Text(Format("!%04X%04X", e.gain & 0xFFFFu,
                               static_cast<unsigned>(e.offset) & 0xFFFFu));
  });
}

void HighSpeedModule::BuildRx5k30() {
  // One-shot read of the 4 inputs at gain code 0-9: ">" and 8 hex digits per channel.
  table_.Add(R"(#01H([0-9]))", [this](const std::smatch& m) { return ReadCodes(Digit(m, 1)); });
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
  // One-shot read of the 4 inputs: ">" and 8 hex digits per channel.
  table_.Add(R"(#01R)", [this](const std::smatch&) { return ReadCodes(0); });
  // Calibration, channel 0-3: gain x 1000 (4 hex) and offset (8 hex, int32).
  table_.Add(R"(\$01R1C([0-3]))", [this](const std::smatch& m) {
    const CalEntry e = engine_.Calibration(false, Digit(m, 1), 0);
    return Answer::Text(Format("!%04X%08X", e.gain & 0xFFFFu, static_cast<unsigned>(e.offset)));
  });
}

int32_t HighSpeedModule::RawCode(int channel, int gainCode) const {
  return CodeOf(channel, gainCode, engine_.Signal(channel));
}

int32_t HighSpeedModule::CodeOf(int channel, int gainCode, double volts) const {
  const CalEntry e = engine_.Calibration(false, channel, model_ == Model::RXBN500 ? 0 : gainCode);
  switch (model_) {
    case Model::RX5K10:
      return InverseQ15(volts * (gainCode == 0 ? 6553.6 : 3276.8), e.gain, e.offset);
    case Model::RX5K30: return InverseRx5k30(volts, e, Rx5k30RangeMv(gainCode) / 1000.0);
    default: return InverseBn500(volts, e);
  }
}

Answer HighSpeedModule::ReadCodes(int gainCode) {
  std::string text = ">";
  const int n = model_ == Model::RX5K10 ? 8 : 4;
  for (int ch = 0; ch < n; ++ch) {
    const uint32_t code = static_cast<uint32_t>(RawCode(ch, gainCode));
    text += model_ == Model::RX5K10 ? Format("%04X", code & 0xFFFFu)
                                    : Format("%08X", code & 0xFFFFFFu);
  }
  return Answer::Text(text);
}

void HighSpeedModule::BuildDigital() {
  // Read: DO digit, DI digit.
  table_.Add(R"(@01)", [this](const std::smatch&) {
    return Answer::Text(Format("!%X%X", io.dout & 0xFu, io.din & 0xFu));
  });
  // Write: "@01%X" up to firmware 0x312 (so "@01C" is a write there), "@01D%X" later.
  table_.Add(R"(@01([0-9A-F]))", [this](const std::smatch& m) {
    if (model_ != Model::RX5K10 || engine_.FirmwareVersion() > 0x312) {
      if (m[1].str() == "C" && model_ == Model::RX5K10) {  // clear the counter
        io.counter = 0;
        return Answer::Ack();
      }
      return Answer::Refuse();
    }
    io.dout = Hex(m, 1);
    return Answer::Ack();
  });
  table_.Add(R"(@01D([0-9A-F]))", [this](const std::smatch& m) {
    if (model_ == Model::RX5K10 && engine_.FirmwareVersion() <= 0x312) return Answer::Refuse();
    io.dout = Hex(m, 1);
    return Answer::Ack();
  });
  // One output bit.
  table_.Add(R"(#01A([0-3])([01]))", [this](const std::smatch& m) {
    const unsigned bit = 1u << Hex(m, 1);
    io.dout = Digit(m, 2) ? (io.dout | bit) : (io.dout & ~bit);
    return Answer::Ack();
  });
}

void HighSpeedModule::BuildCounters() {
  // Preset query, shared by the DI counters and the counter.
  table_.Add(R"(@01P([0-3]))", [this](const std::smatch& m) {
    return Answer::Text(Format("!01%08X", io.preset[Hex(m, 1)]));
  });
  table_.Add(R"(@01PRE([0-3])([0-9A-F]{8}))", [this](const std::smatch& m) {
    io.preset[Hex(m, 1)] = Hex(m, 2);
    return Answer::Ack();
  });
  table_.Add(R"(@01P(0)([0-9A-F]{8}))", [this](const std::smatch& m) {
    io.preset[0] = Hex(m, 2);
    return Answer::Ack();
  });
  table_.Add(R"(\$015PR([0-3]))", [this](const std::smatch& m) {
    const int i = Digit(m, 1);
    return Answer::Text(Format("!01%d%d", io.dicntMode[i][0], io.dicntMode[i][1]));
  });
  table_.Add(R"(\$015PR([0-3])([01])([01]))", [this](const std::smatch& m) {
    const int i = Digit(m, 1);
    io.dicntMode[i][0] = Digit(m, 2);
    io.dicntMode[i][1] = Digit(m, 3);
    return Answer::Ack();
  });
  table_.Add(R"(\$0150)", [this](const std::smatch&) {
    return Answer::Text(Format("!01%d%d", io.counterMode[0], io.counterMode[1]));
  });
  table_.Add(R"(\$0150([01])([01]))", [this](const std::smatch& m) {
    io.counterMode[0] = Digit(m, 1);
    io.counterMode[1] = Digit(m, 2);
    return Answer::Ack();
  });
  table_.Add(R"(@01REC([0-3]))", [this](const std::smatch& m) {
    return Answer::Text(Format("!01%08X", io.dicnt[Hex(m, 1)]));
  });
  table_.Add(R"(@01REC)", [this](const std::smatch&) {
    return Answer::Text(Format("!01%08X%08X%08X%08X", io.dicnt[0], io.dicnt[1], io.dicnt[2],
                               io.dicnt[3]));
  });
  table_.Add(R"(@01G0?)", [this](const std::smatch&) {
    return Answer::Text(Format("!01%08X", io.counter));
  });
  table_.Add(R"(@01CREC([0-3]))", [this](const std::smatch& m) {
    io.dicnt[Hex(m, 1)] = 0;
    return Answer::Ack();
  });
  table_.Add(R"(@01CREC)", [this](const std::smatch&) {
    for (uint32_t& c : io.dicnt) c = 0;
    return Answer::Ack();
  });
  table_.Add(R"(@01C0)", [this](const std::smatch&) {
    io.counter = 0;
    return Answer::Ack();
  });
}

void HighSpeedModule::BuildConfig() {
  if (model_ == Model::RX5K10) {
    table_.Add(R"(~01V([0-6]))", [this](const std::smatch& m) {
      // A divider under which the rate set is too high is refused; the rate stays.
      if (!scan_.DividerFits(Digit(m, 1))) return Answer::Refuse();
      io.divider = Digit(m, 1);
      return Answer::Ack();
    });
    table_.Add(R"(~01V)", [this](const std::smatch&) {
      return Answer::Text(Format("!01V%d", io.divider));
    });
  }
  // The RMS values: RPF 1..500, DT 1..1000.
  table_.Add(R"(~01RPF(\d{1,5}))", [this](const std::smatch& m) {
    if (Digit(m, 1) < 1 || Digit(m, 1) > 500) return Answer::Refuse();
    io.rpf = Digit(m, 1);
    return Answer::Ack();
  });
  table_.Add(R"(~01RP)", [this](const std::smatch&) {
    return Answer::Text(Format("!01F%d", io.rpf));
  });
  table_.Add(R"(~01DT(\d{5}))", [this](const std::smatch& m) {
    if (Digit(m, 1) < 1 || Digit(m, 1) > 1000) return Answer::Refuse();
    io.dt = Digit(m, 1);
    return Answer::Ack();
  });
  table_.Add(R"(~01DT)", [this](const std::smatch&) {
    return Answer::Text(Format("!01%05d", io.dt));
  });
  const int channels = model_ == Model::RX5K10 ? 8 : 4;
  table_.Add(R"(~01ED(\d{2})G([0-9A-F]{8}))", [this, channels](const std::smatch& m) {
    const int ch = Digit(m, 1);
    if (ch >= channels) return Answer::Refuse();
    io.ed[ch] = Hex(m, 2);
    return Answer::Ack();
  });
  table_.Add(R"(~01ED(\d{2}))", [this, channels](const std::smatch& m) {
    const int ch = Digit(m, 1);
    if (ch >= channels) return Answer::Refuse();
    return Answer::Text(Format("!01%08X", io.ed[ch]));
  });
}

void HighSpeedModule::BuildOutputs() {
  table_.Add(R"(#01([01])([0-3])([+-]\d{2}\.\d{3}))", [this](const std::smatch& m) {
    const int a = Digit(m, 1);
    io.aoRange[a] = Digit(m, 2);
    io.aoText[a] = m[3].str();
    io.aoCode[a] = -1;
    return Answer::Ack();
  });
  table_.Add(R"(#01([01])([0-3])([0-9A-F]{4}))", [this](const std::smatch& m) {
    const int a = Digit(m, 1);
    io.aoRange[a] = Digit(m, 2);
    io.aoCode[a] = static_cast<int>(Hex(m, 3));
    io.aoText[a].clear();
    return Answer::Ack();
  });
  // Encoder mode: first 0-8, mode + 1 (1-3), second 0-3; setting it clears the count.
  table_.Add(R"(\$01D([0-8])([1-3])([0-3]))", [this](const std::smatch& m) {
    io.encFirst = Digit(m, 1);
    io.encMode = Digit(m, 2);
    io.encSecond = Digit(m, 3);
    io.encCount = 0;
    return Answer::Text(">");
  });
  table_.Add(R"(\$01D)", [this](const std::smatch&) {
    return Answer::Text(Format(">01%d%d%d", io.encFirst, io.encMode, io.encSecond));
  });
  table_.Add(R"(#01N)", [this](const std::smatch&) {
    return Answer::Text(Format(">%08X", io.encCount));
  });
}

DataStreamer* StreamerOf(Emulator& e) {
  auto* m = dynamic_cast<HighSpeedModule*>(&e.engine().handler());
  return m ? &m->stream() : nullptr;
}

SdCard* SdCardOf(Emulator& e) {
  auto* m = dynamic_cast<HighSpeedModule*>(&e.engine().handler());
  return m ? &m->sd() : nullptr;
}

}  // namespace nivex::emu

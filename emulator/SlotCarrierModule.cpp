// The slot carriers' commands. Every pattern is matched against the whole line, so texts that
// share a beginning ("~01RP" and "~01RPF...", "#01H" and "#01HS...") never take each other's
// answers. Replies carry no CR; the engine adds it.
#include "emulator/SlotCarrierModule.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "emulator/Emulator.h"
#include "emulator/InverseCalibration.h"

namespace nivex::emu {
namespace {

constexpr int kPositions = 8;
constexpr int kMaxDataPorts = 8;
constexpr int kD4071sChannels = 8;
constexpr int kMaxRate = 200000;
constexpr uint32_t kMaxTarget = 30000000;
constexpr int kAllSlots = 8;  // the D4071s rate command's slot digit

int Digit(const std::smatch& m, size_t i) { return std::atoi(m[i].str().c_str()); }

// Channels of a D3054s card character.
int CardChannels(char c) {
  switch (c) {
    case '1': case '3': case '8': return 8;
    case '2': case '4': return 12;
    case '9': return 16;
    default: return 0;
  }
}

int ClampInt16(double v) {
  if (v > 32767.0) return 32767;
  if (v < -32768.0) return -32768;
  return static_cast<int>(v);
}

}  // namespace

std::string SlotCarrierModule::DefaultLayout(Model m) {
  return m == Model::D4071s ? "11111111" : "1199";
}

SlotCarrierModule::SlotCarrierModule(Engine& engine, Model model)
    : ModuleHandler(engine), model_(model) {
  layout_ = engine.options().slotLayout.empty() ? DefaultLayout(model)
                                                : engine.options().slotLayout;
  int first = 0;
  if (model_ == Model::D4071s) {
    for (int p = 0; p < kPositions && p < static_cast<int>(layout_.size()); ++p) {
      if (layout_[static_cast<size_t>(p)] != '1') continue;
      slots_.push_back(Slot{p, kD4071sChannels, first});
      first += kD4071sChannels;
    }
    cardVersion_.assign(kPositions, 0);
    for (int p = 0; p < kPositions; ++p) cardVersion_[static_cast<size_t>(p)] = 0x100u + p;
  } else {
    for (size_t k = 0; k < layout_.size(); ++k) {
      const int n = CardChannels(layout_[k]);
      slots_.push_back(Slot{static_cast<int>(k), n, first});
      first += n;
    }
    cardVersion_.assign(std::max<size_t>(slots_.size(), 1), 0);
    for (size_t k = 0; k < cardVersion_.size(); ++k)
      cardVersion_[k] = 0x100u + static_cast<unsigned>(k);
  }
  for (size_t k = 0; k < slots_.size() && k < static_cast<size_t>(kMaxDataPorts); ++k) {
    const int slot = static_cast<int>(k);
    streams_.push_back(std::make_unique<SlotStreamer>(
        engine, slot,
        [this, slot](int channel, uint64_t row, double at) {
          return StreamCode(slot, channel, row, at);
        }));
  }
  PowerOn();
  Build();
}

std::vector<int> SlotCarrierModule::DataPortOffsets() const {
  std::vector<int> offsets;
  for (const Slot& s : slots_) {
    if (static_cast<int>(offsets.size()) >= kMaxDataPorts) break;
    offsets.push_back(s.position);
  }
  return offsets;
}

CalShape SlotCarrierModule::AICalShape() const {
  return model_ == Model::D4071s ? CalShape{kPositions * kD4071sChannels, 2} : CalShape{};
}

CalEntry SlotCarrierModule::UnityAI(int) const { return CalEntry{0x8000, 0, 0}; }

int SlotCarrierModule::SlotPosition(int k) const {
  return (k >= 0 && k < SlotCount()) ? slots_[static_cast<size_t>(k)].position : -1;
}

int SlotCarrierModule::SlotChannels(int k) const {
  return (k >= 0 && k < SlotCount()) ? slots_[static_cast<size_t>(k)].channels : 0;
}

int SlotCarrierModule::FirstChannel(int k) const {
  return (k >= 0 && k < SlotCount()) ? slots_[static_cast<size_t>(k)].first : 0;
}

int SlotCarrierModule::SlotAtPosition(int position) const {
  for (int k = 0; k < SlotCount(); ++k)
    if (slots_[static_cast<size_t>(k)].position == position) return k;
  return -1;
}

void SlotCarrierModule::SetRawSlot(int k) {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  rawSlot_ = k;
}

void SlotCarrierModule::SetCardVersion(int index, unsigned version) {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  if (index >= 0 && index < static_cast<int>(cardVersion_.size()))
    cardVersion_[static_cast<size_t>(index)] = version;
}

std::string SlotCarrierModule::VoltFields(int k, int gain) const {
  // D4071s: +-5 V at gain code 0, +-10 V at 1; the D3054s cards: +-10 V.
  const double full = (model_ == Model::D4071s && gain == 0) ? 5.0 : 10.0;
  std::string out;
  const Slot& s = slots_[static_cast<size_t>(k)];
  for (int i = 0; i < s.channels; ++i) {
    const double v = std::clamp(engine_.Signal(s.first + i), -full, full);
    out += Format("%+07.3f", v);
  }
  return out;
}

int SlotCarrierModule::RawCode(int channel, int gain) const {
  return CodeOf(channel, gain, engine_.Signal(channel));
}

int SlotCarrierModule::CodeOf(int channel, int gain, double volts) const {
  if (model_ != Model::D4071s) return ClampInt16(std::lround(volts * 3276.8));
  // The card delivers the code before its calibration: the host's (raw x gain) >> 15 + offset
  // gives the code nearest the signal.
  const CalEntry e = engine_.Calibration(false, channel, gain);
  return InverseQ15(volts * (gain == 0 ? 6553.6 : 3276.8), e.gain, e.offset);
}

void SlotCarrierModule::PowerOn() {
  StopStreams();
  rpf_ = 500;
  dt_ = 1;
  for (auto& slot : edBits_)
    for (uint32_t& bits : slot) bits = 0;
  scan_.assign(slots_.size(), SlotScan{});
  rate_ = model_ == Model::D4071s ? 100 : 1000;
  scanning_ = false;
  for (uint16_t& h : levelHigh_) h = 0x7FFF;  // the disabled pair
  for (uint16_t& l : levelLow_) l = 0x8000;
  triggerRow_ = 0;
  trigOut_[0] = trigOut_[1] = -1;
}

int SlotCarrierModule::SlotOfField(const std::string& field) const {
  if (model_ == Model::D4071s) return SlotAtPosition(std::atoi(field.c_str()));
  const int k = static_cast<int>(std::strtol(field.c_str(), nullptr, 16));
  return k < SlotCount() ? k : -1;
}

void SlotCarrierModule::BuildScan() {
  const bool d = model_ == Model::D4071s;
  // Slot numbers and channel counts: one decimal digit (D4071s), two hexadecimal (D3054s).
  const std::string field = d ? R"((\d))" : "([0-9A-F]{2})";
  const int gains = d ? 2 : 1;
  const int triggers = d ? 6 : 1;  // the D3054s runs mode 0 only
  table_.Add(("~01PS" + field + R"(G(\d)C)" + field + R"(T(\d)M(\d))").c_str(),
             [=](const std::smatch& m) {
               const int k = SlotOfField(m[1]);
               const int channels = static_cast<int>(std::strtol(m[3].str().c_str(), nullptr, 16));
               if (k < 0 || Digit(m, 2) >= gains || channels > SlotChannels(k) ||
                   Digit(m, 4) >= triggers || Digit(m, 5) > 1)
                 return Answer::Refuse();
               scan_[static_cast<size_t>(k)].gain = Digit(m, 2);
               scan_[static_cast<size_t>(k)].channels = channels;
               scan_[static_cast<size_t>(k)].trigger = Digit(m, 4);
               scan_[static_cast<size_t>(k)].M = Digit(m, 5);
               return Answer::Ack();
             });
  table_.Add(("~01PS" + field).c_str(), [=](const std::smatch& m) {
    const int k = SlotOfField(m[1]);
    if (k < 0) return Answer::Refuse();
    const SlotScan& s = scan_[static_cast<size_t>(k)];
    return Answer::Text(d ? Format("!01G%dC%dT%dM%d", s.gain, s.channels, s.trigger, s.M)
                          : Format("!01G%dC%02XT%dM%d", s.gain, s.channels, s.trigger, s.M));
  });
  table_.Add(("~01TS" + field + R"((\d{10}))").c_str(), [this](const std::smatch& m) {
    const int k = SlotOfField(m[1]);
    const unsigned long long n = std::strtoull(m[2].str().c_str(), nullptr, 10);
    if (k < 0 || n > kMaxTarget) return Answer::Refuse();
    scan_[static_cast<size_t>(k)].target = static_cast<uint32_t>(n);
    return Answer::Ack();
  });
  table_.Add(("~01TS" + field).c_str(), [this](const std::smatch& m) {
    const int k = SlotOfField(m[1]);
    if (k < 0) return Answer::Refuse();
    return Answer::Text(Format("!01%010u", scan_[static_cast<size_t>(k)].target));
  });
  // The rate: every slot at once ("~01RS8"; the query names one card) or, D3054s, "~01R".
  const std::string rate = d ? R"(~01RS(\d))" : "~01R()";
  table_.Add((rate + R"((\d{6}))").c_str(), [=](const std::smatch& m) {
    const long r = std::strtol(m[2].str().c_str(), nullptr, 10);
    if ((d && Digit(m, 1) != kAllSlots) || r < 1 || r > kMaxRate) return Answer::Refuse();
    rate_ = r;
    return Answer::Ack();
  });
  table_.Add(rate.c_str(), [=](const std::smatch& m) {
    if (d && Digit(m, 1) != kAllSlots && SlotAtPosition(Digit(m, 1)) < 0) return Answer::Refuse();
    return Answer::Text(Format("!01%06ld", rate_));
  });
  // Scan start and stop: the slots stream from the start; nothing more goes out once the
  // stop's reply does.
  table_.Add(d ? R"(~01S\d)" : "~01S", [this](const std::smatch&) {
    scanning_ = true;
    startWallMs_ = WallMs();
    StartStreams();
    return Answer::Ack();
  });
  table_.Add("~01Z", [this](const std::smatch&) {
    scanning_ = false;
    StopStreams();
    return Answer::Ack();
  });
  if (d) BuildD4071sScan();
}

void SlotCarrierModule::BuildD4071sScan() {
  // The analog trigger of the card at a position: its mode and the samples before and after
  // the trigger, which make up the card's sample count.
  table_.Add(R"(~01XS(\d)M([0-3])L(\d{8,10})R(\d{8,10}))", [this](const std::smatch& m) {
    const int k = SlotAtPosition(Digit(m, 1));
    const unsigned long long pre = std::strtoull(m[3].str().c_str(), nullptr, 10);
    const unsigned long long post = std::strtoull(m[4].str().c_str(), nullptr, 10);
    if (k < 0 || pre + post != scan_[static_cast<size_t>(k)].target) return Answer::Refuse();
    SlotScan& s = scan_[static_cast<size_t>(k)];
    s.triggerMode = Digit(m, 2);
    s.pre = static_cast<uint32_t>(pre);
    s.post = static_cast<uint32_t>(post);
    return Answer::Ack();
  });
  table_.Add(R"(~01XS(\d)M)", [this](const std::smatch& m) {
    const int k = SlotAtPosition(Digit(m, 1));
    if (k < 0) return Answer::Refuse();
    const SlotScan& s = scan_[static_cast<size_t>(k)];
    return Answer::Text(Format("!01%dM%dL%08uR%08u", Digit(m, 1), s.triggerMode, s.pre, s.post));
  });
  // Level codes of a channel of the card at a position.
  table_.Add(R"(~01XS(\d)C([0-7])H([0-9A-F]{4})L([0-9A-F]{4}))", [this](const std::smatch& m) {
    const int k = SlotAtPosition(Digit(m, 1));
    if (k < 0) return Answer::Refuse();
    const int ch = FirstChannel(k) + Digit(m, 2);
    levelHigh_[ch] = static_cast<uint16_t>(std::strtoul(m[3].str().c_str(), nullptr, 16));
    levelLow_[ch] = static_cast<uint16_t>(std::strtoul(m[4].str().c_str(), nullptr, 16));
    return Answer::Ack();
  });
  table_.Add(R"(~01XS(\d)C([0-7]))", [this](const std::smatch& m) {
    const int k = SlotAtPosition(Digit(m, 1));
    if (k < 0) return Answer::Refuse();
    const int ch = FirstChannel(k) + Digit(m, 2);
    return Answer::Text(Format("!01H%04XL%04X", levelHigh_[ch], levelLow_[ch]));
  });
  // The row at which the trigger came.
  table_.Add("~01XN", [this](const std::smatch&) {
    return Answer::Text(Format("!01%u", triggerRow_));
  });
  // Buffer status of the card at a position: status (2 digits) and samples held (10).
  table_.Add(R"(~01NS(\d))", [this](const std::smatch& m) {
    const int k = SlotAtPosition(Digit(m, 1));
    if (k < 0) return Answer::Refuse();
    const uint32_t held = scan_[static_cast<size_t>(k)].buffered;
    return Answer::Text(Format("!01%02d%010u", scanning_ ? 1 : 0, held));
  });
  table_.Add("~01E", [](const std::smatch&) { return Answer::Ack(); });
  // Trigger output.
  table_.Add(R"(~01M([SE])(\d))", [this](const std::smatch& m) {
    trigOut_[m[1].str() == "S" ? 0 : 1] = Digit(m, 2);
    return Answer::Ack();
  });
}

Answer SlotCarrierModule::Handle(const std::string& line) { return table_.Dispatch(line); }

// ------------------------------------------------------------------ data ports

void SlotCarrierModule::SetRowCodes(bool on) {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  rowCodes_ = on;
}

void SlotCarrierModule::SetTriggerRow(uint32_t row) {
  std::lock_guard<std::recursive_mutex> lock(engine_.mutex());
  triggerRow_ = row;
}

int32_t SlotCarrierModule::StreamCode(int k, int channel, uint64_t row, double at) const {
  if (rowCodes_) return static_cast<int32_t>((channel << 10) | static_cast<int>(row & 0x3FFu));
  return CodeOf(channel, scan_[static_cast<size_t>(k)].gain, engine_.SignalAt(channel, at));
}

void SlotCarrierModule::StartStreams() {
  for (size_t k = 0; k < streams_.size(); ++k) {
    SlotStreamer::Layout l;
    l.firstChannel = FirstChannel(static_cast<int>(k));
    l.channels = scan_[k].channels;
    l.samples = scan_[k].target;
    l.rate = static_cast<double>(rate_);
    streams_[k]->StartRun(l);
  }
}

void SlotCarrierModule::StopStreams() {
  for (auto& s : streams_) s->StopRun();
}

SlotStreamer* SlotCarrierModule::StreamAt(int index) {
  return index >= 0 && index < static_cast<int>(streams_.size())
             ? streams_[static_cast<size_t>(index)].get()
             : nullptr;
}

void SlotCarrierModule::OnDataConnected(int index) {
  if (SlotStreamer* s = StreamAt(index)) s->OnDataConnected();
}

void SlotCarrierModule::OnDataReceived(int index, const char* bytes, size_t n) {
  if (SlotStreamer* s = StreamAt(index)) s->OnDataReceived(bytes, n);
}

void SlotCarrierModule::OnDataClosed(int index) {
  if (SlotStreamer* s = StreamAt(index)) s->OnDataClosed();
}

uint64_t SlotCarrierModule::RowBound() const {
  // The lead a slot may take over the slowest slot still streaming: a few milliseconds of rows.
  constexpr double kLeadSeconds = 0.004;
  uint64_t slowest = UINT64_MAX;
  for (const auto& s : streams_) {
    uint64_t rows = 0;
    if (s->RowsInStep(&rows)) slowest = std::min(slowest, rows);
  }
  if (slowest == UINT64_MAX) return UINT64_MAX;
  const uint64_t lead =
      static_cast<uint64_t>(std::max(1.0, static_cast<double>(rate_) * kLeadSeconds));
  return slowest + lead;
}

int SlotCarrierModule::OnTick(int64_t) {
  int wait = -1;
  for (auto& s : streams_) {
    // Each slot's turn sees what the slots before it just handed to their connections.
    const int w = s->OnTick(RowBound());
    if (w >= 0 && (wait < 0 || w < wait)) wait = w;
  }
  return wait;
}

void SlotCarrierModule::Build() {
  // Reboot.
  table_.Add(R"(\$01Q)", [this](const std::smatch&) {
    return Answer::Reboot(engine_.options().reboot);
  });
  // Data window size: "~01WS8032768".
  table_.Add(R"(~01WS(\d)(\d{6,}))", [this](const std::smatch& m) {
    engine_.windowSize = std::strtoul(m[2].str().c_str(), nullptr, 10);
    return Answer::Ack();
  });
  // Configuration kind 5.
  table_.Add(R"(~01RPF(\d{5}))", [this](const std::smatch& m) {
    if (Digit(m, 1) < 1 || Digit(m, 1) > 500) return Answer::Refuse();
    rpf_ = Digit(m, 1);
    return Answer::Ack();
  });
  table_.Add(R"(~01RP)", [this](const std::smatch&) { return Answer::Text(Format("!01P%05d", rpf_)); });
  table_.Add(R"(~01DT(\d{5}))", [this](const std::smatch& m) {
    if (Digit(m, 1) < 1 || Digit(m, 1) > 1000) return Answer::Refuse();
    dt_ = Digit(m, 1);
    return Answer::Ack();
  });
  table_.Add(R"(~01DT)", [this](const std::smatch&) { return Answer::Text(Format("!01%05d", dt_)); });
  if (model_ == Model::D4071s) {
    BuildD4071s();
  } else {
    BuildD3054s();
  }
  BuildScan();
}

void SlotCarrierModule::BuildD4071s() {
  // Slot map: "!01" + count digit + one flag per position.
  table_.Add(R"(\$01C)", [this](const std::smatch&) {
    std::string flags(kPositions, '0');
    for (const Slot& s : slots_) flags[static_cast<size_t>(s.position)] = '1';
    return Answer::Text(Format("!01%d", SlotCount()) + flags);
  });
  // Calibration of the card at a position and a gain code: "!" + 8 x gain, offset.
  table_.Add(R"(\$01RS(\d)(\d)G([01]))", [this](const std::smatch& m) {
    const int k = SlotAtPosition(Digit(m, 1));
    if (k < 0) return Answer::Refuse();
    std::string out = "!";
    for (int i = 0; i < kD4071sChannels; ++i) {
      const CalEntry e = engine_.Calibration(false, FirstChannel(k) + i, Digit(m, 3));
      out += Format("%04X%04X", e.gain & 0xFFFFu, static_cast<unsigned>(e.offset) & 0xFFFFu);
    }
    return Answer::Text(out);
  });
  // Hardware versions of positions 0-7 (0 where no card sits).
  table_.Add(R"(\$01FS8)", [this](const std::smatch&) {
    std::string out = ">";
    for (int p = 0; p < kPositions; ++p) {
      const unsigned v = SlotAtPosition(p) >= 0 ? cardVersion_[static_cast<size_t>(p)] : 0;
      out += Format(p == 0 ? "%04X" : ",%04X", v & 0xFFFFu);
    }
    return Answer::Text(out);
  });
  // Volts of the card at a position: "!" + 8 fields of 7 characters.
  table_.Add(R"(#01S(\d)G([01]))", [this](const std::smatch& m) {
    const int k = SlotAtPosition(Digit(m, 1));
    if (k < 0) return Answer::Refuse();
    return Answer::Text("!" + VoltFields(k, Digit(m, 2)));
  });
  // Raw codes of the card at a position: "!" + 8 x "%04X".
  table_.Add(R"(#01HS(\d)G([01]))", [this](const std::smatch& m) {
    const int k = SlotAtPosition(Digit(m, 1));
    if (k < 0) return Answer::Refuse();
    std::string out = "!";
    for (int i = 0; i < kD4071sChannels; ++i)
      out += Format("%04X", static_cast<unsigned>(RawCode(FirstChannel(k) + i, Digit(m, 2))) & 0xFFFFu);
    return Answer::Text(out);
  });
  // Item 6 by slot index and channel: the float's bits, kept as sent.
  table_.Add(R"(~01EDS(\d)C([0-7])G([0-9A-Fa-f]{8}))", [this](const std::smatch& m) {
    const int k = Digit(m, 1);
    if (k >= SlotCount()) return Answer::Refuse();
    edBits_[k][Digit(m, 2)] = static_cast<uint32_t>(std::strtoul(m[3].str().c_str(), nullptr, 16));
    return Answer::Ack();
  });
  table_.Add(R"(~01EDS(\d)C([0-7]))", [this](const std::smatch& m) {
    const int k = Digit(m, 1);
    if (k >= SlotCount()) return Answer::Refuse();
    return Answer::Text(Format("!01%08X", static_cast<unsigned>(edBits_[k][Digit(m, 2)])));
  });
}

void SlotCarrierModule::BuildD3054s() {
  // Slot map: "!01" + slot count in two hexadecimal digits + the card characters.
  table_.Add(R"(\$01C)", [this](const std::smatch&) {
    return Answer::Text(Format("!01%02X", static_cast<unsigned>(SlotCount() & 0xFF)) + layout_);
  });
  // Hardware versions, one field per slot.
  table_.Add(R"(\$01F)", [this](const std::smatch&) {
    std::string out = "!";
    for (size_t k = 0; k < slots_.size(); ++k) {
      const unsigned v = k < cardVersion_.size() ? cardVersion_[k] : 0;
      out += Format(k == 0 ? "%X" : ",%X", v);
    }
    return Answer::Text(out);
  });
  // Volts of slot k: as many fields as its card has channels. The cards have one range, 0.
  table_.Add(R"(#01S(\d)G(\d))", [this](const std::smatch& m) {
    const int k = Digit(m, 1);
    if (k >= SlotCount() || Digit(m, 2) != 0) return Answer::Refuse();
    return Answer::Text("!" + VoltFields(k, Digit(m, 2)));
  });
  // The start time of the last scan (now when none has started).
  table_.Add("~01SST", [this](const std::smatch&) {
    return Answer::Text("!01 " + StartTimeText(startWallMs_ >= 0 ? startWallMs_ : WallMs()));
  });
  // Raw codes: the command names no slot, so one slot (rawSlot_) answers it.
  table_.Add(R"(#01H)", [this](const std::smatch&) {
    if (rawSlot_ < 0 || rawSlot_ >= SlotCount()) return Answer::Refuse();
    std::string out = "!";
    for (int i = 0; i < SlotChannels(rawSlot_); ++i)
      out += Format("%04X", static_cast<unsigned>(RawCode(FirstChannel(rawSlot_) + i, 0)) & 0xFFFFu);
    return Answer::Text(out);
  });
}

SlotStreamer* SlotStreamerOf(Emulator& e, int k) {
  auto* m = dynamic_cast<SlotCarrierModule*>(&e.engine().handler());
  return m && k >= 0 && k < m->SlotCount() ? &m->Stream(k) : nullptr;
}

}  // namespace nivex::emu

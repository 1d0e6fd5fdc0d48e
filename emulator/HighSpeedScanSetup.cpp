// The high-speed types' scan-setup commands. Patterns match whole lines, so the queries
// ("~01P", "~01R", "~01SI") never take a setting command's answer, nor the other way round,
// and "~01S" (scan start) or "~01SST" fall through to the other handlers.
#include "emulator/HighSpeedScanSetup.h"

#include <cstdlib>

namespace nivex::emu {
namespace {

constexpr long kMaxRateHz = 200000;  // RX5K10, without a divider

long Num(const std::smatch& m, size_t i) { return std::strtol(m[i].str().c_str(), nullptr, 10); }
unsigned long Hex(const std::smatch& m, size_t i) {
  return std::strtoul(m[i].str().c_str(), nullptr, 16);
}

bool InRange(long v, long lo, long hi) { return v >= lo && v <= hi; }

bool ValidFactor(long f) { return f >= 2 && f <= 14 && f % 2 == 0; }
bool ValidDivider(long c) {
  static const long kC[] = {32, 48, 64, 96, 128, 192, 200, 256, 384, 400, 512, 768, 800, 1024,
                            2048, 4096};
  for (long v : kC)
    if (v == c) return true;
  return false;
}

}  // namespace

HighSpeedScanSetup::HighSpeedScanSetup(Model model, const int& divider)
    : model_(model), divider_(divider) {
  const bool is10 = model_ == Model::RX5K10;
  // The "T" digits of "~01P": RX5K10 takes its trigger modes as they are, the 24-bit types
  // their modes 0-2 and the chunk stream, 8.
  auto ValidTrigger = [is10](long t) {
    return InRange(t, 0, 2) || t == 8 || (is10 && (t == 3 || t == 5 || t == 6 || t == 9));
  };
  const int channels = is10 ? 8 : 4;
  const bool bn = model_ == Model::RXBN500;
  PowerOn();

  // ---- scan parameters
  if (bn) {
    table_.Add(R"(~01PC(\d)T(\d)M(\d))", [this, channels, ValidTrigger](const std::smatch& m) {
      if (!InRange(Num(m, 1), 1, channels) || !ValidTrigger(Num(m, 2))) return Answer::Refuse();
      chCnt = static_cast<int>(Num(m, 1));
      T = static_cast<int>(Num(m, 2));
      M = static_cast<int>(Num(m, 3));
      return Answer::Ack();
    });
    table_.Add(R"(~01P)", [this](const std::smatch&) {
      return Answer::Text(Format("!01C%dT%dM%d", chCnt, T, M));
    });
  } else {
    const int gains = is10 ? 2 : 10;
    table_.Add(R"(~01PG(\d)C(\d)T(\d)M(\d))", [=](const std::smatch& m) {
      if (Num(m, 1) >= gains || !InRange(Num(m, 2), 1, channels) || !ValidTrigger(Num(m, 3)))
        return Answer::Refuse();
      gain = static_cast<int>(Num(m, 1));
      chCnt = static_cast<int>(Num(m, 2));
      T = static_cast<int>(Num(m, 3));
      M = static_cast<int>(Num(m, 4));
      return Answer::Ack();
    });
    table_.Add(R"(~01P)", [this](const std::smatch&) {
      return Answer::Text(Format("!01G%dC%dT%dM%d", gain, chCnt, T, M));
    });
  }
  if (is10) {
    table_.Add(R"(~01R(\d{6}))", [this](const std::smatch& m) {
      // The divider of "~01V" (2^n) lowers the highest rate the clock allows.
      const long r = Num(m, 1);
      if (r < 1 || r > (kMaxRateHz >> divider_)) return Answer::Refuse();
      rateHz = r;
      return Answer::Ack();
    });
    table_.Add(R"(~01R)", [this](const std::smatch&) {
      return Answer::Text(Format("!01%06ld", rateHz));
    });
  } else {
    table_.Add(R"(~01R((\d{2})(\d{2})(\d{4})))", [this](const std::smatch& m) {
      if (!ValidFactor(Num(m, 2)) || !ValidFactor(Num(m, 3)) || !ValidDivider(Num(m, 4)))
        return Answer::Refuse();
      rateFactors = m[1].str();
      return Answer::Ack();
    });
    table_.Add(R"(~01R)", [this](const std::smatch&) {
      return Answer::Text("!01" + rateFactors);
    });
  }
  table_.Add(R"(~01T(\d{10}))", [this](const std::smatch& m) {
    const unsigned long long t = std::strtoull(m[1].str().c_str(), nullptr, 10);
    if (t > 0xFFFFFFFFull) return Answer::Refuse();
    target = static_cast<uint32_t>(t);
    return Answer::Ack();
  });
  table_.Add(R"(~01T)", [this](const std::smatch&) {
    return Answer::Text(Format("!01%010u", target));
  });
  table_.Add(R"(~01A([0-3]))", [this](const std::smatch& m) {
    ack = static_cast<uint32_t>(Num(m, 1));
    return Answer::Ack();
  });
  table_.Add(R"(~01A)", [this](const std::smatch&) { return Answer::Text(Format("!01%u", ack)); });

  // ---- analog trigger
  table_.Add(R"(~01XM([0-3])L(\d{8})R(\d{8}))", [this](const std::smatch& m) {
    // The samples before and after the trigger make up the target count.
    if (static_cast<uint64_t>(Num(m, 2)) + static_cast<uint64_t>(Num(m, 3)) != target)
      return Answer::Refuse();
    triggerType = static_cast<uint32_t>(Num(m, 1));
    pre = static_cast<uint32_t>(Num(m, 2));
    post = static_cast<uint32_t>(Num(m, 3));
    return Answer::Ack();
  });
  table_.Add(R"(~01XM)", [this](const std::smatch&) {
    return Answer::Text(Format("!01XM%uL%08uR%08u", triggerType, pre, post));
  });
  const std::string digit = "([0-" + std::to_string(channels - 1) + "])";
  const std::string hex = is10 ? "([0-9A-F]{4})" : "([0-9A-F]{6})";
  table_.Add(("~01XC" + digit + "H" + hex + "L" + hex).c_str(), [this](const std::smatch& m) {
    const long ch = Num(m, 1);
    levelHigh[ch] = static_cast<uint32_t>(Hex(m, 2));
    levelLow[ch] = static_cast<uint32_t>(Hex(m, 3));
    return Answer::Ack();
  });
  table_.Add(("~01XC" + digit).c_str(), [this, is10](const std::smatch& m) {
    const long ch = Num(m, 1);
    return Answer::Text(is10 ? Format("!01%02ldH%04XL%04X", ch, levelHigh[ch], levelLow[ch])
                             : Format("!01%02ldH%06XL%06X", ch, levelHigh[ch], levelLow[ch]));
  });
  table_.Add(R"(~01XN)", [this](const std::smatch&) {
    return Answer::Text(Format("!01%u", triggerIndex));
  });

  if (!is10) return;
  // ---- delay trigger and sync-in layout (RX5K10)
  table_.Add(R"(~01Y(\d{8}))", [this](const std::smatch& m) {
    delay = static_cast<uint32_t>(Num(m, 1));
    return Answer::Ack();
  });
  table_.Add(R"(~01Y)", [this](const std::smatch&) {
    return Answer::Text(Format("!01Y%08u", delay));
  });
  table_.Add(R"(~01SI(H[0-9A-F]O[0-9A-F]{2}T([0-9A-F]{2})((?:[0-9A-F]{4})*)))",
             [this](const std::smatch& m) {
               const unsigned long n = Hex(m, 2);
               if (n > 7 || m[3].length() != static_cast<long>(4 * n)) return Answer::Refuse();
               syncInLayout = m[1].str();
               return Answer::Ack();
             });
  table_.Add(R"(~01SI)", [this](const std::smatch&) {
    return Answer::Text("!01" + syncInLayout);
  });
}

void HighSpeedScanSetup::PowerOn() {
  static_cast<HighSpeedScanSettings&>(*this) = HighSpeedScanSettings{};
  const bool is10 = model_ == Model::RX5K10;
  for (int i = 0; i < kMaxChannels; ++i) {
    levelHigh[i] = is10 ? 0x7FFF : 0x7FFFFF;
    levelLow[i] = is10 ? 0x8000 : 0x800000;
  }
}

bool HighSpeedScanSetup::Handle(const std::string& line, Answer* answer) {
  Answer a = table_.Dispatch(line);
  if (a.kind == Answer::Unknown) return false;
  *answer = a;
  return true;
}

double HighSpeedScanSetup::RateHz() const {
  if (model_ == Model::RX5K10) return static_cast<double>(rateHz);
  const long a = std::strtol(rateFactors.substr(0, 2).c_str(), nullptr, 10);
  const long b = std::strtol(rateFactors.substr(2, 2).c_str(), nullptr, 10);
  const long c = std::strtol(rateFactors.substr(4, 4).c_str(), nullptr, 10);
  if (a <= 0 || b <= 0 || c <= 0) return 0.0;
  return ((16384000.0f / static_cast<float>(a)) / static_cast<float>(b)) / static_cast<float>(c);
}

bool HighSpeedScanSetup::DividerFits(int exponent) const {
  return exponent >= 0 && exponent < 31 && rateHz <= (kMaxRateHz >> exponent);
}

}  // namespace nivex::emu

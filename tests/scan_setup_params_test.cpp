// Scan parameters of the high-speed types on emulated modules: the checks in their order,
// the command sequences, the read-back with its rounding, and replies the driver refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/HighSpeedModule.h"
#include "framework/RXMODEL_Class.h"
#include "nivex.h"
#include "tests/common/ScanFixture.h"

namespace {

using nivex::emu::FaultKind;
using nivex::emu::HighSpeedModule;
using nivex::emu::Model;
using nivex::test::Device;
using nivex::test::LoggedSettings;
using nivex::scanlog::ScanConfig;
using nivex::test::Strings;

struct Args {
  int ch, gain, trig, rate;
  unsigned target;
  int M, A;
};

int Set(Device& d, const Args& a) {
  return QZ_SetAIScanParam(d.h(), a.ch, a.gain, a.trig, a.rate, a.target, a.M, a.A);
}

struct Refusal {
  Args args;
  int code;
};

// Sets the RX5K10 rate divider 2^exponent through its configuration item.
void SetDivider(Device& d, int exponent) {
  ASSERT_EQ(QZ_SetConfig(d.h(), 2, 2, exponent), 1);
  d.Take();
}

void ExpectRefusals(Model m, const std::vector<Refusal>& rows, int dividerExponent = 0) {
  Device d(m);
  ASSERT_TRUE(d.ok());
  if (dividerExponent != 0) SetDivider(d, dividerExponent);
  for (const Refusal& r : rows) {
    const Args& a = r.args;
    EXPECT_TRUE(nivex::test::FailsWith(Set(d, a), r.code))
        << a.ch << "," << a.gain << "," << a.trig << "," << a.rate << "," << a.target << "," << a.M;
  }
  EXPECT_TRUE(d.Take().empty()) << "a refused call sent commands";
  // No setup took: a log start sends the cached one first (the RX5K30's and RXBN500's
  // constructed channel count, 8, is beyond their inputs: their start is refused).
  ScanConfig cached;
  bool resent = false;
  LoggedSettings(d, &cached, &resent);
  EXPECT_EQ(resent, m == Model::RX5K10);
}

// ------------------------------------------------------------------ check order

TEST(ScanParamChecks, Rx5k10InOrder) {
  ExpectRefusals(
      Model::RX5K10,
      {
          {{0, 9, 4, 0, 0, 0, 0}, QZ_ERR_TRIGGER_MODE},  // trig 4 before everything
          {{0, 9, 7, 0, 0, 0, 0}, QZ_ERR_TRIGGER_MODE},
          {{0, 9, 9, 0, 0, 0, 0}, QZ_ERR_SCAN_PARAM_CONFLICT},  // trig 9 needs a target
          {{0, 9, 2, 0, 0, 0, 0}, QZ_ERR_SCAN_PARAM_CONFLICT},
          {{0, 9, 0, 0, 0, 0, 0}, QZ_ERR_VALUE_RANGE},  // rate 0
          {{0, 9, 0, 200001, 0, 0, 0}, QZ_ERR_VALUE_RANGE},
          {{8, 0, 0, 30001, 0, 0, 0}, QZ_ERR_SCAN_PARAM_CONFLICT},       // 8 x 30001 > 240000
          {{32767, 0, 0, 200000, 0, 0, 0}, QZ_ERR_SCAN_PARAM_CONFLICT},  // no int overflow
          {{9, 9, 0, 1000, 0, 0, 0}, QZ_ERR_CHANNEL_RANGE},
          {{0, 9, 0, 1000, 0, 0, 0}, QZ_ERR_CHANNEL_RANGE},
          {{8, 2, 0, 1000, 0, 0, 0}, QZ_ERR_GAIN_RANGE},
          {{8, 0, 0, 1000, 30000001, 0, 0}, QZ_ERR_VALUE_RANGE},
          {{8, 0, 0, 1000, 0, 10, 0}, QZ_ERR_VALUE_RANGE},          // M is one digit
          {{70000, 0, 0, 1000, 1000, 0, 0}, QZ_ERR_CHANNEL_RANGE},  // not narrowed to 4464
      });
}

TEST(ScanParamChecks, Rx5k10RateDivider) {
  // Divider 4: 200000 / 4 = 50000 is the top.
  ExpectRefusals(Model::RX5K10, {{{1, 0, 0, 50001, 1000, 0, 0}, QZ_ERR_VALUE_RANGE}}, 2);
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  SetDivider(d, 2);
  EXPECT_EQ(Set(d, {1, 0, 0, 50000, 1000, 0, 0}), 1);
}

TEST(ScanParamChecks, Rx5k30InOrder) {
  ExpectRefusals(Model::RX5K30, {
                                    {{0, 99, 99, 0, 0, 0, 0}, QZ_ERR_CHANNEL_RANGE},
                                    {{5, 99, 99, 0, 0, 0, 0}, QZ_ERR_CHANNEL_RANGE},
                                    {{4, 10, 99, 0, 0, 0, 0}, QZ_ERR_GAIN_RANGE},
                                    {{4, 9, 99, 0, 0, 0, 0}, QZ_ERR_VALUE_RANGE},
                                    {{4, 9, 99, 128001, 0, 0, 0}, QZ_ERR_VALUE_RANGE},
                                    {{4, 0, 0, 64001, 0, 0, 0}, QZ_ERR_SCAN_PARAM_CONFLICT},
                                    {{4, 0, 99, 1000, 30000001, 0, 0}, QZ_ERR_VALUE_RANGE},
                                    {{4, 0, 1, 1000, 0, 0, 0}, QZ_ERR_TRIGGER_MODE},
                                    {{4, 0, 6, 1000, 100, 10, 0}, QZ_ERR_VALUE_RANGE},
                                });
}

TEST(ScanParamChecks, Rxbn500InOrderAndNothingChangesOnRefusal) {
  ExpectRefusals(Model::RXBN500,
                 {
                     {{0, 1, 99, 0, 0, 0, 0}, QZ_ERR_CHANNEL_RANGE},
                     {{4, 1, 99, 0, 0, 0, 0}, QZ_ERR_GAIN_RANGE},
                     {{4, 0, 99, 0, 0, 0, 0}, QZ_ERR_VALUE_RANGE},
                     {{4, 0, 99, 1000, 15000001, 0, 0}, QZ_ERR_VALUE_RANGE},
                     // 100000 runs at 85333: 2 x 85333 = 170666 > 170664
                     {{2, 0, 0, 100000, 0, 0, 0}, QZ_ERR_SCAN_PARAM_CONFLICT},
                     {{4, 0, 1, 1000, 0, 0, 0}, QZ_ERR_TRIGGER_MODE},  // before the rate command
                 });
  Device d(Model::RXBN500);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(Set(d, {1, 0, 0, 1000, 0, 0, 0}), 1);
  d.Take();
  EXPECT_EQ(Set(d, {2, 0, 0, 100000, 0, 0, 0}), 0);
  EXPECT_EQ(Set(d, {2, 0, 5, 10000, 0, 0, 0}), 0);
  EXPECT_TRUE(d.Take().empty());
  ScanConfig cached;
  ASSERT_TRUE(LoggedSettings(d, &cached));
  EXPECT_EQ(cached.sampleRate, 1000);
}

// ------------------------------------------------------------------ command sequences

TEST(ScanParamSequence, Rx5k10) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(Set(d, {8, 0, 0, 30000, 0, 0, 0}), 1);
  EXPECT_EQ(d.Take(), (Strings{"~01PG0C8T0M0", "~01R030000", "~01T0000000000", "~01A0"}));
  ScanConfig cached;
  bool resent = true;
  ASSERT_TRUE(LoggedSettings(d, &cached, &resent));
  EXPECT_EQ(cached.channelCount, 8);
  EXPECT_EQ(cached.sampleRate, 30000);
  EXPECT_FALSE(resent);  // the setup succeeded: a log start sends it no more

  // A gain change reloads the 16 calibration entries between the mode and the rate.
  ASSERT_EQ(Set(d, {2, 1, 9, 1000, 5000, 3, 7}), 1);
  const Strings s = d.Take();
  ASSERT_EQ(s.size(), 4u + 16u);
  EXPECT_EQ(s.front(), "~01PG1C2T9M3");
  for (size_t i = 1; i <= 16; ++i) EXPECT_EQ(s[i].rfind("$01R0C", 0), 0u) << s[i];
  EXPECT_EQ(s[17], "~01R001000");
  EXPECT_EQ(s[18], "~01T0000005000");
  EXPECT_EQ(s[19], "~01A3");  // A & 3
  ASSERT_TRUE(LoggedSettings(d, &cached));
  EXPECT_EQ(cached.gain, 1);
}

TEST(ScanParamSequence, Rx5k30) {
  Device d(Model::RX5K30);
  ASSERT_TRUE(d.ok());
  // 4 x 64001 > 256000 with a target: the module's buffered mode, T1.
  ASSERT_EQ(Set(d, {4, 0, 0, 64001, 1000, 0, 7}), 1);
  EXPECT_EQ(d.Take(), (Strings{"~01PG0C4T1M0", "~01R02020064", "~01T0000001000", "~01A3"}));
  ScanConfig cached;
  ASSERT_TRUE(LoggedSettings(d, &cached));
  EXPECT_EQ(cached.sampleRate, 64001);  // the requested rate is cached

  ASSERT_EQ(Set(d, {2, 0, 6, 12345, 100, 1, 0}), 1);
  EXPECT_EQ(d.Take(), (Strings{"~01PG0C2T2M1", "~01R02140048", "~01T0000000100", "~01A0"}));
  // Chunk stream: the mode command with T8, no empty line.
  ASSERT_EQ(Set(d, {2, 0, 8, 1000, 100, 0, 0}), 1);
  EXPECT_EQ(d.Take(), (Strings{"~01PG0C2T8M0", "~01R02024096", "~01T0000000100", "~01A0"}));
  // A gain change reloads the 40 input and 8 output calibration entries.
  ASSERT_EQ(Set(d, {1, 3, 0, 1000, 0, 0, 0}), 1);
  EXPECT_EQ(d.Take().size(), 4u + 48u);
}

TEST(ScanParamSequence, Rxbn500RateFirst) {
  Device d(Model::RXBN500);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(Set(d, {2, 0, 0, 12345, 0, 0, 1}), 1);
  EXPECT_EQ(d.Take(), (Strings{"~01R14020048", "~01PC2T0M0", "~01T0000000000", "~01A1"}));
  ScanConfig cached;
  ASSERT_TRUE(LoggedSettings(d, &cached));
  EXPECT_EQ(cached.sampleRate, 12190);  // the actual rate is cached
  // 4 x 85333 > 170664 with a target: T1.
  ASSERT_EQ(Set(d, {4, 0, 0, 100000, 4000, 0, 0}), 1);
  EXPECT_EQ(d.Take(), (Strings{"~01R02020048", "~01PC4T1M0", "~01T0000004000", "~01A0"}));
  ASSERT_EQ(Set(d, {4, 0, 8, 1000, 4000, 0, 0}), 1);
  EXPECT_EQ(d.Take(), (Strings{"~01R02024096", "~01PC4T8M0", "~01T0000004000", "~01A0"}));
}

TEST(ScanParamSequence, FailureEndsTheSequence) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  d.AddFault("~01T0000001000", FaultKind::Refuse);
  EXPECT_EQ(Set(d, {1, 0, 0, 1000, 1000, 0, 0}), 0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_DEVICE_RESPONSE);
  EXPECT_EQ(d.Take(), (Strings{"~01PG0C1T0M0", "~01R001000", "~01T0000001000"}));
  ScanConfig cached;
  bool resent = false;
  ASSERT_TRUE(LoggedSettings(d, &cached, &resent));
  EXPECT_TRUE(resent);  // no setup succeeded: a log start sends the cached one first
  EXPECT_EQ(cached.sampleRate, 1000);  // the steps before stay cached

  // RXBN500: a refused rate command leaves the cached rate.
  Device b(Model::RXBN500);
  ASSERT_TRUE(b.ok());
  ASSERT_EQ(Set(b, {1, 0, 0, 12345, 0, 0, 0}), 1);  // runs at 12190
  b.Take();
  b.AddFault("~01R02024096", FaultKind::Refuse);
  EXPECT_EQ(Set(b, {1, 0, 0, 1000, 0, 0, 0}), 0);
  EXPECT_EQ(b.Take(), (Strings{"~01R02024096"}));
  ASSERT_TRUE(LoggedSettings(b, &cached));
  EXPECT_EQ(cached.sampleRate, 12190);
}

// ------------------------------------------------------------------ read-back

struct Read {
  unsigned short ch = 0, gain = 0, trig = 0, M = 0, A = 0;
  unsigned rate = 0, target = 0;
};

int Get(Device& d, Read* r) {
  return QZ_GetAIScanParam(d.h(), &r->ch, &r->gain, &r->trig, &r->rate, &r->target, &r->M, &r->A);
}

TEST(ScanParamReadBack, RoundTripPerType) {
  struct Case {
    Model model;
    Args set;
    unsigned rate;  // as read back
  };
  const Case cases[] = {
      {Model::RX5K10, {3, 1, 5, 20000, 3000, 2, 1}, 20000},
      {Model::RX5K30, {4, 9, 6, 100000, 4000, 1, 2}, 85333},
      {Model::RX5K30, {4, 0, 8, 1000, 4000, 0, 0}, 1000},
      {Model::RXBN500, {2, 0, 6, 25, 100, 0, 3}, 23},
  };
  for (const Case& c : cases) {
    Device d(c.model);
    ASSERT_TRUE(d.ok());
    ASSERT_EQ(Set(d, c.set), 1);
    Read r;
    ASSERT_EQ(Get(d, &r), 1);
    EXPECT_EQ(r.ch, c.set.ch);
    EXPECT_EQ(r.gain, c.set.gain);
    EXPECT_EQ(r.trig, c.set.trig);
    EXPECT_EQ(r.rate, c.rate);
    EXPECT_EQ(r.target, c.set.target);
    EXPECT_EQ(r.M, c.set.M);
    EXPECT_EQ(r.A, c.set.A & 3);
    ScanConfig cached;
    ASSERT_TRUE(LoggedSettings(d, &cached));
    EXPECT_EQ(cached.sampleRate, static_cast<int>(c.rate));
  }
}

TEST(ScanParamReadBack, TargetRoundedToWholeRows) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  d.Locked<HighSpeedModule>([](HighSpeedModule& m) {
    m.scan().chCnt = 3;
    m.scan().target = 1000;
  });
  Read r;
  ASSERT_EQ(Get(d, &r), 1);
  EXPECT_EQ(r.target, 1002u);
  const Strings s = d.Take();
  ASSERT_FALSE(s.empty());
  EXPECT_EQ(s.back(), "~01T0000001002");
  ScanConfig cached;
  ASSERT_TRUE(LoggedSettings(d, &cached));
  EXPECT_EQ(cached.sampleCount, 1002);

  // An unanswered rounding command fails like every other step, and the target stays.
  d.Locked<HighSpeedModule>([](HighSpeedModule& m) { m.scan().target = 2000; });
  d.AddFault("~01T0000002001", FaultKind::NoReply);
  EXPECT_TRUE(nivex::test::FailsWith(Get(d, &r), QZ_ERR_DEVICE_RESPONSE));
  ASSERT_TRUE(LoggedSettings(d, &cached));
  EXPECT_EQ(cached.sampleCount, 2000);
}

TEST(ScanParamReadBack, Rx5k30RateFromFactors) {
  Device d(Model::RX5K30);
  ASSERT_TRUE(d.ok());
  for (const auto& [text, rate] : std::vector<std::pair<std::string, unsigned>>{
           {"02020032", 128000}, {"14144096", 20}, {"02024096", 1000}}) {
    d.Locked<HighSpeedModule>([text = text](HighSpeedModule& m) { m.scan().rateFactors = text; });
    Read r;
    ASSERT_EQ(Get(d, &r), 1);
    EXPECT_EQ(r.rate, rate) << text;
  }
}

TEST(ScanParamReadBack, BadRepliesAreRefused) {
  struct Case {
    Model model;
    const char* command;
    const char* reply;
  };
  const Case cases[] = {
      {Model::RX5K10, "~01P", "!01GxC8T0M0"},  // not a digit
      {Model::RX5K10, "~01P", "!01G0C9T0M0"},  // 9 channels
      {Model::RX5K10, "~01P", "!01G5C8T0M0"},  // gain code 5 indexes no table
      {Model::RX5K10, "~01P", "!01G0C8"},      // cut short
      {Model::RX5K10, "~01P", "?01"},
      {Model::RX5K10, "~01R", "!01"},
      {Model::RX5K10, "~01R", "!01999999"},
      {Model::RX5K30, "~01R", "!0100020032"},  // a = 0: no division by zero
      {Model::RX5K30, "~01R", "!0102020000"},
      {Model::RX5K30, "~01R", "!01020200"},
      {Model::RXBN500, "~01R", "!01AB020032"},
      {Model::RXBN500, "~01T", "!01"},
      {Model::RXBN500, "~01T", "!0199999999999"},
      {Model::RXBN500, "~01A", "?01"},
  };
  for (const Case& c : cases) {
    Device d(c.model);
    ASSERT_TRUE(d.ok());
    const bool rate = std::string(c.command) == "~01R";
    if (rate) {
      ASSERT_EQ(Set(d, {1, 0, 0, 1000, 0, 0, 0}), 1);  // the cached rate: 1000
    }
    d.Reply(c.command, c.reply);
    Read r;
    EXPECT_TRUE(nivex::test::FailsWith(Get(d, &r), QZ_ERR_DEVICE_RESPONSE))
        << c.command << " " << c.reply;
    ScanConfig cached;
    if (rate) {
      ASSERT_TRUE(LoggedSettings(d, &cached));
      EXPECT_EQ(cached.sampleRate, 1000);
    }
  }
  // A missing reply also fails.
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  d.AddFault("~01A", FaultKind::NoReply);
  Read r;
  EXPECT_TRUE(nivex::test::FailsWith(Get(d, &r), QZ_ERR_DEVICE_RESPONSE));
}

TEST(ScanParamExport, HandleAndArguments) {
  Read r;
  r.ch = r.gain = r.trig = r.M = r.A = 7;
  r.rate = r.target = 7;
  int junk = 0;
  EXPECT_EQ(QZ_GetAIScanParam(&junk, &r.ch, &r.gain, &r.trig, &r.rate, &r.target, &r.M, &r.A), 0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_INVALID_HANDLE);
  EXPECT_EQ(r.ch + r.gain + r.trig + r.M + r.A, 0);
  EXPECT_EQ(r.rate + r.target, 0u);
  EXPECT_EQ(QZ_SetAIScanParam(nullptr, 1, 0, 0, 1000, 0, 0, 0), 0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_INVALID_HANDLE);
}

}  // namespace

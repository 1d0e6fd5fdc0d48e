// How the kit judges a module's replies: data replies under either lead, decimal fields as
// "%d" reads them, and replies out of their format refused with a code.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "nivex.h"
#include "tests/common/DeviceFixture.h"

namespace {

using nivex::emu::Model;
using nivex::test::Device;
using nivex::test::FailsWith;

// The single-shot reads of every type, results and outputs as one text (a read a type does not
// have gives its refusal alike under both leads).
std::string EveryRead(void* h, int ai) {
  std::ostringstream s;
  char t[QZ_HW_VERSION_SIZE] = {};
  std::vector<float> volts(ai);
  std::vector<int> codes(ai);
  int v[4] = {};
  unsigned u[9] = {}, all[4] = {};
  unsigned short g = 0, c[5] = {};
  short o = 0;
  s << QZ_GetHWFirmwareVersion(h, t) << t << QZ_GetConfig(h, 5, 0, &v[0])
    << QZ_GetConfig(h, 5, 1, &v[1]) << QZ_SetConfig(h, 6, 1, 1250) << QZ_GetConfig(h, 6, 1, &v[2])
    << QZ_GetConfig(h, 2, 2, &v[3]) << QZ_ReadAIALL(h, 0, volts.data(), ai)
    << QZ_ReadAIALLHEX(h, 0, codes.data(), ai) << QZ_ReadGainOffset(h, 0, 0, &g, &o)
    << QZ_GetAIScanParam(h, &c[0], &c[1], &c[2], &u[0], &u[1], &c[3], &c[4]) << QZ_WriteDO(h, 9)
    << QZ_ReadDIO(h, &u[2], &u[3]) << QZ_GetDICNTAll(h, all, 4) << QZ_GetCounter(h, 0, &u[4])
    << QZ_GetCounterConfig(h, 0, &u[5], &u[6], &u[7]) << QZ_ReadEncoder(h, 0, &u[8]) << ':' << g
    << ',' << o;
  for (int x : v) s << ',' << x;
  for (unsigned x : u) s << ',' << x;
  for (unsigned x : all) s << ',' << x;
  for (unsigned short x : c) s << ',' << x;
  for (int i = 0; i < ai; ++i) s << ',' << volts[i] << ',' << codes[i];
  return s.str();
}

// Every type opens (slot map, calibration) and reads the same with the module's leads as with
// '>' before every data reply.
TEST(ReplyLeads, EveryDataReadGivesTheSameUnderEitherLead) {
  for (Model m : {Model::RX5K10, Model::RX5K30, Model::RXBN500, Model::D4071s, Model::D3054s}) {
    std::string seen[2];
    for (int gt = 0; gt < 2; ++gt) {
      Device d(
          m, [&](nivex::emu::Options& o) { o.everyDataReplyLeadsGt = gt == 1; },
          [](nivex::emu::Emulator& e) {  // steady levels without noise
            for (int ch = 0; ch < nivex::emu::AnalogInputs(e.options().model); ++ch)
              e.SetSignal(ch, 0.25 * (ch % 9) - 1.0);
          });
      ASSERT_TRUE(d.ok()) << nivex::emu::ModelText(m) << (gt ? " with '>' leads" : "");
      seen[gt] = EveryRead(d.h(), d.model().Module().AI);
    }
    EXPECT_EQ(seen[0], seen[1]) << nivex::emu::ModelText(m);
    EXPECT_EQ(seen[0].substr(0, 2), "1V") << seen[0];  // a version text, not an empty one
  }
}

// The item-5 read-backs read their number as "%d" does (blanks and a sign before it, blanks
// after it); no digit is a refusal.
TEST(ReplyFields, RmsReadBacksReadAsPercentD) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  int v = 77;
  d.Reply("~01RP", ">01F  42 ");
  d.Reply("~01DT", "!01 +7 ");
  ASSERT_EQ(QZ_GetConfig(d.h(), 5, 0, &v), 1);
  EXPECT_EQ(v, 42);
  ASSERT_EQ(QZ_GetConfig(d.h(), 5, 1, &v), 1);
  EXPECT_EQ(v, 7);
  d.Reply("~01DT", "!01 x5");
  EXPECT_TRUE(FailsWith(QZ_GetConfig(d.h(), 5, 1, &v), QZ_ERR_DEVICE_RESPONSE));
  EXPECT_EQ(v, 7);
}

std::string Nul(const char* s, size_t n) { return std::string(s, n); }  // a NUL inside

// Stand-in replies to one command: 0 for a reply the call takes, else the code it fails with.
TEST(ReplyFormats, RepliesOutOfTheirFormatAreRefusedWithACode) {
  using Call = std::function<int(void*)>;
  unsigned u[4];
  int v[8];
  float f;
  char t[QZ_HW_VERSION_SIZE];
  const Call dio = [&](void* h) { return QZ_ReadDIO(h, &u[0], &u[1]); };
  const std::string hex32(32, '0');
  const struct {
    Model model;
    const char* command;
    std::string reply;
    Call call;
    int code;
  } cases[] = {
      {Model::RX5K10, "@01", "!5A \t", dio, 0},  // trailing blanks aside
      {Model::RX5K10, "@01", "!5A0", dio, QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K10, "#01H0", "!" + hex32 + "0",
       [&](void* h) { return QZ_ReadAIALLHEX(h, 0, v, 1); }, QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K10, "@01REC", "!01" + hex32.substr(1),  // a group one digit short
       [&](void* h) { return QZ_GetDICNTAll(h, u, 4); }, QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K10, "~01V", "!01V3x", [&](void* h) { return QZ_GetConfig(h, 2, 2, v); },
       QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K10, "~01ED00", Nul("!013FC00000\0", 12),
       [&](void* h) { return QZ_GetConfig(h, 6, 0, v); }, QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K10, "~01ED00G3FC00000", "!01x",
       [&](void* h) { return QZ_SetConfig(h, 6, 0, 1500); }, QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K10, "$01F", Nul("!12\0", 4),
       [&](void* h) { return nivex::api::DeviceOf(h)->GetFPGAVersion(t); }, QZ_ERR_DEVICE_RESPONSE},
      {Model::D4071s, "#01S0G0", "!" + std::string(56, '1') + "1",
       [&](void* h) { return QZ_ReadAI(h, 0, 0, &f); }, QZ_ERR_DEVICE_RESPONSE},
  };
  // Each reply the kit parses as the module sends it, then with one character too many and
  // with one too few ("%d" fields cut in front of a fixed one, or down to no digit): the codes
  // these two give (0: taken).
  unsigned short w[5];
  char e[2];
  const Call scan = [&](void* h) {
    return QZ_GetAIScanParam(h, w, w + 1, w + 2, u, u + 1, w + 3, w + 4);
  };
  const Call trig = [&](void* h) {
    return QZ_GetAIAnalogTriggerParam(h, v, e, &f, &f, 1, u, u + 1, u + 2);
  };
  const Call sync = [&](void* h) {
    return QZ_GetSyncInScanParam(h, u, w, w + 1, 1, w + 2, u + 1, u + 2);
  };
  const Call sd = [&](void* h) { return QZ_GetSDAllLogFiles(h, u); };
  const Call rms = [&](void* h) { return QZ_GetConfig(h, 5, 1, v); };
  const Call delay = [&](void* h) { return QZ_GetAIDelayTriggerParam(h, u, u + 1); };
  const Call hw = [&](void* h) { return nivex::api::DeviceOf(h)->GetFPGAVersion(t); };
  constexpr int kResp = QZ_ERR_DEVICE_RESPONSE, kValue = QZ_ERR_INVALID_VALUE;
  const struct {
    Model model;
    const char *command, *good, *shorter;
    Call call;
    int longCode, shortCode;
  } exact[] = {
      {Model::D4071s, "~01PS0", "!01G1C8T0M1", "!01G1C8T0M", scan, kResp, kResp},
      {Model::D4071s, "~01RS0", "!01001000", "!01", scan, kResp, kResp},
      {Model::D4071s, "~01TS0", "!010000000100", "!01", scan, kResp, kResp},
      {Model::D3054s, "~01PS00", "!01G0C08T0M0", "!01G0C8T0M0", scan, kResp, kResp},
      {Model::D4071s, "~01XS0C0", "!01H3FFFL8000", "!01H3FFFL800", trig, kResp, kResp},
      {Model::D4071s, "~01XS0M", "!010M1L0R0", "!010M1L0R", trig, kResp, kResp},
      {Model::RX5K10, "~01XM", "!01XM1L00000000R00000000", "!01XM1L0000000R00000000", trig,
       kValue, kValue},
      {Model::RX5K10, "~01XC0", "!0100H7FFFL8000", "!0100H7FFFL800", trig, kValue, kValue},
      {Model::RXBN500, "~01XC0", "!0100H7FFFFFL800000", "!0100H7FFFFFL80000", trig, kValue,
       kValue},
      {Model::RX5K10, "~01R", "!01001000", "!01", scan, kResp, kResp},
      {Model::RXBN500, "~01R", "!0102020032", "!010202003", scan, kResp, kResp},
      {Model::RXBN500, "~01T", "!010000001000", "!01", scan, kResp, kResp},
      {Model::RXBN500, "~01A", "!010", "!01", scan, kResp, kResp},
      {Model::RX5K10, "~01Y", "!01Y00001000", "!01Y", delay, kResp, kResp},
      {Model::RX5K10, "~01SI", "!01H1O00T010101", "!01H1O00T01010", sync, kResp, kResp},
      {Model::RX5K10, "~01SDC", "!0112", "!01", sd, kResp, kValue},
      {Model::RX5K10, "~01DT", "!01 +7", "!01 +", rms, kResp, kResp},
      {Model::RX5K10, "$01F", "!12", "", hw, kResp, 0},
  };
  for (const auto& k : exact) {
    const std::string good = k.good, longer = good + "Z";
    for (const std::string& reply : {good, longer, std::string(k.shorter)}) {
      SCOPED_TRACE(std::string(k.command) + " \"" + reply + "\"");
      Device d(k.model);
      ASSERT_TRUE(d.ok());
      d.Reply(k.command, reply);
      const int code = reply == good ? 0 : reply == longer ? k.longCode : k.shortCode;
      if (code == 0) {
        EXPECT_EQ(k.call(d.h()), 1);
      } else {
        EXPECT_TRUE(FailsWith(k.call(d.h()), code));
      }
    }
  }
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.command) + " \"" + k.reply + "\"");
    Device d(k.model);
    ASSERT_TRUE(d.ok());
    d.Reply(k.command, k.reply);
    if (k.code == 0) {
      EXPECT_EQ(k.call(d.h()), 1);
    } else {
      EXPECT_TRUE(FailsWith(k.call(d.h()), k.code));
    }
  }
}

}  // namespace

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

// The item-5 read-backs read their number as "%d" does; no digit is a refusal.
TEST(ReplyFields, RmsReadBacksReadAsPercentD) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  int v = 77;
  d.Reply("~01RP", ">01F  42x");
  d.Reply("~01DT", "!01 +7 ms");
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

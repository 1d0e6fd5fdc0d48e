// How the kit judges a module's replies: data replies under either lead, decimal fields as
// "%d" reads them, and replies out of their format (longer, shorter, a NUL inside) refused
// with a code, each against stand-in replies of the emulator.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "nivex.h"
#include "tests/common/DeviceFixture.h"

namespace {

using nivex::emu::Model;
using nivex::emu::Options;
using nivex::test::Device;
using nivex::test::FailsWith;

// A call's result and its outputs as one text.
template <class... T>
std::string Out(int result, const T&... values) {
  std::ostringstream s;
  s << result;
  ((s << ' ' << values), ...);
  return s.str();
}

template <class T>
std::string Join(const T* v, int n) {
  std::ostringstream s;
  for (int i = 0; i < n; ++i) s << v[i] << ',';
  return s.str();
}

struct Read {
  const char* name;
  std::vector<Model> models;
  std::function<std::string(void* h, int ai)> run;
};

const std::vector<Model> kAll = {Model::RX5K10, Model::RX5K30, Model::RXBN500, Model::D4071s,
                                 Model::D3054s};
const std::vector<Model> kHighSpeed = {Model::RX5K10, Model::RX5K30, Model::RXBN500};

const std::vector<Read>& Reads() {
  static const std::vector<Read> reads = {
      {"version", kAll,
       [](void* h, int) {
         char t[QZ_HW_VERSION_SIZE] = {};
         const int r = QZ_GetHWFirmwareVersion(h, t);
         return Out(r && *t, t);  // an empty text is no version
       }},
      {"rms",
       {Model::RX5K10, Model::RX5K30, Model::D4071s, Model::D3054s},
       [](void* h, int) {
         int rpf = 0, dt = 0;
         return Out(QZ_GetConfig(h, 5, 0, &rpf) & QZ_GetConfig(h, 5, 1, &dt), rpf, dt);
       }},
      {"volts", kAll,
       [](void* h, int ai) {
         std::vector<float> v(static_cast<size_t>(ai));
         return Out(QZ_ReadAIALL(h, 0, v.data(), ai), Join(v.data(), ai));
       }},
      {"codes",
       {Model::RX5K10, Model::RX5K30, Model::RXBN500, Model::D4071s},
       [](void* h, int ai) {
         std::vector<int> v(static_cast<size_t>(ai));
         return Out(QZ_ReadAIALLHEX(h, 0, v.data(), ai), Join(v.data(), ai));
       }},
      {"calibration",
       {Model::RX5K10, Model::RX5K30, Model::D4071s},
       [](void* h, int) {
         unsigned short g = 0;
         short o = 0;
         return Out(QZ_ReadGainOffset(h, 0, 0, &g, &o), g, o);
       }},
      {"scan setup", kHighSpeed,
       [](void* h, int) {
         unsigned short c = 0, g = 0, t = 0, m = 0, a = 0;
         unsigned int rate = 0, target = 0;
         return Out(QZ_GetAIScanParam(h, &c, &g, &t, &rate, &target, &m, &a), c, g, t, rate, target,
                    m, a);
       }},
      {"item 6",
       {Model::RX5K10, Model::RX5K30, Model::D4071s},
       [](void* h, int) {
         int v = 0;
         return Out(QZ_SetConfig(h, 6, 1, 1250) & QZ_GetConfig(h, 6, 1, &v), v);
       }},
      {"digital",
       {Model::RX5K10, Model::RX5K30},
       [](void* h, int) {
         unsigned int di = 0, dout = 0;
         return Out(QZ_WriteDO(h, 9) & QZ_ReadDIO(h, &di, &dout), di, dout);
       }},
      {"counters",
       {Model::RX5K10},
       [](void* h, int) {
         unsigned int all[4] = {}, one = 0, mode = 0, value = 0, r = 0, divider = 0;
         int div = 0;
         const int ok = QZ_GetDICNTAll(h, all, 4) & QZ_GetCounter(h, 0, &one) &
                        QZ_SetCounterConfig(h, 0, 2, 77, 0) &
                        QZ_GetCounterConfig(h, 0, &mode, &value, &r) & QZ_GetConfig(h, 2, 2, &div);
         divider = static_cast<unsigned int>(div);
         return Out(ok, Join(all, 4), one, mode, value, divider);
       }},
      {"encoder",
       {Model::RX5K30},
       [](void* h, int) {
         unsigned int count = 0;
         int m = 0, f = 0, s = 0;
         return Out(QZ_ReadEncoder(h, 0, &count) & QZ_GetEncoderMode(h, 0, &m, &f, &s), count, m, f,
                    s);
       }},
  };
  return reads;
}

// Every read of every type gives the same with the module's leads as with '>' before every
// data reply; the open (slot map, calibration) as well.
TEST(ReplyLeads, EveryDataReadGivesTheSameUnderEitherLead) {
  for (Model m : kAll) {
    SCOPED_TRACE(nivex::emu::ModelText(m));
    std::vector<std::string> seen[2];
    for (int gt = 0; gt < 2; ++gt) {
      Device d(
          m, [&](Options& o) { o.everyDataReplyLeadsGt = gt == 1; },
          [](nivex::emu::Emulator& e) {  // steady levels without noise
            for (int ch = 0; ch < nivex::emu::AnalogInputs(e.options().model); ++ch)
              e.SetSignal(ch, 0.25 * (ch % 9) - 1.0);
          });
      ASSERT_TRUE(d.ok()) << (gt ? "'>' leads" : "the module's leads");
      for (const Read& r : Reads()) {
        if (std::find(r.models.begin(), r.models.end(), m) == r.models.end()) continue;
        seen[gt].push_back(r.run(d.h(), d.model().module.AI));
        EXPECT_EQ(seen[gt].back().substr(0, 1), "1") << r.name << ": " << seen[gt].back();
      }
    }
    EXPECT_EQ(seen[0], seen[1]);
  }
}

// The item-5 read-backs read their number as "%d" does.
TEST(ReplyFields, RmsReadBacksReadAsPercentD) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  const struct {
    int item;
    const char* reply;
    int want;  // < 0: refused with 0x17003
  } cases[] = {
      {0, "!01F  42x", 42}, {0, ">01P+7", 7},         {1, "!01 \t1000 ms", 1000},
      {1, "!0100250", 250}, {0, "!01F", -1},          {0, "!01Fx5", -1},
      {1, "!01 ", -1},      {1, "!012147483648", -1}, {1, "?01", -1},
  };
  for (const auto& c : cases) {
    d.Reply(c.item == 0 ? "~01RP" : "~01DT", c.reply);
    int v = 77;
    if (c.want >= 0) {
      EXPECT_EQ(QZ_GetConfig(d.h(), 5, c.item, &v), 1) << c.reply;
      EXPECT_EQ(v, c.want) << c.reply;
    } else {
      EXPECT_TRUE(FailsWith(QZ_GetConfig(d.h(), 5, c.item, &v), QZ_ERR_DEVICE_RESPONSE)) << c.reply;
      EXPECT_EQ(v, 77) << c.reply;
    }
  }
}

// A stand-in reply to one command and the call that sends it: 0 for a reply the call takes,
// else the code it fails with.
struct Stand {
  Model model;
  const char* command;
  std::string reply;
  std::function<int(void* h)> call;
  int code;
};

int Version(void* h) {
  char t[QZ_HW_VERSION_SIZE];
  return nivex::api::DeviceOf(h)->GetFPGAVersion(t);
}
int Digital(void* h) {
  unsigned int di = 0, dout = 0;
  return QZ_ReadDIO(h, &di, &dout);
}
int Codes(void* h) {
  int v[8] = {};
  return QZ_ReadAIALLHEX(h, 0, v, 1);
}
int Volts(void* h) {
  float v = 0;
  return QZ_ReadAI(h, 0, 0, &v);
}
int Counter(void* h) {
  unsigned int v = 0;
  return QZ_GetCounter(h, 0, &v);
}
int DICounts(void* h) {
  unsigned int v[4] = {};
  return QZ_GetDICNTAll(h, v, 4);
}
int Get(void* h, int kind, int item) {
  int v = 0;
  return QZ_GetConfig(h, kind, item, &v);
}

std::string Text(const char* s, size_t n) { return std::string(s, n); }  // NULs and all

TEST(ReplyFormats, RepliesOutOfTheirFormatAreRefusedWithACode) {
  const std::string codes10 = "!" + std::string(32, '0');    // RX5K10: 8 fields of 4 digits
  const std::string slotCodes = "!" + std::string(32, '1');  // D4071s: 8 fields of 4 digits
  const std::string slotVolts = "!" + std::string(8 * 7, '1').replace(0, 7, "+01.250");
  const std::string dicnt = "!01" + std::string(32, '0');
  const auto getScan = [](void* h) {
    unsigned short c, g, t, m, a;
    unsigned int r, n;
    return QZ_GetAIScanParam(h, &c, &g, &t, &r, &n, &m, &a);
  };
  const Stand cases[] = {
      // Fixed formats: exactly their length, trailing blanks aside.
      {Model::RX5K10, "@01", "!5A  ", Digital, 0},
      {Model::RX5K10, "@01", "!5A0", Digital, QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K10, "@01", Text("!5A\0", 4), Digital, QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K10, "#01H0", codes10 + " ", Codes, 0},
      {Model::RX5K10, "#01H0", codes10 + "0", Codes, QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K10, "#01H0", codes10.substr(0, 32), Codes, QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K10, "@01G0", "!01000012345", Counter, QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K10, "@01REC", dicnt + "1", DICounts, QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K10, "@01REC", dicnt.substr(0, 34), DICounts, QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K10, "~01P", "!01G0C1T0M0X", getScan, QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K10, "~01V", "!01V3x", [](void* h) { return Get(h, 2, 2); },
       QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K10, "~01ED00", "!013FC00000 ", [](void* h) { return Get(h, 6, 0); }, 0},
      {Model::RX5K10, "~01ED00", Text("!013FC00000\0", 12), [](void* h) { return Get(h, 6, 0); },
       QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K10, "~01ED00G3FC00000", "!01x",
       [](void* h) { return QZ_SetConfig(h, 6, 0, 1500); }, QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K30, "#01N", ">0000FFFF0",
       [](void* h) {
         unsigned int v = 0;
         return QZ_ReadEncoder(h, 0, &v);
       },
       QZ_ERR_INVALID_VALUE},
      {Model::D4071s, "#01HS0G0", slotCodes + "1", Codes, QZ_ERR_DEVICE_RESPONSE},
      {Model::D4071s, "#01S0G0", slotVolts + "\t", Volts, 0},
      {Model::D4071s, "#01S0G0", slotVolts + "1", Volts, QZ_ERR_DEVICE_RESPONSE},
      // Texts of any length still refuse a NUL.
      {Model::RX5K10, "$01F", Text("!12\0", 4), Version, QZ_ERR_DEVICE_RESPONSE},
      {Model::RX5K10, "~01RP", Text("!01F5\0", 6), [](void* h) { return Get(h, 5, 0); },
       QZ_ERR_DEVICE_RESPONSE},
      {Model::D3054s, "$01F", Text("!100,101\0", 9), Version, QZ_ERR_DEVICE_RESPONSE},
      {Model::D4071s, "$01FS8", Text(">0100\0", 6), Version, QZ_ERR_DEVICE_RESPONSE},
  };
  for (const Stand& c : cases) {
    SCOPED_TRACE(std::string(nivex::emu::ModelText(c.model)) + " " + c.command + " \"" + c.reply +
                 "\"");
    Device d(c.model);
    ASSERT_TRUE(d.ok());
    d.Reply(c.command, c.reply);
    QZ_ClearLastError();
    if (c.code == 0) {
      EXPECT_EQ(c.call(d.h()), 1);
    } else {
      EXPECT_TRUE(FailsWith(c.call(d.h()), c.code));
    }
    EXPECT_FALSE(d.Take().empty());  // the command went out
  }
}

// A calibration entry out of its format is not loaded: the entry stays zero.
TEST(ReplyFormats, ACalibrationEntryOutOfItsFormatIsNotLoaded) {
  for (const std::string& reply : {std::string("!123400050"), Text("!12340005\0", 10)}) {
    Device d(Model::RX5K10, nullptr, [&](nivex::emu::Emulator& e) {
      e.AddFault(nivex::test::MakeFault("$01R0C3G1", nivex::emu::FaultKind::Reply, reply));
    });
    ASSERT_TRUE(d.ok());
    unsigned short g = 7;
    short o = 7;
    ASSERT_EQ(QZ_ReadGainOffset(d.h(), 3, 1, &g, &o), 1);
    EXPECT_EQ(g, 0);
    EXPECT_EQ(o, 0);
    ASSERT_EQ(QZ_ReadGainOffset(d.h(), 3, 0, &g, &o), 1);
    EXPECT_EQ(g, 0x8000);  // the entries around it as the module gives them
  }
}

}  // namespace

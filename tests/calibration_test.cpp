// The calibration arithmetic: the 16-bit, RX5K30 and RXBN500 conversions, their saturation
// cases, the equality of the driver's and the stored-log handle's conversions, and what only
// the stored-log handle does (its tables, its registry, its range checks).
#include "framework/Calibration.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "api/ModelLog.h"
#include "drivers/highspeed/RX5K30_Class.h"
#include "drivers/highspeed/RXBN500_Class.h"
#include "nivex.h"
#include "tests/common/CalibrationReference.h"
#include "tests/common/DeviceFixture.h"

namespace {

// A stored-log handle released as the stored-log close releases it.
struct LogRelease {
  void operator()(nivex::ModelLog* log) const { nivex::ReleaseModelLog(log); }
};
using OwnedLog = std::unique_ptr<nivex::ModelLog, LogRelease>;
OwnedLog MakeLog(const nivex::WRXmodule& row, int kind) {
  return OwnedLog(new nivex::ModelLog(row, kind));
}

using namespace nivex;
using namespace nivex::calib;

TEST(Calibration16, ClampsAndScales) {
  struct Case {
    int code;
    uint16_t gain;
    int16_t offset;
    int32_t want;
  } cases[] = {
      {0x7FFF, 32768, 0, 32767},   {0x8000, 32768, 0, -32768},
      {0x7FFF, 32768, 100, 32767}, {0x8000, 32768, -100, -32768},
      {1000, 16384, 0, 500},       {-1000, 16384, 0, -500},
      {1000, 32768, -100, 900},    {0x12340000 | 0x0010, 32768, 0, 16},  // upper bits ignored
      {-3, 16384, 0, -2},  // the shift rounds toward minus infinity
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Calibrate16(c.code, c.gain, c.offset), c.want) << c.code;
  }
  float v = 1.0f;
  EXPECT_TRUE(Volts16(32767, 0, &v));
  EXPECT_NEAR(v, 5.0f, 1e-3);
  EXPECT_TRUE(Volts16(32767, 1, &v));
  EXPECT_NEAR(v, 10.0f, 1e-3);
  EXPECT_FALSE(Volts16(32767, 2, &v));
  EXPECT_EQ(v, 0.0f);
}

TEST(Calibration5K30, SpecialCodesAndSaturation) {
  int32_t out = 7;
  ASSERT_TRUE(Calibrate24(0x7FFFFF, 0, 0, 0.0f, 10.0f, &out));
  EXPECT_EQ(out, INT32_MAX);
  ASSERT_TRUE(Calibrate24(0x800000, 0, 0, 0.0f, 10.0f, &out));
  EXPECT_EQ(out, INT32_MIN);
  // Near full scale with a gain above unity the product leaves the int32 range.
  ASSERT_TRUE(Calibrate24(0x7FFFFE, 40000, 0, 10.0f, 10.0f, &out));
  EXPECT_EQ(out, INT32_MAX);
  ASSERT_TRUE(Calibrate24(0x800001, 40000, 0, 10.0f, 10.0f, &out));
  EXPECT_EQ(out, INT32_MIN);
  // Unity, just below full scale: 511 codes of headroom are left. An offset of 300 fits
  // (float rounding of the product aside), 600 saturates by the headroom test.
  ASSERT_TRUE(Calibrate24(0x7FFFFE, 32768, 300, 10.0f, 10.0f, &out));
  EXPECT_EQ(out, 2147483392);
  ASSERT_TRUE(Calibrate24(0x7FFFFE, 32768, 600, 10.0f, 10.0f, &out));
  EXPECT_EQ(out, INT32_MAX);
  // Outside 24 bits: out unchanged, still 1.
  out = 1234;
  EXPECT_FALSE(Calibrate24(0x1000000, 32768, 0, 10.0f, 10.0f, &out));
  EXPECT_FALSE(Calibrate24(-5, 32768, 0, 10.0f, 10.0f, &out));
  EXPECT_EQ(out, 1234);
}

TEST(Calibration5K30, SmallCodeWithNegativeOffsetStaysSmall) {
  // A 32-bit sum wrapped to about 4.29e9 here and read as +full scale.
  int32_t out = 0;
  ASSERT_TRUE(Calibrate24(0, 32768, -100, 10.0f, 10.0f, &out));
  EXPECT_EQ(out, -100);
  ASSERT_TRUE(Calibrate24(0, 32768, -100, 5.0f, 5.0f, &out));
  EXPECT_EQ(out, -100);
}

TEST(Calibration5K30, NegativeCodesKeepTheir256CodeStep) {
  int32_t out = 0;
  ASSERT_TRUE(Calibrate24(0xFFFFFF, 32768, 0, 10.0f, 10.0f, &out));  // -1
  EXPECT_EQ(out, -65792);
  ASSERT_TRUE(Calibrate24(0xFFFF00, 32768, 0, 10.0f, 10.0f, &out));  // -256
  EXPECT_EQ(out, -65536 - 65536);
}

TEST(Calibration5K30, MatchesA64BitReferenceAwayFromFullScale) {
  const uint16_t gains[] = {32768, 30000, 36000, 16384};
  const int16_t offsets[] = {0, 100, -100, 3000, -3000};
  const int codes[] = {0,        1,        0xFF,     0x100,    0x1234,   0x12345, 0x3FFFFF,
                       0x600000, 0xFFFFFF, 0xFFFF00, 0xF00000, 0xA00001, 0xC00000};
  for (uint16_t g : gains)
    for (int16_t o : offsets)
      for (int code : codes) {
        int32_t out = 0;
        ASSERT_TRUE(Calibrate24(code, g, o, 10.0f, 10.0f, &out));
        const int64_t want = test::Reference5K30Sum(code, g, o);
        // Only the float rounding of the final product separates them.
        EXPECT_NEAR(static_cast<double>(out), static_cast<double>(want),
                    std::fabs(static_cast<double>(want)) * 1e-7 + 1)
            << std::hex << code << " g " << std::dec << g << " o " << o;
      }
}

TEST(Calibration5K30, VoltsClampToTheRange) {
  EXPECT_FLOAT_EQ(Volts24(INT32_MAX, 10.0f), 10.0f);
  EXPECT_FLOAT_EQ(Volts24(INT32_MIN, 10.0f), -10.0f);
  EXPECT_FLOAT_EQ(Volts24(INT32_MAX, kRx5k30FullScale[9]), 0.02f);
  EXPECT_FLOAT_EQ(Volts24(INT32_MIN, kRx5k30FullScale[9]), -0.02f);
  EXPECT_NEAR(Volts24(1 << 30, 10.0f), 5.0f, 1e-6);
}

TEST(CalibrationBN500, ScalesAndSaturatesAtBothEnds) {
  for (const BnScale s : {BnScale::kGainTimesTenth, BnScale::kTimesRangeOver10k}) {
    EXPECT_EQ(CalibrateBN(0x7FFFFF, 0, 10000, s), 0x7FFFFF00);
    EXPECT_EQ(CalibrateBN(0x800000, 0, 10000, s), INT32_MIN);
    // 0x7FFFFF + 1 is exactly 2^23: formerly shifted into the sign bit (full negative).
    EXPECT_EQ(CalibrateBN(0x7FFFFF, 1, 10000, s), 0x7FFFFF00);
    EXPECT_EQ(CalibrateBN(0x7FFFFF, 5000, 20000, s), 0x7FFFFF00);
    EXPECT_EQ(CalibrateBN(0x800000, -1, 10000, s), INT32_MIN);
    EXPECT_EQ(CalibrateBN(256, 0, 1000, s), 25 * 256);
    EXPECT_EQ(CalibrateBN(0xFFFF00, 0, 1000, s), -6400);
  }
  EXPECT_NEAR(VoltsBN(256, 0, 1000), 256.0 / 8388607.0, 1e-9);
  EXPECT_NEAR(VoltsBN(0x7FFFFF, 0, 10000), 10.0, 1e-5);
  EXPECT_NEAR(VoltsBN(0x800000, 0, 10000), -10.0, 1e-5);
}

TEST(CalibrationHelpers, FloatToIntBehavesLikeX86) {
  EXPECT_EQ(FloatToInt(1.9f), 1);
  EXPECT_EQ(FloatToInt(-1.9f), -1);
  EXPECT_EQ(FloatToInt(3e9f), INT32_MIN);
  EXPECT_EQ(FloatToInt(-3e9f), INT32_MIN);
  EXPECT_EQ(FloatToInt(NAN), INT32_MIN);
  EXPECT_EQ(FloatToInt(-2147483648.0f), INT32_MIN);
  EXPECT_EQ(SignExtend24(0xFFFFFF), -1);
  EXPECT_EQ(SignExtend24(0x7FFFFF), 0x7FFFFF);
}

// ------------------------------------------------------------------ driver == stored log

WRXmodule Row(unsigned short id) {
  for (const WRXmodule& r : WRXMODULE)
    if (r.id == id) return r;
  return WRXMODULE[0];
}

// Every code through a device and a stored log that hold the same calibration, on every
// channel, with one gain code. sameCodes false: only the volts agree (RXBN500 rounds its
// calibrated codes per path).
void ExpectAgree(void* device, const ModelLog& log, int channels, int gain, bool sameCodes = true) {
  const int codes[] = {0,        1,        0x100,    0x7FFE,   0x8000,   0xFFFF,   0x123456,
                       0x7FFFFE, 0x7FFFFF, 0x800000, 0x800001, 0xABCDEF, 0xFFFF00, 0xFFFFFF};
  for (int ch = 0; ch < channels; ++ch)
    for (int code : codes) {
      int a = 1, b = 2;
      float va = 1, vb = 2;
      ASSERT_EQ(QZ_Calibrate_Data_HEX(device, ch, gain, code, &a), 1);
      ASSERT_EQ(log.Calibrate_HEX(code, ch, gain, &b), 1);
      EXPECT_TRUE(!sameCodes || a == b) << std::hex << code << " channel " << ch;
      ASSERT_EQ(QZ_Calibrate_Data_Float(device, ch, gain, code, &va), 1);
      ASSERT_EQ(log.Calibrate_Hex2Float(code, ch, gain, &vb), 1);
      EXPECT_EQ(va, vb) << std::hex << code << " channel " << ch;
    }
}

TEST(CalibrationPaths, DriverAndStoredLogAgree) {
  using emu::CalEntry;
  using emu::Model;
  {
    // The module's table, loaded at connect, and the same values as a log stores them.
    auto entry = [](int ch) {
      return CalEntry{static_cast<unsigned>(30000 + 1000 * ch), -400 + 100 * ch, 0};
    };
    test::Device d(Model::RX5K10, nullptr, [&](emu::Emulator& e) {
      for (int ch = 0; ch < 8; ++ch) e.SetCalibration(ch, 1, entry(ch));
    });
    ASSERT_TRUE(d.ok());
    OwnedLog log = MakeLog(Row(kIdRX5K10), ModelLog::kKind16);
    for (int ch = 0; ch < 8; ++ch) {
      log->gainTable[ch] = static_cast<uint16_t>(entry(ch).gain);
      log->offsetTable[ch] = entry(ch).offset;
    }
    ExpectAgree(d.h(), *log, 8, 1);
  }
  {
    const unsigned rangeMv = 1262;  // a calibrated range near the nominal 1.25 V of gain code 3
    auto entry = [&](int ch) {
      return CalEntry{static_cast<unsigned>(31000 + 900 * ch), ch % 2 ? -250 : 250, rangeMv};
    };
    test::Device d(Model::RX5K30, nullptr, [&](emu::Emulator& e) {
      for (int ch = 0; ch < 4; ++ch) e.SetCalibration(ch, 3, entry(ch));
    });
    ASSERT_TRUE(d.ok());
    OwnedLog log = MakeLog(Row(kIdRX5K30), ModelLog::kKind24);
    for (int ch = 0; ch < 4; ++ch) {
      log->gainTable[ch] = static_cast<uint16_t>(entry(ch).gain);
      log->offsetTable[ch] = entry(ch).offset;
      log->rangeTable[ch] = rangeMv;
    }
    ExpectAgree(d.h(), *log, 4, 3);
  }
  {
    auto entry = [](int ch) { return CalEntry{static_cast<unsigned>(9000 + 700 * ch), ch * 37 - 60, 0}; };
    test::Device d(Model::RXBN500, nullptr, [&](emu::Emulator& e) {
      for (int ch = 0; ch < 4; ++ch) e.SetCalibration(ch, 0, entry(ch));
    });
    ASSERT_TRUE(d.ok());
    OwnedLog log = MakeLog(Row(kIdRXBN500), ModelLog::kKind24);
    for (int ch = 0; ch < 4; ++ch) {
      log->rangeTable[ch] = entry(ch).gain;
      log->offsetTable[ch] = entry(ch).offset;
    }
    ExpectAgree(d.h(), *log, 4, 0, false);
  }
}

TEST(CalibrationPaths, DriverChecksChannelAndGainBeforeTheTables) {
  RX5K30 dev("127.0.0.1", 9999, 10010, Row(kIdRX5K30));
  int out = 42;
  QZ_ClearLastError();
  EXPECT_EQ(dev.Calibrate_HEX(5, 4, 0, &out), 0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_CHANNEL_RANGE);
  EXPECT_EQ(dev.Calibrate_HEX(5, -1, 0, &out), 0);
  EXPECT_EQ(dev.Calibrate_HEX(5, 0, 10, &out), 0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_GAIN_RANGE);
  EXPECT_EQ(out, 42);
  RXBN500 bn("127.0.0.1", 9999, 10010, Row(kIdRXBN500));
  float v = 3.0f;
  EXPECT_EQ(bn.Calibrate_Hex2Float(5, 0, 1, &v), 0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_GAIN_RANGE);
  EXPECT_EQ(v, 3.0f);
}

// ------------------------------------------------------------------ the stored-log handle

// Rows of the module table: 0 RX-5K10, 1 RX-5K30, 2 D4071s, 3 RX-BN500, 4 D3054Ws, 5 end.

TEST(ModelLog, StartsZeroedAndRegistered) {
  ModelLog* log = new ModelLog(WRXMODULE[2], ModelLog::kKind16);
  EXPECT_STREQ(log->name, "D4071s");
  for (int ch = 0; ch < 64; ++ch) {
    EXPECT_EQ(log->gainTable[ch], 0);
    EXPECT_EQ(log->offsetTable[ch], 0);
    EXPECT_EQ(log->rangeTable[ch], 0u);
  }
  EXPECT_TRUE(IsModelLog(log));
  ReleaseModelLog(log);
  EXPECT_FALSE(IsModelLog(log));

  OwnedLog none = MakeLog(WRXMODULE[5], ModelLog::kKind16);  // no inputs: no tables
  EXPECT_EQ(none->gainTable, nullptr);
  int out = 3;
  EXPECT_TRUE(test::FailsWith(none->Calibrate_HEX(1, 0, 0, &out), QZ_ERR_CHANNEL_RANGE));
  EXPECT_EQ(out, 3);
  // A type the stored log cannot convert (D3054Ws).
  float v = 6.0f;
  EXPECT_EQ(MakeLog(WRXMODULE[4], ModelLog::kKind16)->Calibrate_Hex2Float(1, 0, 0, &v), 0);
  EXPECT_EQ(v, 6.0f);
}

TEST(ModelLog, ChecksChannelAndGainPerType) {
  OwnedLog k10 = MakeLog(WRXMODULE[0], ModelLog::kKind16);
  int out = 0;
  float v = 4.0f;
  EXPECT_TRUE(test::FailsWith(k10->Calibrate_HEX(1, 8, 0, &out), QZ_ERR_CHANNEL_RANGE));
  EXPECT_EQ(k10->Calibrate_Hex2Float(1, -1, 0, &v), 0);
  ASSERT_EQ(k10->Calibrate_Hex2Float(0x7FFF, 0, 2, &v), 1);  // no such range: 0 V
  EXPECT_EQ(v, 0.0f);

  OwnedLog k30 = MakeLog(WRXMODULE[1], ModelLog::kKind24);
  k30->gainTable[0] = 32768;
  k30->rangeTable[0] = 20;  // gain code 9: 0.02 V
  ASSERT_EQ(k30->Calibrate_Hex2Float(0x7FFFFF, 0, 9, &v), 1);
  EXPECT_FLOAT_EQ(v, 0.02f);
  ASSERT_EQ(k30->Calibrate_Hex2Float(0x400000, 0, 9, &v), 1);
  EXPECT_NEAR(v, 0.01, 1e-6);
  out = 5;
  ASSERT_EQ(k30->Calibrate_HEX(0x1000000, 0, 9, &out), 1);  // outside 24 bits: left as it was
  EXPECT_EQ(out, 5);
  EXPECT_TRUE(test::FailsWith(k30->Calibrate_HEX(1, 0, 10, &out), QZ_ERR_GAIN_RANGE));
  EXPECT_TRUE(test::FailsWith(k30->Calibrate_Hex2Float(1, 0, -1, &v), QZ_ERR_GAIN_RANGE));
  EXPECT_TRUE(test::FailsWith(k30->Calibrate_HEX(1, 4, 0, &out), QZ_ERR_CHANNEL_RANGE));
}

}  // namespace

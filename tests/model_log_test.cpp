// The stored-log handle: its tables, its conversions per module type and its registry.
#include <gtest/gtest.h>

#include <climits>
#include <memory>

#include "api/ModelLog.h"
#include "nivex.h"

namespace {

// A stored-log handle released as the stored-log close releases it.
struct LogRelease {
  void operator()(nivex::ModelLog* log) const { nivex::ReleaseModelLog(log); }
};
using OwnedLog = std::unique_ptr<nivex::ModelLog, LogRelease>;
OwnedLog MakeLog(const nivex::WRXmodule& row, int kind) {
  return OwnedLog(new nivex::ModelLog(row, kind));
}

using nivex::ModelLog;
using nivex::WRXMODULE;

// Rows of the module table: 0 RX-5K10, 1 RX-5K30, 2 D4071s, 3 RX-BN500, 4 D3054Ws, 5 end.

TEST(ModelLog, StartsZeroedAndRegistered) {
  ModelLog* log = new ModelLog(WRXMODULE[2], ModelLog::kKind16);
  EXPECT_STREQ(log->name, "D4071s");
  for (int ch = 0; ch < 64; ++ch) {
    EXPECT_EQ(log->gainTable[ch], 0);
    EXPECT_EQ(log->offsetTable[ch], 0);
    EXPECT_EQ(log->rangeTable[ch], 0u);
  }
  EXPECT_TRUE(nivex::IsModelLog(log));
  nivex::ReleaseModelLog(log);
  EXPECT_FALSE(nivex::IsModelLog(log));

  OwnedLog none_owner = MakeLog(WRXMODULE[5], ModelLog::kKind16);  // no inputs: no tables

  ModelLog& none = *none_owner;
  EXPECT_EQ(none.gainTable, nullptr);
  int out = 3;
  EXPECT_EQ(none.Calibrate_HEX(1, 0, 0, &out), 0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_CHANNEL_RANGE);
  EXPECT_EQ(out, 3);
}

TEST(ModelLog, SixteenBitLogs) {
  OwnedLog log_owner = MakeLog(WRXMODULE[0], ModelLog::kKind16);
  ModelLog& log = *log_owner;
  log.gainTable[0] = 32768;
  log.gainTable[1] = 16384;
  log.offsetTable[2] = 100;
  log.gainTable[2] = 32768;
  int out = 0;
  ASSERT_EQ(log.Calibrate_HEX(0x7FFF, 0, 0, &out), 1);
  EXPECT_EQ(out, 32767);
  ASSERT_EQ(log.Calibrate_HEX(0x8000, 0, 0, &out), 1);
  EXPECT_EQ(out, -32768);
  ASSERT_EQ(log.Calibrate_HEX(0x7FFF, 2, 0, &out), 1);
  EXPECT_EQ(out, 32767);
  ASSERT_EQ(log.Calibrate_HEX(2000, 1, 0, &out), 1);
  EXPECT_EQ(out, 1000);
  float v = 0.0f;
  ASSERT_EQ(log.Calibrate_Hex2Float(0x7FFF, 0, 0, &v), 1);
  EXPECT_NEAR(v, 5.0, 1e-3);
  ASSERT_EQ(log.Calibrate_Hex2Float(0x7FFF, 0, 1, &v), 1);
  EXPECT_NEAR(v, 10.0, 1e-3);
  v = 4.0f;
  ASSERT_EQ(log.Calibrate_Hex2Float(0x7FFF, 0, 2, &v), 1);
  EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(log.Calibrate_HEX(1, 8, 0, &out), 0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_CHANNEL_RANGE);
  EXPECT_EQ(log.Calibrate_Hex2Float(1, -1, 0, &v), 0);
}

TEST(ModelLog, Rx5k30Logs) {
  OwnedLog log_owner = MakeLog(WRXMODULE[1], ModelLog::kKind24);
  ModelLog& log = *log_owner;
  for (int ch = 0; ch < 4; ++ch) {
    log.gainTable[ch] = 32768;
    log.rangeTable[ch] = 20;  // gain code 9: 0.02 V
  }
  int out = 0;
  ASSERT_EQ(log.Calibrate_HEX(0x7FFFFF, 0, 9, &out), 1);
  EXPECT_EQ(out, INT_MAX);
  ASSERT_EQ(log.Calibrate_HEX(0x800000, 0, 9, &out), 1);
  EXPECT_EQ(out, INT_MIN);
  ASSERT_EQ(log.Calibrate_HEX(0xFFFFFF, 0, 9, &out), 1);
  EXPECT_EQ(out, -65792);
  out = 5;
  ASSERT_EQ(log.Calibrate_HEX(0x1000000, 0, 9, &out), 1);
  EXPECT_EQ(out, 5);
  float v = 0.0f;
  ASSERT_EQ(log.Calibrate_Hex2Float(0x7FFFFF, 0, 9, &v), 1);
  EXPECT_FLOAT_EQ(v, 0.02f);
  ASSERT_EQ(log.Calibrate_Hex2Float(0x800000, 0, 9, &v), 1);
  EXPECT_FLOAT_EQ(v, -0.02f);
  ASSERT_EQ(log.Calibrate_Hex2Float(0x400000, 0, 9, &v), 1);
  EXPECT_NEAR(v, 0.01, 1e-6);
  EXPECT_EQ(log.Calibrate_HEX(1, 0, 10, &out), 0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_GAIN_RANGE);
  EXPECT_EQ(log.Calibrate_Hex2Float(1, 0, -1, &v), 0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_GAIN_RANGE);
  EXPECT_EQ(log.Calibrate_HEX(1, 4, 0, &out), 0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_CHANNEL_RANGE);
}

TEST(ModelLog, BN500LogsAndUnknownNames) {
  OwnedLog log_owner = MakeLog(WRXMODULE[3], ModelLog::kKind24);
  ModelLog& log = *log_owner;
  log.rangeTable[1] = 1000;  // factor 1.0
  int out = 0;
  ASSERT_EQ(log.Calibrate_HEX(256, 1, 0, &out), 1);
  EXPECT_EQ(out, 6400);
  ASSERT_EQ(log.Calibrate_HEX(0xFFFF00, 1, 0, &out), 1);
  EXPECT_EQ(out, -6400);
  float v = 0.0f;
  ASSERT_EQ(log.Calibrate_Hex2Float(256, 1, 0, &v), 1);
  EXPECT_FLOAT_EQ(v, static_cast<float>(256.0 / 8388607.0));
  log.rangeTable[2] = 10000;
  log.offsetTable[2] = 1;
  ASSERT_EQ(log.Calibrate_HEX(0x7FFFFF, 2, 0, &out), 1);
  EXPECT_EQ(out, 0x7FFFFF00);  // saturated, never flipped to minus full scale

  OwnedLog other_owner = MakeLog(WRXMODULE[4], ModelLog::kKind16);  // D3054Ws

  ModelLog& other = *other_owner;
  v = 6.0f;
  EXPECT_EQ(other.Calibrate_Hex2Float(1, 0, 0, &v), 0);
  EXPECT_EQ(v, 6.0f);
}

}  // namespace

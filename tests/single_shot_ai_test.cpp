// One-shot analog reads and the exported single-shot functions against emulated modules: the
// emulator's signal read back through its calibration table, the argument checks and the
// outputs they clear, the receive-in-progress cache, refused and short replies, and the two
// kinds of handle of the code conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <tuple>

#include "api/ModelLog.h"
#include "emulator/HighSpeedModule.h"
#include "nivex.h"
#include "tests/common/CalibrationReference.h"
#include "tests/common/DeviceFixture.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::emu::CalEntry;
using nivex::emu::Emulator;
using nivex::emu::HighSpeedModule;
using nivex::emu::Model;
using nivex::test::Device;
using nivex::test::FailsWith;
using nivex::test::Strings;

// The calibrated code the driver must give for a raw code with the emulator's entry, from the
// formulas (tests/common/CalibrationReference.h), and how far the kit's float steps may lie
// from it.
struct Want {
  double code;
  double tolerance;
};
Want Expected(Model m, int32_t raw, const CalEntry& e, int gain) {
  using namespace nivex::test;
  switch (m) {
    case Model::RX5K10:
      return {static_cast<double>(
                  Reference16(raw, static_cast<uint16_t>(e.gain), static_cast<int16_t>(e.offset))),
              0.0};
    case Model::RX5K30: {
      const double fullScale = HighSpeedModule::Rx5k30RangeMv(gain) / 1000.0;
      const double v = Reference5K30(raw, static_cast<uint16_t>(e.gain),
                                     static_cast<int16_t>(e.offset), e.rangeMv, fullScale);
      return {v, std::fabs(v) * 3e-7 + 2.0};
    }
    default:
      return {ReferenceBN500(raw, e.offset, e.gain), 256.0};
  }
}

struct TypeCase {
  Model model;
  int channels;
  int gain;
  double fullScale;
  CalEntry skewed;  // a non-unity entry
};

class SignalThroughCalibration : public ::testing::TestWithParam<std::tuple<TypeCase, bool>> {};

TEST_P(SignalThroughCalibration, VoltsAndCodesFollowTheEmulatorsSignal) {
  const TypeCase tc = std::get<0>(GetParam());
  const bool skewed = std::get<1>(GetParam());
  Device d(tc.model, nullptr, [&](Emulator& e) {
    for (int ch = 0; ch < tc.channels; ++ch) {
      e.SetSignal(ch, tc.fullScale * (-0.8 + 0.21 * ch));
      if (skewed)
        e.SetCalibration(ch, tc.gain,
                         {tc.skewed.gain, tc.skewed.offset + ch * 3, tc.skewed.rangeMv});
    }
  });
  ASSERT_TRUE(d.ok());
  const double tol = tc.fullScale * 2e-4;
  float volts[8] = {};
  int codes[8] = {};
  ASSERT_EQ(QZ_ReadAIALL(d.h(), tc.gain, volts, tc.channels), 1);
  ASSERT_EQ(QZ_ReadAIALLHEX(d.h(), tc.gain, codes, tc.channels), 1);
  for (int ch = 0; ch < tc.channels; ++ch) {
    const double signal = d.emu().Signal(ch);
    EXPECT_NEAR(volts[ch], signal, tol) << ch;
    float one = 99.0f;
    ASSERT_EQ(QZ_ReadAI(d.h(), ch, tc.gain, &one), 1);
    EXPECT_NEAR(one, signal, tol);
    const Want want =
        Expected(tc.model, d.RawCode(ch, tc.gain), d.emu().Calibration(ch, tc.gain), tc.gain);
    EXPECT_NEAR(codes[ch], want.code, want.tolerance) << ch;
    int code = 0;
    ASSERT_EQ(QZ_ReadAIHEX(d.h(), ch, tc.gain, &code), 1);
    EXPECT_EQ(code, codes[ch]);
  }
  // The module's own read command for the gain code.
  const std::string cmd = tc.model == Model::RXBN500 ? "#01R" : "#01H" + std::to_string(tc.gain);
  for (const std::string& c : d.emu().Commands()) EXPECT_EQ(c, cmd);
}

INSTANTIATE_TEST_SUITE_P(
    HighSpeed, SignalThroughCalibration,
    ::testing::Combine(
        ::testing::Values(TypeCase{Model::RX5K10, 8, 1, 10.0, CalEntry{34000, -120, 0}},
                          TypeCase{Model::RX5K10, 8, 0, 5.0, CalEntry{31000, 77, 0}},
                          TypeCase{Model::RX5K30, 4, 2, 2.5, CalEntry{33500, -90, 2530}},
                          TypeCase{Model::RX5K30, 4, 0, 10.0, CalEntry{32000, 150, 9950}},
                          TypeCase{Model::RXBN500, 4, 0, 10.0, CalEntry{10150, -800, 0}}),
        ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<TypeCase, bool>>& i) {  // e.g. RX5K30_Gain2_Skewed
      const TypeCase& tc = std::get<0>(i.param);
      return std::string(nivex::emu::ModelText(tc.model)) + "_Gain" + std::to_string(tc.gain) +
             (std::get<1>(i.param) ? "_Skewed" : "_Factory");
    });

TEST(SingleShotChecks, BoundsFailWithTheirCodesAndClearWhatTheTableSays) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  float v = 7.5f;
  EXPECT_TRUE(FailsWith(QZ_ReadAI(d.h(), 8, 0, &v), QZ_ERR_CHANNEL_RANGE));
  EXPECT_TRUE(FailsWith(QZ_ReadAI(d.h(), 0, 2, &v), QZ_ERR_GAIN_RANGE));
  EXPECT_EQ(v, 7.5f);  // never cleared

  float vs[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_TRUE(FailsWith(QZ_ReadAIALL(d.h(), 0, vs, 0), QZ_ERR_CHANNEL_RANGE));
  EXPECT_EQ(vs[0], 1.0f);
  EXPECT_TRUE(FailsWith(QZ_ReadAIALL(d.h(), -1, vs, 3), QZ_ERR_GAIN_RANGE));
  EXPECT_EQ(vs[2], 0.0f);
  EXPECT_EQ(vs[3], 1.0f);

  int code = 5;
  EXPECT_TRUE(FailsWith(QZ_ReadAIHEX(d.h(), -1, 0, &code), QZ_ERR_CHANNEL_RANGE));
  EXPECT_EQ(code, 0);
  code = 5;
  EXPECT_TRUE(FailsWith(QZ_ReadAIHEX(d.h(), 0, 2, &code), QZ_ERR_GAIN_RANGE));
  EXPECT_EQ(code, 0);
  int codes[9] = {4, 4, 4, 4, 4, 4, 4, 4, 4};
  EXPECT_TRUE(FailsWith(QZ_ReadAIALLHEX(d.h(), 0, codes, 9), QZ_ERR_CHANNEL_RANGE));
  EXPECT_EQ(codes[8], 0);
  codes[0] = codes[1] = 4;
  EXPECT_TRUE(FailsWith(QZ_ReadAIALLHEX(d.h(), 3, codes, 2), QZ_ERR_GAIN_RANGE));
  EXPECT_EQ(codes[1], 0);

  // A type without the operation: the default, not a channel check (no outputs here).
  EXPECT_TRUE(FailsWith(QZ_WriteAO(d.h(), 7, 0, 1.0f), QZ_ERR_NOT_IMPLEMENTED));
  int a = 1, b = 2, c = 3;
  EXPECT_TRUE(FailsWith(QZ_GetEncoderMode(d.h(), 0, &a, &b, &c), QZ_ERR_NOT_IMPLEMENTED));
  EXPECT_EQ(a + b + c, 0);
  unsigned int reserved = 9, m = 0, val = 0;
  EXPECT_TRUE(FailsWith(QZ_GetDICNTConfig(d.h(), 9, &m, &val, &reserved), QZ_ERR_CHANNEL_RANGE));
  EXPECT_EQ(reserved, 0u);
  EXPECT_TRUE(d.emu().Commands().empty());  // no check sent anything

  Device bn(Model::RXBN500), k30(Model::RX5K30);
  ASSERT_TRUE(bn.ok() && k30.ok());
  EXPECT_TRUE(FailsWith(QZ_ReadAI(bn.h(), 0, 1, &v), QZ_ERR_GAIN_RANGE));
  EXPECT_TRUE(FailsWith(QZ_ReadDIO(bn.h(), &m, &val), QZ_ERR_NOT_IMPLEMENTED));
  EXPECT_TRUE(FailsWith(QZ_WriteAO(k30.h(), 2, 0, 1.0f), QZ_ERR_CHANNEL_RANGE));
}

TEST(SingleShotChecks, AnInvalidHandleClearsOnlyTheListedOutputs) {
  int bogus = 0;
  void* h = &bogus;
  unsigned int di = 1, dout = 1, value = 1, mode = 1, reserved = 1;
  EXPECT_TRUE(FailsWith(QZ_ReadDIO(h, &di, &dout), QZ_ERR_INVALID_HANDLE));
  EXPECT_EQ(di + dout, 0u);
  EXPECT_EQ(QZ_GetDICNTConfig(h, 0, &mode, &value, &reserved), 0);
  EXPECT_EQ(mode + value + reserved, 0u);
  mode = value = reserved = 1;
  EXPECT_EQ(QZ_GetCounterConfig(h, 0, &mode, &value, &reserved), 0);
  EXPECT_EQ(mode + value + reserved, 3u);  // counters: nothing cleared
  value = 1;
  EXPECT_EQ(QZ_GetDICNT(h, 0, &value), 0);
  EXPECT_EQ(value, 0u);
  value = 1;
  EXPECT_EQ(QZ_GetCounter(h, 0, &value), 0);
  EXPECT_EQ(value, 1u);
  unsigned int counts[3] = {5, 5, 5};
  EXPECT_EQ(QZ_GetDICNTAll(h, counts, 2), 0);
  EXPECT_EQ(counts[1], 0u);
  EXPECT_EQ(counts[2], 5u);
  counts[0] = 5;
  EXPECT_EQ(QZ_GetCounterAll(h, counts, 1), 0);
  EXPECT_EQ(counts[0], 5u);
  value = 1;
  EXPECT_EQ(QZ_ReadEncoder(h, 0, &value), 0);
  EXPECT_EQ(value, 0u);
  int code = 3;
  EXPECT_EQ(QZ_ReadAIHEX(h, 0, 0, &code), 0);
  EXPECT_EQ(code, 0);
  float v = 2.0f;
  EXPECT_EQ(QZ_ReadAI(h, 0, 0, &v), 0);
  EXPECT_EQ(v, 2.0f);
  unsigned short g = 1;
  short o = 1;
  EXPECT_TRUE(FailsWith(QZ_ReadGainOffset(h, 0, 0, &g, &o), QZ_ERR_INVALID_HANDLE));
  EXPECT_EQ(g + o, 2);
}

TEST(SingleShotReads, WhileAReceiveRunsTheCacheAnswersWithExactlyTheCount) {
  Device d(Model::RX5K10, nullptr, [](Emulator& e) {
    for (int ch = 0; ch < 8; ++ch) e.SetSignal(ch, 0.5 * ch - 2.0);
  });
  Device other(Model::RX5K10, nullptr, [](Emulator& e) {
    for (int ch = 0; ch < 8; ++ch) e.SetSignal(ch, 1.0);
  });
  ASSERT_TRUE(d.ok() && other.ok());
  int first[8] = {}, otherCodes[8] = {};
  ASSERT_EQ(QZ_ReadAIALLHEX(d.h(), 1, first, 8), 1);
  ASSERT_EQ(QZ_ReadAIALLHEX(other.h(), 1, otherCodes, 8), 1);
  d.Take();
  d.emu().SetSignal(0, 4.0);  // the cache keeps the old value

  d.SetReceiving(true);
  int codes[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  ASSERT_EQ(QZ_ReadAIALLHEX(d.h(), 1, codes, 3), 1);
  EXPECT_EQ(codes[0], first[0]);
  EXPECT_EQ(codes[2], first[2]);
  EXPECT_EQ(codes[3], -1);  // nothing beyond the count
  float v = 0.0f;
  ASSERT_EQ(QZ_ReadAI(d.h(), 5, 1, &v), 1);
  EXPECT_NEAR(v, 0.5, 2e-3);
  unsigned int di = 0, dout = 0;
  EXPECT_TRUE(FailsWith(QZ_ReadDIO(d.h(), &di, &dout), QZ_ERR_DEVICE_BUSY));
  EXPECT_TRUE(FailsWith(QZ_WriteDO(d.h(), 3), QZ_ERR_DEVICE_BUSY));
  EXPECT_TRUE(FailsWith(QZ_WriteDO(d.h(), 16), QZ_ERR_INVALID_ARGUMENT));  // range first
  EXPECT_TRUE(d.Take().empty());
  d.SetReceiving(false);
  EXPECT_NE(codes[1], otherCodes[1]);  // separate caches per device

  Device bn(Model::RXBN500);
  ASSERT_TRUE(bn.ok());
  bn.SetReceiving(true);
  EXPECT_TRUE(FailsWith(QZ_ReadAI(bn.h(), 0, 0, &v), QZ_ERR_DEVICE_BUSY));
  EXPECT_TRUE(bn.Take().empty());
  bn.SetReceiving(false);
}

TEST(SingleShotReads, RefusedShortOrGarbledRepliesFailWithoutGarbage) {
  for (Model m : {Model::RX5K30, Model::RXBN500}) {
    Device d(m);
    ASSERT_TRUE(d.ok());
    const char* command = m == Model::RX5K30 ? "#01H0" : "#01R";
    for (const char* reply :
         {"?01", ">0000", ">00000001000000020000000300000", ">0000000G000000000000000000000000"}) {
      d.Reply(command, reply, 2);
      int codes[4] = {9, 9, 9, 9};
      QZ_ClearLastError();
      EXPECT_TRUE(FailsWith(QZ_ReadAIALLHEX(d.h(), 0, codes, 4), QZ_ERR_DEVICE_RESPONSE)) << reply;
      EXPECT_EQ(codes[3], 0);
      float v = 3.0f;
      EXPECT_TRUE(FailsWith(QZ_ReadAI(d.h(), 0, 0, &v), QZ_ERR_DEVICE_RESPONSE)) << reply;
    }
  }
  // RX5K10 reads count 0 by sending the command and writing nothing.
  Device k10(Model::RX5K10);
  ASSERT_TRUE(k10.ok());
  int none[1] = {77};
  EXPECT_EQ(k10.model().ReadAIALLHEX(0, none, 0), 1);
  EXPECT_EQ(none[0], 77);
  EXPECT_EQ(k10.Take(), Strings{"#01H0"});
}

TEST(SingleShotReads, ALateReplyNeverAnswersALaterCommand) {
  // A read, then a QZ_SendRecv, answered 3 s late: the next read goes out at once on a new
  // command connection and gets its own reply.
  Device d(Model::RX5K10, nullptr, [](Emulator& e) { e.SetSignal(1, 1.0); });
  ASSERT_TRUE(d.ok());
  for (const char* slow : {"#01H1", "$01F"}) {
    nivex::emu::Fault late = nivex::test::MakeFault(slow, nivex::emu::FaultKind::Delay);
    late.delayMs = 3000;
    d.emu().AddFault(late);
    char reply[QZ_REPLY_SIZE];
    float v = 0;
    EXPECT_EQ(*slow == '#' ? QZ_ReadAI(d.h(), 0, 1, &v) : QZ_SendRecv(d.h(), slow, reply, 500), 0);
    d.emu().SetSignal(1, 2.0);
    const long long t0 = nivex::test::NowMs();
    EXPECT_EQ(QZ_ReadAI(d.h(), 1, 1, &v), 1);
    EXPECT_NEAR(v, 2.0, 0.01);
    EXPECT_LT(nivex::test::NowMs() - t0, 800);
  }
  EXPECT_EQ(d.emu().Connections(nivex::emu::PortKind::Command), 3);
}

TEST(SingleShotCalibration, DeviceAndStoredLogHandlesAndEverythingElse) {
  Device d(Model::RX5K10, nullptr, [](Emulator& e) { e.SetCalibration(3, 1, CalEntry{16384, 10, 0}); });
  ASSERT_TRUE(d.ok());
  // (handle, channel, gain, code, out): channel 3, gain 1, code 1000 -> 1000 / 2 + 10.
  int out = 0;
  ASSERT_EQ(QZ_Calibrate_Data_HEX(d.h(), 3, 1, 1000, &out), 1);
  EXPECT_EQ(out, 510);
  float v = 0.0f;
  ASSERT_EQ(QZ_Calibrate_Data_Float(d.h(), 3, 1, 1000, &v), 1);
  EXPECT_NEAR(v, 510 / 3276.8, 1e-6);
  unsigned short g = 0;
  short o = 0;
  ASSERT_EQ(QZ_ReadGainOffset(d.h(), 3, 1, &g, &o), 1);
  EXPECT_EQ(g, 16384);
  EXPECT_EQ(o, 10);
  EXPECT_EQ(QZ_ReadGainOffset(d.h(), 8, 0, &g, &o), 0);
  EXPECT_EQ(g + o, 0);
  EXPECT_TRUE(d.Take().empty());

  // A stored-log handle with the same values converts the same way, without traffic.
  nivex::ModelLog* log = new nivex::ModelLog(nivex::WRXMODULE[0], nivex::ModelLog::kKind16);
  log->gainTable[3] = 16384;
  log->offsetTable[3] = 10;
  out = 0;
  ASSERT_EQ(QZ_Calibrate_Data_HEX(log, 3, 1, 1000, &out), 1);
  EXPECT_EQ(out, 510);
  float lv = 0.0f;
  ASSERT_EQ(QZ_Calibrate_Data_Float(log, 3, 1, 1000, &lv), 1);
  EXPECT_EQ(lv, v);
  EXPECT_TRUE(FailsWith(QZ_Calibrate_Data_HEX(log, 8, 1, 1000, &out), QZ_ERR_CHANNEL_RANGE));
  nivex::ReleaseModelLog(log);
  EXPECT_TRUE(FailsWith(QZ_Calibrate_Data_HEX(log, 3, 1, 1000, &out), QZ_ERR_INVALID_HANDLE));

  EXPECT_TRUE(FailsWith(QZ_Calibrate_Data_HEX(nullptr, 0, 0, 1, &out), QZ_ERR_INVALID_HANDLE));
  int garbage[64] = {};
  EXPECT_TRUE(FailsWith(QZ_Calibrate_Data_Float(garbage, 0, 0, 1, &v), QZ_ERR_INVALID_HANDLE));
  void* released = d.h();
  d.Release();
  out = 99;
  EXPECT_TRUE(FailsWith(QZ_Calibrate_Data_HEX(released, 0, 0, 1, &out), QZ_ERR_INVALID_HANDLE));
  EXPECT_EQ(out, 99);
}

}  // namespace

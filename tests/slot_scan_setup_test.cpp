// Slot carriers: the count split, the scan parameters of both types (exact commands, checks in
// their order, read-back) and the D4071s trigger and scan commands, against the emulated module.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "drivers/slot/D4071s_Class.h"
#include "emulator/SlotCarrierModule.h"
#include "nivex.h"
#include "tests/common/ScanFixture.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::D4071s;
using namespace nivex::emu;
using namespace nivex::test;

Device Carrier(Model m, const std::string& layout,
               const std::function<void(Emulator&)>& before = nullptr) {
  return Device(m, [&](Options& o) { o.slotLayout = layout; }, before);
}

SlotCarrierModule::SlotScan ScanOf(Device& c, int k) {
  SlotCarrierModule::SlotScan s;
  c.Locked<SlotCarrierModule>([&](SlotCarrierModule& m) { s = m.Scan(k); });
  return s;
}

struct Args {
  int ch, gain, trig, rate;
  unsigned target;
  int M;
};

int Set(Device& c, const Args& a) {
  return QZ_SetAIScanParam(c.h(), a.ch, a.gain, a.trig, a.rate, a.target, a.M, 0);
}

// GetScanParam's outputs as one list: channels, gain, trigger, rate, target, M, A.
// Whether the carrier's cached target is `target`: its analog trigger refuses pre- and
// post-trigger counts that add up to anything else, before it sends anything.
bool KeepsTarget(Device& c, unsigned target) {
  const auto countRefused = [&](unsigned total) {
    QZ_ClearLastError();
    return QZ_SetAIAnalogTriggerParam(c.h(), 0, nullptr, nullptr, nullptr, 0, total, 0) == 0 &&
           QZ_GetLastError() == QZ_ERR_TRIGGER_COUNT;
  };
  return countRefused(target - 1) && !countRefused(target) && countRefused(target + 1);
}

std::vector<unsigned> Get(Device& c, int expectResult = 1) {
  unsigned short ch = 0, gain = 0, trig = 0, M = 0, A = 9;
  unsigned rate = 0, target = 0;
  EXPECT_EQ(QZ_GetAIScanParam(c.h(), &ch, &gain, &trig, &rate, &target, &M, &A), expectResult);
  return {ch, gain, trig, rate, target, M, A};
}

TEST(SlotCountSplit, SharesFollowTheChannelsAndTheRemainderGoesOutInSlotOrder) {
  struct Row {
    uint32_t x;
    std::vector<unsigned short> channels;
    std::vector<unsigned> shares;
  };
  const std::vector<unsigned short> d20{8, 8, 4}, full(8, 8);
  const unsigned big = 536870912u;  // 8 x 4294967232 / 64: the product does not fit 32 bits
  for (const Row& r : std::vector<Row>{
           {1000, d20, {400, 400, 200}}, {1003, d20, {403, 400, 200}},
           {1010, d20, {408, 402, 200}}, {305, d20, {125, 120, 60}}, {0, d20, {0, 0, 0}},
           {19, d20, {8, 8, 3}}, {7, d20, {7, 0, 0}}, {1003, {8, 0, 12}, {403, 0, 600}},
           {1920000000u, full, std::vector<unsigned>(8, 240000000u)},
           {4294967295u, full, {big, big, big, big, big, big, big, big - 1}}}) {
    unsigned total = 0;
    for (unsigned short c : r.channels) total += c;
    std::vector<unsigned> got(r.channels.size(), 77);
    nivex::SplitCount(r.x, total, r.channels.data(), static_cast<int>(got.size()), got.data());
    EXPECT_EQ(got, r.shares) << r.x;
  }
}

TEST(SlotScanParam, ChecksInTheirOrderSendNothing) {
  struct Refusal {
    Args args;
    int code;
  };
  const std::vector<Refusal> d = {
      {{0, 9, 9, 999999, 40000000, 5}, QZ_ERR_CHANNEL_RANGE},
      {{25, 0, 0, 1000, 0, 0}, QZ_ERR_CHANNEL_RANGE},
      {{8, 2, 9, 999999, 40000000, 5}, QZ_ERR_GAIN_RANGE},
      {{8, 0, 6, 999999, 40000000, 5}, QZ_ERR_TRIGGER_MODE},
      {{8, 0, 2, 999999, 0, 5}, QZ_ERR_SCAN_PARAM_CONFLICT},
      {{8, 0, 0, 200001, 40000000, 5}, QZ_ERR_VALUE_RANGE},
      {{8, 0, 0, 1000, 30000001, 5}, QZ_ERR_VALUE_RANGE},
      {{8, 0, 0, 1000, 0, 2}, QZ_ERR_VALUE_RANGE},
  };
  const std::vector<Refusal> e = {  // no test of gain, trigger or rate
      {{21, 7, 7, -5, 40000000, 2}, QZ_ERR_CHANNEL_RANGE},
      {{8, 7, 7, -5, 30000001, 2}, QZ_ERR_VALUE_RANGE},
      {{8, 7, 7, -5, 0, 2}, QZ_ERR_VALUE_RANGE},
  };
  for (Model m : {Model::D4071s, Model::D3054s}) {
    SCOPED_TRACE(ModelText(m));
    Device c = Carrier(m, m == Model::D4071s ? "10100100" : "12");
    ASSERT_TRUE(c.ok());
    for (const Refusal& r : m == Model::D4071s ? d : e)
      EXPECT_TRUE(FailsWith(Set(c, r.args), r.code)) << r.args.ch << "," << r.args.trig;
    EXPECT_TRUE(c.Take().empty());
    // No setup took: a start is refused as before any setup.
    EXPECT_TRUE(FailsWith(QZ_StartAIScan(c.h()), QZ_ERR_CHANNEL_RANGE));
  }
}

TEST(SlotScanParam, D4071sSendsEachCardItsShareAndReadsItBack) {
  Device c = Carrier(Model::D4071s, "10100100");  // positions 0, 2, 5
  ASSERT_TRUE(c.ok());
  ASSERT_EQ(Set(c, {20, 1, 0, 200000, 1003, 1}), 1);
  EXPECT_EQ(c.Take(), (Strings{"~01PS0G1C8T0M1", "~01PS2G1C8T0M1", "~01PS5G1C4T0M1", "~01RS8200000",
                               "~01TS00000000403", "~01TS20000000400", "~01TS50000000200"}));
  EXPECT_EQ(ScanOf(c, 2).channels, 4);
  EXPECT_EQ(Get(c), (std::vector<unsigned>{20, 1, 0, 200000, 1003, 1, 0}));
  EXPECT_EQ(c.Take(),
            (Strings{"~01PS0", "~01PS2", "~01PS5", "~01RS0", "~01TS0", "~01TS2", "~01TS5"}));
  // Replies out of range or unreadable are refused; the stored set stays.
  for (std::string bad : {"~01PS2=!01G2C8T0M0", "~01PS2=!01G0C9T0M0", "~01PS2=!01G0C8T6M2",
                          "~01PS2=!01G0C8", "~01RS0=!01x", "~01TS5=!0199999999999"}) {
    c.Reply(bad.substr(0, bad.find('=')), bad.substr(bad.find('=') + 1));
    QZ_ClearLastError();
    Get(c, 0);
    EXPECT_EQ(QZ_GetLastError(), QZ_ERR_DEVICE_RESPONSE) << bad;
    EXPECT_TRUE(KeepsTarget(c, 1003) && c.model().GainCode() == 1);
    const Strings sent = c.Take();  // the last slot's part of the pre count: its 4 channels
    EXPECT_TRUE(!sent.empty() && sent.back() == "~01XS5M0L00000200R00000000") << bad;
  }
  // A rate the module refuses leaves the stored rate; the call still succeeds.
  ASSERT_EQ(Set(c, {8, 0, 0, 0, 0, 0}), 1);
  EXPECT_EQ(Get(c)[3], 200000u);  // the module's rate, which the refusal left

  // Trigger modes 4 and 5: every card with channels takes the whole target.
  Device four = Carrier(Model::D4071s, "11110000");
  ASSERT_TRUE(four.ok());
  ASSERT_EQ(Set(four, {20, 0, 4, 1000, 100, 0}), 1);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(ScanOf(four, k).target, k < 3 ? 100u : 0u) << k;
  EXPECT_TRUE(KeepsTarget(four, 2000));
  EXPECT_EQ(Get(four)[4], 100u);
  EXPECT_TRUE(KeepsTarget(four, 2000));
  // ... and none with channels gives target 0, without a division.
  four.Reply("~01PS0", "!01G0C0T4M0");
  four.Reply("~01PS1", "!01G0C0T4M0");
  four.Reply("~01PS2", "!01G0C0T4M0");
  EXPECT_EQ(Get(four)[4], 0u);
}

TEST(SlotScanParam, D3054sSendsEverySlotMode0InTwoHexDigitsAndHasNoTrigger) {
  Device c = Carrier(Model::D3054s, "12");  // 8 + 12 channels
  ASSERT_TRUE(c.ok());
  ASSERT_EQ(Set(c, {10, 0, 3, 1000, 1000, 0}), 1);
  EXPECT_EQ(c.Take(), (Strings{"~01PS00G0C08T0M0", "~01PS01G0C02T0M0", "~01R001000",
                               "~01TS000000000800", "~01TS010000000200"}));
  EXPECT_EQ(Get(c), (std::vector<unsigned>{10, 0, 0, 1000, 1000, 0, 0}));
  EXPECT_EQ(c.Take(), (Strings{"~01PS00", "~01PS01", "~01R", "~01TS00", "~01TS01"}));
  // The cards have one range: the module refuses gain code 1, and so does the call.
  EXPECT_TRUE(FailsWith(Set(c, {10, 1, 0, 1000, 1000, 0}), QZ_ERR_DEVICE_RESPONSE));
  EXPECT_EQ(c.Take(), Strings{"~01PS00G1C08T0M0"});

  EXPECT_TRUE(FailsWith(c.model().GetAIAnalogTriggerIdx(), QZ_ERR_NOT_IMPLEMENTED));
  EXPECT_EQ(c.model().StartMagicScan(), 1);
  EXPECT_EQ(c.model().StopMagicScan(), 1);
  EXPECT_EQ(c.Take(), (Strings{"~01S", "~01Z"}));
}

// ------------------------------------------------------------------ D4071s trigger

TEST(SlotTrigger, CountsSplitOverTheCardsAndRefusalsSendNothing) {
  Device c = Carrier(Model::D4071s, "11100000", [](Emulator& e) {
    e.SetCalibration(2, 0, CalEntry{0, 0});       // channel 2: zero gain
    e.SetCalibration(3, 0, CalEntry{0x4000, 0});  // channel 3: gain one half
  });
  ASSERT_TRUE(c.ok());
  ASSERT_EQ(Set(c, {20, 0, 2, 1000, 1000, 0}), 1);
  c.Take();
  // Channel 3's levels saturate to the off pair: an enabled channel steps its high code.
  char en[24] = {1, 0, 0, 1};
  float hi[24] = {2.5f, 0, 1.0f, 5.0f}, lo[24] = {-2.5f, 0, 0.0f, -5.0f};
  ASSERT_EQ(QZ_SetAIAnalogTriggerParam(c.h(), 2, en, hi, lo, 4, 305, 695), 1);
  EXPECT_EQ(c.Take(), (Strings{"~01XS0M2L00000125R00000275", "~01XS1M2L00000120R00000280",
                               "~01XS2M2L00000060R00000140", "~01XS0C0H3FFFLC001",
                               "~01XS0C1H7FFFL8000", "~01XS0C2H7FFFL8000",
                               "~01XS0C3H7FFEL8000"}));
  en[2] = 1;
  EXPECT_EQ(ScanOf(c, 1).post, 280u);
  // Codes saturate instead of wrapping; a zero gain and NaN do not convert.
  int16_t code = 0;
  EXPECT_TRUE(D4071s::LevelToCode(5.0f, 0, 0x4000, 0, &code) && code == 32767);
  EXPECT_TRUE(D4071s::LevelToCode(-10.0f, 1, 0x4000, 0, &code) && code == -32768);
  EXPECT_TRUE(D4071s::LevelToCode(0.0f, 0, 0x8000, 100, &code) && code == -99);
  EXPECT_FALSE(D4071s::LevelToCode(1, 0, 0, 0, &code) || D4071s::LevelToCode(NAN, 0, 1, 0, &code));

  struct Refusal {
    int mode, n;
    unsigned post;
    float level;
    int code;
  };
  for (const Refusal& r : std::vector<Refusal>{{4, 1, 695, 1, QZ_ERR_TRIGGER_TYPE},
                                               {1, 25, 695, 1, QZ_ERR_INVALID_VALUE},
                                               {1, 1, 694, 1, QZ_ERR_TRIGGER_COUNT},
                                               {1, 1, 695, 5.01f, QZ_ERR_TRIGGER_LEVEL},
                                               {1, 1, 695, NAN, QZ_ERR_TRIGGER_LEVEL},
                                               {1, 3, 695, 1, QZ_ERR_TRIGGER_LEVEL}}) {
    hi[0] = r.level;
    EXPECT_TRUE(FailsWith(QZ_SetAIAnalogTriggerParam(c.h(), r.mode, en, hi, lo, r.n, 305, r.post),
                          r.code))
        << r.mode << " " << r.n << " " << r.level;
  }
  EXPECT_TRUE(c.Take().empty());
}

TEST(SlotTrigger, ReadBackReportsTheOffPairOfModes0To2AsDisabled) {
  Device c = Carrier(Model::D4071s, "00110000");
  ASSERT_TRUE(c.ok());
  ASSERT_EQ(Set(c, {16, 0, 3, 1000, 1000, 0}), 1);
  char en[2] = {1, 0}, e[2];
  float hi[2] = {2.5f, 0}, lo[2] = {-2.5f, 0}, h[2], l[2];
  for (int mode : {3, 1}) {
    ASSERT_EQ(QZ_SetAIAnalogTriggerParam(c.h(), mode, en, hi, lo, 2, 400, 600), 1);
    int m = -1;
    unsigned pre = 0, post = 0;
    ASSERT_EQ(QZ_GetAIAnalogTriggerParam(c.h(), &m, e, h, l, 2, &pre, &post, nullptr), 1);
    EXPECT_EQ(std::vector<float>({float(m), float(pre), float(post), float(e[0]), h[0], l[0]}),
              std::vector<float>({float(mode), 400, 600, 1, 16383 / 6553.6f, -16383 / 6553.6f}));
    // Mode 3's swapped pair reads back as an enabled channel with the levels it converts to.
    const std::vector<float> second = {float(e[1]), h[1], l[1]};
    EXPECT_EQ(second, mode == 3 ? std::vector<float>({1, -5.0f, 32767 / 6553.6f})
                                : std::vector<float>(3, 0));
  }
}

TEST(SlotTrigger, IndexBufferStatusTransmitAndTriggerOutput) {
  Device c = Carrier(Model::D4071s, "01010100");
  ASSERT_TRUE(c.ok());
  D4071s& d = c.As<D4071s>();
  ASSERT_EQ(Set(c, {16, 0, 0, 1000, 0, 0}), 1);
  c.Take();
  for (const std::string reply : {"!01250", "?01", "!01", "!01300000000"}) {  // see below
    c.Reply("~01XN", reply);
    EXPECT_EQ(d.GetAIAnalogTriggerIdx(), 1) << reply;
  }
  unsigned count = 5, status = 5;
  c.Reply("~01NS1", "!01070000001234");
  ASSERT_EQ(d.GetQZRAMBufferStatus(0, &count, &status), 1);
  EXPECT_EQ(status * 10000 + count, 71234u);
  c.Reply("~01NS1", "!0107000012");
  EXPECT_TRUE(FailsWith(d.GetQZRAMBufferStatus(0, &count, &status), QZ_ERR_DEVICE_RESPONSE));
  EXPECT_EQ(count, 1234u);

  EXPECT_EQ(d.TransmitData(), 1);
  c.Reply("~01E", "?01");
  EXPECT_EQ(d.TransmitData(), 0);
  EXPECT_EQ(QZ_Configure_Trig_Out(c.h(), 3, 1) + d.StartMagicScan(), 2);
  c.Locked<SlotCarrierModule>([](SlotCarrierModule& m) {
    EXPECT_EQ(m.TrigOut(0) * 10 + m.TrigOut(1), 31);
    EXPECT_TRUE(m.Scanning());
  });
}

TEST(SlotTrigger, RunEndsAtTheAnsweredRowTimesTheChannelsPlusThePostCount) {
  // 20 channels at 50 samples/s, N 600 of 300 + 300, which the module streams whole. The run
  // ends once a pass over the slots reaches the row "~01XN" answers (asked at the first data;
  // 0 without one) x 20 + 300, or N: 214748365 x 20 is past the largest index, held there.
  QuickTimings quick;
  Device c = Carrier(Model::D4071s, "01100101");
  ASSERT_TRUE(c.ok());
  ASSERT_EQ(Set(c, {20, 0, 2, 50, 600, 0}), 1);
  char on[20] = {};
  float high[20] = {}, low[20] = {};
  ASSERT_EQ(QZ_SetAIAnalogTriggerParam(c.h(), 0, on, high, low, 20, 300, 300), 1);
  for (const auto& [reply, end, below] : std::vector<std::tuple<std::string, unsigned, unsigned>>{
           {"!015", 400, 600}, {"?01", 300, 400}, {"!01", 300, 400}, {"!01214748365", 600, 601}}) {
    c.Reply("~01XN", reply);
    ASSERT_EQ(QZ_StartAIScan(c.h()), 1);
    ASSERT_TRUE(WaitForStatus(c.h(), QZ_BUF_SCAN_ENDED, 8000));
    unsigned total = 0, status = 0;
    QZ_GetTotalSamplingStatus(c.h(), &total, &status);
    EXPECT_TRUE(total >= end && total < below) << reply << ": " << total;
    EXPECT_EQ(RingStatus(c.h()), QZ_BUF_DATA | QZ_BUF_SCAN_ENDED | QZ_BUF_TARGET_REACHED);
    EXPECT_EQ(QZ_StopAIScan(c.h()), 1);
  }
}

TEST(SlotScanEmulator, RefusesSettingsOutOfItsRanges) {
  const Strings d = {"~01PS3G0C8T0M0?", "~01PS0G2C8T0M0?", "~01PS0G0C9T0M0?", "~01PS0G0C8T6M0?",
                     "~01PS0G1C0T5M1!", "~01RS8200001?", "~01RS0000100?", "~01RS3?",
                     "~01TS00030000001?", "~01TS20000000010!", "~01XS2M0L00000004R00000006!",
                     "~01XS2M0L00000004R00000005?"};
  const Strings e = {"~01PS01G0C0DT0M0?", "~01PS02G0C01T0M0?", "~01PS00G0C08T3M0?",
                     "~01PS01G0C0CT0M1!", "~01R000000?", "~01TS020000000001?", "~01XN?"};
  for (Model m : {Model::D4071s, Model::D3054s}) {
    SCOPED_TRACE(ModelText(m));
    auto emu = StartEmulator(
        m, [&](Options& o) { o.slotLayout = m == Model::D4071s ? "10100100" : "12"; });
    ASSERT_TRUE(emu);
    const int fd = ConnectTo(emu->options().ip, 9999);
    ASSERT_GE(fd, 0);
    for (std::string line : m == Model::D4071s ? d : e) {  // the command, then '!' or '?'
      const char lead = line.back();
      line.pop_back();
      EXPECT_EQ(Exchange(fd, line), std::string(1, lead) + "01") << line;
    }
    close(fd);
  }
}

}  // namespace

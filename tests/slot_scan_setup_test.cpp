// Slot carriers: the count split, the scan parameters of both types (exact commands, checks in
// their order, read-back) and the D4071s trigger and scan commands, against the emulated module.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "drivers/slot/D3054s_Class.h"
#include "drivers/slot/D4071s_Class.h"
#include "emulator/SlotCarrierModule.h"
#include "nivex.h"
#include "tests/common/DeviceFixture.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::D4071s;
using nivex::MODEL;
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

// ------------------------------------------------------------------ count split

TEST(SlotCountSplit, SharesFollowTheChannelsAndTheRemainderGoesOutInSlotOrder) {
  struct Row {
    uint32_t x;
    std::vector<unsigned short> channels;
    std::vector<unsigned> shares;
  };
  const std::vector<unsigned short> d20{8, 8, 4};
  const std::vector<unsigned short> full(8, 8);
  const std::vector<Row> rows = {
      {1000, d20, {400, 400, 200}},
      {1003, d20, {403, 400, 200}},
      {1010, d20, {408, 402, 200}},
      {305, d20, {125, 120, 60}},
      {0, d20, {0, 0, 0}},
      {20, d20, {8, 8, 4}},
      {19, d20, {8, 8, 3}},
      {7, d20, {7, 0, 0}},
      {10, {0, 8, 2}, {0, 8, 2}},
      {1003, {8, 0, 12}, {403, 0, 600}},
      // 8 x 1.92e9 and 8 x 4294967232 do not fit 32 bits.
      {1920000000u, full, std::vector<unsigned>(8, 240000000u)},
      {4294967295u, full,
       {536870912u, 536870912u, 536870912u, 536870912u, 536870912u, 536870912u, 536870912u,
        536870911u}},
  };
  for (const Row& r : rows) {
    unsigned total = 0;
    for (unsigned short c : r.channels) total += c;
    std::vector<unsigned> got(r.channels.size(), 77);
    nivex::SplitCount(r.x, total, r.channels.data(), static_cast<int>(r.channels.size()), got.data());
    EXPECT_EQ(got, r.shares) << r.x;
  }
}

// ------------------------------------------------------------------ scan parameters

struct Args {
  int ch, gain, trig, rate;
  unsigned target;
  int M;
};

int Set(Device& c, const Args& a) {
  return QZ_SetAIScanParam(c.h(), a.ch, a.gain, a.trig, a.rate, a.target, a.M, 0);
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
      {{8, -1, 0, 1000, 0, 0}, QZ_ERR_GAIN_RANGE},
      {{8, 0, 6, 999999, 40000000, 5}, QZ_ERR_TRIGGER_MODE},
      {{8, 0, -1, 1000, 0, 0}, QZ_ERR_TRIGGER_MODE},
      {{8, 0, 2, 999999, 0, 5}, QZ_ERR_SCAN_PARAM_CONFLICT},
      {{8, 0, 3, 1000, 0, 0}, QZ_ERR_SCAN_PARAM_CONFLICT},
      {{8, 0, 0, 200001, 40000000, 5}, QZ_ERR_VALUE_RANGE},
      {{8, 0, 0, 1000, 30000001, 5}, QZ_ERR_VALUE_RANGE},
      {{8, 0, 0, 1000, 0, 2}, QZ_ERR_VALUE_RANGE},
  };
  // The D3054s tests neither gain, nor trigger, nor rate.
  const std::vector<Refusal> e = {
      {{0, 7, 7, -5, 40000000, 2}, QZ_ERR_CHANNEL_RANGE},
      {{21, 0, 0, 1000, 0, 0}, QZ_ERR_CHANNEL_RANGE},
      {{8, 7, 7, -5, 30000001, 2}, QZ_ERR_VALUE_RANGE},
      {{8, 7, 7, -5, 0, 2}, QZ_ERR_VALUE_RANGE},
  };
  for (Model m : {Model::D4071s, Model::D3054s}) {
    SCOPED_TRACE(ModelText(m));
    Device c = Carrier(m, m == Model::D4071s ? "10100100" : "12");
    ASSERT_TRUE(c.ok());
    for (const Refusal& r : m == Model::D4071s ? d : e) {
      const Args& a = r.args;
      EXPECT_TRUE(FailsWith(Set(c, a), r.code)) << a.ch << "," << a.gain << "," << a.trig << ","
                                                << a.rate << "," << a.target << "," << a.M;
    }
    EXPECT_TRUE(c.Take().empty());
    EXPECT_FALSE(c.model().paramsSet);
  }
}

TEST(SlotScanParam, D4071sSendsEachCardItsShareAndReadsItBack) {
  Device c = Carrier(Model::D4071s, "10100100");  // positions 0, 2, 5
  ASSERT_TRUE(c.ok());
  ASSERT_EQ(Set(c, {20, 1, 0, 200000, 1003, 1}), 1);
  EXPECT_EQ(c.Take(), (Strings{"~01PS0G1C8T0M1", "~01PS2G1C8T0M1", "~01PS5G1C4T0M1", "~01RS8200000",
                               "~01TS00000000403", "~01TS20000000400", "~01TS50000000200"}));
  EXPECT_TRUE(c.model().paramsSet);
  EXPECT_EQ(ScanOf(c, 2).channels, 4);
  EXPECT_EQ(ScanOf(c, 2).target, 200u);

  unsigned short ch = 0, gain = 0, trig = 9, M = 0, A = 9;
  unsigned rate = 0, target = 0;
  ASSERT_EQ(QZ_GetAIScanParam(c.h(), &ch, &gain, &trig, &rate, &target, &M, &A), 1);
  EXPECT_EQ(c.Take(), (Strings{"~01PS0", "~01PS2", "~01PS5", "~01RS0", "~01TS0", "~01TS2", "~01TS5"}));
  EXPECT_EQ(std::vector<unsigned>({ch, gain, trig, rate, target, M, A}),
            std::vector<unsigned>({20, 1, 0, 200000, 1003, 1, 0}));

  // A rate the module refuses leaves the stored rate; the call still succeeds.
  ASSERT_EQ(Set(c, {8, 0, 0, 0, 0, 0}), 1);
  EXPECT_EQ(c.model().sampleRate, 200000);
}

TEST(SlotScanParam, D4071sTimedRecordModesGiveEveryCardTheWholeTarget) {
  Device c = Carrier(Model::D4071s, "11110000");
  ASSERT_TRUE(c.ok());
  ASSERT_EQ(Set(c, {20, 0, 4, 1000, 100, 0}), 1);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(ScanOf(c, k).target, k < 3 ? 100u : 0u) << k;
  EXPECT_EQ(c.model().targetCount, 2000u);
  short ch, gain, trig, M, A;
  int rate;
  unsigned target = 0;
  ASSERT_EQ(c.model().GetScanParam(&ch, &gain, &trig, &rate, &target, &M, &A), 1);
  EXPECT_EQ(target, 100u);
  EXPECT_EQ(trig, 4);
  EXPECT_EQ(c.model().targetCount, 2000u);

  // No card with channels: target 0, no division.
  Device one = Carrier(Model::D4071s, "10000000");
  ASSERT_TRUE(one.ok());
  one.Reply("~01PS0", "!01G0C0T5M0");
  ASSERT_EQ(one.model().GetScanParam(&ch, &gain, &trig, &rate, &target, &M, &A), 1);
  EXPECT_EQ(target, 0u);
  EXPECT_EQ(ch, 0);
}

TEST(SlotScanParam, D3054sSendsEverySlotMode0InTwoHexDigits) {
  Device c = Carrier(Model::D3054s, "12");  // 8 + 12 channels
  ASSERT_TRUE(c.ok());
  ASSERT_EQ(Set(c, {10, 0, 3, 1000, 1000, 0}), 1);
  EXPECT_EQ(c.Take(), (Strings{"~01PS00G0C08T0M0", "~01PS01G0C02T0M0", "~01R001000",
                               "~01TS000000000800", "~01TS010000000200"}));
  EXPECT_EQ(c.model().triggerMode, 0);
  unsigned short ch = 0, gain = 0, trig = 9, M = 0, A = 9;
  unsigned rate = 0, target = 0;
  ASSERT_EQ(QZ_GetAIScanParam(c.h(), &ch, &gain, &trig, &rate, &target, &M, &A), 1);
  EXPECT_EQ(c.Take(), (Strings{"~01PS00", "~01PS01", "~01R", "~01TS00", "~01TS01"}));
  EXPECT_EQ(std::vector<unsigned>({ch, gain, trig, rate, target, M, A}),
            std::vector<unsigned>({10, 0, 0, 1000, 1000, 0, 0}));

  // The cards have one range: the module refuses gain code 1, and so does the call.
  EXPECT_TRUE(FailsWith(Set(c, {10, 1, 0, 1000, 1000, 0}), QZ_ERR_DEVICE_RESPONSE));
  EXPECT_EQ(c.Take(), Strings{"~01PS00G1C08T0M0"});
}

TEST(SlotScanParam, ReadBackRefusesRepliesOutOfRangeAndKeepsTheStoredSet) {
  struct Bad {
    std::string command, reply;
  };
  const std::vector<Bad> bad = {
      {"~01PS2", "!01G2C8T0M0"},  // gain code
      {"~01PS2", "!01G0C9T0M0"},  // more channels than the card
      {"~01PS2", "!01G0CGT0M0"},
      {"~01PS2", "!01G0C8T6M0"},  // trigger mode
      {"~01PS2", "!01G0C8T0M2"},  // M
      {"~01PS2", "!01G0C8"},
      {"~01PS2", "?01"},
      {"~01RS0", "!01x"},
      {"~01TS5", "!01"},
      {"~01TS5", "!0199999999999"},
  };
  Device c = Carrier(Model::D4071s, "10100100");
  ASSERT_TRUE(c.ok());
  ASSERT_EQ(Set(c, {20, 1, 0, 5000, 1003, 1}), 1);
  for (const Bad& b : bad) {
    c.Reply(b.command, b.reply);
    short ch = -1, gain, trig, M, A;
    int rate;
    unsigned target;
    EXPECT_TRUE(FailsWith(c.model().GetScanParam(&ch, &gain, &trig, &rate, &target, &M, &A),
                          QZ_ERR_DEVICE_RESPONSE))
        << b.reply;
    EXPECT_EQ(c.model().channelCount, 20);
    EXPECT_EQ(c.model().gainCode, 1);
    EXPECT_EQ(c.model().targetCount, 1003u);
    EXPECT_EQ(c.As<D4071s>().slotChannelCount[2], 4);
  }
}

// ------------------------------------------------------------------ D4071s trigger

TEST(SlotTrigger, LevelCodesFollowTheCalibrationAndSaturate) {
  struct Row {
    int gainCode;
    uint16_t gain;
    int16_t offset;
    float volts;
    int code;  // -1: refused
  };
  const std::vector<Row> rows = {
      {0, 0x8000, 0, 2.5f, 16383},      {0, 0x8000, 0, 5.0f, 32767},
      {1, 0x8000, 0, 10.0f, 32767},     {1, 0x8000, 0, -5.0f, -16383},
      {0, 0x4000, 0, 5.0f, 32767},      {0, 0x4000, 0, -5.0f, -32768},  // held, not wrapped
      {0, 0x8000, 100, 0.0f, -99},      {0, 0, 0, 1.0f, -1},
      {0, 0x8000, 0, NAN, -1},
  };
  for (const Row& r : rows) {
    int16_t code = 1234;
    const bool ok = D4071s::LevelToCode(r.volts, r.gainCode, r.gain, r.offset, &code);
    EXPECT_EQ(ok ? code : -1, r.code) << r.volts << " " << r.gain;
  }
}

TEST(SlotTrigger, CountsSplitOverTheCardsAndLevelsGoPerChannel) {
  Device c = Carrier(Model::D4071s, "11100000", [](Emulator& e) {
    e.SetCalibration(2, 0, CalEntry{0, 0});  // channel 2: zero gain
  });
  ASSERT_TRUE(c.ok());
  ASSERT_EQ(Set(c, {20, 0, 2, 1000, 1000, 0}), 1);
  c.Take();
  char en[24] = {1, 0};
  float hi[24] = {2.5f, 0}, lo[24] = {-2.5f, 0};
  ASSERT_EQ(QZ_SetAIAnalogTriggerParam(c.h(), 2, en, hi, lo, 2, 305, 695), 1);
  EXPECT_EQ(c.Take(), (Strings{"~01XS0M2L00000125R00000275", "~01XS1M2L00000120R00000280",
                               "~01XS2M2L00000060R00000140", "~01XS0C0H3FFFLC001",
                               "~01XS0C1H7FFFL8000"}));
  EXPECT_EQ(ScanOf(c, 1).post, 280u);

  // Refusals send nothing.
  struct Refusal {
    int mode, n;
    unsigned pre, post;
    float level;
    int code;
  };
  const std::vector<Refusal> refusals = {
      {4, 1, 305, 695, 1.0f, QZ_ERR_TRIGGER_TYPE},  {-1, 1, 305, 695, 1.0f, QZ_ERR_TRIGGER_TYPE},
      {1, 25, 305, 695, 1.0f, QZ_ERR_INVALID_VALUE}, {1, 1, 305, 694, 1.0f, QZ_ERR_TRIGGER_COUNT},
      {1, 1, 305, 695, 5.01f, QZ_ERR_TRIGGER_LEVEL}, {1, 1, 305, 695, -5.01f, QZ_ERR_TRIGGER_LEVEL},
      {1, 1, 305, 695, NAN, QZ_ERR_TRIGGER_LEVEL},   {1, 3, 305, 695, 1.0f, QZ_ERR_TRIGGER_LEVEL},
  };
  for (const Refusal& r : refusals) {
    char e[24] = {1, 0, 1};
    float h[24] = {r.level, 0, 1.0f}, l[24] = {0.0f, 0, 0.0f};
    EXPECT_TRUE(FailsWith(QZ_SetAIAnalogTriggerParam(c.h(), r.mode, e, h, l, r.n, r.pre, r.post),
                          r.code))
        << r.mode << " " << r.n << " " << r.level;
  }
  EXPECT_TRUE(c.Take().empty());
}

TEST(SlotTrigger, ReadBackReportsTheOffPairOfModes0To2AsDisabled) {
  Device c = Carrier(Model::D4071s, "00110000");
  ASSERT_TRUE(c.ok());
  ASSERT_EQ(Set(c, {16, 0, 3, 1000, 1000, 0}), 1);
  char en[16] = {1, 0};
  float hi[16] = {2.5f, 0}, lo[16] = {-2.5f, 0};
  for (int mode : {3, 1}) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(QZ_SetAIAnalogTriggerParam(c.h(), mode, en, hi, lo, 2, 400, 600), 1);
    int gotMode = -1;
    char gotEn[16];
    float gotHi[16], gotLo[16];
    unsigned pre = 0, post = 0, reserved = 9;
    ASSERT_EQ(QZ_GetAIAnalogTriggerParam(c.h(), &gotMode, gotEn, gotHi, gotLo, 2, &pre, &post,
                                         &reserved),
              1);
    EXPECT_EQ(gotMode, mode);
    EXPECT_EQ(pre, 400u);
    EXPECT_EQ(post, 600u);
    EXPECT_EQ(gotEn[0], 1);
    EXPECT_NEAR(gotHi[0], 2.5f, 1e-3);
    EXPECT_NEAR(gotLo[0], -2.5f, 1e-3);
    // Mode 3 sends the swapped pair, which reads back as an enabled channel.
    EXPECT_EQ(gotEn[1], mode == 3 ? 1 : 0);
    EXPECT_NEAR(gotHi[1], mode == 3 ? -5.0f : 0.0f, 1e-3);
    EXPECT_NEAR(gotLo[1], mode == 3 ? 32767 / 6553.6f : 0.0f, 1e-3);
  }
  // A level reply that does not read changes nothing.
  c.Reply("~01XS2C5", "!01H12");
  c.model().preCount = 5;
  int gotMode = 7;
  unsigned pre = 1, post = 1;
  EXPECT_TRUE(FailsWith(c.model().GetAIAnalogTriggerParam(&gotMode, nullptr, nullptr, nullptr, 0,
                                                          &pre, &post),
                        QZ_ERR_DEVICE_RESPONSE));
  EXPECT_EQ(gotMode, 7);
  EXPECT_EQ(c.model().preCount, 5u);
}

TEST(SlotTrigger, IndexStatusTransmitAndTriggerOutput) {
  Device c = Carrier(Model::D4071s, "01010100");
  ASSERT_TRUE(c.ok());
  D4071s& d = c.As<D4071s>();
  ASSERT_EQ(Set(c, {16, 0, 0, 1000, 0, 0}), 1);
  c.Take();
  struct Index {
    std::string reply;
    unsigned index;
  };
  for (const Index& r : std::vector<Index>{{"!01250", 4000}, {"?01", 0}, {"!01", 0}, {"!01300000000", 4294967295u}}) {
    d.triggerIndex = 123;
    c.Reply("~01XN", r.reply);
    EXPECT_EQ(d.GetAIAnalogTriggerIdx(), 1) << r.reply;
    EXPECT_EQ(d.triggerIndex.load(), r.index) << r.reply;
  }
  EXPECT_EQ(c.Take(), Strings(4, "~01XN"));

  unsigned count = 5, status = 5;
  ASSERT_EQ(d.GetQZRAMBufferStatus(2, &count, &status), 1);
  EXPECT_EQ(c.Take(), Strings{"~01NS5"});
  EXPECT_EQ(count, 0u);
  c.Reply("~01NS1", "!01070000001234");
  ASSERT_EQ(d.GetQZRAMBufferStatus(0, &count, &status), 1);
  EXPECT_EQ(status, 7u);
  EXPECT_EQ(count, 1234u);
  c.Reply("~01NS1", "!0107000012");
  EXPECT_TRUE(FailsWith(d.GetQZRAMBufferStatus(0, &count, &status), QZ_ERR_DEVICE_RESPONSE));
  EXPECT_TRUE(FailsWith(d.GetQZRAMBufferStatus(3, &count, &status), QZ_ERR_SLOT_RANGE));
  EXPECT_EQ(count, 1234u);

  EXPECT_EQ(d.TransmitData(), 1);
  c.Reply("~01E", "?01");
  EXPECT_EQ(d.TransmitData(), 0);
  EXPECT_EQ(QZ_Configure_Trig_Out(c.h(), 3, 1), 1);
  EXPECT_EQ(d.StartMagicScan(), 1);
  c.Locked<SlotCarrierModule>([](SlotCarrierModule& m) {
    EXPECT_EQ(m.TrigOut(0), 3);
    EXPECT_EQ(m.TrigOut(1), 1);
    EXPECT_TRUE(m.Scanning());
  });
  EXPECT_EQ(d.StopMagicScan(), 1);
  c.Take();
}

TEST(SlotTrigger, D3054sHasNoTriggerButStartsAndStops) {
  Device c = Carrier(Model::D3054s, "19");
  ASSERT_TRUE(c.ok());
  MODEL& d = c.model();
  char en[1] = {0};
  float v[1] = {0};
  EXPECT_TRUE(FailsWith(QZ_SetAIAnalogTriggerParam(c.h(), 0, en, v, v, 1, 0, 0), QZ_ERR_NOT_IMPLEMENTED));
  EXPECT_TRUE(FailsWith(d.GetAIAnalogTriggerIdx(), QZ_ERR_NOT_IMPLEMENTED));
  EXPECT_TRUE(FailsWith(d.TransmitData(), QZ_ERR_NOT_IMPLEMENTED));
  EXPECT_EQ(QZ_Configure_Trig_Out(c.h(), 1, 1), 1);
  EXPECT_EQ(d.StartMagicScan(), 1);
  EXPECT_EQ(d.StopMagicScan(), 1);
  EXPECT_EQ(c.Take(), (Strings{"~01S", "~01Z"}));
}

// ------------------------------------------------------------------ the emulated module

TEST(SlotScanEmulator, RefusesSettingsOutOfItsRanges) {
  struct Line {
    std::string command, reply;
  };
  const std::vector<Line> d = {
      {"~01PS3G0C8T0M0", "?01"}, {"~01PS0G2C8T0M0", "?01"}, {"~01PS0G0C9T0M0", "?01"},
      {"~01PS0G0C8T6M0", "?01"}, {"~01PS0G0C8T5M2", "?01"}, {"~01PS0G1C0T5M1", "!01"},
      {"~01RS8200001", "?01"},   {"~01RS8000000", "?01"},   {"~01RS0000100", "?01"},
      {"~01RS8000001", "!01"},   {"~01RS3", "?01"},         {"~01TS00030000001", "?01"},
      {"~01TS20000000010", "!01"}, {"~01XS2M0L00000004R00000006", "!01"},
      {"~01XS2M0L00000004R00000005", "?01"}, {"~01XS2M4L00000004R00000006", "?01"},
      {"~01XS3C0H0000L0000", "?01"}, {"~01S0", "!01"},
  };
  const std::vector<Line> e = {
      {"~01PS00G1C08T0M0", "?01"}, {"~01PS01G0C0DT0M0", "?01"}, {"~01PS02G0C01T0M0", "?01"},
      {"~01PS00G0C08T3M0", "?01"}, {"~01PS01G0C0CT0M1", "!01"}, {"~01R200001", "?01"},
      {"~01R000000", "?01"},       {"~01TS020000000001", "?01"}, {"~01S", "!01"},
      {"~01XN", "?01"},
  };
  for (Model m : {Model::D4071s, Model::D3054s}) {
    SCOPED_TRACE(ModelText(m));
    auto emu = StartEmulator(m, [&](Options& o) { o.slotLayout = m == Model::D4071s ? "10100100" : "12"; });
    ASSERT_TRUE(emu);
    const int fd = ConnectTo(emu->options().ip, 9999);
    ASSERT_GE(fd, 0);
    for (const Line& l : m == Model::D4071s ? d : e) EXPECT_EQ(Exchange(fd, l.command), l.reply) << l.command;
    close(fd);
  }
}

}  // namespace

// Slot carriers: single reads against the emulated signal, the D4071s calibration, the
// configuration items, the hardware versions and the replies the drivers refuse.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "drivers/slot/D3054s_Class.h"
#include "drivers/slot/D4071s_Class.h"
#include "emulator/SlotCarrierModule.h"
#include "nivex.h"
#include "tests/common/DeviceFixture.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::D4071s;
using namespace nivex::emu;
using namespace nivex::test;

double Volts(int c) { return -4.5 + 0.37 * c; }

// An emulated carrier of a layout, opened; module channel c carries Volts(c).
Device Carrier(Model m, const std::string& layout, const std::function<void(Emulator&)>& before = nullptr) {
  return Device(m, [&](Options& o) { o.slotLayout = layout; }, [&](Emulator& e) {
    for (int c = 0; c < 128; ++c) e.SetSignal(c, Volts(c));
    if (before) before(e);
  });
}

TEST(SlotCalibration, ArithmeticOfSixteenBitCodes) {
  EXPECT_EQ(D4071s::ApplyCalibration(0x7FFF, 0x8000, 10), 32767);     // clamped
  EXPECT_EQ(D4071s::ApplyCalibration(0x8000, 0x8000, -10), -32768);   // clamped
  EXPECT_EQ(D4071s::ApplyCalibration(1000, 0x4000, 3), 503);
  EXPECT_EQ(D4071s::ApplyCalibration(-1, 0x4000, 0), -1);             // rounds down
  EXPECT_EQ(D4071s::ApplyCalibration(0x1FFFF, 0x8000, 0), -1);        // low 16 bits, signed
  EXPECT_EQ(D4071s::ApplyCalibration(-32768, 0xFFFF, 0), -32768);     // no overflow
  EXPECT_NEAR(D4071s::CodeToVolts(32767, 0), 4.99985f, 1e-5);
  EXPECT_NEAR(D4071s::CodeToVolts(32767, 1), 9.99969f, 1e-5);
  EXPECT_NEAR(D4071s::CodeToVolts(-32768, 1), -10.0f, 1e-6);
}

TEST(SlotReads, D4071sReadsItsCardsByPositionAndCalibratesWithTheLoadedTable) {
  Device c = Carrier(Model::D4071s, "00100100", [](Emulator& e) {
    e.SetCalibration(3, 1, CalEntry{0x7000, 25});
    e.SetCalibration(9, 0, CalEntry{0x9100, -16});  // slot 1 (position 5), channel 1
  });
  ASSERT_TRUE(c.ok());
  D4071s& d = c.As<D4071s>();
  ASSERT_EQ(d.ChannelTotal(), 16);
  unsigned short gain = 0;
  short offset = 0;
  ASSERT_EQ(d.ReadGainOffset(9, 0, &gain, &offset), 1);
  EXPECT_EQ(gain, 0x9100);
  EXPECT_EQ(offset, -16);  // "FFF0"

  float v = 0;
  ASSERT_EQ(d.ReadAI(10, 1, &v), 1);
  EXPECT_NEAR(v, Volts(10), 0.001);
  EXPECT_EQ(c.Take(), Strings{"#01S5G1"});

  // Twelve values: 8 from position 2, 4 from position 5; the rest untouched.
  float all[16];
  std::fill(all, all + 16, 99.0f);
  ASSERT_EQ(d.ReadAIALL(1, all, 12), 1);
  EXPECT_EQ(c.Take(), (Strings{"#01S2G1", "#01S5G1"}));
  for (int i = 0; i < 12; ++i) EXPECT_NEAR(all[i], Volts(i), 0.001) << i;
  EXPECT_EQ(all[12], 99.0f);

  // Raw codes come back to the signal through the loaded calibration.
  int codes[16];
  std::fill(codes, codes + 16, -7);
  ASSERT_EQ(d.ReadAIHEX(3, 1, &codes[3]), 1);
  EXPECT_EQ(c.Take(), Strings{"#01HS2G1"});
  ASSERT_EQ(d.Calibrate_Hex2Float(codes[3], 3, 1, &v), 1);
  EXPECT_NEAR(v, Volts(3), 0.002);
  ASSERT_EQ(d.ReadAIALLHEX(0, codes, 10), 1);
  EXPECT_EQ(c.Take(), (Strings{"#01HS2G0", "#01HS5G0"}));
  for (int i = 0; i < 10; ++i) {
    EXPECT_GE(codes[i], 0);
    ASSERT_EQ(d.Calibrate_Hex2Float(codes[i], i, 0, &v), 1);
    EXPECT_NEAR(v, Volts(i), 0.002) << i;
  }
  EXPECT_EQ(codes[10], -7);

  // Channel first, then gain code; ReadGainOffset zeroes its outputs.
  int raw = 0;
  EXPECT_TRUE(FailsWith(d.ReadAI(16, 0, &v), QZ_ERR_CHANNEL_RANGE));
  QZ_ClearLastError();
  EXPECT_TRUE(FailsWith(d.Calibrate_HEX(1, -1, 0, &raw), QZ_ERR_CHANNEL_RANGE));
  EXPECT_TRUE(FailsWith(d.Calibrate_Hex2Float(1, 3, 2, &v), QZ_ERR_GAIN_RANGE));
  QZ_ClearLastError();
  EXPECT_TRUE(FailsWith(d.ReadGainOffset(3, -1, &gain, &offset), QZ_ERR_GAIN_RANGE));
  EXPECT_EQ(gain, 0);
  EXPECT_EQ(offset, 0);
  EXPECT_TRUE(c.Take().empty());
}

TEST(SlotReads, D3054sReadsAsManyFieldsAsTheCardHasChannels) {
  {
    Device c = Carrier(Model::D3054s, "19");
    ASSERT_TRUE(c.ok());
    float v = 0;
    ASSERT_EQ(c.model().ReadAI(10, 0, &v), 1);  // slot 1, its channel 2
    EXPECT_EQ(c.Take(), Strings{"#01S1G0"});
    EXPECT_NEAR(v, Volts(10), 0.001);
  }
  // Two 12-channel cards: every value lands at its own channel.
  Device c = Carrier(Model::D3054s, "22");
  ASSERT_TRUE(c.ok());
  float all[25];
  std::fill(all, all + 25, 99.0f);
  ASSERT_EQ(c.model().ReadAIALL(0, all, 24), 1);
  EXPECT_EQ(c.Take(), (Strings{"#01S0G0", "#01S1G0"}));
  for (int i = 0; i < 24; ++i) EXPECT_NEAR(all[i], Volts(i), 0.001) << i;
  EXPECT_EQ(all[24], 99.0f);
  // A count that ends inside slot 0 asks slot 0 only.
  ASSERT_EQ(c.model().ReadAIALL(0, all, 5), 1);
  EXPECT_EQ(c.Take(), Strings{"#01S0G0"});
}

TEST(SlotReads, D3054sRawReadsNameNoSlot) {
  // "#01H" carries no slot digit: whichever slot the module answers for, every slot gets its
  // codes. The emulator answers for slot 0 unless told otherwise.
  Device c = Carrier(Model::D3054s, "11");
  ASSERT_TRUE(c.ok());
  auto code = [](int ch) { return static_cast<int>(std::lround(Volts(ch) * 3276.8)) & 0xFFFF; };
  int raw = 0;
  ASSERT_EQ(c.model().ReadAIHEX(3, 0, &raw), 1);
  EXPECT_EQ(raw, code(3));
  int codes[16] = {};
  ASSERT_EQ(c.model().ReadAIALLHEX(0, codes, 16), 1);
  EXPECT_EQ(c.Take(), (Strings{"#01H", "#01H", "#01H"}));
  for (int i = 0; i < 16; ++i) EXPECT_EQ(codes[i], code(i % 8)) << i;
  c.Locked<SlotCarrierModule>([](SlotCarrierModule& m) { m.SetRawSlot(1); });
  ASSERT_EQ(c.model().ReadAIHEX(11, 0, &raw), 1);
  EXPECT_EQ(raw, code(11));

  // A slot with more channels than the answering card gets a reply too short for it.
  Device mixed = Carrier(Model::D3054s, "19");
  ASSERT_TRUE(mixed.ok());
  raw = 12345;
  EXPECT_TRUE(FailsWith(mixed.model().ReadAIHEX(20, 0, &raw), QZ_ERR_DEVICE_RESPONSE));
  EXPECT_EQ(raw, 12345);
}

TEST(SlotReads, RefusedShortOrGarbledRepliesLeaveTheOutputs) {
  Device c = Carrier(Model::D4071s, "11000000");
  ASSERT_TRUE(c.ok());
  nivex::MODEL& d = c.model();
  const std::string volt = "+01.000", eight = "!" + volt + volt + volt + volt + volt + volt + volt + volt;
  for (const std::string& reply : {std::string("?01"), eight.substr(0, eight.size() - 1),  // one short
                                   "!" + volt + volt + volt + "xx1.000" + volt + volt + volt + volt,
                                   "!" + volt + volt + volt + volt + volt + volt + volt + "    nan",
                                   "#" + volt + volt + volt + volt + volt + volt + volt + volt}) {  // not data
    c.Reply("#01S0G0", reply);
    float v = 42.0f;
    QZ_ClearLastError();
    EXPECT_TRUE(FailsWith(d.ReadAI(1, 0, &v), QZ_ERR_DEVICE_RESPONSE)) << reply;
    EXPECT_EQ(v, 42.0f);
  }
  for (const char* reply : {"!0000111122223333444455556666777", "!00001111222233334444555566667-77"}) {
    c.Reply("#01HS1G0", reply);
    int raw = 42;
    QZ_ClearLastError();
    EXPECT_TRUE(FailsWith(d.ReadAIHEX(9, 0, &raw), QZ_ERR_DEVICE_RESPONSE)) << reply;
    EXPECT_EQ(raw, 42);
  }

  // An all-channel read keeps the slots read before the failure and touches nothing after.
  float all[16];
  std::fill(all, all + 16, 99.0f);
  c.Reply("#01S1G0", "?01");
  QZ_ClearLastError();
  EXPECT_TRUE(FailsWith(d.ReadAIALL(0, all, 16), QZ_ERR_DEVICE_RESPONSE));
  for (int i = 0; i < 8; ++i) EXPECT_NEAR(all[i], Volts(i), 0.001);
  for (int i = 8; i < 16; ++i) EXPECT_EQ(all[i], 99.0f);

  // Silence is a failed read as well.
  c.AddFault("#01HS0G0", FaultKind::NoReply);
  int codes[16] = {5};
  QZ_ClearLastError();
  EXPECT_TRUE(FailsWith(d.ReadAIALLHEX(0, codes, 16), QZ_ERR_DEVICE_RESPONSE));
  EXPECT_EQ(codes[0], 5);
}

TEST(SlotReads, ReadsRefuseWhileAReceiveIsInProgress) {
  for (Model m : {Model::D4071s, Model::D3054s}) {
    Device c = Carrier(m, m == Model::D4071s ? "10000000" : "1");
    ASSERT_TRUE(c.ok());
    nivex::MODEL& d = c.model();
    d.setQZsamplingStatus(true);
    EXPECT_TRUE(d.getQZsamplingStatus());
    float v = 42.0f, all[8] = {42.0f};
    int raw = 42, codes[8] = {42};
    EXPECT_TRUE(FailsWith(d.ReadAI(0, 0, &v), QZ_ERR_DEVICE_BUSY));
    QZ_ClearLastError();
    EXPECT_TRUE(FailsWith(d.ReadAIHEX(0, 0, &raw), QZ_ERR_DEVICE_BUSY));
    QZ_ClearLastError();
    EXPECT_TRUE(FailsWith(d.ReadAIALL(0, all, 8), QZ_ERR_DEVICE_BUSY));
    QZ_ClearLastError();
    EXPECT_TRUE(FailsWith(d.ReadAIALLHEX(0, codes, 8), QZ_ERR_DEVICE_BUSY));
    // The channel check still comes first.
    EXPECT_TRUE(FailsWith(d.ReadAI(8, 0, &v), QZ_ERR_CHANNEL_RANGE));
    EXPECT_EQ(v, 42.0f);
    EXPECT_EQ(raw, 42);
    EXPECT_EQ(all[0], 42.0f);
    EXPECT_EQ(codes[0], 42);
    EXPECT_TRUE(c.Take().empty());
    d.setQZsamplingStatus(false);
    EXPECT_EQ(d.ReadAI(0, 0, &v), 1);
  }
}

TEST(SlotConfig, ItemsRoundTripWithTheExactCommands) {
  for (Model m : {Model::D4071s, Model::D3054s}) {
    SCOPED_TRACE(ModelText(m));
    Device c = Carrier(m, m == Model::D4071s ? "01100000" : "19");
    ASSERT_TRUE(c.ok());
    void* h = c.h();
    // Sets the item and reads it back (-1 when either fails).
    auto roundTrip = [&](int kind, int item, int value) {
      int got = -1;
      return QZ_SetConfig(h, kind, item, value) == 1 && QZ_GetConfig(h, kind, item, &got) == 1 ? got : -1;
    };
    // (4,1) log folder mode: 0 becomes 1 while the target is 0; above 7 is refused.
    EXPECT_EQ(roundTrip(4, 1, 0), 1);
    EXPECT_EQ(roundTrip(4, 1, 5), 5);
    ASSERT_EQ(QZ_SetAIScanParam(h, 1, 0, 0, 1000, 400, 0, 0), 1);  // a target of 400
    c.Take();
    EXPECT_EQ(roundTrip(4, 1, 0), 0);
    QZ_ClearLastError();
    EXPECT_TRUE(FailsWith(QZ_SetConfig(h, 4, 1, 8), QZ_ERR_INVALID_ARGUMENT));
    EXPECT_TRUE(FailsWith(QZ_SetConfig(h, 4, 1, -1), QZ_ERR_INVALID_ARGUMENT));
    EXPECT_EQ(roundTrip(4, 2, 123456), 123456);  // stored value
    EXPECT_TRUE(c.Take().empty());

    // (5,0) and (5,1) go to the module: out-of-range values map to 500 / clamp to 1..1000.
    EXPECT_EQ(roundTrip(5, 0, 0), 500);
    EXPECT_EQ(roundTrip(5, 0, 42), 42);
    EXPECT_EQ(roundTrip(5, 1, 5000), 1000);
    EXPECT_EQ(QZ_SetConfig(h, 5, 1, -3), 1);
    EXPECT_EQ(c.Take(), (Strings{"~01RPF00500", "~01RP", "~01RPF00042", "~01RP", "~01DT01000", "~01DT",
                                 "~01DT00001"}));
    // A refusal is a failure.
    c.Reply("~01DT00007", "?01");
    EXPECT_TRUE(FailsWith(QZ_SetConfig(h, 5, 1, 7), QZ_ERR_DEVICE_RESPONSE));
    c.Reply("~01RP", "!01P");
    int out = 77;
    QZ_ClearLastError();
    EXPECT_TRUE(FailsWith(QZ_GetConfig(h, 5, 0, &out), QZ_ERR_DEVICE_RESPONSE));
    EXPECT_EQ(out, 77);
    c.Take();

    // Unknown kinds and items.
    EXPECT_TRUE(FailsWith(QZ_SetConfig(h, 5, 2, 1), QZ_ERR_CONFIG_COMMAND));
    EXPECT_TRUE(FailsWith(QZ_GetConfig(h, 5, 2, &out), QZ_ERR_INVALID_ARGUMENT));
    EXPECT_EQ(out, 0);
    for (int kind : {0, 1, 2, 3, 7, -1}) {
      QZ_ClearLastError();
      EXPECT_TRUE(FailsWith(QZ_SetConfig(h, kind, 0, 1), QZ_ERR_INVALID_ARGUMENT)) << kind;
      out = 77;
      EXPECT_EQ(QZ_GetConfig(h, kind, 0, &out), 0) << kind;
      EXPECT_EQ(out, kind <= 2 && kind >= 0 ? 77 : 0) << kind;
    }
    out = 77;
    EXPECT_EQ(QZ_GetConfig(h, 4, 3, &out), 0);
    EXPECT_EQ(out, 77);
    if (m == Model::D3054s) {  // no item 6: the set does nothing, the get gives 0
      EXPECT_EQ(roundTrip(6, 0, 1500), 0);
    }
    EXPECT_TRUE(c.Take().empty());
  }
}

TEST(SlotConfig, D4071sItemSixSendsFloatBitsBySlotIndex) {
  // Positions 1 and 2: channel 9 is slot index 1 (position 2), channel 1.
  Device c = Carrier(Model::D4071s, "01100000");
  ASSERT_TRUE(c.ok());
  void* h = c.h();
  int out = 0;
  ASSERT_EQ(QZ_SetConfig(h, 6, 9, 1500), 1);
  EXPECT_EQ(c.Take(), Strings{"~01EDS1C1G3FC00000"});
  ASSERT_EQ(QZ_GetConfig(h, 6, 9, &out), 1);
  EXPECT_EQ(out, 1500);
  EXPECT_EQ(c.Take(), Strings{"~01EDS1C1"});
  for (int mV : {1234, -2500, 251, -251, 1, 0, -9999, 65534}) {
    ASSERT_EQ(QZ_SetConfig(h, 6, 3, mV), 1);
    ASSERT_EQ(QZ_GetConfig(h, 6, 3, &out), 1);
    EXPECT_EQ(out, mV);
  }
  c.Take();
  // Channels outside the slots.
  QZ_ClearLastError();
  EXPECT_TRUE(FailsWith(QZ_SetConfig(h, 6, 16, 1), QZ_ERR_INVALID_ARGUMENT));
  QZ_ClearLastError();
  EXPECT_TRUE(FailsWith(QZ_GetConfig(h, 6, -1, &out), QZ_ERR_INVALID_ARGUMENT));
  EXPECT_TRUE(c.Take().empty());

  // Set replies of the wrong length or refused: 0x17003; none: 0x19002.
  for (const char* reply : {"!01X", "?01", "!0", ""}) {
    if (*reply) c.Reply("~01EDS0C2G3F800000", reply);
    else c.AddFault("~01EDS0C2G3F800000", FaultKind::NoReply);
    QZ_ClearLastError();
    EXPECT_TRUE(FailsWith(QZ_SetConfig(h, 6, 2, 1000),
                          *reply ? QZ_ERR_DEVICE_RESPONSE : QZ_ERR_CONFIG_COMMAND))
        << reply;
  }
  // Get replies of the wrong length, refused or not hexadecimal (0x17003), values that are no
  // number of millivolts: NaN, infinity, beyond the int range (0x17008).
  const std::pair<const char*, int> gets[] = {
      {"!013FC0000", QZ_ERR_DEVICE_RESPONSE},  {"!013FC000000", QZ_ERR_DEVICE_RESPONSE},
      {"?013FC00000", QZ_ERR_DEVICE_RESPONSE}, {"!01ZZC00000", QZ_ERR_DEVICE_RESPONSE},
      {"!017FC00000", QZ_ERR_INVALID_VALUE},  {"!017F800000", QZ_ERR_INVALID_VALUE},
      {"!01FF800000", QZ_ERR_INVALID_VALUE},  {"!014F000000", QZ_ERR_INVALID_VALUE}};
  for (const auto& [reply, code] : gets) {
    c.Reply("~01EDS0C2", reply);
    out = 77;
    QZ_ClearLastError();
    EXPECT_TRUE(FailsWith(QZ_GetConfig(h, 6, 2, &out), code)) << reply;
    EXPECT_EQ(out, 77);
  }
}

TEST(SlotReboot, SendsWithoutWaitingForAReply) {
  Device c(Model::D3054s, [](Options& o) { o.reboot = RebootBehaviour::Silent; });
  QZ_ClearLastError();
  const long long t0 = NowMs();
  EXPECT_EQ(QZ_Reboot(c.h()), 1);
  EXPECT_LT(NowMs() - t0, 500);
  EXPECT_EQ(QZ_GetLastError(), 0);
  EXPECT_TRUE(c.emu().WaitForCommands(1, 1000));
  EXPECT_EQ(c.Take(), Strings{"$01Q"});
}

TEST(SlotVersions, HardwareVersionTexts) {
  char text[QZ_HW_VERSION_SIZE];
  {
    Device c = Carrier(Model::D4071s, "01000001");
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(QZ_GetHWFirmwareVersion(c.h(), text), 1);
    EXPECT_STREQ(text, "V0,V101,V0,V0,V0,V0,V0,V107");
    EXPECT_EQ(c.Take(), Strings{"$01FS8"});
    // The longest text fits the documented buffer; missing values are 0; a reply without its
    // '>' is no version.
    for (const auto& [reply, want] :
         {std::pair{">FFFF,FFFF,FFFF,FFFF,FFFF,FFFF,FFFF,FFFF", "VFFFF,VFFFF,VFFFF,VFFFF,VFFFF,VFFFF,VFFFF,VFFFF"},
          {">0102,0A", "V102,VA,V0,V0,V0,V0,V0,V0"}, {"!0102,0102", ""}}) {
      c.Reply("$01FS8", reply);
      EXPECT_EQ(c.model().GetFPGAVersion(text), *want ? 1 : 0) << reply;
      EXPECT_STREQ(text, want);
    }
    // Window size and reboot: sent, their replies not examined.
    c.Take();
    EXPECT_EQ(c.model().SetWinSize(4096), 1);
    EXPECT_EQ(c.emu().WindowSize(), 4096u);
    EXPECT_EQ(QZ_Reboot(c.h()), 1);
    // The reboot waits for nothing: the module may take the line a moment later.
    EXPECT_TRUE(WaitUntil([&] { return c.emu().Commands().size() == 2; }, 2000));
    EXPECT_EQ(c.Take(), (Strings{"~01WS8004096", "$01Q"}));
  }
  // D3054s: one field per slot, behind either lead; a one-card carrier's one field; no field
  // is no answer; more slots than fields: the list ends with the reply (or at a field that is
  // not hexadecimal).
  struct Case {
    const char* layout;
    const char* reply;  // nullptr: the emulator's own
    const char* want;
  };
  for (const Case& k : {Case{"19", nullptr, "V100,V101"}, Case{"19", "!102,A1B", "V102,VA1B"},
                        Case{"19", ">102,A1B", "V102,VA1B"}, Case{"9", nullptr, "V100"},
                        Case{"19", "!102", "V102"}, Case{"19", "!", ""},
                        Case{"1111", "!1,2", "V1,V2"}, Case{"1111", "!1,2,zz,4", "V1,V2"}}) {
    SCOPED_TRACE(std::string(k.layout) + " " + (k.reply ? k.reply : ""));
    Device c = Carrier(Model::D3054s, k.layout);
    ASSERT_TRUE(c.ok());
    if (k.reply) c.Reply("$01F", k.reply);
    EXPECT_EQ(c.model().GetFPGAVersion(text), *k.want ? 1 : 0);
    EXPECT_STREQ(text, k.want);
    EXPECT_EQ(c.Take(), Strings{"$01F"});
  }
}

}  // namespace

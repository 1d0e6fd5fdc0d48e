// Slot carriers: single reads against the emulated signal, the D4071s calibration, the
// configuration items, the hardware versions and the replies the drivers refuse.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "drivers/slot/D3054s_Class.h"
#include "drivers/slot/D4071s_Class.h"
#include "emulator/Engine.h"
#include "emulator/SlotCarrier.h"
#include "nivex.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::D3054s;
using nivex::D4071s;
using nivex::SlotCarrier;
using nivex::emu::CalEntry;
using nivex::emu::Emulator;
using nivex::emu::Fault;
using nivex::emu::FaultKind;
using nivex::emu::Model;
using nivex::emu::Options;
using nivex::emu::SlotCarrierModule;
using namespace nivex::test;

using Lines = std::vector<std::string>;

Fault Reply(const std::string& command, const std::string& text, int count = 1) {
  Fault f;
  f.command = command;
  f.kind = FaultKind::Reply;
  f.text = text;
  f.count = count;
  return f;
}

// An emulated carrier of a layout, opened through the exported functions; the signal of
// module channel c is set to Volts(c) before the connection.
class Carrier {
 public:
  static double Volts(int c) { return -4.5 + 0.37 * c; }

  Carrier(Model m, const std::string& layout,
          const std::function<void(Emulator&)>& before = nullptr)
      : emu_(StartEmulator(m, [&](Options& o) { o.slotLayout = layout; })) {
    if (!emu_) return;
    for (int c = 0; c < 128; ++c) emu_->SetSignal(c, Volts(c));
    if (before) before(*emu_);
    handle_ = QZ_Device_Create(emu_->ConnectionText().c_str());
    emu_->ClearCommands();
  }
  ~Carrier() {
    if (handle_ != nullptr) QZ_Device_Release(handle_);
  }
  bool ok() const { return handle_ != nullptr; }
  void* h() const { return handle_; }
  Emulator& emu() { return *emu_; }
  SlotCarrier& dev() const { return *static_cast<SlotCarrier*>(static_cast<nivex::MODEL*>(handle_)); }
  D4071s& d() const { return static_cast<D4071s&>(dev()); }
  SlotCarrierModule& module() {
    return static_cast<SlotCarrierModule&>(emu_->engine().handler());
  }
  // Commands since the last call.
  Lines Take() {
    Lines l = emu_->Commands();
    emu_->ClearCommands();
    return l;
  }

 private:
  std::unique_ptr<Emulator> emu_;
  void* handle_ = nullptr;
};

unsigned Error() { return static_cast<unsigned>(QZ_GetLastError()); }

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
  Carrier c(Model::D4071s, "00100100", [](Emulator& e) {
    e.SetCalibration(3, 1, CalEntry{0x7000, 25});
    e.SetCalibration(9, 0, CalEntry{0x9100, -16});  // slot 1 (position 5), channel 1
  });
  ASSERT_TRUE(c.ok());
  ASSERT_EQ(c.dev().ChannelTotal(), 16);
  D4071s& d = c.d();
  unsigned short gain = 0;
  short offset = 0;
  ASSERT_EQ(d.ReadGainOffset(9, 0, &gain, &offset), 1);
  EXPECT_EQ(gain, 0x9100);
  EXPECT_EQ(offset, -16);  // "FFF0"

  float v = 0;
  ASSERT_EQ(d.ReadAI(10, 1, &v), 1);
  EXPECT_NEAR(v, Carrier::Volts(10), 0.001);
  EXPECT_EQ(c.Take(), Lines{"#01S5G1"});

  // Twelve values: 8 from position 2, 4 from position 5; the rest untouched.
  float all[16];
  for (float& x : all) x = 99.0f;
  ASSERT_EQ(d.ReadAIALL(1, all, 12), 1);
  EXPECT_EQ(c.Take(), (Lines{"#01S2G1", "#01S5G1"}));
  for (int i = 0; i < 12; ++i) EXPECT_NEAR(all[i], Carrier::Volts(i), 0.001) << i;
  EXPECT_EQ(all[12], 99.0f);

  // Raw codes come back to the signal through the loaded calibration.
  int raw = -1;
  ASSERT_EQ(d.ReadAIHEX(3, 1, &raw), 1);
  EXPECT_EQ(c.Take(), Lines{"#01HS2G1"});
  ASSERT_EQ(d.Calibrate_Hex2Float(raw, 3, 1, &v), 1);
  EXPECT_NEAR(v, Carrier::Volts(3), 0.002);
  int codes[16];
  for (int& x : codes) x = -7;
  ASSERT_EQ(d.ReadAIALLHEX(0, codes, 10), 1);
  EXPECT_EQ(c.Take(), (Lines{"#01HS2G0", "#01HS5G0"}));
  for (int i = 0; i < 10; ++i) {
    EXPECT_GE(codes[i], 0);
    ASSERT_EQ(d.Calibrate_Hex2Float(codes[i], i, 0, &v), 1);
    EXPECT_NEAR(v, Carrier::Volts(i), 0.002) << i;
  }
  EXPECT_EQ(codes[10], -7);

  // Channel first, then gain code; ReadGainOffset zeroes its outputs.
  QZ_ClearLastError();
  EXPECT_EQ(d.ReadAI(16, 0, &v), 0);
  EXPECT_EQ(Error(), QZ_ERR_CHANNEL_RANGE);
  EXPECT_EQ(d.Calibrate_HEX(1, -1, 0, &raw), 0);
  EXPECT_EQ(Error(), QZ_ERR_CHANNEL_RANGE);
  EXPECT_EQ(d.Calibrate_Hex2Float(1, 3, 2, &v), 0);
  EXPECT_EQ(Error(), QZ_ERR_GAIN_RANGE);
  EXPECT_EQ(d.ReadGainOffset(3, -1, &gain, &offset), 0);
  EXPECT_EQ(Error(), QZ_ERR_GAIN_RANGE);
  EXPECT_EQ(gain, 0);
  EXPECT_EQ(offset, 0);
  EXPECT_TRUE(c.Take().empty());
}

TEST(SlotReads, D3054sReadsAsManyFieldsAsTheCardHasChannels) {
  {
    Carrier c(Model::D3054s, "19");
    ASSERT_TRUE(c.ok());
    float v = 0;
    ASSERT_EQ(c.dev().ReadAI(10, 0, &v), 1);  // slot 1, its channel 2
    EXPECT_EQ(c.Take(), Lines{"#01S1G0"});
    EXPECT_NEAR(v, Carrier::Volts(10), 0.001);
  }
  {
    // Two 12-channel cards: every value lands at its own channel.
    Carrier c(Model::D3054s, "22");
    ASSERT_TRUE(c.ok());
    float all[25];
    for (float& x : all) x = 99.0f;
    ASSERT_EQ(c.dev().ReadAIALL(0, all, 24), 1);
    EXPECT_EQ(c.Take(), (Lines{"#01S0G0", "#01S1G0"}));
    for (int i = 0; i < 24; ++i) EXPECT_NEAR(all[i], Carrier::Volts(i), 0.001) << i;
    EXPECT_EQ(all[24], 99.0f);
    // A count that ends inside slot 0 asks slot 0 only.
    ASSERT_EQ(c.dev().ReadAIALL(0, all, 5), 1);
    EXPECT_EQ(c.Take(), Lines{"#01S0G0"});
  }
}

TEST(SlotReads, D3054sRawReadsNameNoSlot) {
  // "#01H" carries no slot digit: whichever slot the module answers for, every slot gets its
  // codes. The emulator answers for slot 0 unless told otherwise.
  Carrier c(Model::D3054s, "11");
  ASSERT_TRUE(c.ok());
  auto code = [](int ch) { return static_cast<int>(std::lround(Carrier::Volts(ch) * 3276.8)) & 0xFFFF; };
  int raw = 0;
  ASSERT_EQ(c.dev().ReadAIHEX(3, 0, &raw), 1);
  EXPECT_EQ(raw, code(3));
  int codes[16] = {};
  ASSERT_EQ(c.dev().ReadAIALLHEX(0, codes, 16), 1);
  EXPECT_EQ(c.Take(), (Lines{"#01H", "#01H", "#01H"}));
  for (int i = 0; i < 16; ++i) EXPECT_EQ(codes[i], code(i % 8)) << i;

  c.module().SetRawSlot(1);
  ASSERT_EQ(c.dev().ReadAIHEX(11, 0, &raw), 1);
  EXPECT_EQ(raw, code(11));

  // A slot with more channels than the answering card gets a reply too short for it.
  Carrier mixed(Model::D3054s, "19");
  ASSERT_TRUE(mixed.ok());
  raw = 12345;
  QZ_ClearLastError();
  EXPECT_EQ(mixed.dev().ReadAIHEX(20, 0, &raw), 0);
  EXPECT_EQ(Error(), QZ_ERR_DEVICE_RESPONSE);
  EXPECT_EQ(raw, 12345);
}

TEST(SlotReads, RefusedShortOrGarbledRepliesLeaveTheOutputs) {
  Carrier c(Model::D4071s, "11000000");
  ASSERT_TRUE(c.ok());
  SlotCarrier& d = c.dev();
  std::string eightVolts = "!";
  for (int i = 0; i < 8; ++i) eightVolts += "+01.000";
  const std::string cases[] = {
      "?01",
      eightVolts.substr(0, eightVolts.size() - 1),  // one character short
      "!+01.000+01.000+01.000xx1.000+01.000+01.000+01.000+01.000",
      "!+01.000+01.000+01.000+01.000+01.000+01.000+01.000    nan",
      "#+01.000+01.000+01.000+01.000+01.000+01.000+01.000+01.000",  // not a data reply
  };
  for (const std::string& reply : cases) {
    SCOPED_TRACE(reply);
    c.emu().AddFault(Reply("#01S0G0", reply));
    float v = 42.0f;
    QZ_ClearLastError();
    EXPECT_EQ(d.ReadAI(1, 0, &v), 0);
    EXPECT_EQ(Error(), QZ_ERR_DEVICE_RESPONSE);
    EXPECT_EQ(v, 42.0f);
  }
  for (const std::string& reply : {std::string("!0000111122223333444455556666777"),
                                   std::string("!00001111222233334444555566667-77")}) {
    c.emu().AddFault(Reply("#01HS1G0", reply));
    int raw = 42;
    EXPECT_EQ(d.ReadAIHEX(9, 0, &raw), 0);
    EXPECT_EQ(Error(), QZ_ERR_DEVICE_RESPONSE);
    EXPECT_EQ(raw, 42);
  }

  // An all-channel read keeps the slots read before the failure and touches nothing after.
  float all[16];
  for (float& x : all) x = 99.0f;
  c.emu().AddFault(Reply("#01S1G0", "?01"));
  EXPECT_EQ(d.ReadAIALL(0, all, 16), 0);
  EXPECT_EQ(Error(), QZ_ERR_DEVICE_RESPONSE);
  for (int i = 0; i < 8; ++i) EXPECT_NEAR(all[i], Carrier::Volts(i), 0.001);
  for (int i = 8; i < 16; ++i) EXPECT_EQ(all[i], 99.0f);

  // Silence is a failed read as well.
  Fault silent;
  silent.command = "#01HS0G0";
  silent.kind = FaultKind::NoReply;
  c.emu().AddFault(silent);
  int codes[16];
  codes[0] = 5;
  EXPECT_EQ(d.ReadAIALLHEX(0, codes, 16), 0);
  EXPECT_EQ(Error(), QZ_ERR_DEVICE_RESPONSE);
  EXPECT_EQ(codes[0], 5);
}

TEST(SlotReads, ReadsRefuseWhileAReceiveIsInProgress) {
  for (Model m : {Model::D4071s, Model::D3054s}) {
    Carrier c(m, m == Model::D4071s ? "10000000" : "1");
    ASSERT_TRUE(c.ok());
    SlotCarrier& d = c.dev();
    d.setQZsamplingStatus(true);
    EXPECT_TRUE(d.getQZsamplingStatus());
    float v = 42.0f, all[8] = {42.0f};
    int raw = 42, codes[8] = {42};
    auto busy = [](int result) { return result == 0 && Error() == QZ_ERR_DEVICE_BUSY; };
    EXPECT_TRUE(busy(d.ReadAI(0, 0, &v)));
    EXPECT_TRUE(busy(d.ReadAIHEX(0, 0, &raw)));
    EXPECT_TRUE(busy(d.ReadAIALL(0, all, 8)));
    EXPECT_TRUE(busy(d.ReadAIALLHEX(0, codes, 8)));
    // The channel check still comes first.
    EXPECT_EQ(d.ReadAI(8, 0, &v), 0);
    EXPECT_EQ(Error(), QZ_ERR_CHANNEL_RANGE);
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
    SCOPED_TRACE(nivex::emu::ModelText(m));
    Carrier c(m, m == Model::D4071s ? "01100000" : "19");
    ASSERT_TRUE(c.ok());
    void* h = c.h();
    int out = -1;

    // Sets the item and reads it back (-1 when either fails).
    auto roundTrip = [&](int kind, int item, int value) {
      int got = -1;
      return QZ_SetConfig(h, kind, item, value) == 1 && QZ_GetConfig(h, kind, item, &got) == 1
                 ? got : -1;
    };
    // (4,1) log folder mode: 0 becomes 1 while the target is 0; above 7 is refused.
    EXPECT_EQ(roundTrip(4, 1, 0), 1);
    EXPECT_EQ(roundTrip(4, 1, 5), 5);
    c.dev().targetCount = 400;
    EXPECT_EQ(roundTrip(4, 1, 0), 0);
    QZ_ClearLastError();
    EXPECT_EQ(QZ_SetConfig(h, 4, 1, 8), 0);
    EXPECT_EQ(Error(), QZ_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(roundTrip(4, 2, 123456), 123456);  // stored value
    EXPECT_TRUE(c.Take().empty());

    // (5,0) and (5,1) go to the module: out-of-range values map to 500 / clamp to 1..1000.
    EXPECT_EQ(roundTrip(5, 0, 0), 500);
    EXPECT_EQ(roundTrip(5, 0, 42), 42);
    EXPECT_EQ(roundTrip(5, 1, 5000), 1000);
    EXPECT_EQ(QZ_SetConfig(h, 5, 1, -3), 1);
    EXPECT_EQ(c.Take(), (Lines{"~01RPF00500", "~01RP", "~01RPF00042", "~01RP", "~01DT01000",
                               "~01DT", "~01DT00001"}));
    // A refusal is a failure.
    c.emu().AddFault(Reply("~01DT00007", "?01"));
    QZ_ClearLastError();
    EXPECT_EQ(QZ_SetConfig(h, 5, 1, 7), 0);
    EXPECT_EQ(Error(), QZ_ERR_DEVICE_RESPONSE);
    c.emu().AddFault(Reply("~01RP", "!01P"));
    out = 77;
    EXPECT_EQ(QZ_GetConfig(h, 5, 0, &out), 0);
    EXPECT_EQ(Error(), QZ_ERR_DEVICE_RESPONSE);
    EXPECT_EQ(out, 77);
    c.Take();

    // Unknown kinds and items.
    QZ_ClearLastError();
    EXPECT_EQ(QZ_SetConfig(h, 5, 2, 1), 0);
    EXPECT_EQ(Error(), QZ_ERR_CONFIG_COMMAND);
    out = 77;
    EXPECT_EQ(QZ_GetConfig(h, 5, 2, &out), 0);
    EXPECT_EQ(Error(), QZ_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(out, 0);
    for (int kind : {0, 1, 2, 3, 7, -1}) {
      QZ_ClearLastError();
      EXPECT_EQ(QZ_SetConfig(h, kind, 0, 1), 0) << kind;
      EXPECT_EQ(Error(), QZ_ERR_INVALID_ARGUMENT);
      out = 77;
      EXPECT_EQ(QZ_GetConfig(h, kind, 0, &out), 0) << kind;
      EXPECT_EQ(out, kind <= 2 && kind >= 0 ? 77 : 0) << kind;
    }
    out = 77;
    EXPECT_EQ(QZ_GetConfig(h, 4, 3, &out), 0);
    EXPECT_EQ(out, 77);
    if (m == Model::D3054s) {  // no item 6: the set does nothing, the get gives 0
      EXPECT_EQ(QZ_SetConfig(h, 6, 0, 1500), 1);
      EXPECT_EQ(QZ_GetConfig(h, 6, 0, &out), 1);
      EXPECT_EQ(out, 0);
    }
    EXPECT_TRUE(c.Take().empty());
  }
}

TEST(SlotConfig, D4071sItemSixSendsFloatBitsBySlotIndex) {
  // Positions 1 and 2: channel 9 is slot index 1 (position 2), channel 1.
  Carrier c(Model::D4071s, "01100000");
  ASSERT_TRUE(c.ok());
  void* h = c.h();
  int out = 0;
  ASSERT_EQ(QZ_SetConfig(h, 6, 9, 1500), 1);
  EXPECT_EQ(c.Take(), Lines{"~01EDS1C1G3FC00000"});
  EXPECT_FLOAT_EQ(c.d().channelValues[9], 1.5f);
  ASSERT_EQ(QZ_GetConfig(h, 6, 9, &out), 1);
  EXPECT_EQ(out, 1500);
  EXPECT_EQ(c.Take(), Lines{"~01EDS1C1"});
  for (int mV : {1234, -2500, 251, -251, 1, 0, -9999, 65534}) {
    ASSERT_EQ(QZ_SetConfig(h, 6, 3, mV), 1);
    ASSERT_EQ(QZ_GetConfig(h, 6, 3, &out), 1);
    EXPECT_EQ(out, mV);
  }
  c.Take();
  // Channels outside the slots.
  QZ_ClearLastError();
  EXPECT_EQ(QZ_SetConfig(h, 6, 16, 1), 0);
  EXPECT_EQ(Error(), QZ_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(QZ_GetConfig(h, 6, -1, &out), 0);
  EXPECT_EQ(Error(), QZ_ERR_INVALID_ARGUMENT);
  EXPECT_TRUE(c.Take().empty());

  // Replies of the wrong length or refused: 0x19002.
  for (const char* reply : {"!01X", "?01", "!0"}) {
    c.emu().AddFault(Reply("~01EDS0C2G3F800000", reply));
    QZ_ClearLastError();
    EXPECT_EQ(QZ_SetConfig(h, 6, 2, 1000), 0) << reply;
    EXPECT_EQ(Error(), QZ_ERR_CONFIG_COMMAND);
  }
  for (const char* reply : {"!013FC0000", "!013FC000000", "?013FC00000", "!01ZZC00000"}) {
    c.emu().AddFault(Reply("~01EDS0C2", reply));
    out = 77;
    QZ_ClearLastError();
    EXPECT_EQ(QZ_GetConfig(h, 6, 2, &out), 0) << reply;
    EXPECT_EQ(Error(), QZ_ERR_CONFIG_COMMAND);
    EXPECT_EQ(out, 77);
  }
  // Values that are no number of millivolts: NaN, infinity, beyond the int range.
  for (const char* reply : {"!017FC00000", "!017F800000", "!01FF800000", "!014F000000"}) {
    c.emu().AddFault(Reply("~01EDS0C2", reply));
    out = 77;
    QZ_ClearLastError();
    EXPECT_EQ(QZ_GetConfig(h, 6, 2, &out), 0) << reply;
    EXPECT_EQ(Error(), QZ_ERR_INVALID_VALUE);
    EXPECT_EQ(out, 77);
  }
  // A failed exchange of the set.
  Fault silent;
  silent.command = "~01EDS0C2G3F800000";
  silent.kind = FaultKind::NoReply;
  c.emu().AddFault(silent);
  EXPECT_EQ(QZ_SetConfig(h, 6, 2, 1000), 0);
  EXPECT_EQ(Error(), QZ_ERR_CONFIG_COMMAND);
}

TEST(SlotVersions, HardwareVersionTexts) {
  char text[QZ_HW_VERSION_SIZE];
  {
    Carrier c(Model::D4071s, "01000001");
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(QZ_GetHWFirmwareVersion(c.h(), text), 1);
    EXPECT_STREQ(text, "V0,V101,V0,V0,V0,V0,V0,V107");
    EXPECT_EQ(c.Take(), Lines{"$01FS8"});
    // The longest text fits the documented buffer.
    c.emu().AddFault(Reply("$01FS8", ">FFFF,FFFF,FFFF,FFFF,FFFF,FFFF,FFFF,FFFF"));
    ASSERT_EQ(QZ_GetHWFirmwareVersion(c.h(), text), 1);
    EXPECT_STREQ(text, "VFFFF,VFFFF,VFFFF,VFFFF,VFFFF,VFFFF,VFFFF,VFFFF");
    // Missing values are 0; a reply without its '>' is no version.
    c.emu().AddFault(Reply("$01FS8", ">0102,0A"));
    ASSERT_EQ(c.dev().GetFPGAVersion(text), 1);
    EXPECT_STREQ(text, "V102,VA,V0,V0,V0,V0,V0,V0");
    c.emu().AddFault(Reply("$01FS8", "!0102,0102"));
    EXPECT_EQ(c.dev().GetFPGAVersion(text), 0);
    EXPECT_STREQ(text, "");
    // Reboot and window size: sent, their replies not examined.
    c.Take();
    EXPECT_EQ(QZ_Reboot(c.h()), 1);
    EXPECT_EQ(c.dev().SetWinSize(4096), 1);
    EXPECT_EQ(c.Take(), (Lines{"$01Q", "~01WS8004096"}));
    EXPECT_EQ(c.emu().WindowSize(), 4096u);
  }
  {
    Carrier c(Model::D3054s, "19");
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(QZ_GetHWFirmwareVersion(c.h(), text), 1);
    EXPECT_STREQ(text, "V100,V101");
    EXPECT_EQ(c.Take(), Lines{"$01F"});
    c.emu().AddFault(Reply("$01F", "!102,A1B"));
    EXPECT_EQ(c.dev().GetFPGAVersion(text), 1);
    EXPECT_STREQ(text, "V102,VA1B");
    // One field is no answer.
    c.emu().AddFault(Reply("$01F", "!102"));
    EXPECT_EQ(c.dev().GetFPGAVersion(text), 0);
    EXPECT_STREQ(text, "");
  }
  {
    // More slots than fields: the list ends with the reply.
    Carrier c(Model::D3054s, "1111");
    ASSERT_TRUE(c.ok());
    c.emu().AddFault(Reply("$01F", "!1,2"));
    EXPECT_EQ(c.dev().GetFPGAVersion(text), 1);
    EXPECT_STREQ(text, "V1,V2");
    c.emu().AddFault(Reply("$01F", "!1,2,zz,4"));
    EXPECT_EQ(c.dev().GetFPGAVersion(text), 1);
    EXPECT_STREQ(text, "V1,V2");
  }
  {
    // A single slot: the emulator pads its reply to two fields.
    Carrier c(Model::D3054s, "9");
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(QZ_GetHWFirmwareVersion(c.h(), text), 1);
    EXPECT_STREQ(text, "V100");
  }
}

}  // namespace

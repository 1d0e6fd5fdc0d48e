// Digital I/O, counters, analog outputs, the encoder and the configuration items against
// emulated modules: exact command texts, the state the module keeps, and the reply rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "drivers/highspeed/RX5K10_Class.h"
#include "emulator/HighSpeedModule.h"
#include "nivex.h"
#include "tests/common/DeviceFixture.h"

namespace {

using nivex::emu::HighSpeedModule;
using nivex::emu::Model;
using nivex::test::Device;
using nivex::test::FailsWith;
using nivex::test::Strings;

// Runs f on the module's I/O state under the emulator's lock.
template <class F>
void State(Device& d, F&& f) {
  d.Locked<HighSpeedModule>([&](HighSpeedModule& m) { f(m.io); });
}

TEST(DigitalIO, WriteReadBackAndTheFirmwareDependentText) {
  for (unsigned fw : {0x312u, 0x313u}) {
    Device d(Model::RX5K10, [&](nivex::emu::Options& o) { o.firmwareVersion = fw; });
    ASSERT_TRUE(d.ok());
    State(d, [](auto& io) { io.din = 0xA; });
    ASSERT_EQ(QZ_WriteDO(d.h(), 15), 1);
    unsigned int di = 0, dout = 0;
    ASSERT_EQ(QZ_ReadDIO(d.h(), &di, &dout), 1);
    EXPECT_EQ(dout, 15u);
    EXPECT_EQ(di, 0xAu);
    ASSERT_EQ(QZ_WriteDOBit(d.h(), 3, 0), 1);
    ASSERT_EQ(QZ_WriteDOBit(d.h(), 0, 256), 1);  // low byte 0: off
    ASSERT_EQ(QZ_ReadDIO(d.h(), &di, &dout), 1);
    EXPECT_EQ(dout, 6u);
    EXPECT_EQ(d.Take(),
              (Strings{fw <= 0x312 ? "@01F" : "@01DF", "@01", "#01A30", "#01A00", "@01"}));
    EXPECT_TRUE(FailsWith(QZ_WriteDOBit(d.h(), 4, 1), QZ_ERR_CHANNEL_RANGE));
    EXPECT_TRUE(FailsWith(QZ_WriteDO(d.h(), 16), QZ_ERR_INVALID_ARGUMENT));
    EXPECT_TRUE(d.Take().empty());
  }
  Device k30(Model::RX5K30);
  ASSERT_TRUE(k30.ok());
  EXPECT_TRUE(FailsWith(QZ_WriteDO(k30.h(), 16), QZ_ERR_VALUE_RANGE));
  ASSERT_EQ(QZ_WriteDO(k30.h(), 5), 1);
  EXPECT_EQ(k30.Take(), Strings{"@01D5"});
}

TEST(DigitalIO, RepliesThatCannotBeRead) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  unsigned int di = 7, dout = 7;
  d.Reply("@01", "!5A");
  ASSERT_EQ(QZ_ReadDIO(d.h(), &di, &dout), 1);
  EXPECT_EQ(dout, 5u);
  EXPECT_EQ(di, 0xAu);
  d.Reply("@01", "!G0");
  EXPECT_TRUE(FailsWith(QZ_ReadDIO(d.h(), &di, &dout), QZ_ERR_INVALID_VALUE));
  d.Reply("@01", "?01");
  EXPECT_TRUE(FailsWith(QZ_ReadDIO(d.h(), &di, &dout), QZ_ERR_DEVICE_RESPONSE));
  d.Reply("@01D3", "?01");
  EXPECT_TRUE(
      FailsWith(QZ_WriteDO(d.h(), 3), QZ_ERR_DEVICE_RESPONSE));  // a refusal is not a success
}

TEST(Counters, ConfigureReadAndClear) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(QZ_SetCounterConfig(d.h(), 0, 3, 0x1234, 77), 1);
  ASSERT_EQ(QZ_SetDICNTConfig(d.h(), 2, 1, 0xABCDEF01, 0), 1);
  EXPECT_EQ(d.Take(), (Strings{"@01P000001234", "$015011", "@01PRE2ABCDEF01", "$015PR210"}));
  unsigned int mode = 9, value = 9, reserved = 9;
  ASSERT_EQ(QZ_GetCounterConfig(d.h(), 0, &mode, &value, &reserved), 1);
  EXPECT_EQ(mode, 3u);
  EXPECT_EQ(value, 0x1234u);
  EXPECT_EQ(reserved, 0u);
  ASSERT_EQ(QZ_GetDICNTConfig(d.h(), 2, &mode, &value, &reserved), 1);
  EXPECT_EQ(mode, 1u);
  EXPECT_EQ(value, 0xABCDEF01u);
  EXPECT_EQ(d.Take(), (Strings{"@01P0", "$0150", "@01P2", "$015PR2"}));
  // The DI-counter mode falls back to the cache when the module does not tell it.
  d.Reply("$015PR2", "?01");
  ASSERT_EQ(QZ_GetDICNTConfig(d.h(), 2, &mode, &value, &reserved), 1);
  EXPECT_EQ(mode, 1u);

  State(d, [](auto& io) {
    io.dicnt[0] = 10;
    io.dicnt[3] = 0xFFFFFFFF;
    io.counter = 4242;
  });
  unsigned int counts[4] = {};
  ASSERT_EQ(QZ_GetDICNTAll(d.h(), counts, 4), 1);
  EXPECT_EQ(counts[0], 10u);
  EXPECT_EQ(counts[3], 0xFFFFFFFFu);
  ASSERT_EQ(QZ_GetDICNT(d.h(), 3, &value), 1);
  EXPECT_EQ(value, 0xFFFFFFFFu);
  ASSERT_EQ(QZ_GetCounter(d.h(), 0, &value), 1);
  EXPECT_EQ(value, 4242u);
  ASSERT_EQ(QZ_GetCounterAll(d.h(), counts, 1), 1);
  EXPECT_EQ(counts[0], 4242u);
  counts[0] = counts[1] = 5;
  EXPECT_TRUE(FailsWith(QZ_GetCounterAll(d.h(), counts, 2), QZ_ERR_CHANNEL_RANGE));
  EXPECT_EQ(counts[0] + counts[1], 0u);
  d.Take();

  ASSERT_EQ(QZ_ClearDICNT(d.h(), 3), 1);
  ASSERT_EQ(QZ_ClearCounter(d.h(), 0), 1);
  ASSERT_EQ(QZ_ClearDICNTALL(d.h()), 1);
  ASSERT_EQ(QZ_ClearCounterALL(d.h()), 1);
  EXPECT_EQ(d.Take(), (Strings{"@01CREC3", "@01C0", "@01CREC", "@01C"}));
  State(d, [](auto& io) {
    EXPECT_EQ(io.dicnt[0], 0u);
    EXPECT_EQ(io.counter, 0u);
  });
  d.Reply("@01C", "?01");  // a refused clear carries the refusal's code
  EXPECT_TRUE(FailsWith(QZ_ClearCounterALL(d.h()), QZ_ERR_DEVICE_RESPONSE));
  // Unreadable counts are an error, not a success with the output unwritten.
  d.Reply("@01G0", "!01XYZ12345");
  EXPECT_TRUE(FailsWith(QZ_GetCounter(d.h(), 0, &value), QZ_ERR_INVALID_VALUE));
  d.Reply("@01REC", "?01");
  counts[0] = 3;
  EXPECT_EQ(QZ_GetDICNTAll(d.h(), counts, 2), 0);
  EXPECT_EQ(counts[0], 0u);
  // Ranges before anything is sent.
  d.Take();
  EXPECT_EQ(QZ_GetDICNT(d.h(), 4, &value), 0);
  EXPECT_EQ(QZ_SetCounterConfig(d.h(), 1, 0, 0, 0), 0);
  EXPECT_TRUE(FailsWith(QZ_ClearDICNT(d.h(), -1), QZ_ERR_CHANNEL_RANGE));
  EXPECT_TRUE(d.Take().empty());
}

TEST(AnalogOutputAndEncoder, Rx5k30) {
  Device d(Model::RX5K30);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(QZ_WriteAO(d.h(), 0, 0, 5.0f), 1);
  ASSERT_EQ(QZ_WriteAO(d.h(), 1, 3, -2.5f), 1);
  ASSERT_EQ(QZ_WriteAOHEX(d.h(), 0, 1, 0x12345), 1);
  EXPECT_EQ(d.Take(), (Strings{"#0100+05.000", "#0113-02.500", "#01012345"}));
  State(d, [](auto& io) {
    EXPECT_EQ(io.aoText[1], "-02.500");
    EXPECT_EQ(io.aoCode[0], 0x2345);
  });
  EXPECT_TRUE(FailsWith(QZ_WriteAO(d.h(), 0, 4, 1.0f), QZ_ERR_GAIN_RANGE));

  int mode = 9, first = 9, second = 9;
  ASSERT_EQ(QZ_ClearEncoder(d.h(), 0), 1);  // the zeroed state: mode 0, first 0, second 0
  ASSERT_EQ(QZ_SetEncoderMode(d.h(), 0, 2, 8, 3), 1);
  State(d, [](auto& io) { io.encCount = 0xFFFF; });
  unsigned int count = 0;
  ASSERT_EQ(QZ_ReadEncoder(d.h(), 0, &count), 1);
  EXPECT_EQ(count, 65535u);
  ASSERT_EQ(QZ_ClearEncoder(d.h(), 0), 1);
  ASSERT_EQ(QZ_ReadEncoder(d.h(), 0, &count), 1);
  EXPECT_EQ(count, 0u);
  ASSERT_EQ(QZ_GetEncoderMode(d.h(), 0, &mode, &first, &second), 1);
  EXPECT_EQ(mode, 2);
  EXPECT_EQ(first, 8);
  EXPECT_EQ(second, 3);
  EXPECT_EQ(d.Take(), (Strings{"$01D010", "$01D833", "#01N", "$01D833", "#01N", "$01D"}));

  d.Reply("$01D", ">01513");
  ASSERT_EQ(QZ_GetEncoderMode(d.h(), 0, &mode, &first, &second), 1);
  EXPECT_EQ(first, 5);
  EXPECT_EQ(mode, 0);
  EXPECT_EQ(second, 3);
  for (const char* bad : {"!01513", ">01", ">01X13"}) {
    d.Reply("$01D", bad);
    EXPECT_EQ(QZ_GetEncoderMode(d.h(), 0, &mode, &first, &second), 0) << bad;
    EXPECT_EQ(QZ_GetLastError(), QZ_ERR_INVALID_VALUE);
    EXPECT_EQ(first, 5);  // outputs and state untouched
  }
  d.Reply("$01D713", "!01");
  EXPECT_TRUE(FailsWith(QZ_SetEncoderMode(d.h(), 0, 0, 7, 3), QZ_ERR_INVALID_VALUE));
  d.Take();
  ASSERT_EQ(QZ_ClearEncoder(d.h(), 0), 1);
  EXPECT_EQ(d.Take(), Strings{"$01D513"});  // the mode read last

  count = 7;
  EXPECT_TRUE(FailsWith(QZ_ReadEncoder(d.h(), 1, &count), QZ_ERR_CHANNEL_RANGE));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(QZ_GetEncoderMode(d.h(), 1, &mode, &first, &second), 0);
  EXPECT_EQ(mode + first + second, 0);
  EXPECT_TRUE(FailsWith(QZ_SetEncoderMode(d.h(), 0, 3, 0, 0), QZ_ERR_VALUE_RANGE));
  EXPECT_TRUE(d.Take().empty());
  unsigned short g = 0;
  short o = 0;
  ASSERT_EQ(QZ_ReadGainOffset(d.h(), 5, 3, &g, &o), 1);  // analog output 1, range 3
  EXPECT_EQ(g, 0x8000);
  EXPECT_TRUE(FailsWith(QZ_ReadGainOffset(d.h(), 5, 4, &g, &o), QZ_ERR_GAIN_RANGE));
}

TEST(ConfigItems, EveryItemSetAndReadBack) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  int v = 0;
  // The divider is checked against the rate of the scan setup.
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 1, 0, 0, 30000, 0, 0, 0), 1);
  EXPECT_TRUE(FailsWith(QZ_SetConfig(d.h(), 2, 2, 3), QZ_ERR_INVALID_ARGUMENT));
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 1, 0, 0, 20000, 0, 0, 0), 1);
  d.Take();
  ASSERT_EQ(QZ_SetConfig(d.h(), 2, 2, 3), 1);
  // Divider 8: the scan setup refuses a rate above 200000 / 8 before it sends anything.
  EXPECT_TRUE(FailsWith(QZ_SetAIScanParam(d.h(), 1, 0, 0, 25001, 0, 0, 0), QZ_ERR_VALUE_RANGE));
  ASSERT_EQ(QZ_GetConfig(d.h(), 2, 2, &v), 1);
  EXPECT_EQ(v, 3);
  d.Reply("~01V2", "!01x");
  EXPECT_TRUE(FailsWith(QZ_SetConfig(d.h(), 2, 2, 2), QZ_ERR_DEVICE_RESPONSE));
  d.Reply("~01V", "!01V9");
  EXPECT_TRUE(FailsWith(QZ_GetConfig(d.h(), 2, 2, &v), QZ_ERR_DEVICE_RESPONSE));
  EXPECT_TRUE(FailsWith(QZ_SetAIScanParam(d.h(), 1, 0, 0, 25001, 0, 0, 0), QZ_ERR_VALUE_RANGE));

  ASSERT_EQ(QZ_SetConfig(d.h(), 5, 0, 0), 1);
  ASSERT_EQ(QZ_SetConfig(d.h(), 5, 1, 5000), 1);
  ASSERT_EQ(QZ_GetConfig(d.h(), 5, 0, &v), 1);
  EXPECT_EQ(v, 500);
  ASSERT_EQ(QZ_GetConfig(d.h(), 5, 1, &v), 1);
  EXPECT_EQ(v, 1000);
  ASSERT_EQ(QZ_SetConfig(d.h(), 6, 0, 1500), 1);
  ASSERT_EQ(QZ_GetConfig(d.h(), 6, 0, &v), 1);
  EXPECT_EQ(v, 1500);
  for (int value : {5, 1234, -777, 1500}) {
    ASSERT_EQ(QZ_SetConfig(d.h(), 6, 7, value), 1);
    ASSERT_EQ(QZ_GetConfig(d.h(), 6, 7, &v), 1);
    EXPECT_EQ(v, value);
  }
  Strings c = d.Take();
  ASSERT_GE(c.size(), 10u);
  EXPECT_EQ(c[0], "~01V3");
  EXPECT_EQ(c[1], "~01V");
  EXPECT_EQ(Strings(c.begin() + 4, c.begin() + 9),
            (Strings{"~01RPF00500", "~01DT01000", "~01RP", "~01DT", "~01ED00G3FC00000"}));

  ASSERT_EQ(QZ_SetConfig(d.h(), 4, 1, 0), 1);  // target 0 (the scan setup's above)
  ASSERT_EQ(QZ_GetConfig(d.h(), 4, 1, &v), 1);
  EXPECT_EQ(v, 1);
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 1, 0, 0, 20000, 1000, 0, 0), 1);
  ASSERT_EQ(QZ_SetConfig(d.h(), 4, 1, 0), 1);
  ASSERT_EQ(QZ_GetConfig(d.h(), 4, 1, &v), 1);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(QZ_SetConfig(d.h(), 4, 1, -1), 0);
  EXPECT_EQ(QZ_SetConfig(d.h(), 4, 1, 8), 0);
  ASSERT_EQ(QZ_SetConfig(d.h(), 4, 2, 123456), 1);
  ASSERT_EQ(QZ_GetConfig(d.h(), 4, 2, &v), 1);
  EXPECT_EQ(v, 123456);
  ASSERT_EQ(QZ_GetConfig(d.h(), 5, 2, &v), 1);
  EXPECT_EQ(v, 0);  // no override, nothing computed yet
  ASSERT_EQ(QZ_SetConfig(d.h(), 5, 2, 40), 1);
  ASSERT_EQ(QZ_GetConfig(d.h(), 5, 2, &v), 1);
  EXPECT_EQ(v, 40);

  // Unknown keys: (kind, sub, output left untouched).
  struct Key {
    int kind, sub;
    bool untouched;
  } keys[] = {{0, 0, true},  {1, 3, true},  {2, 1, true},  {3, 0, false},
              {8, 0, false}, {4, 3, false}, {5, 9, false}, {6, 8, false}};
  for (const Key& k : keys) {
    v = 77;
    EXPECT_TRUE(FailsWith(QZ_GetConfig(d.h(), k.kind, k.sub, &v), QZ_ERR_INVALID_ARGUMENT));
    EXPECT_EQ(v, k.untouched ? 77 : 0) << k.kind << "," << k.sub;
  }
  EXPECT_TRUE(FailsWith(QZ_SetConfig(d.h(), 5, 9, 0), QZ_ERR_CONFIG_COMMAND));
  EXPECT_TRUE(FailsWith(QZ_SetConfig(d.h(), 8, 0, 0), QZ_ERR_INVALID_ARGUMENT));

  auto* k10 = &d.As<nivex::RX5K10>();
  ASSERT_EQ(k10->SetRMSParam(7, 250), 1);
  short rpf = 0, dt = 0;
  ASSERT_EQ(k10->GetRMSParam(&rpf, &dt), 1);
  EXPECT_EQ(rpf, 7);
  EXPECT_EQ(dt, 250);
  d.Take();

  Device k30(Model::RX5K30);
  ASSERT_TRUE(k30.ok());
  v = 77;
  EXPECT_EQ(QZ_SetConfig(k30.h(), 2, 2, 1), 0);
  EXPECT_EQ(QZ_GetConfig(k30.h(), 2, 2, &v), 0);
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(FailsWith(QZ_SetConfig(k30.h(), 5, 2, 1), QZ_ERR_CONFIG_COMMAND));
  ASSERT_EQ(QZ_SetConfig(k30.h(), 5, 1, -5), 1);
  ASSERT_EQ(QZ_SetConfig(k30.h(), 6, 3, 2500), 1);
  ASSERT_EQ(QZ_GetConfig(k30.h(), 6, 3, &v), 1);
  EXPECT_EQ(v, 2500);
  EXPECT_EQ(QZ_SetConfig(k30.h(), 6, 4, 1), 0);
  EXPECT_EQ(k30.Take(), (Strings{"~01DT00001", "~01ED03G40200000", "~01ED03"}));
  Device bn(Model::RXBN500);
  ASSERT_TRUE(bn.ok());
  EXPECT_TRUE(FailsWith(QZ_SetConfig(bn.h(), 4, 2, 1), QZ_ERR_NOT_IMPLEMENTED));
}

}  // namespace

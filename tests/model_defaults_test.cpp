// The module table, MODEL's construction and default operations, and the sync-in frame size.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "framework/RXMODEL_Class.h"
#include "framework/RXMODEL_SyncInFrame.h"
#include "support/Storax.h"
#include "tests/common/DeviceFixture.h"

namespace {

using namespace nivex;

// A device type that overrides nothing: every call reaches the default.
class Bare : public MODEL {
 public:
  using MODEL::MODEL;
};

static_assert(!std::is_copy_constructible<MODEL>::value, "MODEL must not be copyable");
static_assert(std::has_virtual_destructor<MODEL>::value, "MODEL needs a virtual destructor");

TEST(ModuleTable, Lookup) {
  EXPECT_STREQ(GetWRXModuleNamebyID(0xB500), "RX-BN500");
  EXPECT_STREQ(GetWRXModuleNamebyID(0xB510), "RX-5K10");
  EXPECT_STREQ(GetWRXModuleNamebyID(0xB054), "D3054Ws");
  EXPECT_EQ(GetWRXModuleNamebyID(0x1234), nullptr);
  EXPECT_EQ(GetWRXModuleNamebyID(0), nullptr);  // the end row is no module
}

TEST(Model, ConstructionCutsTheAddressAndDeletionFreesEverything) {
  const std::string longIp(400, '9');
  Bare cut(longIp.c_str(), 1, 2, WRXMODULE[0]);
  EXPECT_EQ(strlen(cut.Ip()), 255u);
  // Deleted through the base: both clocks go with it, each once (the leak checker watches).
  MODEL* owned = new Bare("10.0.0.1", 9999, 10010, WRXMODULE[3]);
  delete owned;
}

TEST(Model, FirmwareDateIsCutToTheBuffer) {
  // The version and date the name service gives at the open.
  test::Device d(emu::Model::RX5K10, [](emu::Options& o) {
    o.firmwareVersion = 0x0123;
    o.firmwareDate = "2024/03/05 09:07:03";
  });
  ASSERT_TRUE(d.ok());
  MODEL& m = d.model();
  unsigned short ver = 0;
  char date[32];
  EXPECT_EQ(m.GetFirmVersionDate(&ver, date, sizeof(date)), 0);
  EXPECT_EQ(ver, 0x0123);
  EXPECT_STREQ(date, "2024/03/05 09:07:03");
  memset(date, 0x5A, sizeof(date));
  EXPECT_EQ(m.GetFirmVersionDate(&ver, date, 5), 0);
  EXPECT_STREQ(date, "2024");
  EXPECT_EQ(date[5], 0x5A);
  EXPECT_EQ(m.GetFirmVersionDate(nullptr, nullptr, 0), 0);
}

// Views of the output area of a default's call.
int* I(unsigned char* o, int k) { return reinterpret_cast<int*>(o) + k; }
unsigned int* UI(unsigned char* o, int k) { return reinterpret_cast<unsigned int*>(o) + k; }
float* F(unsigned char* o, int k) { return reinterpret_cast<float*>(o) + k; }
short* S(unsigned char* o, int k) { return reinterpret_cast<short*>(o) + k; }
unsigned short* US(unsigned char* o, int k) { return reinterpret_cast<unsigned short*>(o) + k; }
char* C(unsigned char* o, int k = 0) { return reinterpret_cast<char*>(o) + k; }

// Inputs of the defaults that take arrays or texts.
char gCh[2] = {0, 1};
float gLevels[2] = {1, 2};
unsigned short gItems[2] = {8, 0};
char gFolder[] = "/tmp", gName[] = "x";

template <class Call>
int Result(Call call) {
  if constexpr (std::is_void_v<decltype(call())>) {
    call();
    return 0;
  } else {
    return static_cast<int>(call());
  }
}

// One call of a default on m, with o pointing at 64 bytes of 0xAA: it must return want, set
// QZ_ERR_NOT_IMPLEMENTED, clear the first `cleared` bytes of o and write nothing past them.
struct DefaultCase {
  const char* call;
  int want;
  int (*run)(MODEL& m, unsigned char* o);
  size_t cleared;
};
#define SLOT_RET(want, cleared, call) \
  {#call, want, [](MODEL& m, unsigned char* o) { (void)o; return Result([&] { return m.call; }); }, cleared}
#define SLOT(cleared, call) SLOT_RET(0, cleared, call)

TEST(Model, EveryDefaultFailsWithNotImplemented) {
  const DefaultCase cases[] = {
      SLOT(0, ConnectServer()), SLOT(0, DisconnectServer()), SLOT(1, GetFPGAVersion(C(o))),
      SLOT(4, Calibrate_HEX(1, 2, 3, I(o, 0))), SLOT(4, Calibrate_Hex2Float(1, 2, 3, F(o, 0))),
      SLOT(0, ReadAI(0, 0, F(o, 0))), SLOT(0, ReadAIALL(0, F(o, 0), 4)),
      SLOT(0, ReadAIHEX(0, 0, I(o, 0))), SLOT(0, ReadAIALLHEX(0, I(o, 0), 4)),
      SLOT(8, ReadDIO(UI(o, 0), UI(o, 1))), SLOT(0, WriteDO(3)), SLOT(0, WriteDOBit(1, true)),
      SLOT(8, GetDICNTConfig(0, UI(o, 0), UI(o, 1))), SLOT(0, SetDICNTConfig(0, 1, 2)),
      SLOT(8, GetCounterConfig(0, UI(o, 0), UI(o, 1))), SLOT(0, SetCounterConfig(0, 1, 2)),
      SLOT(4, GetDICNT(0, UI(o, 0))), SLOT(4, GetCounter(0, UI(o, 0))),
      SLOT(0, ClearDICNT(0)), SLOT(0, ClearDICNTALL()), SLOT(0, ClearCounter(0)), SLOT(0, ClearCounterALL()),
      SLOT(20, GetDICNTAll(UI(o, 0), 5)), SLOT(12, GetCounterAll(UI(o, 0), 3)),
      SLOT(0, SetScanParam(4, 0, 0, 1000, 0, 0, 0)),
      // seven outputs: 3 shorts (6 bytes), pad to 8, int, unsigned, 2 shorts
      SLOT(20, GetScanParam(S(o, 0), S(o, 1), S(o, 2), I(o, 2), UI(o, 3), S(o, 8), S(o, 9))),
      SLOT(0, SetConfig(4, 1, 0)), SLOT(4, GetConfig(4, 1, I(o, 0))),
      SLOT(0, SetRMSParam(1, 0)), SLOT(4, GetRMSParam(S(o, 0), S(o, 1))),
      SLOT(0, GetAIAnalogTriggerIdx()), SLOT(0, SetAIAnalogTriggerParam(1, gCh, gLevels, gLevels, 2, 10, 20)),
      SLOT(0, StartAIScan()), SLOT(0, StopAIScan()), SLOT(0, SetWinSize(65536)),
      SLOT(0, StartMagicScan()), SLOT(0, StopMagicScan()), SLOT(0, StartLANQueue()), SLOT(0, StopLANQueue()),
      SLOT(0, GetDAQSampleCnt()), SLOT(0, GetTCPReceivedCnt()), SLOT(0, ClearCnt()),
      SLOT(0, RunThreadAIScan_NSampleRoutine()), SLOT(0, RunThreadAIScan_ReceiveDATAfromQZDevice()),
      SLOT(0, RunThreadLog_NSampleRoutine()), SLOT(0, RunThreadLog_ReceiveDATAfromQZDevice()),
      SLOT(0, RunThread()), SLOT(0, Start()), SLOT(0, Stop()), SLOT(0, ReBoot()), SLOT(0, TransmitData()),
      SLOT(1, GetQZStartSamplingTime(C(o))), SLOT(0, ReadHostLANBuffer(C(o), 8)),
      SLOT(0, ReadHostLANBufferCnt()), SLOT(0, ChangeTimeStamp()),
      SLOT(4, ReadGainOffset(0, 0, US(o, 0), S(o, 1))), SLOT(0, ReadAllGainOffsetfromQZ()),
      SLOT(0, SaveStartSamplingTimetoConfigFile()), SLOT(0, StopLogger()),
      SLOT(0, setQZsamplingStatus(true)), SLOT(0, getQZsamplingStatus()), SLOT(0, DOCallBackFun(1)),
      SLOT(0, SetEventCallback(1, 0, nullptr, nullptr)), SLOT(0, RemoveEventCallback(1)),
      SLOT(0, AD_ReadData(C(o), 8, 2)), SLOT(0, AD_ReadData_float(F(o, 0), 4, 4)),
      SLOT(0, AD_BufferStatus()), SLOT(0, Get_ADSize()), SLOT(0, AD_ClearData()),
      SLOT(0, LANBuffer_Init()), SLOT(0, LANBuffer_Uninit()),
      SLOT(0, GetSDAllLogFiles(UI(o, 0))), SLOT(0, GetSDLogFile_Info(0, UI(o, 0), UI(o, 1), C(o, 8))),
      SLOT(0, StartDownload()), SLOT(0, RunThreadDownload()), SLOT(0, SaveMagicConfig(gFolder, gName, 1, nullptr)),
      SLOT(0, StartLogger(gFolder, 1, 0)), SLOT(0, DownloadSDFile(0, 0, gFolder, 0)),
      SLOT_RET(-1, 0, SaveSDConfigFile(0, 0, gFolder, gName, 1, nullptr)),
      SLOT(0, RunThreadDownload_ReceiveDATAfromQZDevice()), SLOT(0, ChangeTimeStamp_SD_Download()),
      SLOT(0, SetAIDelayTriggerParam(5)), SLOT(4, GetAIDelayTriggerParam(UI(o, 0))),
      SLOT(0, SetSyncInScanParam(1, gItems, gItems + 1, 1, 1, 0)),
      SLOT(0, GetSyncInScanParam(UI(o, 0), US(o, 2), US(o, 9), 7, US(o, 16), UI(o, 9), UI(o, 10))),
      SLOT(0, RunThreadSyncInScan()), SLOT(0, WriteAO(0, 0, 1.5f)), SLOT(0, WriteAOHEX(0, 0, 100)),
      SLOT(12, GetEncoderMode(0, I(o, 0), I(o, 1), I(o, 2))), SLOT(0, SetEncoderMode(0, 1, 2, 3)),
      SLOT(0, ReadEncoder(0, UI(o, 0))), SLOT(0, ClearEncoder(0)),
      SLOT(5, GetModuleTable(I(o, 0), C(o, 4))), SLOT(0, ConfigTrigOut(1, 1)),
      SLOT(0, Init_Software_Filter(0, 1, 1000)), SLOT(0, Set_LowPassFilter(0, 1, 10.0f)),
      SLOT(0, Set_HighPassFilter(0, 1, 10.0f)), SLOT(0, Set_BandPassFilter(0, 1, 10.0f, 20.0f)),
      SLOT(0, Set_BandStopFilter(0, 1, 10.0f, 20.0f)),
      SLOT(0, Filter_Data(4, F(o, 0))), SLOT(0, Filter_DataHEX(4, UI(o, 0))),
  };
  // slots 2-103; GetAIAnalogTriggerParam (34) has a case of its own below
  EXPECT_EQ(sizeof(cases) / sizeof(cases[0]), 101u);

  Bare m("10.0.0.2", 9999, 10010, WRXMODULE[0]);
  for (const DefaultCase& c : cases) {
    alignas(8) unsigned char out[64];
    memset(out, 0xAA, sizeof(out));
    QZ_ClearLastError();
    EXPECT_EQ(c.run(m, out), c.want) << c.call;
    EXPECT_EQ(QZ_GetLastError(), QZ_ERR_NOT_IMPLEMENTED) << c.call;
    for (size_t i = 0; i < c.cleared; ++i) {
      if (strncmp(c.call, "GetScanParam(", 13) == 0 && (i == 6 || i == 7)) {
        EXPECT_EQ(out[i], 0xAA) << c.call << " padding byte " << i;  // padding left alone
      } else {
        EXPECT_EQ(out[i], 0) << c.call << " byte " << i;
      }
    }
    // Nothing past the listed outputs is written (texts get only their first byte).
    for (size_t i = c.cleared; i < sizeof(out); ++i) ASSERT_EQ(out[i], 0xAA) << c.call << " byte " << i;
  }
}

TEST(Model, AnalogTriggerDefaultClearsNEntries) {
  Bare m("10.0.0.3", 9999, 10010, WRXMODULE[0]);
  int type = 7;
  char ch[6];
  float a[6], b[6];
  unsigned int pre = 9, post = 9;
  memset(ch, 0x11, sizeof(ch));
  for (int i = 0; i < 6; ++i) a[i] = b[i] = 2.5f;
  EXPECT_EQ(m.GetAIAnalogTriggerParam(&type, ch, a, b, 4, &pre, &post), 0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_NOT_IMPLEMENTED);
  EXPECT_TRUE(type == 0 && pre == 0 && post == 0) << type << " " << pre << " " << post;
  for (int i = 0; i < 6; ++i) {
    const bool cleared = i < 4;
    EXPECT_EQ(ch[i], cleared ? 0 : 0x11) << i;
    EXPECT_EQ(a[i], cleared ? 0.0f : 2.5f) << i;
    EXPECT_EQ(b[i], cleared ? 0.0f : 2.5f) << i;
  }
}

TEST(Model, DefaultsSkipNullOutputs) {
  Bare m("10.0.0.4", 9999, 10010, WRXMODULE[0]);
  EXPECT_EQ(m.GetFPGAVersion(nullptr), 0);
  EXPECT_EQ(m.ReadDIO(nullptr, nullptr), 0);
  EXPECT_EQ(m.GetDICNTAll(nullptr, 8), 0);
  EXPECT_EQ(m.GetScanParam(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(m.GetAIAnalogTriggerParam(nullptr, nullptr, nullptr, nullptr, 4, nullptr, nullptr), 0);
  EXPECT_EQ(m.GetModuleTable(nullptr, nullptr), 0);
  unsigned int v[2] = {5, 5};
  EXPECT_EQ(m.GetCounterAll(v, -3), 0);  // a negative count clears nothing
  EXPECT_EQ(v[0], 5u);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_NOT_IMPLEMENTED);
}

TEST(SyncInFrame, SizesByItemType) {
  const struct {
    unsigned int header;
    std::vector<unsigned short> types, counts;
    unsigned int want;
  } cases[] = {
      {2, {0, 4, 6}, {8, 2, 10}, 30},
      {0, {}, {}, 0},
      {1, {}, {}, 4},
      {3, {}, {}, 4},
      {4, {}, {}, 0},
      {0, {6}, {8}, 1},
      {0, {7}, {9}, 2},
      {0, {8}, {0}, 0},
      {0, {12}, {100}, 0},
      {0, {1, 2, 3, 9}, {1, 1, 1, 1}, 8},
      {0, {5, 10, 11}, {1, 1, 1}, 12},
      {1, {0, 0, 0, 0, 0, 0, 0}, {1, 1, 1, 1, 1, 1, 65535}, 4 + 12 + 131070},
  };
  for (const auto& c : cases) {
    SyncInFrameDef f;
    ASSERT_EQ(f.SetLayout(c.header, c.types.data(), c.counts.data(),
                          static_cast<unsigned int>(c.types.size()), 1),
              1);
    EXPECT_EQ(f.GetTotalSize(), c.want) << "header " << c.header << ", " << c.types.size() << " items";
  }
}

TEST(SyncInFrame, TooManyItemsAreRefused) {
  SyncInFrameDef f;
  unsigned short types[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
  unsigned short counts[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
  ASSERT_EQ(f.SetLayout(1, types, counts, 2, 0), 1);
  EXPECT_EQ(f.GetTotalSize(), 8u);
  EXPECT_EQ(f.SetLayout(1, types, counts, 9, 0), 0);  // refused, old layout kept
  EXPECT_EQ(f.itemCount, 2u);
  EXPECT_EQ(f.GetTotalSize(), 8u);
  EXPECT_EQ(f.SetLayout(0, nullptr, nullptr, 1, 0), 0);

  // An item count written directly past the arrays is refused by the size computation.
  f.itemCount = 9;
  f.CalculateTotalSize();
  EXPECT_EQ(f.itemCount, 0u);
  EXPECT_EQ(f.GetTotalSize(), 0u);
}

}  // namespace

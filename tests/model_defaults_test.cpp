// The module table, MODEL's construction and default operations, and the sync-in frame size.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "framework/RXMODEL_Class.h"
#include "support/Storax.h"

namespace {

using namespace nivex;

// A device type that overrides nothing: every call reaches the default.
class Bare : public MODEL {
 public:
  using MODEL::MODEL;
};

static_assert(!std::is_copy_constructible<MODEL>::value, "MODEL must not be copyable");
static_assert(std::has_virtual_destructor<MODEL>::value, "MODEL needs a virtual destructor");

TEST(ModuleTable, RowsAndLookup) {
  EXPECT_STREQ(GetWRXModuleNamebyID(0xB500), "RX-BN500");
  EXPECT_STREQ(GetWRXModuleNamebyID(0xB510), "RX-5K10");
  EXPECT_STREQ(GetWRXModuleNamebyID(0xB054), "D3054Ws");
  EXPECT_EQ(GetWRXModuleNamebyID(0x1234), nullptr);
  EXPECT_EQ(GetWRXModuleNamebyID(0), nullptr);  // the end row is no module
  EXPECT_EQ(WRXMODULE[5].id, 0);

  WRXmodule copy = WRXMODULE[1];
  EXPECT_STREQ(copy.name, "RX-5K30");
  EXPECT_EQ(copy.id, 0xB530);
  EXPECT_EQ(copy.AI, 4);
  EXPECT_EQ(copy.AIranges, 10);
  EXPECT_EQ(copy.bytesPerSample, 4u);
  EXPECT_EQ(copy.AO, 2);
  EXPECT_EQ(copy.further1, 1);
  EXPECT_EQ(WRXMODULE[0].counters, 1);
  EXPECT_EQ(WRXMODULE[2].AI, 64);
}

TEST(Model, ConstructionGivesTheStartingValues) {
  Bare m("192.168.0.10", 9999, 10010, WRXMODULE[0]);
  EXPECT_STREQ(m.IP, "192.168.0.10");
  EXPECT_EQ(m.cmdPort, 9999);
  EXPECT_EQ(m.module.id, 0xB510);
  ASSERT_NE(m.fileClock, nullptr);
  ASSERT_NE(m.watchdogClock, nullptr);
  EXPECT_NE(m.fileClock, m.watchdogClock);
  EXPECT_FALSE(m.receiveInProgress.load());
  EXPECT_EQ(m.sampleRate, 100);
  EXPECT_EQ(m.rateDivider, 1u);
  EXPECT_EQ(m.channelCount, 8);
  EXPECT_EQ(m.timeoutUnit, 0);
  EXPECT_EQ(m.timeoutUnitOverride, -1);
  EXPECT_EQ(m.rmsDT, 1);
  EXPECT_EQ(m.rmsRPF, 0);
  EXPECT_EQ(m.folderMode, 1);
  EXPECT_EQ(m.storedValue, 4000000000u);
  EXPECT_EQ(m.binLogFile, nullptr);
  EXPECT_EQ(m.syncInFrame, nullptr);
  EXPECT_STREQ(m.firmDate, "");

  // The address text is cut to its buffer.
  const std::string longIp(400, '9');
  Bare cut(longIp.c_str(), 1, 2, WRXMODULE[0]);
  EXPECT_EQ(strlen(cut.IP), sizeof(cut.IP) - 1);

  // Deleted through the base: both clocks and any log files left open go with it (the leak
  // checker watches).
  MODEL* owned = new Bare("10.0.0.1", 9999, 10010, WRXMODULE[3]);
  owned->binLogFile = new BinaryFile(0);
  owned->textLogFile = new TextFile(0);
  delete owned;
}

TEST(Model, FirmwareDateIsCutToTheBuffer) {
  Bare m("10.0.0.1", 9999, 10010, WRXMODULE[0]);
  m.firmVersion = 0x0123;
  strcpy(m.firmDate, "2024/03/05 09:07:03");
  unsigned short ver = 0;
  char date[32];
  EXPECT_EQ(m.GetFirmVersionDate(&ver, date, sizeof(date)), 0);
  EXPECT_EQ(ver, 0x0123);
  EXPECT_STREQ(date, "2024/03/05 09:07:03");
  char small[8];
  memset(small, 0x5A, sizeof(small));
  EXPECT_EQ(m.GetFirmVersionDate(&ver, small, 5), 0);
  EXPECT_STREQ(small, "2024");
  EXPECT_EQ(small[5], 0x5A);
  EXPECT_EQ(m.GetFirmVersionDate(nullptr, nullptr, 0), 0);
}

// One call of a default: fills its outputs with 0xAA first, then checks result, error and outputs.
struct DefaultCase {
  const char* name;
  int want;
  std::function<int(MODEL&, unsigned char* out)> call;  // out: 64 bytes of 0xAA
  size_t clearedBytes;  // how many leading bytes of out must be 0 afterwards
};

TEST(Model, EveryDefaultFailsWithNotImplemented) {
  using U = unsigned int;
  auto I = [](unsigned char* o, int k) { return reinterpret_cast<int*>(o) + k; };
  auto UI = [](unsigned char* o, int k) { return reinterpret_cast<U*>(o) + k; };
  auto F = [](unsigned char* o, int k) { return reinterpret_cast<float*>(o) + k; };
  auto S = [](unsigned char* o, int k) { return reinterpret_cast<short*>(o) + k; };
  auto C = [](unsigned char* o) { return reinterpret_cast<char*>(o); };
  const DefaultCase cases[] = {
      {"ConnectServer", 0, [](MODEL& m, unsigned char*) { return m.ConnectServer(); }, 0},
      {"DisconnectServer", 0, [](MODEL& m, unsigned char*) { return m.DisconnectServer(); }, 0},
      {"GetFPGAVersion", 0, [&](MODEL& m, unsigned char* o) { return m.GetFPGAVersion(C(o)); }, 1},
      {"Calibrate_HEX", 0, [&](MODEL& m, unsigned char* o) { return m.Calibrate_HEX(1, 2, 3, I(o, 0)); }, 4},
      {"Calibrate_Hex2Float", 0, [&](MODEL& m, unsigned char* o) { return m.Calibrate_Hex2Float(1, 2, 3, F(o, 0)); }, 4},
      {"ReadAI", 0, [&](MODEL& m, unsigned char* o) { return m.ReadAI(0, 0, F(o, 0)); }, 0},
      {"ReadAIALL", 0, [&](MODEL& m, unsigned char* o) { return m.ReadAIALL(0, F(o, 0), 4); }, 0},
      {"ReadAIHEX", 0, [&](MODEL& m, unsigned char* o) { return m.ReadAIHEX(0, 0, I(o, 0)); }, 0},
      {"ReadAIALLHEX", 0, [&](MODEL& m, unsigned char* o) { return m.ReadAIALLHEX(0, I(o, 0), 4); }, 0},
      {"ReadDIO", 0, [&](MODEL& m, unsigned char* o) { return m.ReadDIO(UI(o, 0), UI(o, 1)); }, 8},
      {"WriteDO", 0, [](MODEL& m, unsigned char*) { return m.WriteDO(3); }, 0},
      {"WriteDOBit", 0, [](MODEL& m, unsigned char*) { return m.WriteDOBit(1, true); }, 0},
      {"GetDICNTConfig", 0, [&](MODEL& m, unsigned char* o) { return m.GetDICNTConfig(0, UI(o, 0), UI(o, 1)); }, 8},
      {"SetDICNTConfig", 0, [](MODEL& m, unsigned char*) { return m.SetDICNTConfig(0, 1, 2); }, 0},
      {"GetCounterConfig", 0, [&](MODEL& m, unsigned char* o) { return m.GetCounterConfig(0, UI(o, 0), UI(o, 1)); }, 8},
      {"SetCounterConfig", 0, [](MODEL& m, unsigned char*) { return m.SetCounterConfig(0, 1, 2); }, 0},
      {"GetDICNT", 0, [&](MODEL& m, unsigned char* o) { return m.GetDICNT(0, UI(o, 0)); }, 4},
      {"GetCounter", 0, [&](MODEL& m, unsigned char* o) { return m.GetCounter(0, UI(o, 0)); }, 4},
      {"ClearDICNT", 0, [](MODEL& m, unsigned char*) { return m.ClearDICNT(0); }, 0},
      {"ClearDICNTALL", 0, [](MODEL& m, unsigned char*) { return m.ClearDICNTALL(); }, 0},
      {"ClearCounter", 0, [](MODEL& m, unsigned char*) { return m.ClearCounter(0); }, 0},
      {"ClearCounterALL", 0, [](MODEL& m, unsigned char*) { return m.ClearCounterALL(); }, 0},
      {"GetDICNTAll", 0, [&](MODEL& m, unsigned char* o) { return m.GetDICNTAll(UI(o, 0), 5); }, 20},
      {"GetCounterAll", 0, [&](MODEL& m, unsigned char* o) { return m.GetCounterAll(UI(o, 0), 3); }, 12},
      {"SetScanParam", 0, [](MODEL& m, unsigned char*) { return m.SetScanParam(4, 0, 0, 1000, 0, 0, 0); }, 0},
      // seven outputs: 3 shorts (6 bytes), pad to 8, int, unsigned, 2 shorts
      {"GetScanParam", 0, [&](MODEL& m, unsigned char* o) {
         return m.GetScanParam(S(o, 0), S(o, 1), S(o, 2), I(o, 2), UI(o, 3), S(o, 8), S(o, 9));
       }, 20},
      {"SetConfig", 0, [](MODEL& m, unsigned char*) { return m.SetConfig(4, 1, 0); }, 0},
      {"GetConfig", 0, [&](MODEL& m, unsigned char* o) { return m.GetConfig(4, 1, I(o, 0)); }, 4},
      {"SetRMSParam", 0, [](MODEL& m, unsigned char*) { return m.SetRMSParam(1, 0); }, 0},
      {"GetRMSParam", 0, [&](MODEL& m, unsigned char* o) { return m.GetRMSParam(S(o, 0), S(o, 1)); }, 4},
      {"GetAIAnalogTriggerIdx", 0, [](MODEL& m, unsigned char*) { return m.GetAIAnalogTriggerIdx(); }, 0},
      {"SetAIAnalogTriggerParam", 0, [](MODEL& m, unsigned char*) {
         char ch[2] = {0, 1};
         float a[2] = {1, 2}, b[2] = {3, 4};
         return m.SetAIAnalogTriggerParam(1, ch, a, b, 2, 10, 20);
       }, 0},
      {"StartAIScan", 0, [](MODEL& m, unsigned char*) { return m.StartAIScan(); }, 0},
      {"StopAIScan", 0, [](MODEL& m, unsigned char*) { return m.StopAIScan(); }, 0},
      {"SetWinSize", 0, [](MODEL& m, unsigned char*) { return m.SetWinSize(65536); }, 0},
      {"StartMagicScan", 0, [](MODEL& m, unsigned char*) { return m.StartMagicScan(); }, 0},
      {"StopMagicScan", 0, [](MODEL& m, unsigned char*) { return m.StopMagicScan(); }, 0},
      {"StartLANQueue", 0, [](MODEL& m, unsigned char*) { return m.StartLANQueue(); }, 0},
      {"StopLANQueue", 0, [](MODEL& m, unsigned char*) { return m.StopLANQueue(); }, 0},
      {"GetDAQSampleCnt", 0, [](MODEL& m, unsigned char*) { return static_cast<int>(m.GetDAQSampleCnt()); }, 0},
      {"GetTCPReceivedCnt", 0, [](MODEL& m, unsigned char*) { return static_cast<int>(m.GetTCPReceivedCnt()); }, 0},
      {"ClearCnt", 0, [](MODEL& m, unsigned char*) { m.ClearCnt(); return 0; }, 0},
      {"RunThreadAIScan_NSampleRoutine", 0, [](MODEL& m, unsigned char*) { return m.RunThreadAIScan_NSampleRoutine(); }, 0},
      {"RunThreadAIScan_ReceiveDATAfromQZDevice", 0, [](MODEL& m, unsigned char*) { return m.RunThreadAIScan_ReceiveDATAfromQZDevice(); }, 0},
      {"RunThreadLog_NSampleRoutine", 0, [](MODEL& m, unsigned char*) { return m.RunThreadLog_NSampleRoutine(); }, 0},
      {"RunThreadLog_ReceiveDATAfromQZDevice", 0, [](MODEL& m, unsigned char*) { return m.RunThreadLog_ReceiveDATAfromQZDevice(); }, 0},
      {"RunThread", 0, [](MODEL& m, unsigned char*) { m.RunThread(); return 0; }, 0},
      {"Start", 0, [](MODEL& m, unsigned char*) { return m.Start(); }, 0},
      {"Stop", 0, [](MODEL& m, unsigned char*) { return m.Stop(); }, 0},
      {"ReBoot", 0, [](MODEL& m, unsigned char*) { return m.ReBoot(); }, 0},
      {"TransmitData", 0, [](MODEL& m, unsigned char*) { return m.TransmitData(); }, 0},
      {"GetQZStartSamplingTime", 0, [&](MODEL& m, unsigned char* o) { return m.GetQZStartSamplingTime(C(o)); }, 1},
      {"ReadHostLANBuffer", 0, [&](MODEL& m, unsigned char* o) { return m.ReadHostLANBuffer(C(o), 8); }, 0},
      {"ReadHostLANBufferCnt", 0, [](MODEL& m, unsigned char*) { return static_cast<int>(m.ReadHostLANBufferCnt()); }, 0},
      {"ChangeTimeStamp", 0, [](MODEL& m, unsigned char*) { return m.ChangeTimeStamp(); }, 0},
      {"ReadGainOffset", 0, [&](MODEL& m, unsigned char* o) {
         return m.ReadGainOffset(0, 0, reinterpret_cast<unsigned short*>(o), S(o, 1));
       }, 4},
      {"ReadAllGainOffsetfromQZ", 0, [](MODEL& m, unsigned char*) { return m.ReadAllGainOffsetfromQZ(); }, 0},
      {"SaveStartSamplingTimetoConfigFile", 0, [](MODEL& m, unsigned char*) { m.SaveStartSamplingTimetoConfigFile(); return 0; }, 0},
      {"StopLogger", 0, [](MODEL& m, unsigned char*) { m.StopLogger(); return 0; }, 0},
      {"setQZsamplingStatus", 0, [](MODEL& m, unsigned char*) { m.setQZsamplingStatus(true); return 0; }, 0},
      {"getQZsamplingStatus", 0, [](MODEL& m, unsigned char*) { return m.getQZsamplingStatus() ? 1 : 0; }, 0},
      {"DOCallBackFun", 0, [](MODEL& m, unsigned char*) { m.DOCallBackFun(1); return 0; }, 0},
      {"SetEventCallback", 0, [](MODEL& m, unsigned char*) { return m.SetEventCallback(1, 0, nullptr, nullptr); }, 0},
      {"RemoveEventCallback", 0, [](MODEL& m, unsigned char*) { return m.RemoveEventCallback(1); }, 0},
      {"AD_ReadData", 0, [&](MODEL& m, unsigned char* o) { return m.AD_ReadData(C(o), 8, 2); }, 0},
      {"AD_ReadData_float", 0, [&](MODEL& m, unsigned char* o) { return m.AD_ReadData_float(F(o, 0), 4, 4); }, 0},
      {"AD_BufferStatus", 0, [](MODEL& m, unsigned char*) { return static_cast<int>(m.AD_BufferStatus()); }, 0},
      {"Get_ADSize", 0, [](MODEL& m, unsigned char*) { return static_cast<int>(m.Get_ADSize()); }, 0},
      {"AD_ClearData", 0, [](MODEL& m, unsigned char*) { return m.AD_ClearData(); }, 0},
      {"LANBuffer_Init", 0, [](MODEL& m, unsigned char*) { return m.LANBuffer_Init(); }, 0},
      {"LANBuffer_Uninit", 0, [](MODEL& m, unsigned char*) { m.LANBuffer_Uninit(); return 0; }, 0},
      {"GetSDAllLogFiles", 0, [&](MODEL& m, unsigned char* o) { return m.GetSDAllLogFiles(UI(o, 0)); }, 0},
      {"GetSDLogFile_Info", 0, [&](MODEL& m, unsigned char* o) { return m.GetSDLogFile_Info(0, UI(o, 0), UI(o, 1), C(o + 8)); }, 0},
      {"StartDownload", 0, [](MODEL& m, unsigned char*) { return m.StartDownload(); }, 0},
      {"RunThreadDownload", 0, [](MODEL& m, unsigned char*) { m.RunThreadDownload(); return 0; }, 0},
      {"SaveMagicConfig", 0, [](MODEL& m, unsigned char*) {
         char base[] = "/tmp", prefix[] = "p";
         m.SaveMagicConfig(base, prefix, 1, nullptr);
         return 0;
       }, 0},
      {"StartLogger", 0, [](MODEL& m, unsigned char*) { char f[] = "/tmp"; return m.StartLogger(f, 1, 0); }, 0},
      {"DownloadSDFile", 0, [](MODEL& m, unsigned char*) { char f[] = "/tmp"; return m.DownloadSDFile(0, 0, f, 0); }, 0},
      {"SaveSDConfigFile", -1, [](MODEL& m, unsigned char*) {
         char f[] = "/tmp", n[] = "x";
         return m.SaveSDConfigFile(0, 0, f, n, 1, nullptr);
       }, 0},
      {"RunThreadDownload_ReceiveDATAfromQZDevice", 0, [](MODEL& m, unsigned char*) { return m.RunThreadDownload_ReceiveDATAfromQZDevice(); }, 0},
      {"ChangeTimeStamp_SD_Download", 0, [](MODEL& m, unsigned char*) { return m.ChangeTimeStamp_SD_Download(); }, 0},
      {"SetAIDelayTriggerParam", 0, [](MODEL& m, unsigned char*) { return m.SetAIDelayTriggerParam(5); }, 0},
      {"GetAIDelayTriggerParam", 0, [&](MODEL& m, unsigned char* o) { return m.GetAIDelayTriggerParam(UI(o, 0)); }, 4},
      {"SetSyncInScanParam", 0, [](MODEL& m, unsigned char*) {
         unsigned short c[1] = {8}, k[1] = {0};
         return m.SetSyncInScanParam(1, c, k, 1, 1, 0);
       }, 0},
      {"GetSyncInScanParam", 0, [&](MODEL& m, unsigned char* o) {
         return m.GetSyncInScanParam(UI(o, 0), reinterpret_cast<unsigned short*>(o + 4),
                                     reinterpret_cast<unsigned short*>(o + 18), 7,
                                     reinterpret_cast<unsigned short*>(o + 32), UI(o, 9), UI(o, 10));
       }, 0},
      {"RunThreadSyncInScan", 0, [](MODEL& m, unsigned char*) { m.RunThreadSyncInScan(); return 0; }, 0},
      {"WriteAO", 0, [](MODEL& m, unsigned char*) { return m.WriteAO(0, 0, 1.5f); }, 0},
      {"WriteAOHEX", 0, [](MODEL& m, unsigned char*) { return m.WriteAOHEX(0, 0, 100); }, 0},
      {"GetEncoderMode", 0, [&](MODEL& m, unsigned char* o) { return m.GetEncoderMode(0, I(o, 0), I(o, 1), I(o, 2)); }, 12},
      {"SetEncoderMode", 0, [](MODEL& m, unsigned char*) { return m.SetEncoderMode(0, 1, 2, 3); }, 0},
      {"ReadEncoder", 0, [&](MODEL& m, unsigned char* o) { return m.ReadEncoder(0, UI(o, 0)); }, 0},
      {"ClearEncoder", 0, [](MODEL& m, unsigned char*) { return m.ClearEncoder(0); }, 0},
      {"GetModuleTable", 0, [&](MODEL& m, unsigned char* o) { return m.GetModuleTable(I(o, 0), C(o + 4)); }, 5},
      {"ConfigTrigOut", 0, [](MODEL& m, unsigned char*) { return m.ConfigTrigOut(1, 1); }, 0},
      {"Init_Software_Filter", 0, [](MODEL& m, unsigned char*) { return m.Init_Software_Filter(0, 1, 1000); }, 0},
      {"Set_LowPassFilter", 0, [](MODEL& m, unsigned char*) { return m.Set_LowPassFilter(0, 1, 10.0f); }, 0},
      {"Set_HighPassFilter", 0, [](MODEL& m, unsigned char*) { return m.Set_HighPassFilter(0, 1, 10.0f); }, 0},
      {"Set_BandPassFilter", 0, [](MODEL& m, unsigned char*) { return m.Set_BandPassFilter(0, 1, 10.0f, 20.0f); }, 0},
      {"Set_BandStopFilter", 0, [](MODEL& m, unsigned char*) { return m.Set_BandStopFilter(0, 1, 10.0f, 20.0f); }, 0},
      {"Filter_Data", 0, [&](MODEL& m, unsigned char* o) { return m.Filter_Data(4, F(o, 0)); }, 0},
      {"Filter_DataHEX", 0, [&](MODEL& m, unsigned char* o) { return m.Filter_DataHEX(4, UI(o, 0)); }, 0},
  };
  // slots 2-103; GetAIAnalogTriggerParam (34) has a case of its own below
  EXPECT_EQ(sizeof(cases) / sizeof(cases[0]), 101u);

  Bare m("10.0.0.2", 9999, 10010, WRXMODULE[0]);
  for (const DefaultCase& c : cases) {
    alignas(8) unsigned char out[64];
    memset(out, 0xAA, sizeof(out));
    QZ_ClearLastError();
    EXPECT_EQ(c.call(m, out), c.want) << c.name;
    EXPECT_EQ(QZ_GetLastError(), QZ_ERR_NOT_IMPLEMENTED) << c.name;
    size_t firstDirty = 0;
    while (firstDirty < c.clearedBytes && out[firstDirty] == 0) ++firstDirty;
    // GetScanParam leaves the padding between its short and int outputs alone.
    if (std::string(c.name) == "GetScanParam") {
      EXPECT_EQ(firstDirty, 6u) << c.name;
      for (size_t i = 8; i < c.clearedBytes; ++i) EXPECT_EQ(out[i], 0) << c.name << " byte " << i;
    } else {
      EXPECT_EQ(firstDirty, c.clearedBytes) << c.name;
    }
    // Nothing past the listed outputs is written (texts get only their first byte).
    for (size_t i = c.clearedBytes; i < sizeof(out); ++i)
      ASSERT_EQ(out[i], 0xAA) << c.name << " byte " << i;
  }
  // The defaults touch no field.
  EXPECT_EQ(m.sampleRate, 100);
  EXPECT_FALSE(m.receiveInProgress.load());
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
  EXPECT_EQ(type, 0);
  EXPECT_EQ(pre, 0u);
  EXPECT_EQ(post, 0u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(ch[i], 0);
    EXPECT_EQ(a[i], 0.0f);
    EXPECT_EQ(b[i], 0.0f);
  }
  EXPECT_EQ(ch[4], 0x11);
  EXPECT_EQ(a[4], 2.5f);
  EXPECT_EQ(b[5], 2.5f);
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

// A device type that overrides one slot: the call goes to it, not to the default.
class WithDIO : public MODEL {
 public:
  using MODEL::MODEL;
  int ReadDIO(unsigned int* di, unsigned int* dout) override {
    *di = 3;
    *dout = 5;
    return 1;
  }
};

TEST(Model, OverridesReplaceTheDefault) {
  WithDIO d("10.0.0.5", 9999, 10010, WRXMODULE[0]);
  MODEL& m = d;
  unsigned int di = 0, dout = 0;
  QZ_ClearLastError();
  EXPECT_EQ(m.ReadDIO(&di, &dout), 1);
  EXPECT_EQ(di, 3u);
  EXPECT_EQ(dout, 5u);
  EXPECT_EQ(QZ_GetLastError(), 0);
  EXPECT_EQ(m.WriteAO(0, 0, 1.0f), 0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_NOT_IMPLEMENTED);
}

TEST(SyncInFrame, SizesByItemType) {
  struct Case {
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
  for (const Case& c : cases) {
    SyncInFrameDef f;
    EXPECT_EQ(f.GetTotalSize(), 0u);
    ASSERT_EQ(f.SetLayout(c.header, c.types.data(), c.counts.data(),
                          static_cast<unsigned int>(c.types.size()), 1),
              1);
    EXPECT_EQ(f.GetTotalSize(), c.want) << "header " << c.header;
    EXPECT_EQ(f.option, 1u);
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

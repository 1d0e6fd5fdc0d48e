// Analog and delay triggers and the sync-in frame layout on emulated modules.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "emulator/HighSpeedModule.h"
#include "framework/RXMODEL_SyncInFrame.h"
#include "nivex.h"
#include "tests/common/ScanFixture.h"

namespace {

using nivex::emu::CalEntry;
using nivex::scanlog::ScanConfig;
using nivex::test::LoggedSettings;
using nivex::emu::Emulator;
using nivex::emu::FaultKind;
using nivex::emu::HighSpeedModule;
using nivex::emu::Model;
using nivex::test::Device;
using nivex::test::FailsWith;
using nivex::test::Strings;

// A scan with this gain code, trigger mode 6 and target (pre + post must add up to it).
void PrepareScan(Device& d, int channels, int gain, unsigned target) {
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), channels, gain, 6, 1000, target, 0, 0), 1);
  d.Take();
}

// The analog trigger levels of up to nine channels, set through the export.
struct Levels {
  char en[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
  float hi[9] = {}, lo[9] = {};
  int Set(Device& d, int type, int n, unsigned pre, unsigned post) {
    return QZ_SetAIAnalogTriggerParam(d.h(), type, en, hi, lo, n, pre, post);
  }
};

// ------------------------------------------------------------------ analog trigger

TEST(AnalogTrigger, Rx5k10LevelsLimitsAndCommands) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  PrepareScan(d, 8, 0, 1000);
  Levels l;
  l.en[1] = 0;
  l.hi[0] = 5.0f;
  l.lo[0] = -5.0f;
  ASSERT_EQ(l.Set(d, 0, 2, 100, 900), 1);
  Strings s = d.Take();
  ASSERT_EQ(s.size(), 9u);  // the mode and all eight channels
  EXPECT_EQ(s[0], "~01XM0L00000100R00000900");
  EXPECT_EQ(s[1], "~01XC0H7FFFL8001");
  for (int i = 2; i <= 8; ++i) EXPECT_EQ(s[i], "~01XC" + std::to_string(i - 1) + "H7FFFL8000");

  // Type 3: the disabled pattern is swapped, also for channels never enabled.
  ASSERT_EQ(l.Set(d, 3, 1, 100, 900), 1);
  s = d.Take();
  ASSERT_EQ(s.size(), 9u);
  EXPECT_EQ(s[1], "~01XC0H7FFFL8001");
  EXPECT_EQ(s[2], "~01XC1H8000L7FFF");

  // Beyond 5 V on gain code 0; NaN; then gain code 1 admits 10 V.
  for (float bad : {5.01f, std::numeric_limits<float>::quiet_NaN()}) {
    l.hi[0] = bad;
    EXPECT_TRUE(FailsWith(l.Set(d, 0, 1, 100, 900), QZ_ERR_TRIGGER_LEVEL)) << bad;
  }
  EXPECT_TRUE(d.Take().empty());
  PrepareScan(d, 8, 1, 1000);
  l.hi[0] = 10.0f;
  EXPECT_EQ(l.Set(d, 0, 1, 100, 900), 1);
}

TEST(AnalogTrigger, ArgumentChecksInOrderSendNothing) {
  // Channel 1 has a zero calibration gain at gain code 0: no level of it converts.
  Device d(Model::RX5K10, nullptr, [](Emulator& e) {
    CalEntry zero = e.Calibration(1, 0);
    zero.gain = 0;
    e.SetCalibration(1, 0, zero);
  });
  ASSERT_TRUE(d.ok());
  PrepareScan(d, 8, 0, 1000);
  Levels l;
  struct Case {
    int type, n;
    unsigned pre, post;
    int code;
  };
  const Case cases[] = {
      {4, 9, 0, 0, QZ_ERR_TRIGGER_TYPE},
      {-1, 1, 100, 900, QZ_ERR_TRIGGER_TYPE},
      {0, 9, 100, 900, QZ_ERR_INVALID_VALUE},
      {0, 1, 100, 899, QZ_ERR_TRIGGER_COUNT},
      {0, 1, 0xFFFFFFFFu, 1001, QZ_ERR_TRIGGER_COUNT},  // no 32-bit wrap to 1000
  };
  for (const Case& c : cases)
    EXPECT_TRUE(FailsWith(l.Set(d, c.type, c.n, c.pre, c.post), c.code)) << c.type << " " << c.n;
  // Target 999: pre 100 + post 900 no longer fits.
  PrepareScan(d, 8, 0, 999);
  EXPECT_TRUE(FailsWith(l.Set(d, 0, 1, 100, 900), QZ_ERR_TRIGGER_COUNT));
  EXPECT_TRUE(d.Take().empty());
  // A zero calibration gain cannot convert a level.
  EXPECT_TRUE(FailsWith(l.Set(d, 0, 2, 100, 899), QZ_ERR_TRIGGER_LEVEL));
  EXPECT_TRUE(d.Take().empty());
  // A module that refuses the mode command: 0x1300A.
  d.AddFault("~01XM0L00000100R00000899", FaultKind::Refuse);
  EXPECT_TRUE(FailsWith(l.Set(d, 0, 1, 100, 899), QZ_ERR_INVALID_HANDLE));
}

TEST(AnalogTrigger, LevelsSaturateAtTheCodeRange) {
  struct Case {
    Model model;
    int type;
    float volts;  // +volts high, -volts low
    int16_t offset;
    unsigned wantHigh, wantLow;  // wantLow 0: not at a limit, not checked
  };
  const Case cases[] = {
      {Model::RX5K10, 0, 5.0f, -100, 0x7FFF, 0},             // +5 V would give 32866
      {Model::RX5K30, 1, 10.0f, 0, 0x7FFFFF, 0x800000},      // exactly full scale
      {Model::RXBN500, 2, 10.0f, -100, 0x7FFFFF, 0x800065},  // +10 V lies 100 codes beyond
  };
  for (const Case& c : cases) {
    Device d(c.model, nullptr, [&](Emulator& e) {
      CalEntry entry = e.Calibration(0, 0);
      entry.offset = c.offset;
      e.SetCalibration(0, 0, entry);
    });
    ASSERT_TRUE(d.ok());
    PrepareScan(d, 1, 0, 10);
    Levels l;
    l.hi[0] = c.volts;
    l.lo[0] = -c.volts;
    ASSERT_EQ(l.Set(d, c.type, 1, 5, 5), 1);
    d.Locked<HighSpeedModule>([&](HighSpeedModule& m) {
      EXPECT_EQ(m.scan().levelHigh[0], c.wantHigh) << static_cast<int>(c.model);
      if (c.wantLow != 0) {
        EXPECT_EQ(m.scan().levelLow[0], c.wantLow) << static_cast<int>(c.model);
      }
    });
    if (c.model != Model::RX5K30) continue;
    // Gain code 9: 0.02 V passes, 0.03 V is refused.
    PrepareScan(d, 1, 9, 10);
    l.hi[0] = 0.02f;
    l.lo[0] = -0.02f;
    EXPECT_EQ(l.Set(d, 1, 1, 5, 5), 1);
    l.hi[0] = 0.03f;
    EXPECT_TRUE(FailsWith(l.Set(d, 1, 1, 5, 5), QZ_ERR_TRIGGER_LEVEL));
  }
}

TEST(AnalogTrigger, RoundTripPerType) {
  struct Case {
    Model model;
    int gain;
    float level;
    float step;  // one code in volts
  };
  const Case cases[] = {
      {Model::RX5K10, 0, 2.5f, 5.0f / 32768},
      {Model::RX5K10, 1, -7.0f, 10.0f / 32768},
      {Model::RX5K30, 2, 1.2f, 2.5f / 8388608 * 2},
      {Model::RXBN500, 0, -3.3f, 10.0f / 8388608 * 2},
  };
  for (const Case& c : cases) {
    for (int type : {1, 3}) {
      Device d(c.model);
      ASSERT_TRUE(d.ok());
      PrepareScan(d, 1, c.gain, 100);
      char en[2] = {1, 0};
      float hi[2] = {c.level, 9.0f}, lo[2] = {c.level / 2, 9.0f};
      ASSERT_EQ(QZ_SetAIAnalogTriggerParam(d.h(), type, en, hi, lo, 2, 40, 60), 1);
      int t = -1;
      char gotEn[2] = {9, 9};
      float gotHi[2] = {-1, -1}, gotLo[2] = {-1, -1};
      unsigned pre = 0, post = 0, reserved = 5;
      ASSERT_EQ(
          QZ_GetAIAnalogTriggerParam(d.h(), &t, gotEn, gotHi, gotLo, 2, &pre, &post, &reserved), 1);
      EXPECT_EQ(t, type);
      EXPECT_EQ(pre, 40u);
      EXPECT_EQ(post, 60u);
      EXPECT_EQ(reserved, 0u);
      EXPECT_EQ(gotEn[0], 1);
      EXPECT_NEAR(gotHi[0], c.level, c.step * 2) << "type " << type;
      EXPECT_NEAR(gotLo[0], c.level / 2, c.step * 2) << "type " << type;
      EXPECT_EQ(gotEn[1], 0) << "type " << type;  // disabled also under type 3
      EXPECT_EQ(gotHi[1], 0.0f);
      EXPECT_EQ(gotLo[1], 0.0f);
    }
  }
}

TEST(AnalogTrigger, LevelsReadBackAreSentBackBeyondN) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  PrepareScan(d, 8, 0, 1000);
  // Channel 1 is enabled on the module; this object never set it.
  d.Locked<HighSpeedModule>([](HighSpeedModule& m) {
    m.scan().levelHigh[1] = 0x4000;
    m.scan().levelLow[1] = 0xC000;
  });
  int t = 0;
  char en[1] = {};
  float hi[1] = {}, lo[1] = {};
  unsigned pre = 0, post = 0, reserved = 0;
  ASSERT_EQ(QZ_GetAIAnalogTriggerParam(d.h(), &t, en, hi, lo, 1, &pre, &post, &reserved), 1);
  d.Take();
  Levels l;
  ASSERT_EQ(l.Set(d, 0, 1, 100, 900), 1);
  const Strings s = d.Take();
  ASSERT_EQ(s.size(), 9u);
  EXPECT_EQ(s[2], "~01XC1H4000LC000");
  EXPECT_EQ(s[3], "~01XC2H7FFFL8000");
}

TEST(AnalogTrigger, ReadBackRefusals) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  int t = 7;
  char en[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
  float hi[9], lo[9];
  unsigned pre = 7, post = 7, reserved = 7;
  EXPECT_TRUE(
      FailsWith(QZ_GetAIAnalogTriggerParam(d.h(), &t, en, hi, lo, 9, &pre, &post, &reserved),
                QZ_ERR_INVALID_VALUE));
  EXPECT_EQ(t + static_cast<int>(pre + post + reserved) + en[7], 0);
  EXPECT_EQ(en[8], 1);  // beyond the type's inputs

  for (const char* reply : {"!01XM4L00000001R00000002", "!01XM0L0000000", "?01"}) {
    d.AddFault("~01XM", FaultKind::Reply, reply);
    EXPECT_EQ(QZ_GetAIAnalogTriggerParam(d.h(), &t, en, hi, lo, 1, &pre, &post, &reserved), 0)
        << reply;
    EXPECT_EQ(QZ_GetLastError(), QZ_ERR_INVALID_VALUE);
  }
  d.AddFault("~01XC3", FaultKind::Reply, "!0103H7FFFL80");
  EXPECT_TRUE(
      FailsWith(QZ_GetAIAnalogTriggerParam(d.h(), &t, en, hi, lo, 1, &pre, &post, &reserved),
                QZ_ERR_INVALID_VALUE));

  int junk = 0;
  t = 3;
  pre = post = reserved = 3;
  EXPECT_EQ(
      QZ_GetAIAnalogTriggerParam(&junk, &t, nullptr, nullptr, nullptr, 0, &pre, &post, &reserved),
      0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_INVALID_HANDLE);
  EXPECT_EQ(t + static_cast<int>(pre + post + reserved), 0);
}

TEST(AnalogTrigger, TriggerIndex) {
  // A run that triggered before its N samples ends at the index "~01XN" answers plus the
  // post-trigger count (a refused answer gives 0); the module's own index: 500 of N 1000.
  nivex::test::QuickTimings quick;
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 1, 0, 6, 1000, 1000, 0, 0), 1);
  ASSERT_EQ(QZ_SetConfig(d.h(), 5, 2, 1), 1);  // silences of 50 ms
  char on[1] = {1};
  float high[1] = {1}, low[1] = {-1};
  ASSERT_EQ(QZ_SetAIAnalogTriggerParam(d.h(), 0, on, high, low, 1, 500, 500), 1);
  nivex::test::Stream(d, [](nivex::emu::StreamSettings& s) { s.triggerAfterMs = 600; });
  for (const bool beyond : {true, false}) {
    if (beyond) {
      d.Reply("~01XN", "!01501");  // 501 + 500: more than the module sends
    } else {
      d.AddFault("~01XN", FaultKind::Refuse);
    }
    ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
    ASSERT_TRUE(nivex::test::WaitForStatus(d.h(), QZ_BUF_SCAN_ENDED, 8000));
    unsigned total = 0, status = 0;
    EXPECT_EQ(QZ_GetTotalSamplingStatus(d.h(), &total, &status), 1);
    // Beyond: all N came without the trigger's end, and the silence after them ends the run.
    EXPECT_EQ(status & (QZ_BUF_TARGET_REACHED | QZ_BUF_SCAN_TIMEOUT),
              beyond ? 0 : QZ_BUF_TARGET_REACHED) << beyond;
    if (beyond) {
      EXPECT_EQ(total, 1000u);
    } else {
      EXPECT_TRUE(total >= 500 && total < 1000) << total;
    }
    EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
  }
  d.AddFault("~01XN", FaultKind::NoReply);
  EXPECT_EQ(d.model().GetAIAnalogTriggerIdx(), 0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_INVALID_VALUE);
}

// ------------------------------------------------------------------ delay trigger

TEST(DelayTrigger, RangeAndRoundTrip) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  EXPECT_TRUE(FailsWith(QZ_SetAIDelayTriggerParam(d.h(), 4, 0), QZ_ERR_DELAY_TRIGGER_RANGE));
  EXPECT_TRUE(FailsWith(QZ_SetAIDelayTriggerParam(d.h(), 10000001, 0), QZ_ERR_DELAY_TRIGGER_RANGE));
  EXPECT_TRUE(d.Take().empty());
  ASSERT_EQ(QZ_SetAIDelayTriggerParam(d.h(), 5, 0), 1);
  ASSERT_EQ(QZ_SetAIDelayTriggerParam(d.h(), 10000000, 0), 1);
  EXPECT_EQ(d.Take(), (Strings{"~01Y00000005", "~01Y10000000"}));
  unsigned delay = 0, reserved = 9;
  ASSERT_EQ(QZ_GetAIDelayTriggerParam(d.h(), &delay, &reserved), 1);
  EXPECT_EQ(delay, 10000000u);
  EXPECT_EQ(reserved, 0u);

  Device other(Model::RX5K30);
  ASSERT_TRUE(other.ok());
  EXPECT_TRUE(FailsWith(QZ_SetAIDelayTriggerParam(other.h(), 5, 0), QZ_ERR_NOT_IMPLEMENTED));
}

// ------------------------------------------------------------------ sync-in layout

TEST(SyncIn, SetSendsOneLineAndKeepsTheLayout) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  unsigned short types[2] = {0, 4}, counts[2] = {8, 1};
  ASSERT_EQ(QZ_SetSyncInScanParam(d.h(), 1, counts, types, 2, 1, 0), 1);
  // No empty line: the emulator would answer one and leave a stray reply.
  EXPECT_EQ(d.Take(), (Strings{"~01SIH1O01T0200080401"}));
  const nivex::SyncInFrameDef& def = *d.model().SyncInFrame();
  EXPECT_EQ(def.itemCount, 2u);
  EXPECT_EQ(def.GetTotalSize(), 4u + 16u + 4u);
  ScanConfig cached;
  ASSERT_TRUE(LoggedSettings(d, &cached));
  EXPECT_EQ(cached.channelCount, 8);
  EXPECT_EQ(cached.syncMode, 1);

  // A layout without items is refused, nothing sent, the old one kept.
  const unsigned size = def.GetTotalSize();
  EXPECT_EQ(QZ_SetSyncInScanParam(d.h(), 1, nullptr, nullptr, 0, 1, 0), 0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_INVALID_ARGUMENT);
  EXPECT_TRUE(d.Take().empty());
  EXPECT_EQ(def.GetTotalSize(), size);

  unsigned header = 0, option = 0, reserved = 0;
  unsigned short n = 0, gotTypes[7] = {}, gotCounts[7] = {};
  ASSERT_EQ(QZ_SetSyncInScanParam(d.h(), 2, counts, types, 2, 0, 0), 1);
  ASSERT_EQ(QZ_GetSyncInScanParam(d.h(), &header, gotCounts, gotTypes, 7, &n, &option, &reserved),
            1);
  EXPECT_EQ(header, 2u);
  EXPECT_EQ(option, 0u);
  ASSERT_EQ(n, 2);
  EXPECT_EQ(gotTypes[1], 4);
  EXPECT_EQ(gotCounts[0], 8);
}

TEST(SyncIn, RefusedLayoutsLeaveTheOldOne) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  unsigned short types[2] = {1, 5}, counts[2] = {4, 2};
  ASSERT_EQ(QZ_SetSyncInScanParam(d.h(), 2, counts, types, 2, 0, 0), 1);
  d.Take();
  const nivex::SyncInFrameDef& def = *d.model().SyncInFrame();
  const unsigned size = def.GetTotalSize();
  ASSERT_EQ(size, 4u + 8u + 8u);

  struct Case {
    unsigned header;
    unsigned short t0, c0, n, option;
  };
  const Case cases[] = {
      {1, 6, 1, 1, 1},      // type 6
      {0x10, 0, 1, 1, 1},   // header wider than one hex digit
      {1, 0, 0, 1, 1},      // an analog item without channels
      {1, 2, 0x100, 1, 1},  // count wider than two hex digits
      {1, 2, 1, 1, 0x100},  // option wider than two hex digits
  };
  for (const Case& c : cases) {
    unsigned short t[1] = {c.t0}, k[1] = {c.c0};
    EXPECT_TRUE(FailsWith(QZ_SetSyncInScanParam(d.h(), c.header, k, t, c.n, c.option, 0),
                          QZ_ERR_INVALID_ARGUMENT));
  }
  EXPECT_TRUE(d.Take().empty());
  EXPECT_TRUE(
      FailsWith(QZ_SetSyncInScanParam(d.h(), 1, counts, types, 8, 1, 0), QZ_ERR_INVALID_ARGUMENT));

  // Refused by the module.
  d.AddFault("~01SIH1O01T0200010202", FaultKind::Refuse);
  unsigned short t[2] = {0, 2}, k[2] = {1, 2};
  EXPECT_TRUE(FailsWith(QZ_SetSyncInScanParam(d.h(), 1, k, t, 2, 1, 0), QZ_ERR_DEVICE_RESPONSE));

  EXPECT_EQ(def.headerKind, 2u);
  EXPECT_EQ(def.option, 0u);
  EXPECT_EQ(def.itemCount, 2u);
  EXPECT_EQ(def.types[0], 1);
  EXPECT_EQ(def.GetTotalSize(), size);
  ScanConfig cached;
  ASSERT_TRUE(LoggedSettings(d, &cached));
  EXPECT_EQ(cached.channelCount, 4);
  EXPECT_EQ(cached.syncMode, 0);

  int junk = 0;
  EXPECT_TRUE(FailsWith(QZ_SetSyncInScanParam(&junk, 1, k, t, 8, 1, 0),
                        QZ_ERR_INVALID_ARGUMENT));  // the count before the handle
}

TEST(SyncIn, EnableForcesAContinuousSoftwareScan) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 8, 0, 6, 20000, 1000, 0, 0), 1);
  d.Take();
  unsigned short types[1] = {0}, counts[1] = {8};
  ASSERT_EQ(QZ_SetSyncInScanParam(d.h(), 1, counts, types, 1, 1, 0), 1);
  EXPECT_EQ(d.Take(), (Strings{"~01SIH1O01T010008", "~01PG0C8T0M0", "~01R010000", "~01T0000000000",
                               "~01A0"}));
  ScanConfig cached;
  ASSERT_TRUE(LoggedSettings(d, &cached));
  EXPECT_EQ(cached.externalTrigger, 0);
  EXPECT_EQ(cached.sampleRate, 10000);
  EXPECT_EQ(cached.sampleCount, 0);

  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 8, 0, 0, 5000, 0, 0, 0), 1);
  d.Take();
  ASSERT_EQ(QZ_SetSyncInScanParam(d.h(), 1, counts, types, 1, 1, 0), 1);
  EXPECT_EQ(d.Take(), (Strings{"~01SIH1O01T010008"}));
}

TEST(SyncIn, ARefusedForcingKeepsTheOldLayoutAndScanParameters) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 4, 0, 6, 20000, 1000, 0, 0), 1);
  unsigned short types0[1] = {1}, counts0[1] = {4};
  ASSERT_EQ(QZ_SetSyncInScanParam(d.h(), 2, counts0, types0, 1, 0, 0), 1);
  const nivex::SyncInFrameDef& def = *d.model().SyncInFrame();
  const unsigned size = def.GetTotalSize();
  d.Take();

  // The module takes the layout but refuses the forced scan parameters.
  d.AddFault("~01PG0C8T0M0", FaultKind::Refuse);
  unsigned short types[1] = {0}, counts[1] = {8};
  EXPECT_EQ(QZ_SetSyncInScanParam(d.h(), 1, counts, types, 1, 1, 0), 0);
  EXPECT_NE(QZ_GetLastError(), 0);
  EXPECT_EQ(def.headerKind, 2u);
  EXPECT_EQ(def.option, 0u);
  EXPECT_EQ(def.itemCount, 1u);
  EXPECT_EQ(def.types[0], 1);
  EXPECT_EQ(def.counts[0], 4);
  EXPECT_EQ(def.GetTotalSize(), size);
  ScanConfig cached;
  ASSERT_TRUE(LoggedSettings(d, &cached));
  EXPECT_EQ(cached.channelCount, 4);
  EXPECT_EQ(cached.externalTrigger, 6);
  EXPECT_EQ(cached.sampleRate, 20000);
  EXPECT_EQ(cached.sampleCount, 1000);
}

TEST(SyncIn, ReadBackChecks) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  unsigned short types[3] = {0, 2, 5}, counts[3] = {2, 1, 9};
  ASSERT_EQ(QZ_SetSyncInScanParam(d.h(), 3, counts, types, 3, 0, 0), 1);
  const nivex::SyncInFrameDef& def = *d.model().SyncInFrame();
  unsigned header = 0, option = 0, reserved = 0;
  unsigned short n = 0, t[7] = {}, c[7] = {};
  EXPECT_TRUE(FailsWith(QZ_GetSyncInScanParam(d.h(), &header, c, t, 2, &n, &option, &reserved),
                        QZ_ERR_BUFFER_OVERFLOW));
  EXPECT_TRUE(FailsWith(QZ_GetSyncInScanParam(d.h(), &header, c, t, 8, &n, &option, &reserved),
                        QZ_ERR_INVALID_ARGUMENT));

  const char* bad[] = {
      "!01H1O00T09000100010001000100010001000100010001",  // 9 items
      "!01H1O00T020001",                                  // items missing
      "!01H1O00T01000003",                                // analog item without channels
      "!01H1O00T010701",                                  // type 7
      "!01H1O00T00",                                      // no items
  };
  for (const char* reply : bad) {
    d.AddFault("~01SI", FaultKind::Reply, reply);
    EXPECT_EQ(QZ_GetSyncInScanParam(d.h(), &header, c, t, 7, &n, &option, &reserved), 0) << reply;
    EXPECT_NE(QZ_GetLastError(), 0) << reply;
    EXPECT_EQ(def.itemCount, 3u) << reply;
    EXPECT_EQ(def.headerKind, 3u) << reply;
  }
  // A good reply is stored and sizes the frame.
  d.AddFault("~01SI", FaultKind::Reply, "!01H2O01T0200040401");
  ASSERT_EQ(QZ_GetSyncInScanParam(d.h(), &header, c, t, 7, &n, &option, &reserved), 1);
  EXPECT_EQ(def.itemCount, 2u);
  EXPECT_EQ(def.GetTotalSize(), 4u + 8u + 4u);
  EXPECT_EQ(option, 1u);
}

}  // namespace

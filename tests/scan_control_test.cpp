// Scan control around the runs: stops that end long waits at once, the ring size and time-out
// unit, refused starts, release during a scan, one handle used from four threads, the module
// status queries and reboot, and the buffer functions' own checks.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "drivers/highspeed/HighSpeedModel.h"
#include "nivex.h"
#include "tests/common/ScanFixture.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace nivex::test;
using nivex::HighSpeedModel;
using nivex::emu::Model;
using nivex::emu::StreamSettings;

TEST(ScanControl, AStopEndsTheWorkersLongestWaitsAtOnce) {
  // A silent module in a 5 s data wait; a pre-phase pausing 2.5 s for a trigger that never
  // comes.
  const struct {
    Model m;
    int mode;
  } kCases[] = {{Model::RX5K30, 0}, {Model::RX5K10, 3}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(nivex::emu::ModelText(c.m));
    Device d(c.m);
    ASSERT_TRUE(d.ok());
    ASSERT_EQ(QZ_SetAIScanParam(d.h(), 2, 0, c.mode, 1000, 10000, 0, 0), 1);
    Stream(d, [](StreamSettings& s) { s.silenceAfterBytes = 0; });
    for (int run = 0; run < 2; ++run) {
      ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
      ASSERT_FALSE(WaitForStatus(d.h(), QZ_BUF_SCAN_ENDED, 200));
      const long long t0 = NowMs();
      EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
      EXPECT_LT(NowMs() - t0, 500);
    }
  }
}

TEST(ScanControl, RingSizeAndTimeoutUnitPerType) {
  const struct {
    Model m;
    int channels;
    uint64_t ringPerSample;
  } kTypes[] = {{Model::RX5K10, 8, 20}, {Model::RX5K30, 4, 40}, {Model::RXBN500, 4, 40}};
  for (const auto& t : kTypes) {
    SCOPED_TRACE(nivex::emu::ModelText(t.m));
    Device d(t.m);
    ASSERT_TRUE(d.ok());
    for (const unsigned n : {1000u, 0u}) {
      ASSERT_EQ(QZ_SetAIScanParam(d.h(), t.channels, 0, 0, 100, n, 0, 0), 1);
      ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
      EXPECT_EQ(d.model().ringSize, n ? t.ringPerSample * n : 1460000u);
      EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
    }
  }
  // RX5K10: ring x 2.5 / (rate x channels), truncated; an override of 1 or more instead.
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  const struct {
    unsigned n;
    int override;
    int unit;
  } kUnits[] = {{1000, -1, 62}, {0, -1, 4562}, {0, 0, 4562}, {1000, 3, 3}};
  for (const auto& u : kUnits) {
    ASSERT_EQ(QZ_SetAIScanParam(d.h(), 8, 0, 0, 100, u.n, 0, 0), 1);
    ASSERT_EQ(QZ_SetConfig(d.h(), 5, 2, u.override), 1);
    ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
    ASSERT_EQ(QZ_StopAIScan(d.h()), 1);
    int unit = 0;
    ASSERT_EQ(QZ_SetConfig(d.h(), 5, 2, -1), 1);
    EXPECT_EQ(QZ_GetConfig(d.h(), 5, 2, &unit), 1);
    EXPECT_EQ(unit, u.unit) << "N " << u.n << " override " << u.override;
  }
}

TEST(ScanControl, StartsRefusedBeforeAnythingChanges) {
  // The constructed channel count (8) is more than the type's 4 inputs.
  Device d(Model::RX5K30);
  ASSERT_TRUE(d.ok());
  EXPECT_TRUE(FailsWith(QZ_StartAIScan(d.h()), QZ_ERR_CHANNEL_RANGE));
  EXPECT_EQ(CountOf(d.Take(), "~01S"), 0);
  // No scan: the stop still tells the module, and 1. Disconnected: 0 and nothing.
  EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
  EXPECT_EQ(d.Take(), Strings{"~01Z"});
  d.model().DisconnectServer();
  EXPECT_EQ(QZ_StopAIScan(d.h()), 0);
  EXPECT_EQ(QZ_StartAIScan(d.h()), 0);
  EXPECT_EQ(d.model().GetTCPReceivedCnt(), 0u);
  EXPECT_TRUE(d.Take().empty());
}

TEST(ScanControl, ReleaseDuringAScanStopsItsWorkerAndLeavesOthersRunning) {
  Device a(Model::RX5K10, nullptr, SetLevels), b(Model::RXBN500, nullptr, SetLevels);
  ASSERT_TRUE(a.ok() && b.ok());
  for (Device* d : {&a, &b}) {
    ASSERT_EQ(QZ_SetAIScanParam(d->h(), 2, 0, 0, 5000, 0, 0, 0), 1);
    ASSERT_EQ(QZ_StartAIScan(d->h()), 1);
    ASSERT_TRUE(WaitUntil([&] { return RingSize(d->h()) > 100; }, 2000));
  }
  void* gone = a.h();
  const long long t0 = NowMs();
  a.Release();
  EXPECT_LT(NowMs() - t0, 1500);
  EXPECT_FALSE(Streamer(a).Counters().active);  // "~01Z" went out first
  EXPECT_TRUE(FailsWith(QZ_GetAIBufferStatus(gone, nullptr, nullptr), QZ_ERR_INVALID_HANDLE));
  const unsigned before = RingSize(b.h());
  EXPECT_TRUE(WaitUntil([&] { return RingSize(b.h()) > before + 100; }, 2000));
  EXPECT_EQ(QZ_StopAIScan(b.h()), 1);
}

TEST(ScanControl, OneHandleFromFourThreads) {
  Device d(Model::RX5K10, nullptr, SetLevels);
  ASSERT_TRUE(d.ok());
  void* h = d.h();
  std::atomic<int> bad{0};
  auto check = [&](int r) { bad += r != 0 && r != 1; };
  const int kRounds = 25;
  std::thread setup([&] {
    for (int i = 0; i < kRounds; ++i) {
      check(QZ_SetAIScanParam(h, 2 + 2 * (i % 2), i % 2, 0, 2000, 400, 0, 0));
      unsigned short c, g, t, m, a;
      unsigned rate, n;
      check(QZ_GetAIScanParam(h, &c, &g, &t, &rate, &n, &m, &a));
    }
  });
  std::thread reads([&] {
    for (int i = 0; i < kRounds; ++i) {
      float v[8];
      int codes[8];
      check(QZ_ReadAIALL(h, i % 2, v, 8));
      check(QZ_ReadAIHEX(h, i % 8, 0, codes));
      check(QZ_Calibrate_Data_Float(h, i % 8, i % 2, 1000, v));
    }
  });
  std::thread triggers([&] {
    for (int i = 0; i < kRounds; ++i) {
      char on[2] = {1, 1};
      float high[2] = {1.0f, 2.0f}, low[2] = {-1.0f, -2.0f};
      check(QZ_SetAIAnalogTriggerParam(h, i % 4, on, high, low, 2, 100, 300));
      int type, first;
      unsigned pre, post, reserved;
      check(QZ_GetAIAnalogTriggerParam(h, &type, on, high, low, 2, &pre, &post, &reserved));
      check(QZ_GetConfig(h, 5, 2, &first));
      check(QZ_SetEventCallback(h, QZ_EVENT_OVERFLOW, 0, nullptr, nullptr));
    }
  });
  std::thread scans([&] {
    for (int i = 0; i < kRounds; ++i) {
      check(QZ_StartAIScan(h));
      float v[64];
      unsigned codes[64];
      unsigned short status;
      unsigned size, total, st;
      check(QZ_GetAIBufferStatus(h, &status, &size));
      bad += QZ_GetAIBuffer(h, v, 64) < 0 || QZ_GetAIBufferHex(h, codes, 64) < 0;
      check(QZ_GetTotalSamplingStatus(h, &total, &st));
      check(QZ_StopAIScan(h));
    }
  });
  for (std::thread* t : {&setup, &reads, &triggers, &scans}) t->join();
  EXPECT_EQ(bad, 0);
}

TEST(ModuleStatus, SampleCountPollByLayout) {
  const struct {
    Model m;
    unsigned firmware;
    const char* reply;
    bool ok;
    uint32_t count, status;
  } kCases[] = {
      {Model::RX5K30, 0, "!0101000123", true, 123, 1},
      {Model::RXBN500, 0, "!01xy7", true, 7, 0},  // a status that is not a number reads 0
      {Model::RX5K10, 0x308, "!0101000123", true, 123, 1},
      {Model::RX5K10, 0x307, "!0101000123", true, 1000123, 99},  // no status field
      {Model::RX5K30, 0, "?0101000123", false, 5, 99},
      {Model::RX5K30, 0, "!0101", false, 5, 99},
      {Model::RX5K10, 0x307, "!01", false, 5, 99},
      {Model::RX5K30, 0, "!0100x", false, 5, 99},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(nivex::emu::ModelText(c.m)) + " " + c.reply);
    Device d(c.m, [&](nivex::emu::Options& o) { o.firmwareVersion = c.firmware; });
    ASSERT_TRUE(d.ok());
    d.Reply("~01N", c.reply);
    uint32_t count = 5, status = 99;
    EXPECT_EQ(d.As<HighSpeedModel>().GetQZRAMBufferStatus(&count, &status), c.ok);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(status, c.status);
  }
}

TEST(ModuleStatus, StartTimeTransmitAndReboot) {
  Device d(Model::RX5K10, [](nivex::emu::Options& o) {
    o.reboot = nivex::emu::RebootBehaviour::Silent;
  });
  ASSERT_TRUE(d.ok());
  char text[256] = "kept";
  d.Reply("~01SST", "!01 2024/03/05 14:07:09.123 %d%s");
  EXPECT_EQ(d.model().GetQZStartSamplingTime(text), 1);
  EXPECT_STREQ(text, "2024/03/05 14:07:09.123 %d%s");
  std::strcpy(text, "kept");
  for (const char* refused : {"!01", "!01 ", "?01 2024"}) {
    d.Reply("~01SST", refused);
    EXPECT_TRUE(FailsWith(d.model().GetQZStartSamplingTime(text), QZ_ERR_DEVICE_RESPONSE));
    EXPECT_STREQ(text, "kept");
  }
  EXPECT_EQ(QZ_TransmitDataCmd(d.h()), 0);  // no run: the module refuses
  d.Reply("~01E", "!01");
  EXPECT_EQ(QZ_TransmitDataCmd(d.h()), 1);
  // The module restarts without a reply: nothing is waited for, nothing is owed.
  QZ_ClearLastError();
  const long long t0 = NowMs();
  EXPECT_EQ(QZ_Reboot(d.h()), 1);
  EXPECT_LT(NowMs() - t0, 300);
  EXPECT_EQ(QZ_GetLastError(), 0);
}

TEST(BufferFunctions, ChecksCountsAndCodesAsTheyCame) {
  Device d(Model::RX5K30, nullptr, SetLevels);
  ASSERT_TRUE(d.ok());
  unsigned short status = 7;
  unsigned size = 7, total = 7, st = 7;
  EXPECT_EQ(QZ_GetAIBufferStatus(d.h(), &status, &size), 1);  // no scan yet
  EXPECT_EQ(status, 0);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(QZ_GetTotalSamplingStatus(d.h(), &total, &st), 1);
  EXPECT_EQ(total, 0u);  // the module's count
  EXPECT_TRUE(FailsWith(QZ_GetAIBufferStatus(d.h(), &status, nullptr), QZ_ERR_INVALID_ARGUMENT));
  EXPECT_TRUE(FailsWith(QZ_GetAIBuffer(d.h(), nullptr, 4), QZ_ERR_INVALID_ARGUMENT));

  // An invalid handle clears what the functions list, and only that.
  int junk = 0;
  unsigned codes[2] = {9, 9};
  float volts[2] = {9, 9};
  status = 7, size = 7, total = 7, st = 7;
  EXPECT_TRUE(FailsWith(QZ_GetAIBufferStatus(&junk, &status, &size), QZ_ERR_INVALID_HANDLE));
  EXPECT_EQ(status + size, 0u);
  EXPECT_TRUE(FailsWith(QZ_GetAIBufferHex(&junk, codes, 2), QZ_ERR_INVALID_HANDLE));
  EXPECT_TRUE(FailsWith(QZ_GetAIBuffer(&junk, volts, 2), QZ_ERR_INVALID_HANDLE));
  EXPECT_EQ(codes[0] + codes[1], 9u);
  EXPECT_EQ(volts[0] + volts[1], 9.0f);
  EXPECT_TRUE(FailsWith(QZ_GetTotalSamplingStatus(&junk, &total, &st), QZ_ERR_INVALID_HANDLE));
  EXPECT_EQ(total + st, 14u);
  EXPECT_TRUE(FailsWith(QZ_ClearAIBuffer(&junk), QZ_ERR_INVALID_HANDLE));

  // The 4-byte words come out as the module sent them; a clear empties the ring.
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 3, 0, 0, 2000, 60, 0, 0), 1);
  ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
  ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_SCAN_ENDED));
  std::vector<unsigned> hex(30);
  ASSERT_EQ(QZ_GetAIBufferHex(d.h(), hex.data(), 30), 30);
  EXPECT_EQ(std::memcmp(hex.data(), Streamer(d).Sent().data(), 120), 0);
  EXPECT_EQ(QZ_ClearAIBuffer(d.h()), 1);
  EXPECT_EQ(RingStatus(d.h()), 0);
  EXPECT_EQ(QZ_GetAIBufferHex(d.h(), hex.data(), 30), 0);
  EXPECT_EQ(QZ_StopAIScan(d.h()), 1);

  // Events: stored, a null callback keeps the one stored, removal clears all.
  HighSpeedModel& m = d.As<HighSpeedModel>();
  int arg = 0;
  EXPECT_EQ(QZ_SetEventCallback(d.h(), QZ_EVENT_SCAN_DONE, 0, &junk, &arg), 1);
  EXPECT_EQ(QZ_SetEventCallback(d.h(), QZ_EVENT_TIMEOUT, 0, nullptr, nullptr), 1);
  EXPECT_EQ(m.eventMask, QZ_EVENT_TIMEOUT);
  EXPECT_EQ(m.userCallback, &junk);
  EXPECT_EQ(QZ_RemoveEventCallback(d.h(), 0), 1);
  EXPECT_EQ(m.eventMask, 0);
  EXPECT_EQ(m.userCallback, nullptr);
}

}  // namespace

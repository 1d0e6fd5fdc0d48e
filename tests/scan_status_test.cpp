// Around the scan runs: the module status queries ("~01N", "~01SST", "~01E") and the reboot,
// the ring size and time-out unit a start computes, the starts refused before anything
// changes, and the buffer functions' own checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
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

TEST(ScanStatus, SampleCountPollByLayout) {
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

TEST(ScanStatus, StartTimeTransmitAndReboot) {
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
  EXPECT_TRUE(FailsWith(QZ_TransmitDataCmd(d.h()), QZ_ERR_DEVICE_RESPONSE));  // no run
  d.Reply("~01E", "!01");
  EXPECT_EQ(QZ_TransmitDataCmd(d.h()), 1);
  // The module restarts without a reply: nothing is waited for, nothing is owed.
  QZ_ClearLastError();
  const long long t0 = NowMs();
  EXPECT_EQ(QZ_Reboot(d.h()), 1);
  EXPECT_LT(NowMs() - t0, 300);
  EXPECT_EQ(QZ_GetLastError(), 0);
}

TEST(ScanStatus, RingSizeTimeoutUnitAndRefusedStarts) {
  const struct {
    Model m;
    int channels;
    unsigned n;
    int override;
    // The ring (N x 20 bytes, 1,460,000 without a target) x 2.5 / (rate 100 x channels),
    // truncated; RX5K10's override of 1 or more.
    int unit;
  } kCases[] = {{Model::RX5K10, 8, 1000, -1, 62},   {Model::RX5K10, 8, 0, 0, 4562},
                {Model::RX5K10, 8, 1000, 3, 3},     {Model::RX5K30, 4, 1000, -1, 0},
                {Model::RXBN500, 4, 1000, -1, 0}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(nivex::emu::ModelText(c.m));
    Device d(c.m);
    ASSERT_TRUE(d.ok());
    if (c.m == Model::RX5K30) {  // the constructed channel count, 8, is beyond its inputs
      EXPECT_TRUE(FailsWith(QZ_StartAIScan(d.h()), QZ_ERR_CHANNEL_RANGE));
      EXPECT_EQ(CountOf(d.Take(), "~01S"), 0);
    }
    ASSERT_EQ(QZ_SetAIScanParam(d.h(), c.channels, 0, 0, 100, c.n, 0, 0), 1);
    if (c.unit) {
      ASSERT_EQ(QZ_SetConfig(d.h(), 5, 2, c.override), 1);
    }
    ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
    EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
    int unit = 0;
    if (c.unit) {
      ASSERT_EQ(QZ_SetConfig(d.h(), 5, 2, -1) + QZ_GetConfig(d.h(), 5, 2, &unit), 2);
      EXPECT_EQ(unit, c.unit);
    }
  }
  // No scan: the stop still tells the module. Disconnected: 0 and nothing sent.
  Device d(Model::RXBN500);
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
  EXPECT_EQ(d.Take(), Strings{"~01Z"});
  d.model().DisconnectServer();
  EXPECT_EQ(QZ_StopAIScan(d.h()) + QZ_StartAIScan(d.h()), 0);
  EXPECT_EQ(d.model().GetTCPReceivedCnt(), 0u);
  EXPECT_TRUE(d.Take().empty());
}

TEST(ScanStatus, BufferFunctionsChecksAndRawWords) {
  Device d(Model::RX5K30, nullptr, SetLevels);
  ASSERT_TRUE(d.ok());
  unsigned short status = 7;
  unsigned size = 7, total = 7, st = 7;
  EXPECT_EQ(QZ_GetAIBufferStatus(d.h(), &status, &size), 1);  // no scan yet
  EXPECT_EQ(status + size, 0u);
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
  EXPECT_TRUE(FailsWith(QZ_GetAIBufferHex(&junk, codes, 2), QZ_ERR_INVALID_HANDLE));
  EXPECT_TRUE(FailsWith(QZ_GetAIBuffer(&junk, volts, 2), QZ_ERR_INVALID_HANDLE));
  EXPECT_TRUE(FailsWith(QZ_GetTotalSamplingStatus(&junk, &total, &st), QZ_ERR_INVALID_HANDLE));
  EXPECT_EQ(status + size + codes[0] + volts[0], 0.0f);
  EXPECT_EQ(codes[1] + volts[1] + total + st, 9.0f + 9 + 7 + 7);

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
}

TEST(ScanStatus, RingCallsAndTheStopNeverWaitForTheModule) {
  // Trigger mode 3 buffers in the module: the worker polls "~01N", which the module answers
  // 800 ms late, or never.
  for (const int lateMs : {800, -1}) {
    SCOPED_TRACE(lateMs);
    Device d(Model::RX5K10, nullptr, SetLevels);
    ASSERT_TRUE(d.ok());
    ASSERT_EQ(QZ_SetAIScanParam(d.h(), 2, 0, 3, 1000, 400, 0, 0), 1);
    nivex::emu::Fault late = MakeFault(
        "~01N", lateMs < 0 ? nivex::emu::FaultKind::NoReply : nivex::emu::FaultKind::Delay, "", -1);
    late.delayMs = lateMs;
    d.emu().AddFault(late);
    ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
    ASSERT_TRUE(WaitUntil([&] { return CountOf(d.Take(), "~01N") > 0; }, 2000));
    long long slowest = 0;
    for (int i = 0; i < 15; ++i) {
      unsigned short status;
      unsigned size, total, st, codes[4];
      float volts[4];
      const long long t0 = NowMs();
      QZ_GetAIBufferStatus(d.h(), &status, &size);
      QZ_GetTotalSamplingStatus(d.h(), &total, &st);
      QZ_GetAIBuffer(d.h(), volts, 4);
      QZ_GetAIBufferHex(d.h(), codes, 4);
      QZ_ClearAIBuffer(d.h());
      slowest = std::max(slowest, NowMs() - t0);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    EXPECT_LT(slowest, 200);
    // The stop comes just after a "~01N" went out, so the worker waits for its reply.
    const int polls = CountOf(d.emu().Commands(), "~01N");
    ASSERT_TRUE(WaitUntil([&] { return CountOf(d.emu().Commands(), "~01N") > polls; }, 2000));
    const long long t0 = NowMs();
    long long stopSeen = t0 + 99999;  // when the module got "~01Z"
    std::thread watch([&] {
      if (WaitUntil([&] { return CountOf(d.emu().Commands(), "~01Z") > 0; }, 3000))
        stopSeen = NowMs();
    });
    EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
    EXPECT_LT(NowMs() - t0, 1000);
    watch.join();
    EXPECT_LT(stopSeen - t0, 500);
    EXPECT_EQ(CountOf(d.Take(), "~01Z"), 1);
  }
}

}  // namespace

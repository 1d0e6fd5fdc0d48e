// Scans of the three high-speed types against the emulator's data port: N-sample and
// continuous runs, the pre-phase of buffered runs, trigger modes 3, 6 and 8, the ends by
// silence and by a closed connection, overflow, a refused second start and the sync-in stream.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "drivers/highspeed/HighSpeedModel.h"
#include "nivex.h"
#include "tests/common/ScanFixture.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace nivex::test;
using nivex::emu::Model;
using nivex::emu::StreamSettings;

constexpr unsigned short kDone = QZ_BUF_SCAN_ENDED | QZ_BUF_TARGET_REACHED;

std::string Name(Model m) { return nivex::emu::ModelText(m); }

// Every volt value is its channel's level (the channel of its place in the stream, the first
// sample being channel `first`).
void ExpectLevels(const std::vector<float>& v, int channels, int first = 0) {
  int wrong = 0;
  for (size_t i = 0; i < v.size(); ++i)
    wrong += std::fabs(v[i] - Level(static_cast<int>((first + i) % channels))) > 0.002;
  EXPECT_EQ(wrong, 0) << "of " << v.size();
}

std::vector<float> ReadVolts(void* h, unsigned n) {
  std::vector<float> v(n + 8);
  v.resize(static_cast<size_t>(QZ_GetAIBuffer(h, v.data(), n + 8)));
  return v;
}

TEST(ScanRun, NSampleScanReachesItsTargetExactlyWithTheModulesLevels) {
  const struct {
    Model m;
    int channels, rate;
  } kTypes[] = {{Model::RX5K10, 4, 2000}, {Model::RX5K30, 3, 2000}, {Model::RXBN500, 3, 2000}};
  for (const auto& t : kTypes) {
    for (const bool split : {false, true}) {
      SCOPED_TRACE(Name(t.m) + (split ? " split" : ""));
      Device d(t.m, nullptr, SetLevels);
      ASSERT_TRUE(d.ok());
      const unsigned n = split ? 90 : 600;
      ASSERT_EQ(QZ_SetAIScanParam(d.h(), t.channels, 0, 0, t.rate, n, 0, 0), 1);
      Stream(d, [&](StreamSettings& s) { s.splitPauseMs = split ? 1 : -1; });
      d.Take();
      ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
      ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_SCAN_ENDED));
      EXPECT_EQ(RingStatus(d.h()), kDone | QZ_BUF_DATA);
      unsigned total = 0, status = 0;
      EXPECT_EQ(QZ_GetTotalSamplingStatus(d.h(), &total, &status), 1);
      EXPECT_EQ(total, n);
      EXPECT_EQ(SettledAckSum(d), n);
      EXPECT_EQ(Streamer(d).Counters().samplesSent, n);
      const std::vector<float> v = ReadVolts(d.h(), n);
      EXPECT_EQ(v.size(), n);
      ExpectLevels(v, t.channels);
      EXPECT_EQ(RingStatus(d.h()), kDone);  // read empty
      EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
      // A live run: no pre-phase.
      const Strings sent = d.Take();
      EXPECT_EQ(CountOf(sent, "~01N") + CountOf(sent, "~01E"), 0);
      EXPECT_EQ(CountOf(sent, "~01S"), 1);
    }
  }
}

TEST(ScanRun, BufferedScanPollsUntilTheModuleHasItsSamplesThenTransmitsOnce) {
  const struct {
    Model m;
    int channels, rate;
  } kTypes[] = {{Model::RX5K10, 8, 40000}, {Model::RX5K30, 4, 128000}, {Model::RXBN500, 4, 64000}};
  for (const auto& t : kTypes) {
    SCOPED_TRACE(Name(t.m));
    Device d(t.m, nullptr, SetLevels);
    ASSERT_TRUE(d.ok());
    const unsigned n = 16000;
    ASSERT_EQ(QZ_SetAIScanParam(d.h(), t.channels, 0, 0, t.rate, n, 0, 0), 1);
    d.Take();
    ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
    ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_SCAN_ENDED));
    EXPECT_EQ(RingStatus(d.h()), kDone | QZ_BUF_DATA);
    unsigned total = 0, status = 0;
    QZ_GetTotalSamplingStatus(d.h(), &total, &status);
    EXPECT_EQ(total, n);
    ExpectLevels(ReadVolts(d.h(), n), t.channels);
    EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
    const Strings sent = d.Take();
    EXPECT_GE(CountOf(sent, "~01N"), 1);
    EXPECT_EQ(CountOf(sent, "~01E"), 1);
    EXPECT_LT(IndexOf(sent, "~01N"), IndexOf(sent, "~01E"));
  }
}

TEST(ScanRun, ContinuousScanRunsUntilStopped) {
  for (const Model m : {Model::RX5K10, Model::RX5K30, Model::RXBN500}) {
    SCOPED_TRACE(Name(m));
    Device d(m, nullptr, SetLevels);
    ASSERT_TRUE(d.ok());
    ASSERT_EQ(QZ_SetAIScanParam(d.h(), 2, 0, 0, 2000, 0, 0, 0), 1);
    ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
    ASSERT_TRUE(WaitUntil([&] { return RingSize(d.h()) >= 400; }, 5000));
    ExpectLevels(ReadVolts(d.h(), 300), 2);
    const long long t0 = NowMs();
    EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
    EXPECT_LT(NowMs() - t0, 500);
    EXPECT_FALSE(Streamer(d).Counters().active);
    EXPECT_EQ(RingStatus(d.h()) & ~QZ_BUF_DATA, QZ_BUF_SCAN_ENDED);
    float v[4];
    EXPECT_EQ(QZ_GetAIBuffer(d.h(), v, 4), 0);  // the ring is freed
  }
}

TEST(ScanRun, TriggeredRunsWaitForTheModulesTrigger) {
  // Mode 3: "~01E" once the trigger bit is up. Mode 6: "~01XN", then "~01E"; the run ends at
  // the trigger's place plus the post count when the module had fewer than N samples.
  const struct {
    Model m;
    int mode;
  } kCases[] = {{Model::RX5K10, 3}, {Model::RX5K10, 6}, {Model::RX5K30, 6}, {Model::RXBN500, 6}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(Name(c.m) + " mode " + std::to_string(c.mode));
    Device d(c.m, nullptr, SetLevels);
    ASSERT_TRUE(d.ok());
    const unsigned n = 400;
    ASSERT_EQ(QZ_SetAIScanParam(d.h(), 2, 0, c.mode, 1000, n, 0, 0), 1);
    if (c.mode == 6) {
      char on[2] = {1, 0};
      float high[2] = {1.0f, 0.0f}, low[2] = {-1.0f, 0.0f};
      ASSERT_EQ(QZ_SetAIAnalogTriggerParam(d.h(), 0, on, high, low, 2, 100, 300), 1);
    }
    Stream(d, [](StreamSettings& s) { s.triggerAfterMs = 250; });
    d.Take();
    ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
    ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_SCAN_ENDED, 8000));
    const auto k = Streamer(d).Counters();
    EXPECT_EQ(RingStatus(d.h()), kDone | QZ_BUF_DATA);
    const uint64_t end = c.mode == 6 ? k.triggerIndex + 300 : n;
    EXPECT_EQ(RingSize(d.h()), end);
    EXPECT_EQ(SettledAckSum(d), end);
    ExpectLevels(ReadVolts(d.h(), n), 2);
    QZ_StopAIScan(d.h());
    const Strings sent = d.Take();
    EXPECT_EQ(CountOf(sent, "~01E"), 1);
    if (c.mode == 6) {
      EXPECT_EQ(IndexOf(sent, "~01XN") + 1, IndexOf(sent, "~01E"));
    }
  }
}

TEST(ScanRun, ChunkModeCountsReceivesAndKeepsNoData) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 2, 0, 8, 1000, 5, 0, 0), 1);
  ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
  ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_SCAN_ENDED));
  unsigned total = 0, status = 0;
  QZ_GetTotalSamplingStatus(d.h(), &total, &status);
  EXPECT_EQ(status, kDone);  // the ring stayed empty
  EXPECT_EQ(total, 5u);
  EXPECT_EQ(SettledAckSum(d), Streamer(d).Counters().samplesSent);
  QZ_StopAIScan(d.h());
}

TEST(ScanRun, SilenceStallsAndAClosedConnectionEnds) {
  QuickTimings quick;
  for (const Model m : {Model::RX5K10, Model::RX5K30, Model::RXBN500}) {
    for (const bool close : {false, true}) {
      SCOPED_TRACE(Name(m) + (close ? " closed" : " silent"));
      Device d(m);
      ASSERT_TRUE(d.ok());
      // A short target at a high rate: a time-out unit of 1, a silence limit of 50 ms.
      ASSERT_EQ(QZ_SetAIScanParam(d.h(), 2, 0, 0, 1000, 20, 0, 0), 1);
      const uint64_t bytes = m == Model::RX5K10 ? 8 : 16;  // two rows, then nothing
      Stream(d, [&](StreamSettings& s) {
        (close ? s.closeAfterBytes : s.silenceAfterBytes) = bytes;
      });
      const long long t0 = NowMs();
      ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
      ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_SCAN_ENDED));
      const long long took = NowMs() - t0;
      EXPECT_EQ(RingStatus(d.h()),
                QZ_BUF_DATA | QZ_BUF_SCAN_ENDED | (close ? 0 : QZ_BUF_SCAN_TIMEOUT));
      EXPECT_EQ(RingSize(d.h()), 4u);
      if (!close) {
        EXPECT_GE(took, 12 * 50);  // twelve expiries of the limit
      }
      EXPECT_LT(took, 4000);
      QZ_StopAIScan(d.h());
    }
  }
}

TEST(ScanRun, OverflowDropsWholeRowsAndKeepsEveryChannel) {
  for (const Model m : {Model::RX5K10, Model::RX5K30, Model::RXBN500}) {
    SCOPED_TRACE(Name(m));
    Device d(m, nullptr, SetLevels);
    ASSERT_TRUE(d.ok());
    ASSERT_EQ(QZ_SetAIScanParam(d.h(), 3, 0, 0, 1000, 0, 0, 0), 1);
    Stream(d, [](StreamSettings& s) {
      s.fast = true;
      s.record = false;
    });
    ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
    ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_OVERFLOW));
    // Reads, then more drops, then reads again: every sample keeps its channel.
    size_t taken = 0;
    for (int round = 0; round < 3; ++round) {
      const std::vector<float> v = ReadVolts(d.h(), 50000);
      ExpectLevels(v, 3, static_cast<int>(taken % 3));
      taken += v.size();
      ASSERT_TRUE(WaitUntil([&] { return RingSize(d.h()) > 100000; }, 5000));
    }
    EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
  }
}

TEST(ScanRun, ARefusedSecondStartLeavesTheFirstRunning) {
  Device d(Model::RX5K30, nullptr, SetLevels);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 4, 0, 0, 2000, 800, 0, 0), 1);
  ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
  ASSERT_TRUE(WaitUntil([&] { return RingSize(d.h()) >= 40; }, 2000));
  EXPECT_TRUE(FailsWith(QZ_StartAIScan(d.h()), QZ_ERR_DEVICE_BUSY));
  ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_SCAN_ENDED));
  EXPECT_EQ(RingStatus(d.h()), kDone | QZ_BUF_DATA);
  EXPECT_EQ(RingSize(d.h()), 800u);
  EXPECT_EQ(Streamer(d).Counters().runs, 1u);
  // Also a finished scan is stopped before the next starts.
  EXPECT_TRUE(FailsWith(QZ_StartAIScan(d.h()), QZ_ERR_DEVICE_BUSY));
  EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
  EXPECT_EQ(QZ_StartAIScan(d.h()), 1);
  EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
}

TEST(ScanRun, BytesBeyondTheTargetNeverReachTheNextScan) {
  Device d(Model::RX5K10, nullptr, SetLevels);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 3, 0, 0, 3000, 300, 0, 0), 1);
  Stream(d, [](StreamSettings& s) { s.extraSamples = 101; });
  const int data = d.As<nivex::HighSpeedModel>().dataSock;
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
    ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_SCAN_ENDED));
    // The 101 samples beyond the target wait on the host's socket.
    ASSERT_TRUE(WaitUntil([&] {
      int waiting = 0;
      return ioctl(data, FIONREAD, &waiting) == 0 && waiting == 202;
    }, 2000));
    std::vector<unsigned> codes(400);
    ASSERT_EQ(QZ_GetAIBufferHex(d.h(), codes.data(), 400), 300);
    // The run's own first 300 samples, byte for byte.
    const std::string sent = Streamer(d).Sent();
    for (int i = 0; i < 300; ++i) {
      int16_t code;
      std::memcpy(&code, sent.data() + 2 * i, 2);
      ASSERT_EQ(static_cast<int>(codes[i]), code) << "run " << run << " sample " << i;
    }
    EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
  }
}

TEST(ScanRun, SyncInWorkerFillsTheRingWithTheFramesSent) {
  Device d(Model::RX5K10, nullptr, SetLevels);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 4, 0, 0, 2000, 0, 0, 0), 1);
  unsigned short counts[2] = {3, 2}, types[2] = {0, 4};  // 3 analog codes, 2 32-bit values
  ASSERT_EQ(QZ_SetSyncInScanParam(d.h(), 1, counts, types, 2, QZ_SYNCIN_ENABLE, 0), 1);
  ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
  const unsigned frame = 4 + 3 * 2 + 2 * 4;
  ASSERT_TRUE(WaitUntil([&] { return d.model().GetTCPReceivedCnt() >= 100 * frame / 2; }, 5000));
  std::string kept(200 * frame, '\0');
  kept.resize(static_cast<size_t>(d.model().ReadHostLANBuffer(&kept[0], 200 * frame)));
  EXPECT_GE(kept.size(), 100u * frame);
  EXPECT_EQ(kept, Streamer(d).Sent().substr(0, kept.size()));
  EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
  EXPECT_EQ(SettledAckSum(d), d.model().GetTCPReceivedCnt());
  EXPECT_EQ(RingStatus(d.h()) & QZ_BUF_SCAN_ENDED, QZ_BUF_SCAN_ENDED);
}

}  // namespace

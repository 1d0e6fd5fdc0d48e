// Scans of the three high-speed types against the emulator's data port: how runs end (target,
// trigger, chunks, silence, closed connection) with and without the pre-phase, stops, overflow,
// a refused second start, the sync-in stream, release during a scan and one handle used from
// four threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "drivers/highspeed/HighSpeedTables.h"
#include "drivers/slot/SlotCarrier.h"
#include "nivex.h"
#include "tests/common/ScanFixture.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace nivex::test;
using nivex::emu::Model;
using nivex::emu::StreamSettings;
constexpr Model K10 = Model::RX5K10, K30 = Model::RX5K30, BN = Model::RXBN500;
constexpr unsigned short kData = QZ_BUF_DATA, kEnded = QZ_BUF_SCAN_ENDED;
constexpr unsigned short kDone = QZ_BUF_SCAN_ENDED | QZ_BUF_TARGET_REACHED;

std::vector<float> ReadVolts(void* h, unsigned n) {
  std::vector<float> v(n + 8);
  v.resize(static_cast<size_t>(QZ_GetAIBuffer(h, v.data(), n + 8)));
  return v;
}

// Every value is the level of its channel: the first is channel `first`.
void ExpectLevels(const std::vector<float>& v, int channels, size_t first = 0) {
  int wrong = 0;
  for (size_t i = 0; i < v.size(); ++i)
    wrong += std::fabs(v[i] - Level(static_cast<int>((first + i) % channels))) > 0.002;
  EXPECT_EQ(wrong, 0) << "of " << v.size();
}

TEST(ScanRun, EachKindOfRunHasItsPlan) {
  using nivex::RunPlan;
  using nivex::RunSink;
  using nivex::WorkerKind;
  nivex::HighSpeedRun h;  // 2 channels of 2 bytes, 100 samples, the protocol's timings
  h.traits = {2, 2, 240000, 0x74, 1, 0, false, true, -1};
  h.channels = 2, h.rate = 1000, h.target = 100;
  nivex::SlotRun c;  // three slots, the second without channels
  c.timings = h.timings, c.channels = 24, c.rate = 1000, c.target = 200, c.slots = 3;
  c.traits = {5, 0, 7300, 1460, true, false};
  c.slotChannels[0] = 8, c.slotChannels[2] = 16, c.slotTargets[0] = 67, c.slotTargets[2] = 133;
  auto mode = [](auto r, int m) { return r.mode = static_cast<uint16_t>(m), r; };
  const struct {
    RunPlan p;
    WorkerKind kind;
    unsigned short ended, stall;
    bool prePhase, indexEnds, openEnds, drains;
    RunSink sink;
    unsigned unit;
    uint32_t target;
    bool chunks;
    long stopMs;
  } kPlans[] = {
      {HighSpeedScanPlan(h), WorkerKind::Scan, kEnded, QZ_BUF_SCAN_TIMEOUT, true, false, false,
       true, RunSink::Ring, 2, 100, false, 1000},
      {HighSpeedScanPlan(mode(h, 6)), WorkerKind::Scan, kEnded, QZ_BUF_SCAN_TIMEOUT, true, true,
       false, true, RunSink::Ring, 2, 100, false, 1000},
      {HighSpeedScanPlan(mode(h, 8)), WorkerKind::Scan, kEnded, QZ_BUF_SCAN_TIMEOUT, true, false,
       false, true, RunSink::None, 2, 0, true, 1000},
      {HighSpeedSyncInPlan(h), WorkerKind::SyncIn, kEnded, QZ_BUF_SCAN_TIMEOUT, false, false,
       true, true, RunSink::Ring, 2, 0, false, 1000},
      {HighSpeedLoggerPlan(mode(h, 8)), WorkerKind::Logger, QZ_BUF_LOG_ENDED, QZ_BUF_LOG_TIMEOUT,
       true, false, false, true, RunSink::Files, 2, 0, true, 5000},
      {HighSpeedDownloadPlan(h), WorkerKind::Download, QZ_BUF_LOG_ENDED, QZ_BUF_LOG_TIMEOUT,
       false, false, false, false, RunSink::Files, 2, 100, false, 1000},
      {SlotScanPlan(c), WorkerKind::Scan, kEnded, QZ_BUF_LOG_TIMEOUT, false, false, false, true,
       RunSink::Ring, 2, 67, false, 1000},
      {SlotLogPlan(mode(c, 2)), WorkerKind::Logger, QZ_BUF_LOG_ENDED, QZ_BUF_LOG_TIMEOUT, false,
       true, false, true, RunSink::Ring, 2, 67, false, 5000},
  };
  for (const auto& w : kPlans) {
    SCOPED_TRACE(std::to_string(&w - kPlans));
    const RunPlan& p = w.p;
    EXPECT_EQ(p.kind, w.kind);
    EXPECT_EQ(p.rules.endedBit, w.ended);
    EXPECT_EQ(p.rules.stallBit, w.stall);
    EXPECT_EQ(p.rules.hasPrePhase, w.prePhase);
    EXPECT_EQ((p.rules.indexEndModes >> p.setup.mode) & 1, w.indexEnds);
    EXPECT_EQ(p.rules.silenceEndsOpenRun, w.openEnds);
    EXPECT_EQ(p.drainAtStart, w.drains);
    EXPECT_EQ(p.receiver[0].sink, w.sink);
    EXPECT_EQ(p.receiver[0].stream.unitBytes, w.unit);
    EXPECT_EQ(p.receiver[0].stream.target, w.target);
    EXPECT_EQ(p.receiver[0].stream.chunkStream, w.chunks);
    EXPECT_EQ(p.stopBound.count(), w.stopMs);
    const bool slots = &w >= kPlans + 6;  // the second slot is neither waited on nor counted
    EXPECT_EQ(p.receivers, slots ? 3 : 1);
    if (slots) {
      EXPECT_TRUE(!p.receiver[1].active && p.receiver[2].share == 133);
    }
  }
}

TEST(ScanRun, EachWayARunEnds) {
  enum Fault { kNone, kSplit, kSilent, kClosed };
  const struct {
    Model m;
    int channels, mode, rate;
    unsigned n;
    Fault fault;
    unsigned short status;  // once ended
    int count;              // what the host received; -1: the trigger's place + post count
    bool prePhase;
  } kRuns[] = {
      {K10, 4, 0, 2000, 600, kNone, kDone | kData, 600, false},  // live
      {K30, 3, 0, 2000, 600, kNone, kDone | kData, 600, false},
      {BN, 3, 0, 2000, 600, kNone, kDone | kData, 600, false},
      {K10, 4, 0, 2000, 90, kSplit, kDone | kData, 90, false},  // sends end inside samples
      {K30, 3, 0, 2000, 90, kSplit, kDone | kData, 90, false},
      {BN, 3, 0, 2000, 90, kSplit, kDone | kData, 90, false},
      {K10, 8, 0, 40000, 16000, kNone, kDone | kData, 16000, true},  // buffered by the rate
      {K30, 4, 0, 128000, 16000, kNone, kDone | kData, 16000, true},
      {BN, 4, 0, 64000, 16000, kNone, kDone | kData, 16000, true},
      {K10, 2, 3, 1000, 400, kNone, kDone | kData, 400, true},  // the trigger bit
      {K10, 2, 6, 1000, 400, kNone, kDone | kData, -1, true},   // analog trigger
      {K30, 2, 6, 1000, 400, kNone, kDone | kData, -1, true},
      {BN, 2, 6, 1000, 400, kNone, kDone | kData, -1, true},
      {K10, 2, 8, 1000, 5, kNone, kDone, 5, false},  // chunks: counted, not kept
      {K10, 2, 0, 1000, 20, kSilent, kData | kEnded | QZ_BUF_SCAN_TIMEOUT, 4, false},
      {K30, 2, 0, 1000, 20, kSilent, kData | kEnded | QZ_BUF_SCAN_TIMEOUT, 4, false},
      {BN, 2, 0, 1000, 20, kSilent, kData | kEnded | QZ_BUF_SCAN_TIMEOUT, 4, false},
      {K10, 2, 0, 1000, 20, kClosed, kData | kEnded, 4, false},
      {K30, 2, 0, 1000, 20, kClosed, kData | kEnded, 4, false},
      {BN, 2, 0, 1000, 20, kClosed, kData | kEnded, 4, false},
  };
  QuickTimings quick;
  for (const auto& r : kRuns) {
    SCOPED_TRACE(std::string(nivex::emu::ModelText(r.m)) + " mode " + std::to_string(r.mode) +
                 " N " + std::to_string(r.n) + " fault " + std::to_string(r.fault));
    Device d(r.m, nullptr, SetLevels);
    ASSERT_TRUE(d.ok());
    ASSERT_EQ(QZ_SetAIScanParam(d.h(), r.channels, 0, r.mode, r.rate, r.n, 0, 0), 1);
    char on[2] = {1, 0};
    float high[2] = {1, 0}, low[2] = {-1, 0};
    if (r.mode == 6) {
      ASSERT_EQ(QZ_SetAIAnalogTriggerParam(d.h(), 0, on, high, low, 2, 100, 300), 1);
    }
    const uint64_t twoRows = r.m == K10 ? 8 : 16;  // a time-out unit of 1: 50 ms of silence
    Stream(d, [&](StreamSettings& s) {
      s.triggerAfterMs = 250;
      s.splitPauseMs = r.fault == kSplit ? 1 : -1;
      if (r.fault == kSilent) s.silenceAfterBytes = twoRows;
      if (r.fault == kClosed) s.closeAfterBytes = twoRows;
    });
    d.Take();
    const long long t0 = NowMs();
    ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
    ASSERT_TRUE(WaitForStatus(d.h(), kEnded, 8000));
    const long long took = NowMs() - t0;
    const nivex::emu::StreamCounters k = Streamer(d).Counters();
    EXPECT_EQ(RingStatus(d.h()), r.status);
    const unsigned count = r.count >= 0 ? static_cast<unsigned>(r.count) : k.triggerIndex + 300;
    unsigned total = 0, status = 0;
    EXPECT_EQ(QZ_GetTotalSamplingStatus(d.h(), &total, &status), 1);
    EXPECT_EQ(total, count);
    // Every sample the module sent was acknowledged (a closed connection takes no more).
    if (r.fault != kClosed) {
      EXPECT_TRUE(WaitUntil([&] { return Streamer(d).Counters().ackSum == k.samplesSent; }, 2000));
    }
    if (r.mode != 8) {
      EXPECT_EQ(k.samplesSent, count);
      ExpectLevels(ReadVolts(d.h(), count), r.channels);
      EXPECT_EQ(RingStatus(d.h()) & kData, 0);  // read empty
    }
    if (r.fault == kSilent) {
      EXPECT_GE(took, 12 * 50);  // twelve expiries of the limit
    }
    EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
    const Strings sent = d.Take();
    EXPECT_EQ(CountOf(sent, "~01N") > 0, r.prePhase);
    EXPECT_EQ(CountOf(sent, "~01E"), r.prePhase ? 1 : 0);
    const auto transmit = std::find(sent.begin(), sent.end(), "~01E");
    if (r.mode == 6 && transmit != sent.begin()) {
      EXPECT_EQ(*(transmit - 1), "~01XN");
    }
    if (r.fault == kClosed) {  // the closed data connection is opened again: a whole next run
      Stream(d, [](StreamSettings& s) { s.closeAfterBytes = StreamSettings::kNever; });
      ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
      ASSERT_TRUE(WaitForStatus(d.h(), kEnded, 8000));
      EXPECT_EQ(RingStatus(d.h()), kDone | kData);
      EXPECT_EQ(QZ_GetTotalSamplingStatus(d.h(), &total, &status) * total, r.n);
      EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
    }
  }
}

TEST(ScanRun, WhatTheModuleSendsAfterTheStopNeverReachesTheNextRun) {
  // The module goes on streaming, as fast as the connection takes it, for 500 ms after "~01Z".
  // The kit knows the stream has ended by a moment of quiet; under the thread sanitizer the
  // emulator's own pauses outlast that moment, so the check needs an uninstrumented build.
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the emulator pauses longer than the kit's moment of quiet";
#endif
  // Or it trickles small pieces for longer than the stop waits: the next start waits for its
  // quiet (here the host half starts well before the module's).
  const struct {
    Model m;
    bool trickle;
  } kCases[] = {{K10, false}, {BN, false}, {K10, true}};
  for (const auto& c : kCases) {
    const Model m = c.m;
    const bool trickle = c.trickle;
    SCOPED_TRACE(std::string(nivex::emu::ModelText(m)) + (trickle ? " trickle" : ""));
    Device d(m, nullptr, SetLevels);
    ASSERT_TRUE(d.ok());
    ASSERT_EQ(QZ_SetAIScanParam(d.h(), 3, 0, 0, 1000, 0, 0, 0), 1);
    Stream(d, [&](StreamSettings& s) {
      s.fast = true, s.lingerMs = trickle ? 1500 : 500, s.splitPauseMs = trickle ? 30 : -1;
    });
    ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
    ASSERT_TRUE(WaitForStatus(d.h(), kData));
    EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
    Stream(d, [](StreamSettings& s) { s.splitPauseMs = -1; });
    ASSERT_EQ(QZ_SetAIScanParam(d.h(), 2, 0, 0, 1000, 4000, 0, 0), 1);
    if (trickle) {
      ASSERT_EQ(d.model().StartAIScan(), 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      char reply[QZ_REPLY_SIZE];
      ASSERT_EQ(QZ_SendRecv(d.h(), "~01S", reply, 1000), 1);
    } else {
      ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
    }
    ASSERT_TRUE(WaitForStatus(d.h(), kEnded, 8000));
    std::vector<unsigned> codes(4001);
    ASSERT_EQ(QZ_GetAIBufferHex(d.h(), codes.data(), 4001), 4000);  // exactly its own samples
    std::string got;  // the codes as the module sent them (little-endian, as this host)
    for (size_t i = 0; i < 4000; ++i)
      got.append(reinterpret_cast<const char*>(&codes[i]), m == K10 ? 2 : 4);
    EXPECT_TRUE(got == Streamer(d).Sent()) << got.size();
    EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
  }
}

TEST(ScanRun, AStopEndsARunAtOnceAndTheNextStartsAfresh) {
  // Streaming on; a silent module in a 5 s data wait; a pre-phase pausing 2.5 s for a
  // trigger that never comes.
  const struct {
    Model m;
    int mode;
    unsigned n;
    bool silent;
  } kCases[] = {{K10, 0, 0, false}, {BN, 0, 0, false}, {K30, 0, 0, true}, {K10, 3, 10000, true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(nivex::emu::ModelText(c.m) + std::string(c.silent ? " silent" : ""));
    Device d(c.m, nullptr, SetLevels);
    ASSERT_TRUE(d.ok());
    ASSERT_EQ(QZ_SetAIScanParam(d.h(), 2, 0, c.mode, 1000, c.n, 0, 0), 1);
    if (c.silent) Stream(d, [](StreamSettings& s) { s.silenceAfterBytes = 0; });
    for (int run = 0; run < 2; ++run) {
      ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
      ASSERT_FALSE(WaitForStatus(d.h(), kEnded, 200));
      if (!c.silent) ExpectLevels(ReadVolts(d.h(), 100), 2);
      const long long t0 = NowMs();
      EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
      EXPECT_LT(NowMs() - t0, 500);
      EXPECT_FALSE(Streamer(d).Counters().active);
      EXPECT_EQ(RingStatus(d.h()) & ~kData, kEnded);
      float v[4];
      EXPECT_EQ(QZ_GetAIBuffer(d.h(), v, 4), 0);  // the ring is freed
    }
  }
}

TEST(ScanRun, OverflowDropsWholeRowsAndEverySampleKeepsItsChannel) {
  for (const Model m : {K10, K30, BN}) {
    SCOPED_TRACE(nivex::emu::ModelText(m));
    Device d(m, nullptr, SetLevels);
    ASSERT_TRUE(d.ok());
    ASSERT_EQ(QZ_SetAIScanParam(d.h(), 3, 0, 0, 1000, 0, 0, 0), 1);
    Stream(d, [](StreamSettings& s) { s.fast = true, s.record = false; });
    ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
    ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_OVERFLOW));
    size_t taken = 0;
    for (int round = 0; round < 3; ++round) {  // reads, then more drops
      const std::vector<float> v = ReadVolts(d.h(), 50000);
      ExpectLevels(v, 3, taken);
      taken += v.size();
      ASSERT_TRUE(WaitUntil([&] { return RingSize(d.h()) > 100000; }, 5000));
    }
    EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
  }
}

TEST(ScanRun, ARefusedSecondStartLeavesTheFirstRunning) {
  Device d(K30, nullptr, SetLevels);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 4, 0, 0, 2000, 800, 0, 0), 1);
  ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
  ASSERT_TRUE(WaitUntil([&] { return RingSize(d.h()) >= 40; }, 2000));
  EXPECT_TRUE(FailsWith(QZ_StartAIScan(d.h()), QZ_ERR_DEVICE_BUSY));
  ASSERT_TRUE(WaitForStatus(d.h(), kEnded));
  EXPECT_EQ(RingStatus(d.h()), kDone | kData);
  EXPECT_EQ(RingSize(d.h()), 800u);
  EXPECT_EQ(Streamer(d).Counters().runs, 1u);
  EXPECT_TRUE(FailsWith(QZ_StartAIScan(d.h()), QZ_ERR_DEVICE_BUSY));  // ended, not stopped
  EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
  EXPECT_EQ(QZ_StartAIScan(d.h()), 1);
  EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
}

TEST(ScanRun, SyncInWorkerFillsTheRingWithTheFramesSent) {
  Device d(K10, nullptr, SetLevels);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 4, 0, 0, 2000, 0, 0, 0), 1);
  unsigned short counts[2] = {3, 2}, types[2] = {0, 4};  // 3 analog codes, 2 32-bit values
  ASSERT_EQ(QZ_SetSyncInScanParam(d.h(), 1, counts, types, 2, QZ_SYNCIN_ENABLE, 0), 1);
  ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
  const unsigned frame = 4 + 3 * 2 + 2 * 4;
  // The count runs ahead of the ring by the receive in hand: read until 100 frames are kept.
  std::string kept;
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::string part(200 * frame, '\0');
        part.resize(static_cast<size_t>(d.model().ReadHostLANBuffer(&part[0], 200 * frame)));
        kept += part;
        return kept.size() >= 100u * frame;
      },
      5000));
  EXPECT_EQ(kept, Streamer(d).Sent().substr(0, kept.size()));
  EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
  EXPECT_TRUE(WaitUntil(
      [&] { return Streamer(d).Counters().ackSum == d.model().GetTCPReceivedCnt(); }, 2000));
}

TEST(ScanRun, ReleaseDuringAScanStopsItsWorkerAndLeavesOthersRunning) {
  Device a(K10, nullptr, SetLevels), b(BN, nullptr, SetLevels);
  ASSERT_TRUE(a.ok() && b.ok());
  for (Device* d : {&a, &b}) {
    ASSERT_EQ(QZ_SetAIScanParam(d->h(), 2, 0, 0, 5000, 0, 0, 0), 1);
    ASSERT_EQ(QZ_StartAIScan(d->h()), 1);
    ASSERT_TRUE(WaitUntil([&] { return RingSize(d->h()) > 100; }, 2000));
  }
  const long long t0 = NowMs();
  a.Release();
  EXPECT_LT(NowMs() - t0, 1500);
  EXPECT_FALSE(Streamer(a).Counters().active);  // "~01Z" went out first
  const unsigned before = RingSize(b.h());
  EXPECT_TRUE(WaitUntil([&] { return RingSize(b.h()) > before + 100; }, 2000));
  EXPECT_EQ(QZ_StopAIScan(b.h()), 1);
}

TEST(ScanRun, ReleaseWhileAnotherThreadPollsAndReads) {
  // Each round: one thread polls and reads a scanning handle until it is released; the calls
  // in progress finish, every later one is refused with 0x1300A.
  for (int round = 0; round < 12; ++round) {
    Device d(round % 2 ? BN : K10, nullptr, SetLevels);
    ASSERT_TRUE(d.ok());
    void* h = d.h();
    ASSERT_EQ(QZ_SetAIScanParam(h, 2, 0, 0, 5000, 0, 0, 0), 1);
    ASSERT_EQ(QZ_StartAIScan(h), 1);
    std::atomic<int> bad{0}, refused{0};
    std::thread poller([&] {
      while (refused < 3) {
        unsigned short status;
        unsigned size, total, st;
        float v[64];
        const int r = QZ_GetAIBufferStatus(h, &status, &size) + QZ_GetAIBuffer(h, v, 64) +
                      QZ_GetTotalSamplingStatus(h, &total, &st) + QZ_ReadAI(h, 0, 0, v);
        if (r == 0 && QZ_GetLastError() == QZ_ERR_INVALID_HANDLE) ++refused;
        else if (r < 0) ++bad;
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + 7 * round));
    d.Release();
    poller.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_TRUE(nivex::test::FailsWith(QZ_GetAIBuffer(h, nullptr, 0), QZ_ERR_INVALID_HANDLE));
  }
}

TEST(ScanRun, OneHandleFromFourThreads) {
  Device d(K10, nullptr, SetLevels);
  ASSERT_TRUE(d.ok());
  void* h = d.h();
  std::atomic<int> bad{0};
  auto check = [&](int r) { bad += r != 0 && r != 1; };
  auto loop = [&](auto body) {
    return std::thread([body] {
      for (int i = 0; i < 25; ++i) body(i);
    });
  };
  std::thread t[4] = {
      loop([&](int i) {  // a gain change reloads the calibration
        check(QZ_SetAIScanParam(h, 2 + 2 * (i % 2), i % 2, 0, 2000, 400, 0, 0));
        unsigned short c, g, tr, m, a;
        unsigned rate, n;
        check(QZ_GetAIScanParam(h, &c, &g, &tr, &rate, &n, &m, &a));
      }),
      loop([&](int i) {
        float v[8];
        int code;
        check(QZ_ReadAIALL(h, i % 2, v, 8));
        check(QZ_ReadAIHEX(h, i % 8, 0, &code));
        check(QZ_Calibrate_Data_Float(h, i % 8, i % 2, 1000, v));
      }),
      loop([&](int i) {
        char on[2] = {1, 1};
        float high[2] = {1, 2}, low[2] = {-1, -2};
        int type, unit;
        unsigned pre, post, reserved;
        check(QZ_SetAIAnalogTriggerParam(h, i % 4, on, high, low, 2, 100, 300));
        check(QZ_GetAIAnalogTriggerParam(h, &type, on, high, low, 2, &pre, &post, &reserved));
        check(QZ_GetConfig(h, 5, 2, &unit));
        check(QZ_SetEventCallback(h, QZ_EVENT_OVERFLOW, 0, nullptr, nullptr));
      }),
      loop([&](int) {
        float v[64];
        unsigned codes[64], total, status;
        check(QZ_StartAIScan(h));
        bad += QZ_GetAIBuffer(h, v, 64) < 0 || QZ_GetAIBufferHex(h, codes, 64) < 0;
        check(QZ_GetTotalSamplingStatus(h, &total, &status));
        check(QZ_StopAIScan(h));
      }),
  };
  for (std::thread& x : t) x.join();
  EXPECT_EQ(bad, 0);
}

}  // namespace

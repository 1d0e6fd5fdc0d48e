// Scans of the slot carriers against the emulator, one data port per slot: the rows in the
// ring, the slots' shares and acknowledgements, how runs end (target, the trigger's end, a
// stall, a slot that closes, the stop), refused starts, volts, and release during a scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "emulator/SlotCarrierModule.h"
#include "emulator/SlotStreamer.h"
#include "framework/EngineTimings.h"
#include "nivex.h"
#include "tests/common/ScanFixture.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace nivex::test;
using nivex::emu::Model;
using nivex::emu::SlotCarrierModule;
using nivex::emu::StreamSettings;
constexpr Model kD = Model::D4071s, kE = Model::D3054s;
constexpr unsigned short kData = QZ_BUF_DATA, kEnded = QZ_BUF_SCAN_ENDED;
constexpr unsigned short kDone = kData | kEnded | QZ_BUF_TARGET_REACHED;

// Data waits of 20 ms and a silence step of stepMs instead of 50 ms.
struct FastSilence {
  explicit FastSilence(int stepMs) {
    nivex::EngineTimings t;
    t.shortDataWait = std::chrono::milliseconds(20);
    t.silenceStep = std::chrono::milliseconds(stepMs);
    nivex::SetTimings(t);
  }
  ~FastSilence() { nivex::SetTimings(nivex::DefaultTimings()); }
};

std::unique_ptr<Device> Carrier(Model m, const std::string& layout, bool rowCodes = false) {
  auto d = std::make_unique<Device>(m, [&](nivex::emu::Options& o) { o.slotLayout = layout; },
                                    SetLevels);
  if (rowCodes) d->Locked<SlotCarrierModule>([](SlotCarrierModule& e) { e.SetRowCodes(true); });
  return d;
}

nivex::emu::SlotStreamer& Slot(Device& d, int k) { return *nivex::emu::SlotStreamerOf(d.emu(), k); }

int Slots(Device& d) { return static_cast<int>(d.emu().DataPorts().size()); }

// The emulator's share of each slot ("~01TS") and its channels in the scan ("~01PS").
SlotCarrierModule::SlotScan ScanOf(Device& d, int k) {
  SlotCarrierModule::SlotScan s;
  d.Locked<SlotCarrierModule>([&](SlotCarrierModule& e) { s = e.Scan(k); });
  return s;
}

// Sample i of the rows in frame order, with row codes: channel i mod C of row i / C.
int16_t RowCode(uint64_t i, unsigned channels) {
  return static_cast<int16_t>((i % channels) << 10 | (i / channels) % 1024);
}

std::vector<int16_t> ReadCodes(void* h, unsigned n) {
  std::vector<unsigned> raw(n + 8);
  raw.resize(static_cast<size_t>(QZ_GetAIBufferHex(h, raw.data(), n + 8)));
  return std::vector<int16_t>(raw.begin(), raw.end());
}

TEST(SlotScanRun, RowsHoldEverySlotsChannelsInOrderAndEachSlotIsAcknowledged) {
  const struct {
    Model m;
    const char* layout;  // D4071s: cards by position; D3054s: card characters by slot
    int channels;
    unsigned n;
    bool split;  // sends in pieces of 1-7 bytes: receives end inside samples
  } kScans[] = {
      {kD, "11111111", 20, 1003, false},  // slots 8, 8, 4 and five without channels
      {kD, "01010110", 20, 1000, true},   // positions 1, 3, 5, 6: slots 8, 8, 4, 0
      {kD, "00000001", 5, 333, false},
      {kE, "2019", 30, 900, true},    // 12, 0 (an empty slot), 8, 10 of 16
      {kE, "1199", 48, 4800, false},  // every channel
  };
  QuickTimings quick;
  for (const auto& s : kScans) {
    SCOPED_TRACE(std::string(s.layout) + " " + std::to_string(s.channels) + " channels");
    auto d = Carrier(s.m, s.layout, true);
    ASSERT_TRUE(d->ok());
    ASSERT_EQ(QZ_SetAIScanParam(d->h(), s.channels, 0, 0, 2000, s.n, 0, 0), 1);
    for (int k = 0; k < Slots(*d); ++k) {
      StreamSettings set = Slot(*d, k).Settings();
      set.splitPauseMs = s.split ? 1 : -1;
      Slot(*d, k).SetSettings(set);
    }
    d->Take();
    ASSERT_EQ(QZ_StartAIScan(d->h()), 1);
    ASSERT_TRUE(WaitForStatus(d->h(), kEnded, 8000));
    EXPECT_EQ(RingStatus(d->h()), kDone);
    unsigned total = 0, status = 0;
    EXPECT_EQ(QZ_GetTotalSamplingStatus(d->h(), &total, &status), 1);
    EXPECT_EQ(total, s.n);
    const std::vector<int16_t> codes = ReadCodes(d->h(), s.n);
    ASSERT_EQ(codes.size(), s.n);
    int wrong = 0;
    for (size_t i = 0; i < codes.size(); ++i) wrong += codes[i] != RowCode(i, s.channels);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(RingStatus(d->h()) & kData, 0);
    uint64_t sent = 0;
    for (int k = 0; k < Slots(*d); ++k) {
      const nivex::emu::StreamCounters c = Slot(*d, k).Counters();
      EXPECT_EQ(c.samplesSent, ScanOf(*d, k).target) << "slot " << k;
      EXPECT_TRUE(WaitUntil([&] { return Slot(*d, k).Counters().ackSum == c.samplesSent; }, 2000))
          << "slot " << k;
      sent += c.samplesSent;
    }
    EXPECT_EQ(sent, s.n);
    EXPECT_EQ(QZ_StopAIScan(d->h()), 1);
    const Strings cmds = d->Take();
    EXPECT_EQ(CountOf(cmds, s.m == kD ? "~01S0" : "~01S"), 1);
    EXPECT_EQ(CountOf(cmds, "~01Z"), 1);
    EXPECT_EQ(CountOf(cmds, "~01XN"), s.m == kD ? 1 : 0);  // asked on the first data
  }
}

TEST(SlotScanRun, EachWayARunEnds) {
  enum Way { kStall, kClosed, kTrigger };
  const struct {
    Model m;
    const char* layout;
    Way way;
    unsigned short status;
  } kRuns[] = {
      {kD, "01100101", kStall, kData | kEnded | QZ_BUF_LOG_TIMEOUT},
      {kE, "1290", kStall, kData | kEnded | QZ_BUF_LOG_TIMEOUT},
      {kD, "01100101", kClosed, kData | kEnded},
      {kE, "1290", kClosed, kData | kEnded},
      {kD, "01100101", kTrigger, kDone},
  };
  for (const auto& r : kRuns) {
    SCOPED_TRACE(std::string(r.layout) + " way " + std::to_string(r.way));
    // Periods of silence of 100 ms (D3054s: unit 100) and 30 ms (D4071s: unit 3).
    FastSilence fast(r.m == kE ? 1 : 10);
    auto d = Carrier(r.m, r.layout);
    ASSERT_TRUE(d->ok());
    ASSERT_EQ(QZ_SetAIScanParam(d->h(), 20, 0, r.way == kTrigger ? 2 : 0, 100, 600, 0, 0), 1);
    if (r.way == kTrigger) {  // row 10: the run ends at 200 + 300 samples
      char on[20] = {};
      float high[20] = {}, low[20] = {};
      ASSERT_EQ(QZ_SetAIAnalogTriggerParam(d->h(), 0, on, high, low, 20, 300, 300), 1);
      d->Locked<SlotCarrierModule>([](SlotCarrierModule& e) { e.SetTriggerRow(10); });
    }
    // Slot 1 stops after 12 rows of its part, or closes its connection then.
    StreamSettings set = Slot(*d, 1).Settings();
    const uint64_t rows12 = 12u * 2u * static_cast<unsigned>(ScanOf(*d, 1).channels);
    if (r.way == kStall) set.silenceAfterBytes = rows12;
    if (r.way == kClosed) set.closeAfterBytes = rows12;
    Slot(*d, 1).SetSettings(set);
    StdoutCapture out;
    const long long t0 = NowMs();
    ASSERT_EQ(QZ_StartAIScan(d->h()), 1);
    if (r.way == kTrigger) {
      // The scan setup sent again while the first data come in: the worker works with what
      // the run took at its start (ThreadSanitizer: no read of the device's settings).
      for (int i = 0; i < 50 && (RingStatus(d->h()) & kData) == 0; ++i)
        QZ_SetAIScanParam(d->h(), 20, 0, 2, 100, 600, 0, 0);
      QZ_SetAIScanParam(d->h(), 20, 0, 2, 100, 600, 0, 0);
    }
    ASSERT_TRUE(WaitForStatus(d->h(), kEnded, 8000));
    const long long took = NowMs() - t0;
    const std::string printed = out.Stop();
    EXPECT_EQ(RingStatus(d->h()), r.status);
    unsigned total = 0, status = 0;
    QZ_GetTotalSamplingStatus(d->h(), &total, &status);
    if (r.way == kTrigger) {  // the pass over the slots is completed
      EXPECT_GE(total, 500u);
      EXPECT_LT(total, 600u);
    } else {
      EXPECT_LT(total, 600u);
      EXPECT_GE(total, 12u * 20u);
    }
    if (r.way == kStall) {
      EXPECT_GE(took, 12 * (r.m == kE ? 100 : 30));
      EXPECT_EQ(printed, r.m == kE ? "Time Out 1\n" : "");
    }
    if (r.way == kClosed) {
      EXPECT_LT(took, 1000);  // ended by the closed slot, not by silence
    }
    EXPECT_EQ(QZ_StopAIScan(d->h()), 1);
    set.closeAfterBytes = StreamSettings::kNever;
    Slot(*d, 1).SetSettings(set);
    EXPECT_EQ(QZ_StartAIScan(d->h()), 1);  // stopped: the next start is taken
    if (r.way == kClosed) {  // the closed slot's connection is opened again: a whole next run
      ASSERT_TRUE(WaitForStatus(d->h(), kEnded, 8000));
      EXPECT_EQ(RingStatus(d->h()), kDone);
      EXPECT_EQ(QZ_GetTotalSamplingStatus(d->h(), &total, &status) * total, 600u);
    }
    EXPECT_EQ(QZ_StopAIScan(d->h()), 1);
  }
}

TEST(SlotScanRun, ASilentSlotHoldsUpNoOtherSlot) {
  // The worker's own data wait (1 s): slot 1 sends nothing, slot 0 streams 8,000 samples a
  // second and is received as it comes, not once per wait of the silent slot.
  auto d = Carrier(kD, "11");
  ASSERT_TRUE(d->ok());
  ASSERT_EQ(QZ_SetAIScanParam(d->h(), 16, 0, 0, 1000, 0, 0, 0), 1);
  StreamSettings set = Slot(*d, 1).Settings();
  set.silenceAfterBytes = 0;
  Slot(*d, 1).SetSettings(set);
  ASSERT_EQ(QZ_StartAIScan(d->h()), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const nivex::emu::StreamCounters c = Slot(*d, 0).Counters();
  EXPECT_GT(c.samplesSent, 10000u);
  EXPECT_GE(c.ackSum + 800, c.samplesSent);  // all but the last 0.1 s
  EXPECT_EQ(QZ_StopAIScan(d->h()), 1);
}

TEST(SlotScanRun, SlotsStreamInStepWithTheSlowestConnection) {
  // Slot 1 goes out a few bytes a millisecond, far below its 8,000 samples a second: slot 0
  // keeps within 4 ms of rows of it (1,000 rows/s), and the run still ends complete.
  auto d = Carrier(kD, "11");
  ASSERT_TRUE(d->ok());
  ASSERT_EQ(QZ_SetAIScanParam(d->h(), 16, 0, 0, 1000, 4000, 0, 0), 1);
  StreamSettings set = Slot(*d, 1).Settings();
  set.splitPauseMs = 1;
  Slot(*d, 1).SetSettings(set);
  ASSERT_EQ(QZ_StartAIScan(d->h()), 1);
  int64_t ahead = 0, rows0 = 0;
  for (const long long t0 = NowMs(); NowMs() - t0 < 400;) {
    rows0 = static_cast<int64_t>(Slot(*d, 0).Counters().samplesSent / 8);
    // Slot 1 only grows meanwhile.
    ahead = std::max(ahead, rows0 - static_cast<int64_t>(Slot(*d, 1).Counters().samplesSent / 8));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_GT(rows0, 20);
  EXPECT_LE(ahead, 4);
  ASSERT_TRUE(WaitForStatus(d->h(), kEnded, 8000));
  EXPECT_EQ(RingStatus(d->h()), kDone);
  EXPECT_EQ(QZ_StopAIScan(d->h()), 1);
}

TEST(SlotScanRun, ContinuousScansRunUntilStoppedAndStartAfresh) {
  QuickTimings quick;
  for (const Model m : {kD, kE}) {
    SCOPED_TRACE(nivex::emu::ModelText(m));
    auto d = Carrier(m, m == kD ? "10000011" : "809", true);  // three slots, 24 channels
    ASSERT_TRUE(d->ok());
    ASSERT_EQ(QZ_SetAIScanParam(d->h(), 24, 0, 0, 1000, 0, 0, 0), 1);
    struct Reader {  // the totals, read meanwhile, see whole runs
      std::atomic<bool> on{true};
      std::thread t;
      ~Reader() { on = false, t.join(); }
    } totals;
    totals.t = std::thread([&] {
      unsigned int total = 0, status = 0;
      while (totals.on) QZ_GetTotalSamplingStatus(d->h(), &total, &status);
    });
    for (int run = 0; run < 2; ++run) {
      ASSERT_EQ(QZ_StartAIScan(d->h()), 1);
      ASSERT_TRUE(WaitUntil([&] { return RingSize(d->h()) >= 24 * 40; }, 3000));
      EXPECT_EQ(d->model().GetTCPReceivedCnt(), 0u);  // no target: no count
      const std::vector<int16_t> codes = ReadCodes(d->h(), 24 * 40);
      int wrong = 0;
      for (size_t i = 0; i < codes.size(); ++i) wrong += codes[i] != RowCode(i, 24);
      EXPECT_EQ(wrong, 0);
      const long long t0 = NowMs();
      EXPECT_EQ(QZ_StopAIScan(d->h()), 1);
      EXPECT_LT(NowMs() - t0, 500);
      EXPECT_FALSE(Slot(*d, 0).Counters().active);
      EXPECT_EQ(RingStatus(d->h()) & ~kData, kEnded);
      EXPECT_EQ(RingSize(d->h()), 0u);  // the ring is freed
    }
  }
}

TEST(SlotScanRun, RefusedStartsChangeNothing) {
  auto d = Carrier(kD, "11000000");
  ASSERT_TRUE(d->ok());
  EXPECT_TRUE(FailsWith(QZ_StartAIScan(d->h()), QZ_ERR_CHANNEL_RANGE));  // no parameters sent
  EXPECT_TRUE(d->Take().empty());
  ASSERT_EQ(QZ_SetAIScanParam(d->h(), 8, 0, 0, 1000, 10000, 0, 0), 1);
  ASSERT_EQ(QZ_StartAIScan(d->h()), 1);
  ASSERT_TRUE(WaitUntil([&] { return RingSize(d->h()) >= 16; }, 2000));
  EXPECT_TRUE(FailsWith(QZ_StartAIScan(d->h()), QZ_ERR_DEVICE_BUSY));
  EXPECT_EQ(Slot(*d, 0).Counters().runs, 1u);
  EXPECT_EQ(QZ_StopAIScan(d->h()), 1);

  auto e = Carrier(kE, "19");
  ASSERT_TRUE(e->ok());
  ASSERT_EQ(QZ_SetAIScanParam(e->h(), 24, 0, 0, 1000, 240, 0, 0), 1);
  ASSERT_EQ(QZ_StartAIScan(e->h()), 1);
  ASSERT_TRUE(WaitForStatus(e->h(), kEnded));
  EXPECT_TRUE(FailsWith(QZ_StartAIScan(e->h()), QZ_ERR_DEVICE_BUSY));  // ended, not stopped
  float v[4];
  EXPECT_TRUE(FailsWith(QZ_GetAIBuffer(e->h(), v, 4), QZ_ERR_NOT_IMPLEMENTED));  // no volts
  EXPECT_EQ(RingSize(e->h()), 240u);
  EXPECT_EQ(QZ_StopAIScan(e->h()), 1);
}

TEST(SlotScanRun, VoltsFollowEachSamplesChannelAcrossRawReads) {
  // Each channel's own calibration: a code converted as another channel's misses its level.
  Device d(kD, [](nivex::emu::Options& o) { o.slotLayout = "00110000"; },
           [](nivex::emu::Emulator& e) {
             SetLevels(e);
             for (int ch = 0; ch < 16; ++ch)
               e.SetCalibration(ch, 1, nivex::emu::CalEntry{0x7000u + 0x300u * ch, 40 * ch - 300});
           });
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 13, 1, 0, 1000, 1300, 0, 0), 1);
  ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
  ASSERT_TRUE(WaitForStatus(d.h(), kDone));
  size_t taken = 0;
  int wrong = 0;
  for (unsigned n : {5u, 21u, 2u, 100u}) {
    std::vector<float> v(n);
    ASSERT_EQ(QZ_GetAIBuffer(d.h(), v.data(), n), static_cast<int>(n));
    for (size_t i = 0; i < n; ++i) wrong += std::fabs(v[i] - Level((taken + i) % 13)) > 0.004;
    taken += n + ReadCodes(d.h(), 3).size();  // raw reads between shift nothing
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
  // A layout set on the module by others and read back: slot 0 without channels, slot 1 with
  // 8. Its columns are slot 1's channels 8-15.
  d.Locked<SlotCarrierModule>([](SlotCarrierModule& e) {
    for (const char* c : {"~01PS2G1C0T0M0", "~01PS3G1C8T0M0", "~01TS20000000000",
                          "~01TS30000000800"})
      e.Handle(c);
  });
  unsigned short ch = 0, gain = 0, trig = 0, M = 0, A = 0;
  unsigned rate = 0, target = 0;
  ASSERT_EQ(QZ_GetAIScanParam(d.h(), &ch, &gain, &trig, &rate, &target, &M, &A), 1);
  ASSERT_TRUE(ch == 8 && target == 800);
  ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
  ASSERT_TRUE(WaitForStatus(d.h(), kDone));
  std::vector<float> v(100);
  ASSERT_EQ(QZ_GetAIBuffer(d.h(), v.data(), 100), 100);
  for (size_t i = 0; i < v.size(); ++i) wrong += std::fabs(v[i] - Level(8 + i % 8)) > 0.004;
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
}

TEST(SlotScanRun, ReleaseDuringAScanStopsItsWorker) {
  auto a = Carrier(kD, "10100000"), b = Carrier(kE, "91");
  ASSERT_TRUE(a->ok() && b->ok());
  for (Device* d : {a.get(), b.get()}) {
    ASSERT_EQ(QZ_SetAIScanParam(d->h(), 12, 0, 0, 5000, 0, 0, 0), 1);
    ASSERT_EQ(QZ_StartAIScan(d->h()), 1);
    ASSERT_TRUE(WaitUntil([&] { return RingSize(d->h()) > 100; }, 2000));
  }
  const long long t0 = NowMs();
  a->Release();
  b->Release();
  EXPECT_LT(NowMs() - t0, 1500);
  for (Device* d : {a.get(), b.get()}) {
    for (int k = 0; k < 2; ++k) EXPECT_FALSE(Slot(*d, k).Counters().active);  // "~01Z" first
  }
}

}  // namespace

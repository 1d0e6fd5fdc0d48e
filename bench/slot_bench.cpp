// A D4071s with eight cards (64 channels, one data port per card) streaming a continuous scan at
// its top rate while the application drains the shared ring as volts every 10 ms: samples sent,
// acknowledged and drained per slot, every value checked, and the processor time per second.
//
// The emulator runs in this process, on a loopback address and an event-loop thread of its own,
// paced as a module is; its counters tell what each slot sent and what the kit acknowledged.
// Each slot streams for the run's length and then falls silent (it stops after exactly that many
// bytes), so everything sent can be drained. Each input holds a steady level of its own; every
// drained value is checked against the level of its channel (sample i of the ring is channel
// i mod 64, which lies on slot (i mod 64) / 8).
//   sent         = samples a slot's connection took
//   acknowledged = the sum of the kit's acknowledgements on that slot's data port
//   drained      = samples of that slot's channels the application took as volts
// Processor time, as a share of one core from the start until the streams are complete: the
// kit's worker thread (the thread the start created) and the application's thread (the kit's
// conversion to volts and this program's check). Baseline, over a window of the same data
// rate: a raw client on the same module (with the kit's receive window on each data port) that
// waits on the eight data ports with one poll, receives every stream, acknowledges every receive
// and keeps nothing. The emulator's threads are shown too: they share the machine.
// 60 s by default; NIVEX_BENCH_QUICK (scripts/bench --quick) makes it 10 s.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <time.h>

#include <cmath>

#include "bench/BenchSupport.h"
#include "emulator/Emulator.h"
#include "emulator/SlotCarrierModule.h"
#include "emulator/SlotStreamer.h"

namespace {

using nivex::bench::Clock;
namespace emu = nivex::emu;

constexpr int kSlots = 8;
constexpr int kSlotChannels = 8;
constexpr int kChannels = kSlots * kSlotChannels;
constexpr int kTopRate = 200000;  // rows a second, the most the carrier takes
const auto kWarmUp = std::chrono::seconds(1);
const auto kDrainEvery = std::chrono::milliseconds(10);

int RunSeconds() { return nivex::bench::Quick() ? 10 : 60; }
std::chrono::seconds RawWindow() { return std::chrono::seconds(nivex::bench::Quick() ? 3 : 10); }

// The steady level of an input, well inside the range of gain code 0.
double SlotLevel(int channel) { return (channel % 2 ? -1.0 : 1.0) * (0.3 + 0.065 * channel); }

double ThreadCpuNow() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Outcome {
  bool ran = false;
  unsigned rate = 0;       // rows a second, as the kit reads it back
  double seconds = 0;      // the run, from the start to the last drain
  double sendSeconds = 0;  // from the start until every slot had sent its part
  uint64_t cap = 0;        // samples each slot sends
  uint64_t sent[kSlots] = {}, acked[kSlots] = {}, drained[kSlots] = {};
  uint64_t wrong = 0;
  bool overflow = false;
  unsigned short status = 0;  // the ring's status word at the end
  double worker = 0, app = 0, raw = 0;  // share of one core
  double emulator = 0;                  // the emulator's threads, share of one core
  double rawRate = 0;                   // samples a second the raw client took
} gOut;

emu::SlotStreamer& SlotOf(emu::Emulator& e, int k) { return *emu::SlotStreamerOf(e, k); }

// Takes what the ring holds, checks each value against its channel's level and counts it to
// its slot.
void DrainAndCheck(void* h, std::vector<float>& volts, uint64_t* total) {
  for (;;) {
    const int got = QZ_GetAIBuffer(h, volts.data(), static_cast<unsigned>(volts.size()));
    if (got <= 0) return;
    for (int i = 0; i < got; ++i) {
      const int channel = static_cast<int>((*total + static_cast<uint64_t>(i)) % kChannels);
      gOut.wrong += std::fabs(volts[static_cast<size_t>(i)] - SlotLevel(channel)) > 0.004;
      ++gOut.drained[channel / kSlotChannels];
    }
    *total += static_cast<uint64_t>(got);
    if (static_cast<size_t>(got) < volts.size()) return;
  }
}

// The threads of this process that are not in `before`.
std::vector<int> NewThreads(const std::vector<int>& before) {
  std::vector<int> added;
  for (int id : nivex::bench::ThreadIds())
    if (std::find(before.begin(), before.end(), id) == before.end()) added.push_back(id);
  return added;
}

double CpuOf(const std::vector<int>& threads) {
  double s = 0;
  for (int id : threads) s += nivex::bench::ThreadCpuSeconds(id);
  return s;
}

// The kit's run; false when the scan could not start. emulatorThreads: the emulator's.
bool KitRun(emu::Emulator& e, const std::vector<int>& emulatorThreads) {
  void* h = QZ_Device_Create(e.ConnectionText().c_str());
  if (h == nullptr) return false;
  unsigned short ch = 0, gain = 0, trig = 0, tm = 0, ack = 0;
  unsigned int rate = 0, target = 0;
  bool ok = QZ_SetAIScanParam(h, kChannels, 0, 0, kTopRate, 0, 0, 0) == 1 &&
            QZ_GetAIScanParam(h, &ch, &gain, &trig, &rate, &target, &tm, &ack) == 1;
  gOut.rate = rate;
  gOut.cap = static_cast<uint64_t>(rate) * kSlotChannels * static_cast<uint64_t>(RunSeconds());
  for (int k = 0; ok && k < kSlots; ++k) {
    emu::StreamSettings s = SlotOf(e, k).Settings();
    s.record = false;
    s.silenceAfterBytes = gOut.cap * 2;
    SlotOf(e, k).SetSettings(s);
  }
  const std::vector<int> before = nivex::bench::ThreadIds();
  ok = ok && QZ_StartAIScan(h) == 1;
  const Clock::time_point t0 = Clock::now();
  const std::vector<int> workers = NewThreads(before);
  auto allSent = [&] {
    for (int k = 0; k < kSlots; ++k)
      if (SlotOf(e, k).Counters().samplesSent < gOut.cap) return false;
    return true;
  };
  if (ok) {
    std::vector<float> volts(65536);
    uint64_t total = 0;
    Clock::time_point next = t0, silentSince{}, m1{};
    const double w0 = CpuOf(workers), a0 = ThreadCpuNow(), e0 = CpuOf(emulatorThreads);
    double w1 = 0, a1 = 0, e1 = 0;
    for (;;) {
      const uint64_t had = total;
      // A scan that ended by itself (a stall, a receive error) sends nothing more: once its
      // ring is empty the run is over.
      const bool ended = (nivex::test::RingStatus(h) & QZ_BUF_SCAN_ENDED) != 0;
      DrainAndCheck(h, volts, &total);
      const Clock::time_point now = Clock::now();
      if (ended && total == had) break;
      if (silentSince == Clock::time_point{} && allSent()) {
        silentSince = now;
        gOut.sendSeconds = nivex::bench::Seconds(now - t0);
        w1 = CpuOf(workers);  // the streaming window ends when the streams do
        a1 = ThreadCpuNow();
        e1 = CpuOf(emulatorThreads);
        m1 = now;
      }
      if (total >= gOut.cap * kSlots) break;
      if (silentSince != Clock::time_point{} && now - silentSince > std::chrono::seconds(5)) break;
      std::this_thread::sleep_until(next += kDrainEvery);
    }
    gOut.seconds = nivex::bench::Seconds(Clock::now() - t0);
    if (m1 == Clock::time_point{}) {  // the streams never completed: the window ends now
      w1 = CpuOf(workers);
      a1 = ThreadCpuNow();
      e1 = CpuOf(emulatorThreads);
      m1 = Clock::now();
    }
    const double wall = nivex::bench::Seconds(m1 - t0);
    if (wall > 0) {
      gOut.worker = (w1 - w0) / wall;
      gOut.app = (a1 - a0) / wall;
      gOut.emulator = (e1 - e0) / wall;
    }
    // The kit's last acknowledgements may still be on their way.
    const Clock::time_point ackBy = Clock::now() + std::chrono::seconds(2);
    auto allAcked = [&] {
      for (int k = 0; k < kSlots; ++k) {
        const emu::StreamCounters c = SlotOf(e, k).Counters();
        if (c.ackSum < c.samplesSent) return false;
      }
      return true;
    };
    while (!allAcked() && Clock::now() < ackBy)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (int k = 0; k < kSlots; ++k) {
      const emu::StreamCounters c = SlotOf(e, k).Counters();
      gOut.sent[k] = c.samplesSent;
      gOut.acked[k] = c.ackSum;
    }
    gOut.status = nivex::test::RingStatus(h);
    gOut.overflow = (gOut.status & QZ_BUF_OVERFLOW) != 0;
    QZ_StopAIScan(h);
  }
  QZ_Device_Release(h);
  return ok;
}

// The raw client's share of one core over RawWindow(), on the scan parameters the kit left in
// the module; -1 when it could not run.
double RawRun(emu::Emulator& e) {
  for (int k = 0; k < kSlots; ++k) {
    emu::StreamSettings s = SlotOf(e, k).Settings();
    s.silenceAfterBytes = emu::StreamSettings::kNever;
    SlotOf(e, k).SetSettings(s);
  }
  const std::string ip = e.options().ip;
  const int cmd = nivex::bench::RawConnect(ip, e.options().cmdPort, 0);
  std::vector<pollfd> data;
  for (int port : e.DataPorts()) {
    const int fd = nivex::bench::RawConnect(ip, port, 32768);  // the kit's window
    if (fd >= 0) data.push_back(pollfd{fd, POLLIN, 0});
  }
  std::string reply;
  double share = -1;
  if (cmd >= 0 && data.size() == kSlots && nivex::bench::RawExchange(cmd, "~01S0", &reply)) {
    static uint8_t buffer[7300];
    uint64_t taken = 0;
    auto receiveUntil = [&](Clock::time_point end) {
      while (Clock::now() < end) {
        if (poll(data.data(), data.size(), 100) <= 0) continue;
        for (pollfd& p : data) {
          if ((p.revents & POLLIN) == 0) continue;
          const ssize_t r = recv(p.fd, buffer, sizeof buffer, 0);
          if (r <= 0) return;
          taken += static_cast<uint64_t>(r / 2);  // the carry does not change the cost
          nivex::bench::RawAck(p.fd, static_cast<uint32_t>(r / 2));
        }
      }
    };
    receiveUntil(Clock::now() + kWarmUp);
    const double c0 = ThreadCpuNow();
    const uint64_t n0 = taken;
    const Clock::time_point t0 = Clock::now();
    receiveUntil(t0 + RawWindow());
    const double wall = nivex::bench::Seconds(Clock::now() - t0);
    share = (ThreadCpuNow() - c0) / wall;
    gOut.rawRate = static_cast<double>(taken - n0) / wall;
    nivex::bench::RawExchange(cmd, "~01Z", &reply);
  }
  if (cmd >= 0) close(cmd);
  for (const pollfd& p : data) close(p.fd);
  return share;
}

void BM_EightCardsStreaming(benchmark::State& state) {
  for (auto _ : state) {
    const std::vector<int> before = nivex::bench::ThreadIds();
    std::unique_ptr<emu::Emulator> e = nivex::test::StartEmulator(
        emu::Model::D4071s, [](emu::Options& o) { o.slotLayout = "11111111"; });
    if (!e || static_cast<int>(e->DataPorts().size()) != kSlots) {
      state.SkipWithError("the emulator did not start");
      break;
    }
    for (int ch = 0; ch < kChannels; ++ch) e->SetSignal(ch, SlotLevel(ch));
    if (!KitRun(*e, NewThreads(before))) {
      state.SkipWithError("the scan did not start");
      break;
    }
    gOut.raw = RawRun(*e);
    gOut.ran = true;
    state.SetIterationTime(gOut.seconds);
  }
}

BENCHMARK(BM_EightCardsStreaming)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!gOut.ran) return 1;
  const double perSecond = static_cast<double>(gOut.rate) * kChannels;
  std::printf("\n[7] D4071s, eight cards, %d channels at %u rows/s (%.1f M samples/s) for %d s "
              "(run %.1f s, streams complete after %.1f s), drained as volts every 10 ms\n",
              kChannels, gOut.rate, perSecond / 1e6, RunSeconds(), gOut.seconds,
              gOut.sendSeconds);
  uint64_t lost = 0, unacked = 0;
  for (int k = 0; k < kSlots; ++k) {
    const uint64_t l = gOut.sent[k] > gOut.drained[k] ? gOut.sent[k] - gOut.drained[k] : 0;
    lost += l + (gOut.drained[k] > gOut.sent[k] ? gOut.drained[k] - gOut.sent[k] : 0);
    unacked += gOut.sent[k] != gOut.acked[k] || gOut.sent[k] != gOut.cap;
    std::printf("    slot %d: sent %llu, acknowledged %llu, drained %llu\n", k,
                static_cast<unsigned long long>(gOut.sent[k]),
                static_cast<unsigned long long>(gOut.acked[k]),
                static_cast<unsigned long long>(gOut.drained[k]));
  }
  std::printf("    wrong values %llu, overflow bit %s, status word 0x%02X%s\n",
              static_cast<unsigned long long>(gOut.wrong), gOut.overflow ? "SET" : "clear",
              gOut.status,
              gOut.status & QZ_BUF_SCAN_ENDED ? " (the scan ended by itself)" : "");
  std::printf("    processor time (share of one core): kit worker thread %.2f%%, application "
              "thread (volts and their check) %.2f%%; raw client on the same streams %.2f%% "
              "(%.1f M samples/s); worker / raw %.2f; the emulator's threads %.2f%%\n",
              gOut.worker * 100, gOut.app * 100, gOut.raw * 100, gOut.rawRate / 1e6,
              gOut.raw > 0 ? gOut.worker / gOut.raw : 0.0, gOut.emulator * 100);
  nivex::bench::Target("7 D4071s eight cards, samples lost", static_cast<double>(lost), "<=", 0.0);
  nivex::bench::Target("7 D4071s eight cards, slots not sent and acknowledged in full",
                       static_cast<double>(unacked), "<=", 0.0);
  nivex::bench::Target("7 D4071s eight cards, wrong values", static_cast<double>(gOut.wrong), "<=",
                       0.0);
  return 0;
}

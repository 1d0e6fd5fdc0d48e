// Four devices, and sixteen (the four four times), streaming at their top live rates at once
// while the application drains each as volts: samples sent, received and lost. Then the four
// again while as many busy threads as the machine has processors run beside them: every
// sample lost there must be marked by a status bit of its device (the overflow bit, the scan's
// end or its time-out).
//
// The emulators (RX5K10 8 x 30,000 S/s, RX5K30 4 x 64,000 twice, RXBN500 4 x 42,666) run
// in this process, each on a loopback address and an event-loop thread of its own, paced as a
// module is: their counters tell what went out. Each streams a continuous scan for the run's
// length and then falls silent (it stops after exactly that many bytes), so everything sent can
// be received. One application thread drains the four rings as volts every 10 ms and checks
// every value against the level of its channel. The run ends when every device has drained all
// its emulator sent (or 5 s after the streams went silent).
//   sent     = whole samples the emulator's connection took
//   received = the kit's received total (QZ_GetTotalSamplingStatus)
//   drained  = samples the application took as volts; lost = sent - drained
//   bits     = the status bits seen during the run and at its end
// 60 s each by default; NIVEX_BENCH_QUICK (scripts/bench --quick) makes them 10 s.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "bench/BenchSupport.h"
#include "emulator/DataStreamer.h"
#include "emulator/Emulator.h"
#include "emulator/HighSpeedModule.h"

namespace {

using nivex::bench::Clock;
namespace emu = nivex::emu;

using Type = nivex::bench::StreamType;
using nivex::bench::kFourDevices;

struct Device {
  Type type{};
  std::unique_ptr<emu::Emulator> emulator;
  void* handle = nullptr;
  uint64_t drained = 0;  // samples the application took
  uint64_t cap = 0;  // samples the emulator sends before it falls silent
  uint64_t wrong = 0;
  // Filled at the end.
  uint64_t sent = 0, received = 0, ackSum = 0;
  unsigned short status = 0;
  unsigned int bits = 0;  // every status word seen, ORed
};

struct Outcome {
  bool ran = false;
  double seconds = 0;
  std::vector<std::unique_ptr<Device>> devices;
};
constexpr int kSets[] = {1, 4, 1};  // the four devices once, four times, once under load
constexpr bool kLoaded[] = {false, false, true};
constexpr int kRuns = 3;
Outcome gOutcome[kRuns];

int RunSeconds() { return nivex::bench::Quick() ? 10 : 60; }

// Opens the emulator and the device and starts the scan; false when anything fails.
bool Start(Device& d, const Type& t, int seconds) {
  d.type = t;
  d.cap = nivex::bench::OpenStreamingModule(t.model, t.channels, t.rate, seconds,
                                            t.model == emu::Model::RX5K10 ? 2 : 4, &d.emulator,
                                            &d.handle);
  if (d.cap == 0) return false;
  return QZ_StartAIScan(d.handle) == 1;
}

// Takes what the device's ring holds and checks each value against its channel's level. The
// kit's received total is read while the ring holds data (its status word is not 0 then).
void DrainAndCheck(Device& d, std::vector<float>& volts) {
  unsigned int total = 0, status = 0;
  QZ_GetTotalSamplingStatus(d.handle, &total, &status);
  d.bits |= status;
  if (status != 0) d.received = std::max<uint64_t>(d.received, total);
  for (;;) {
    const int got = QZ_GetAIBuffer(d.handle, volts.data(), static_cast<unsigned>(volts.size()));
    if (got <= 0) return;
    const uint64_t first = d.drained;
    for (int i = 0; i < got; ++i) {
      const int channel = static_cast<int>((first + static_cast<uint64_t>(i)) % d.type.channels);
      d.wrong += std::fabs(volts[static_cast<size_t>(i)] - nivex::test::Level(channel)) > 0.002;
    }
    d.drained += static_cast<uint64_t>(got);
    if (static_cast<size_t>(got) < volts.size()) return;
  }
}

void BM_DevicesStreaming(benchmark::State& state) {
  const int seconds = RunSeconds();
  Outcome& out = gOutcome[state.range(0)];
  std::vector<std::unique_ptr<Device>>& gDevices = out.devices;
  for (auto _ : state) {
    gDevices.clear();
    bool ok = true;
    for (int copy = 0; copy < kSets[state.range(0)]; ++copy) {
      for (const Type& t : kFourDevices) {
        gDevices.push_back(std::make_unique<Device>());
        ok = ok && Start(*gDevices.back(), t, seconds);
      }
    }
    if (!ok) {
      state.SkipWithError("a device did not start");
      break;
    }
    // The load: one thread per processor, busy until the run ends.
    std::atomic<bool> busy{kLoaded[state.range(0)]};
    std::vector<std::thread> load;
    for (unsigned k = 0; busy && k < std::max(1u, std::thread::hardware_concurrency()); ++k)
      load.emplace_back([&busy] {
        volatile uint64_t spin = 0;
        while (busy.load(std::memory_order_relaxed)) spin = spin + 1;
      });
    std::vector<float> volts(16384);
    const Clock::time_point t0 = Clock::now();
    Clock::time_point next = t0, silentSince{};
    for (;;) {
      bool all = true, silent = true;
      for (auto& d : gDevices) {
        DrainAndCheck(*d, volts);
        all = all && d->drained >= d->cap;
        silent = silent && emu::StreamerOf(*d->emulator)->Counters().samplesSent >= d->cap;
      }
      if (all) break;
      if (silent && silentSince == Clock::time_point{}) silentSince = Clock::now();
      if (silent && Clock::now() - silentSince > std::chrono::seconds(5)) break;
      std::this_thread::sleep_until(next += std::chrono::milliseconds(10));
    }
    out.seconds = nivex::bench::Seconds(Clock::now() - t0);
    busy = false;
    for (std::thread& t : load) t.join();
    for (auto& d : gDevices) {
      const emu::StreamCounters c = emu::StreamerOf(*d->emulator)->Counters();
      d->sent = c.samplesSent;
      d->ackSum = c.ackSum;
      d->status = nivex::test::RingStatus(d->handle);
      d->bits |= d->status;
      QZ_StopAIScan(d->handle);
      QZ_Device_Release(d->handle);
      d->handle = nullptr;
    }
    out.ran = true;
    state.SetIterationTime(out.seconds);
  }
}

BENCHMARK(BM_DevicesStreaming)->DenseRange(0, kRuns - 1)->Iterations(1)->UseManualTime()
    ->Unit(benchmark::kSecond);

// The figures of one set: every device's line, then the targets.
void Report(const Outcome& out, const char* what, const char* label, bool loaded = false) {
  std::printf("\n[4] %s streaming at once for %d s (run %.1f s), drained as volts every 10 ms\n",
              what, RunSeconds(), out.seconds);
  constexpr unsigned kLossBits = QZ_BUF_OVERFLOW | QZ_BUF_SCAN_ENDED | QZ_BUF_SCAN_TIMEOUT;
  uint64_t lost = 0, wrong = 0, unmarked = 0;
  for (const auto& d : out.devices) {
    const uint64_t drained = d->drained;
    const uint64_t l = d->sent > drained ? d->sent - drained : 0;
    lost += l;
    wrong += d->wrong;
    if ((d->bits & kLossBits) == 0) unmarked += l;
    std::printf("    %-7s %d ch: sent %llu, received %llu (acknowledged %llu), drained %llu, "
                "lost %llu, wrong values %llu, overflow bit %s, bits seen 0x%02X\n",
                emu::ModelText(d->type.model), d->type.channels,
                static_cast<unsigned long long>(d->sent),
                static_cast<unsigned long long>(d->received),
                static_cast<unsigned long long>(d->ackSum),
                static_cast<unsigned long long>(drained), static_cast<unsigned long long>(l),
                static_cast<unsigned long long>(d->wrong),
                d->status & QZ_BUF_OVERFLOW ? "SET" : "clear", d->bits);
  }
  const std::string lostWhat = std::string("4 ") + label + ", samples lost";
  const std::string wrongWhat = std::string("4 ") + label + ", wrong values";
  // (A loss may shift the channels of what follows it in the ring.)
  if (!loaded || lost == 0)
    nivex::bench::Target(wrongWhat.c_str(), static_cast<double>(wrong), "<=", 0.0);
  if (!loaded) {
    nivex::bench::Target(lostWhat.c_str(), static_cast<double>(lost), "<=", 0.0);
    return;
  }
  // Under load a loss may happen; it must not go unmarked.
  std::printf("    samples lost under load: %llu, of them without a status bit: %llu\n",
              static_cast<unsigned long long>(lost), static_cast<unsigned long long>(unmarked));
  const std::string unmarkedWhat = std::string("4 ") + label + ", samples lost without a bit";
  nivex::bench::Target(unmarkedWhat.c_str(), static_cast<double>(unmarked), "<=", 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!gOutcome[0].ran && !gOutcome[1].ran && !gOutcome[2].ran) return 1;
  if (gOutcome[0].ran) Report(gOutcome[0], "four devices", "four devices");
  if (gOutcome[1].ran)
    Report(gOutcome[1], "sixteen devices (the four, four times)", "sixteen devices");
  if (gOutcome[2].ran) {
    const std::string what = "four devices beside " +
                             std::to_string(std::max(1u, std::thread::hardware_concurrency())) +
                             " busy threads";
    Report(gOutcome[2], what.c_str(), "four devices under load", true);
  }
  for (Outcome& o : gOutcome) o.devices.clear();
  return 0;
}

// Whole-path throughput of a buffered burst.
//
// An RX5K30 emulator (nivex-emu, a process of its own, unpaced: acquisition is instant and the
// stream goes as fast as the connection takes it) holds a buffered run of 4 x 128,000 S/s.
//   - kit: QZ_StartAIScan; the worker polls "~01N", sends "~01E", receives, acknowledges and
//     fills the ring, pausing after each ring write as the module protocol asks; this thread
//     drains the ring as volts meanwhile. Timed from the start to the last sample drained.
//     Twice: the buffered N-sample scan of the burst (its ring, 40 bytes per target sample,
//     is fresh memory that each write touches first), and, to tell that cost apart, a
//     continuous scan of 4 x 64,000 S/s (live: no pre-phase; the unpaced emulator sends just
//     as fast) stopped after as many samples (its 1,460,000-byte ring is in use after its
//     first round).
//   - raw: a plain blocking client with the kit's settings (the same receive buffer, receives
//     of at most 29,200 bytes, an acknowledgement each) takes the same byte stream unpaced.
//   - paced raw: the raw client with the kit's pause after each receive (to a deadline 1 ms
//     after the previous one's): what the settings themselves allow.
// The ceiling is the pacing's: one write of at most 29,200 bytes per millisecond. Each figure
// is the median of its bursts; the bursts of the three are interleaved.
// The environment line tells what a first write into fresh memory costs here (the ring of an
// N-sample scan is fresh memory), against the same copy into memory already in use.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstring>

#include "bench/BenchSupport.h"

namespace {

using nivex::bench::Clock;

constexpr int kChannels = 4;
constexpr int kRate = 128000;              // 512,000 S/s: above the live limit, so buffered
constexpr uint32_t kSamples = 4000000;     // 16 MB of 4-byte samples a burst
constexpr size_t kSampleBytes = 4;
constexpr size_t kBytes = static_cast<size_t>(kSamples) * kSampleBytes;
constexpr size_t kChunk = 29200;           // the largest receive
constexpr int kWindow = 32768;             // the receive buffer the kit asks for
constexpr double kCeiling = 29200.0 * 1000.0;  // bytes per second

nivex::bench::EmuProcess* gEmu = nullptr;
std::vector<double> gRaw, gPaced;       // bytes per second, one entry per burst
std::vector<double> gKit[2];            // [0] N-sample scan, [1] continuous scan
std::vector<double> gPacedPerReceive;    // mean bytes per receive of the paced bursts

// Sets the scan parameters in the module through the kit; the module keeps them.
bool SetUp() {
  void* h = QZ_Device_Create(gEmu->Connection().c_str());
  if (h == nullptr) return false;
  const bool ok = QZ_SetAIScanParam(h, kChannels, 0, 0, kRate, kSamples, 0, 0) == 1;
  QZ_Device_Release(h);
  return ok;
}

void SleepUntil(Clock::time_point t) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch());
  const timespec ts{static_cast<time_t>(ns.count() / 1000000000),
                    static_cast<long>(ns.count() % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

// One burst through the raw client: seconds from "~01S" to the last byte (< 0 on failure) and
// the receives it took.
double RawBurst(bool paced, uint64_t* receives) {
  const int cmd = nivex::bench::RawConnect(gEmu->ip(), 9999, 0);
  const int data = nivex::bench::RawConnect(gEmu->ip(), 10010, kWindow);
  double seconds = -1;
  std::string reply;
  static uint8_t buffer[kChunk];
  *receives = 0;
  if (cmd >= 0 && data >= 0) {
    const Clock::time_point t0 = Clock::now();
    if (nivex::bench::RawExchange(cmd, "~01S", &reply) &&
        nivex::bench::RawExchange(cmd, "~01E", &reply)) {
      size_t got = 0, carry = 0;
      Clock::time_point due;
      const auto pace = std::chrono::milliseconds(1);
      while (got < kBytes) {
        const ssize_t r = recv(data, buffer, std::min(kChunk, kBytes - got), 0);
        if (r <= 0) break;
        const Clock::time_point wrote = Clock::now();
        got += static_cast<size_t>(r);
        ++*receives;
        const size_t bytes = carry + static_cast<size_t>(r);
        carry = bytes % kSampleBytes;
        nivex::bench::RawAck(data, static_cast<uint32_t>(bytes / kSampleBytes));
        if (!paced) continue;
        due = wrote - due < pace ? due + pace : wrote + pace;  // the kit's rule
        SleepUntil(due);
      }
      if (got == kBytes) seconds = nivex::bench::Seconds(Clock::now() - t0);
    }
    nivex::bench::RawExchange(cmd, "~01Z", &reply);
  }
  if (cmd >= 0) close(cmd);
  if (data >= 0) close(data);
  return seconds;
}

void Record(benchmark::State& state, double seconds, std::vector<double>* into) {
  if (seconds <= 0) {
    state.SkipWithError("the burst did not arrive whole");
    return;
  }
  state.SetIterationTime(seconds);
  into->push_back(kBytes / seconds);
  state.counters["MB/s"] = kBytes / seconds / 1e6;
}

void BM_RawLoopbackReceive(benchmark::State& state) {
  uint64_t receives = 0;
  for (auto _ : state) Record(state, RawBurst(false, &receives), &gRaw);
}

void BM_RawPacedReceive(benchmark::State& state) {
  uint64_t receives = 0;
  for (auto _ : state) Record(state, RawBurst(true, &receives), &gPaced);
  if (receives) gPacedPerReceive.push_back(static_cast<double>(kBytes) / receives);
}

// Argument: the scan's target (kSamples, or 0 for a continuous scan).
void BM_KitBurstToVolts(benchmark::State& state) {
  const uint32_t target = static_cast<uint32_t>(state.range(0));
  state.SetLabel(target ? "N-sample scan" : "continuous scan");
  // A continuous scan cannot ask for the buffered rate: the live limit's.
  const int rate = target ? kRate : 64000;
  void* h = QZ_Device_Create(gEmu->Connection().c_str());
  if (h == nullptr || QZ_SetAIScanParam(h, kChannels, 0, 0, rate, target, 0, 0) != 1) {
    if (h != nullptr) QZ_Device_Release(h);
    state.SkipWithError("no device");
    return;
  }
  nivex::bench::VoltDrain drain(h);
  for (auto _ : state) {
    const uint64_t before = drain.taken();
    const Clock::time_point t0 = Clock::now();
    double seconds = -1;
    if (QZ_StartAIScan(h) == 1) {
      for (;;) {
        drain.Drain();
        if (drain.taken() - before >= kSamples) {
          seconds = nivex::bench::Seconds(Clock::now() - t0);
          break;
        }
        const unsigned short st = nivex::test::RingStatus(h);
        if ((st & QZ_BUF_SCAN_ENDED) && !(st & QZ_BUF_DATA)) break;  // ended short
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    }
    if (nivex::test::RingStatus(h) & QZ_BUF_OVERFLOW) seconds = -1;
    QZ_StopAIScan(h);
    Record(state, seconds, &gKit[target ? 0 : 1]);
  }
  QZ_Device_Release(h);
}

constexpr int kBursts = 5;
BENCHMARK(BM_RawLoopbackReceive)->UseManualTime()->Iterations(1)->Repetitions(kBursts)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawPacedReceive)->UseManualTime()->Iterations(1)->Repetitions(kBursts)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KitBurstToVolts)->Arg(kSamples)->Arg(0)->UseManualTime()->Iterations(1)
    ->Repetitions(kBursts)->Unit(benchmark::kMillisecond);

// Microseconds to copy one receive's worth into fresh memory page after page (the first
// write of each page), and into memory that is in use.
void FirstTouchCost(double* fresh, double* warm) {
  constexpr size_t kArea = 8u << 20;
  static uint8_t chunk[24576];
  std::unique_ptr<uint8_t[]> area(new uint8_t[kArea]);
  for (int pass = 0; pass < 2; ++pass) {
    const Clock::time_point t0 = Clock::now();
    for (size_t at = 0; at + sizeof chunk <= kArea; at += sizeof chunk)
      std::memcpy(area.get() + at, chunk, sizeof chunk);
    benchmark::DoNotOptimize(area.get());
    *(pass == 0 ? fresh : warm) =
        nivex::bench::Seconds(Clock::now() - t0) * 1e6 / (kArea / sizeof chunk);
  }
}

}  // namespace

int main(int argc, char** argv) {
  nivex::bench::InitializeInterleaved(&argc, argv);
  nivex::bench::EmuProcess emu("RX5K30", {"--stream", "fast", "--noise", "0"});
  gEmu = &emu;
  if (!emu.ready() || !SetUp()) {
    std::fprintf(stderr, "burst_bench: the emulator did not start or took no scan setup\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  double fresh = 0, warm = 0;
  FirstTouchCost(&fresh, &warm);
  const double raw = nivex::bench::Median(gRaw), paced = nivex::bench::Median(gPaced);
  std::printf("\n[1] buffered burst, RX5K30 %d x %d S/s, %u samples (%.0f MB) a burst, median of "
              "%d bursts each\n",
              kChannels, kRate, kSamples, kBytes / 1e6, kBursts);
  std::printf("    raw loopback receive %.1f MB/s; paced raw %.1f MB/s (%.0f bytes a receive, "
              "%.3f of the ceiling); ceiling %.1f MB/s\n",
              raw / 1e6, paced / 1e6, nivex::bench::Median(gPacedPerReceive), paced / kCeiling,
              kCeiling / 1e6);
  std::printf("    environment: a 24,576-byte copy takes %.1f us into fresh memory, %.1f us into "
              "memory in use\n",
              fresh, warm);
  const char* what[2] = {"buffered N-sample scan (fresh ring memory)",
                         "continuous scan (ring in use)"};
  for (int i = 0; i < 2; ++i) {
    const double kit = nivex::bench::Median(gKit[i]);
    std::printf("    kit, %s: %.1f MB/s; kit / raw %.3f, kit / paced raw %.3f\n", what[i],
                kit / 1e6, raw > 0 ? kit / raw : 0.0, paced > 0 ? kit / paced : 0.0);
    const std::string line = std::string("1 burst throughput, ") + what[i] + ", kit / ceiling";
    nivex::bench::Target(line.c_str(), kit / kCeiling, ">=", 0.7);
  }
  return 0;
}

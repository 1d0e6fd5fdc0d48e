// Processor time and wake-ups per second of streaming, at each type's top live rate, with the
// module sending every 1.0 ms (as often as the ring's pace) and every 1.2 ms.
//
// Each type's emulator is nivex-emu, a process of its own and paced as a module is, so this
// process holds only the kit, the application and the raw client below. A continuous scan runs;
// the application (this thread) drains the ring as volts every 10 ms. After a second of warm-up,
// over the window: the processor time and the wake-ups of the kit's threads (the threads the
// start created, from the scheduler's account), and the processor time of the whole process
// but the raw client's thread (getrusage: with the application's reads and conversions, which
// the raw client does not do).
// The window is split over several scans, each of its own start: the module's sends and the
// ring's deadlines keep the phase a start gives them (both run on a 1 ms clock when the module
// sends every 1.0 ms), and whether a receive is woken by the data or by the deadline costs the
// thread differently, so one scan's figure is the figure of one phase. Over several scans (and
// over time, as a module's clock drifts against the host's) the phases mix; the processor time's
// ratio is that of the totals over the scans, each scan's own ratio printed beside it.
// Baselines over windows of the same length: a raw client that receives the same stream with
// the same pacing (at most one receive per ring pace, at deadlines that pace apart),
// acknowledges every receive and keeps nothing, on a thread of its own at the same time as the
// kit (from a second emulator of the type) and on the same processor as the kit's threads and
// the application's (the processor time's ratio also as the middle of half-second slices); and a
// thread that only sleeps to deadlines 1 ms apart, what 1000 wake-ups a second (the pace of the
// ring writes) cost on this machine.
#include <benchmark/benchmark.h>
#include <poll.h>

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "bench/BenchSupport.h"
#include "framework/EngineTimings.h"

namespace {

using nivex::bench::Clock;

struct Type {
  const char* model;
  int channels;
  int rate;
};
constexpr Type kTypes[] = {{"RX5K10", 8, 30000}, {"RX5K30", 4, 64000}, {"RXBN500", 4, 42666}};
constexpr int kTypeCount = 3;
constexpr int kSendEveryUs[] = {1000, 1200};  // the module's send cadences
constexpr int kCadenceCount = 2;

struct Figure {
  unsigned rate = 0;           // per channel, as the kit reads it back
  double kit = 0, worker = 0;  // share of one core: the process, the kit's threads
  double raw = 0;
  double workerWakes = 0, rawWakes = 0;  // wake-ups a second
  double cpuRatio = 0;  // kit threads / raw client: the middle of the slices (one scan), or
                        // the totals' ratio over the scans
  std::vector<double> scanRatios;  // each scan's middle of the slices
  double wall = 0;      // seconds measured
  uint64_t drained = 0;
  double expected = 0;  // samples the window should have brought
  bool overflow = false;
  bool ran = false;
};
Figure gFig[kTypeCount][kCadenceCount];

const auto kWarmUp = std::chrono::seconds(1);
const auto kDrainEvery = std::chrono::milliseconds(10);
const auto kSlice = std::chrono::milliseconds(500);

std::chrono::seconds Window() { return std::chrono::seconds(nivex::bench::Quick() ? 3 : 10); }
int Scans() { return nivex::bench::Quick() ? 3 : 10; }  // scans a window is split over
Clock::duration ScanWindow() { return std::chrono::milliseconds(Window()) / Scans(); }

// The kit's figures; false when the scan could not run. beside: a thread of this process that
// is not the kit's (the raw client), left out of the whole process's figure.
bool KitWindow(const nivex::bench::EmuProcess& emu, const Type& t, Figure* f, int beside,
               Clock::duration window) {
  void* h = QZ_Device_Create(emu.Connection().c_str());
  if (h == nullptr) return false;
  unsigned short ch = 0, gain = 0, trig = 0, tm = 0, ack = 0;
  unsigned int rate = 0, target = 0;
  bool ok = QZ_SetAIScanParam(h, t.channels, 0, 0, t.rate, 0, 0, 0) == 1 &&
            QZ_GetAIScanParam(h, &ch, &gain, &trig, &rate, &target, &tm, &ack) == 1;
  f->rate = rate;
  const std::vector<int> before = nivex::bench::ThreadIds();
  ok = ok && QZ_StartAIScan(h) == 1;
  std::vector<int> workers;
  for (int id : nivex::bench::ThreadIds())
    if (std::find(before.begin(), before.end(), id) == before.end()) workers.push_back(id);
  // The kit's threads and the application's share the raw client's processor: all of them
  // meet the same core, its caches and its neighbours' load.
  cpu_set_t one, was;
  sched_getaffinity(0, sizeof was, &was);
  if (beside >= 0 && sched_getaffinity(beside, sizeof one, &one) == 0) {
    for (int id : workers) sched_setaffinity(id, sizeof one, &one);
    sched_setaffinity(0, sizeof one, &one);
  }
  auto workerCpu = [&] {
    double s = 0;
    for (int id : workers) s += nivex::bench::ThreadCpuSeconds(id);
    return s;
  };
  auto workerWaits = [&] {
    uint64_t n = 0;
    for (int id : workers) n += nivex::bench::ThreadWaits(id);
    return n;
  };
  nivex::bench::VoltDrain drain(h);
  if (ok) {
    Clock::time_point next = Clock::now();
    const Clock::time_point warm = next + kWarmUp;
    while (Clock::now() < warm) {
      drain.Drain();
      std::this_thread::sleep_until(next += kDrainEvery);
    }
    auto processCpu = [&] {
      return nivex::bench::ProcessCpuSeconds() - nivex::bench::ThreadCpuSeconds(beside);
    };
    const double cpu0 = processCpu(), w0 = workerCpu();
    const uint64_t d0 = drain.taken(), waits0 = workerWaits();
    const Clock::time_point t0 = Clock::now(), end = t0 + window;
    // The processor time against the raw client's, slice by slice (both run at the same time),
    // and its middle value: a slice that met a burst of load elsewhere weighs no more than one.
    std::vector<double> cpuRatios;
    double sliceW = w0, sliceR = nivex::bench::ThreadCpuSeconds(beside);
    for (Clock::time_point slice = t0 + kSlice; Clock::now() < end;) {
      drain.Drain();
      std::this_thread::sleep_until(next += kDrainEvery);
      if (Clock::now() < slice) continue;
      slice += kSlice;
      const double w = workerCpu(), r = nivex::bench::ThreadCpuSeconds(beside);
      if (r > sliceR) cpuRatios.push_back((w - sliceW) / (r - sliceR));
      sliceW = w, sliceR = r;
    }
    f->cpuRatio = nivex::bench::Median(cpuRatios);
    drain.Drain();
    const double wall = nivex::bench::Seconds(Clock::now() - t0);
    f->wall = wall;
    f->kit = (processCpu() - cpu0) / wall;
    f->worker = (workerCpu() - w0) / wall;
    f->workerWakes = static_cast<double>(workerWaits() - waits0) / wall;
    f->drained = drain.taken() - d0;
    f->expected = static_cast<double>(rate) * t.channels * wall;
    f->overflow = (nivex::test::RingStatus(h) & QZ_BUF_OVERFLOW) != 0;
    QZ_StopAIScan(h);
  }
  QZ_Device_Release(h);
  sched_setaffinity(0, sizeof was, &was);
  return ok;
}

// What 1000 wake-ups a second cost here by themselves: a thread that only sleeps to deadlines
// 1 ms apart (ppoll with a time-out, as the worker's pause), for a window of the same length.
double SleepFloor() {
  double share = 0;
  std::thread t([&] {
    timespec c0{}, c1{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
    const Clock::time_point t0 = Clock::now(), end = t0 + Window();
    for (Clock::time_point due = t0; due < end;) {
      due += std::chrono::milliseconds(1);
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(due - Clock::now());
      const timespec ts{0, static_cast<long>(std::max<int64_t>(left.count(), 0))};
      ppoll(nullptr, 0, &ts, nullptr);
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
    share = (static_cast<double>(c1.tv_sec - c0.tv_sec) + (c1.tv_nsec - c0.tv_nsec) / 1e9) /
            nivex::bench::Seconds(Clock::now() - t0);
  });
  t.join();
  return share;
}
double gFloor = 0;

std::string List(const std::vector<double>& values) {
  std::string out;
  char one[16];
  for (double v : values) {
    std::snprintf(one, sizeof one, "%s%.2f", out.empty() ? "" : " ", v);
    out += one;
  }
  return out;
}

void BM_SleepFloor(benchmark::State& state) {
  for (auto _ : state) {
    gFloor = SleepFloor();
    state.SetIterationTime(static_cast<double>(Window().count()));
    state.counters["core_%"] = gFloor * 100;
  }
}

void BM_StreamCpu(benchmark::State& state) {
  const int i = static_cast<int>(state.range(0)), c = static_cast<int>(state.range(1));
  const Type& t = kTypes[i];
  state.SetLabel(std::string(t.model) + ", sends every " + std::to_string(kSendEveryUs[c]) +
                 " us");
  // The raw client runs at the same time as the kit, on a module of its own, so that both meet
  // the same load of the machine.
  const std::vector<std::string> args = {"--send-every", std::to_string(kSendEveryUs[c])};
  nivex::bench::EmuProcess emu(t.model, args), rawEmu(t.model, args);
  Figure& f = gFig[i][c];
  for (auto _ : state) {
    void* scan = rawEmu.ready() ? QZ_Device_Create(rawEmu.Connection().c_str()) : nullptr;
    const bool set = scan != nullptr && QZ_SetAIScanParam(scan, t.channels, 0, 0, t.rate, 0, 0, 0);
    if (scan != nullptr) QZ_Device_Release(scan);  // the module keeps the scan parameters
    // Totals over the scans: seconds of processor time, wake-ups, samples.
    double kitCpu = 0, workerCpu = 0, workerWakes = 0, rawCpu = 0, rawWakes = 0, wall = 0;
    double rawWall = 0;
    f = Figure{};
    bool ran = set;
    for (int scanIndex = 0; ran && scanIndex < Scans(); ++scanIndex) {
      Figure g;
      double rawShare = 0, rawWakesPerSecond = 0;
      std::atomic<int> rawTid{-1};
      std::atomic<bool> kitDone{false};
      std::thread raw([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(static_cast<unsigned>(std::max(sched_getcpu(), 0)), &one);
        sched_setaffinity(0, sizeof one, &one);
        rawTid = static_cast<int>(syscall(SYS_gettid));
        rawShare = nivex::bench::RawStreamShare(rawEmu.ip(), kWarmUp, ScanWindow() + kWarmUp,
                                                &rawWakesPerSecond,
                                                nivex::DefaultTimings().ringPace);
        // The thread stays until the kit's window is over: its account is read until then.
        while (!kitDone) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      });
      while (rawTid < 0) std::this_thread::yield();
      ran = emu.ready() && KitWindow(emu, t, &g, rawTid, ScanWindow());
      kitDone = true;
      raw.join();
      ran = ran && rawShare > 0;
      if (!ran) break;
      const double rawSeconds = nivex::bench::Seconds(ScanWindow() + kWarmUp);
      kitCpu += g.kit * g.wall;
      workerCpu += g.worker * g.wall;
      workerWakes += g.workerWakes * g.wall;
      wall += g.wall;
      rawCpu += rawShare * rawSeconds;
      rawWakes += rawWakesPerSecond * rawSeconds;
      rawWall += rawSeconds;
      f.rate = g.rate;
      f.drained += g.drained;
      f.expected += g.expected;
      f.overflow = f.overflow || g.overflow;
      f.scanRatios.push_back(g.cpuRatio);
    }
    if (!ran) {
      state.SkipWithError("the scan did not run");
      break;
    }
    f.kit = kitCpu / wall;
    f.worker = workerCpu / wall;
    f.workerWakes = workerWakes / wall;
    f.raw = rawCpu / rawWall;
    f.rawWakes = rawWakes / rawWall;
    f.cpuRatio = f.raw > 0 ? f.worker / f.raw : 0;
    f.wall = wall;
    f.ran = true;
    state.SetIterationTime(static_cast<double>(Window().count()));
    state.counters["kit_core_%"] = f.worker * 100;
    state.counters["process_core_%"] = f.kit * 100;
    state.counters["raw_core_%"] = f.raw * 100;
  }
}

BENCHMARK(BM_SleepFloor)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_StreamCpu)->ArgsProduct({benchmark::CreateDenseRange(0, kTypeCount - 1, 1),
                                      benchmark::CreateDenseRange(0, kCadenceCount - 1, 1)})
    ->Iterations(1)->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\n[3] processor time per second of streaming (share of one core), %lld s windows"
              " over %d scans, the application draining as volts every 10 ms\n",
              static_cast<long long>(Window().count()), Scans());
  std::printf("    a thread that only sleeps to 1 ms deadlines: %.2f%% (the price of 1000 "
              "wake-ups a second on this machine)\n",
              gFloor * 100);
  const double periods = 1e6 / static_cast<double>(nivex::DefaultTimings().ringPace.count());
  for (int c = 0; c < kCadenceCount; ++c) {
    const std::string every = std::to_string(kSendEveryUs[c] / 1000.0).substr(0, 3) + " ms";
    std::printf("    the module sends every %s:\n", every.c_str());
    for (int i = 0; i < kTypeCount; ++i) {
      const Figure& f = gFig[i][c];
      if (!f.ran) continue;
      const Type& t = kTypes[i];
      auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
      std::printf("    %-7s %d x %u S/s: kit threads %.2f%% (%.0f wake-ups/s), raw paced client "
                  "%.2f%% (%.0f wake-ups/s); kit / raw: wake-ups %.2f, threads %.2f (each "
                  "scan's middle of %d ms slices: %s); whole process / raw %.2f (%.2f%%, with "
                  "the volt reads); kit threads / sleep-only thread %.2f; drained %llu of %.0f "
                  "samples%s\n",
                  t.model, t.channels, f.rate, f.worker * 100, f.workerWakes, f.raw * 100,
                  f.rawWakes, ratio(f.workerWakes, f.rawWakes), f.cpuRatio,
                  static_cast<int>(kSlice.count()), List(f.scanRatios).c_str(), ratio(f.kit, f.raw),
                  f.kit * 100, ratio(f.worker, gFloor),
                  static_cast<unsigned long long>(f.drained), f.expected,
                  f.overflow ? ", RING OVERFLOW" : "");
      // One wake-up per receive, as the raw client with the same pacing, and little more
      // processor time than it.
      const std::string what = std::string(t.model) + ", sends every " + every;
      nivex::bench::Target(("3 worker wake-ups per pacing period, " + what).c_str(),
                           f.workerWakes / periods, "<=", 1.1);
      nivex::bench::Target(("3 wake-ups, " + what + ", kit / raw paced client").c_str(),
                           ratio(f.workerWakes, f.rawWakes), "<=", 1.1);
      nivex::bench::Target(("3 processor time of the kit's threads, " + what +
                            ", kit / raw paced client").c_str(),
                           f.cpuRatio, "<=", 1.2);
    }
  }
  return 0;
}

// Logging to host files at the top live rates: nothing the module sends may go missing.
//
// [5] A text log (QZ_LOG_TEXT) of an RX5K30 at 4 x 64,000 S/s for 30 s: nivex-emu, a process of
//     its own paced as a module is, streams a run of exactly rate x 4 x 30 s samples with a
//     steady level on each input and no noise. A new file every second (0 minutes per file)
//     rotates as often as the names allow. Read back, the files in order must hold every sample
//     as one value each, four to a row, each its input's level. The processor time of this
//     whole process (getrusage) over the run is quoted against the baseline of
//     stream_cpu_bench: a raw client receiving the same stream, acknowledging and keeping
//     nothing.
// [6] A binary log (QZ_LOG_BINARY) of the four-device run of soak_bench (RX5K10 8 x 30,000 S/s,
//     RX5K30 4 x 64,000 twice, RXBN500 4 x 42,666), each emulator in this process and falling
//     silent after the run's length: for each device the samples its connection took (sent),
//     the host acknowledged, and the data files hold must be the same.
// 30 s and 60 s by default; NIVEX_BENCH_QUICK (scripts/bench --quick) makes both 10 s.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "bench/BenchSupport.h"
#include "emulator/DataStreamer.h"
#include "emulator/Emulator.h"
#include "emulator/HighSpeedModule.h"

namespace {

namespace fs = std::filesystem;
namespace emu = nivex::emu;
using nivex::bench::Clock;

int TextSeconds() { return nivex::bench::Quick() ? 10 : 30; }
int FourSeconds() { return nivex::bench::Quick() ? 10 : 60; }

// The data files below base/log in the order they were started (by the time in their names).
std::vector<std::string> DataFiles(const std::string& base) {
  std::vector<std::pair<std::vector<long>, std::string>> found;
  const fs::path log = fs::path(base) / "log";
  if (!fs::exists(log)) return {};
  for (const auto& e : fs::recursive_directory_iterator(log)) {
    if (!e.is_regular_file()) continue;
    const std::string stem = e.path().stem().string();
    std::vector<long> key;  // year, month, day, hour, minute, second: the last six fields
    size_t end = stem.size();
    for (int i = 0; i < 6 && end > 0; ++i) {
      const size_t at = stem.rfind('_', end - 1);
      const size_t from = at == std::string::npos ? 0 : at + 1;
      key.insert(key.begin(), std::atol(stem.substr(from, end - from).c_str()));
      end = at == std::string::npos ? 0 : at;
    }
    found.emplace_back(key, e.path().string());
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> out;
  for (auto& f : found) out.push_back(f.second);
  return out;
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// ------------------------------------------------------------------ [5] text log, RX5K30

constexpr int kTextChannels = 4;
constexpr int kTextRate = 64000;

struct TextFigure {
  bool ran = false;
  unsigned rate = 0;
  uint64_t sent = 0;     // the run's samples: the module sends exactly these
  uint64_t values = 0;   // read back from the files
  uint64_t wrong = 0;    // values off their input's level, or rows not of 4 values
  size_t files = 0;
  double megabytes = 0;
  double seconds = 0;    // from the start to the log's end
  double kit = 0, worker = 0, raw = 0, rawWakes = 0;  // shares of one core
  unsigned short status = 0;
} gText;

// Reads the text files back in order: every row four values, each its input's level.
void CheckText(const std::vector<std::string>& files, TextFigure* f) {
  int channel = 0;
  for (const std::string& path : files) {
    const std::string text = ReadAll(path);
    f->megabytes += static_cast<double>(text.size()) / 1e6;
    const char* p = text.c_str();
    const char* end = p + text.size();
    while (p < end) {
      char* next = nullptr;
      const double v = std::strtod(p, &next);
      if (next == p) {  // not a number: the file is broken from here
        ++f->wrong;
        break;
      }
      ++f->values;
      f->wrong += std::fabs(v - nivex::test::Level(channel)) > 0.002;
      const bool rowEnd = channel == kTextChannels - 1;
      const char* sep = rowEnd ? "\r\n" : ",";
      if (std::strncmp(next, sep, std::strlen(sep)) != 0) ++f->wrong;
      p = next + std::strlen(sep);
      channel = rowEnd ? 0 : channel + 1;
    }
  }
}

void BM_TextLog(benchmark::State& state) {
  std::string levels;
  for (int ch = 0; ch < kTextChannels; ++ch)
    levels += (ch ? "," : "") + std::to_string(nivex::test::Level(ch));
  nivex::bench::EmuProcess emu("RX5K30", {"--signal", levels, "--noise", "0"});
  nivex::test::TempFolder base;
  TextFigure& f = gText;
  for (auto _ : state) {
    void* h = emu.ready() ? QZ_Device_Create(emu.Connection().c_str()) : nullptr;
    unsigned short ch = 0, gain = 0, trig = 0, tm = 0, ack = 0;
    unsigned int rate = 0, target = 0;
    const unsigned n = static_cast<unsigned>(kTextRate * kTextChannels * TextSeconds());
    bool ok = h != nullptr &&
              QZ_SetAIScanParam(h, kTextChannels, 0, 0, kTextRate, n, 0, 0) == 1 &&
              QZ_GetAIScanParam(h, &ch, &gain, &trig, &rate, &target, &tm, &ack) == 1;
    f.rate = rate;
    f.sent = target;
    const std::vector<int> before = nivex::bench::ThreadIds();
    const double cpu0 = nivex::bench::ProcessCpuSeconds();
    const Clock::time_point t0 = Clock::now();
    ok = ok && QZ_StartLogger(h, const_cast<char*>(base.c()), 0, QZ_LOG_TEXT) == 1;
    std::vector<int> workers;
    for (int id : nivex::bench::ThreadIds())
      if (std::find(before.begin(), before.end(), id) == before.end()) workers.push_back(id);
    const Clock::time_point deadline = t0 + std::chrono::seconds(TextSeconds() + 15);
    double workerCpu = 0;
    while (ok && Clock::now() < deadline) {
      double cpu = 0;  // the worker's account is gone once its thread has ended
      for (int id : workers) cpu += nivex::bench::ThreadCpuSeconds(id);
      workerCpu = std::max(workerCpu, cpu);
      f.status = nivex::test::RingStatus(h);
      if (f.status & QZ_BUF_LOG_ENDED) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    f.seconds = nivex::bench::Seconds(Clock::now() - t0);
    f.kit = (nivex::bench::ProcessCpuSeconds() - cpu0) / f.seconds;
    f.worker = workerCpu / f.seconds;
    if (h != nullptr) {
      QZ_StopLogger(h);
      QZ_Device_Release(h);
    }
    if (!ok) {
      state.SkipWithError("the log did not start");
      break;
    }
    const std::vector<std::string> files = DataFiles(base.str());
    f.files = files.size();
    CheckText(files, &f);
    const auto window = std::chrono::seconds(nivex::bench::Quick() ? 3 : 10);
    f.raw = nivex::bench::RawStreamShare(emu.ip(), std::chrono::seconds(1), window, &f.rawWakes);
    f.ran = true;
    state.SetIterationTime(f.seconds);
    state.counters["kit_core_%"] = f.kit * 100;
  }
}

// ------------------------------------------------------------------ [6] four devices, binary

using Type = nivex::bench::StreamType;
using nivex::bench::kFourDevices;

struct Device {
  Type type{};
  std::unique_ptr<emu::Emulator> emulator;
  std::unique_ptr<nivex::test::TempFolder> base;
  void* handle = nullptr;
  unsigned sampleBytes = 2;
  uint64_t cap = 0;  // samples the emulator sends before it falls silent
  uint64_t sent = 0, acknowledged = 0, written = 0;
  size_t files = 0;
  unsigned short status = 0;
};

struct FourOutcome {
  bool ran = false;
  double seconds = 0;
  std::vector<std::unique_ptr<Device>> devices;
} gFour;

// Opens the emulator and the device and starts the binary log; false when anything fails.
bool StartLog(Device& d, const Type& t, int seconds) {
  d.type = t;
  d.sampleBytes = t.model == emu::Model::RX5K10 ? 2 : 4;
  d.base = std::make_unique<nivex::test::TempFolder>();
  d.cap = nivex::bench::OpenStreamingModule(t.model, t.channels, t.rate, seconds, d.sampleBytes,
                                            &d.emulator, &d.handle);
  if (d.cap == 0) return false;
  return QZ_StartLogger(d.handle, const_cast<char*>(d.base->c()), 0, QZ_LOG_BINARY) == 1;
}

void BM_FourDeviceBinaryLog(benchmark::State& state) {
  const int seconds = FourSeconds();
  for (auto _ : state) {
    gFour.devices.clear();
    bool ok = true;
    for (const Type& t : kFourDevices) {
      gFour.devices.push_back(std::make_unique<Device>());
      ok = ok && StartLog(*gFour.devices.back(), t, seconds);
    }
    if (!ok) {
      state.SkipWithError("a log did not start");
      break;
    }
    // Until every device has acknowledged all its emulator sent (or 5 s of silence after).
    const Clock::time_point t0 = Clock::now();
    Clock::time_point silentSince{};
    for (;;) {
      bool all = true, silent = true;
      for (auto& d : gFour.devices) {
        const emu::StreamCounters c = emu::StreamerOf(*d->emulator)->Counters();
        all = all && c.ackSum >= d->cap;
        silent = silent && c.samplesSent >= d->cap;
      }
      if (all) break;
      if (silent && silentSince == Clock::time_point{}) silentSince = Clock::now();
      if (silent && Clock::now() - silentSince > std::chrono::seconds(5)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    gFour.seconds = nivex::bench::Seconds(Clock::now() - t0);
    for (auto& d : gFour.devices) {
      d->status = nivex::test::RingStatus(d->handle);
      QZ_StopLogger(d->handle);  // the data file is closed once this returns
      const emu::StreamCounters c = emu::StreamerOf(*d->emulator)->Counters();
      d->sent = c.samplesSent;
      d->acknowledged = c.ackSum;
      QZ_Device_Release(d->handle);
      d->handle = nullptr;
      const std::vector<std::string> files = DataFiles(d->base->str());
      d->files = files.size();
      for (const std::string& path : files) d->written += fs::file_size(path) / d->sampleBytes;
    }
    gFour.ran = true;
    state.SetIterationTime(gFour.seconds);
  }
}

BENCHMARK(BM_TextLog)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_FourDeviceBinaryLog)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

uint64_t Gap(uint64_t a, uint64_t b) { return a > b ? a - b : b - a; }

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  bool ran = false;
  if (gText.ran) {
    ran = true;
    const TextFigure& f = gText;
    std::printf("\n[5] text log of an RX5K30, %d x %u S/s for %d s, a new file every second\n",
                kTextChannels, f.rate, TextSeconds());
    std::printf("    sent %llu samples, read back %llu values (%llu wrong) from %zu files "
                "(%.1f MB); the log ended after %.2f s, status 0x%04x\n",
                static_cast<unsigned long long>(f.sent),
                static_cast<unsigned long long>(f.values),
                static_cast<unsigned long long>(f.wrong), f.files, f.megabytes, f.seconds,
                f.status);
    std::printf("    processor time: kit %.2f%% of one core (worker thread %.2f%%), raw client "
                "%.2f%% (%.0f wake-ups/s); kit / raw %.2f\n",
                f.kit * 100, f.worker * 100, f.raw * 100, f.rawWakes,
                f.raw > 0 ? f.kit / f.raw : 0.0);
    const bool complete = (f.status & (QZ_BUF_TARGET_REACHED | QZ_BUF_LOG_TIMEOUT)) ==
                          QZ_BUF_TARGET_REACHED;
    nivex::bench::Target("5 text log RX5K30, samples lost",
                         static_cast<double>(Gap(f.sent, f.values)) + (complete ? 0 : 1), "<=",
                         0.0);
    nivex::bench::Target("5 text log RX5K30, wrong values", static_cast<double>(f.wrong), "<=",
                         0.0);
    // Keeping up: the log ends with the stream, not behind it.
    nivex::bench::Target("5 text log RX5K30, seconds behind the stream",
                         f.seconds - TextSeconds(), "<=", 2.0, " s");
  }
  if (gFour.ran) {
    ran = true;
    std::printf("\n[6] binary logs of four devices at once for %d s (run %.1f s), a new file "
                "every second\n",
                FourSeconds(), gFour.seconds);
    uint64_t unacknowledged = 0, unwritten = 0;
    for (const auto& d : gFour.devices) {
      unacknowledged += Gap(d->cap, d->acknowledged) + Gap(d->sent, d->acknowledged);
      unwritten += Gap(d->sent, d->written);
      std::printf("    %-7s %d ch: sent %llu of %llu, acknowledged %llu, written %llu in %zu "
                  "files, status 0x%04x\n",
                  emu::ModelText(d->type.model), d->type.channels,
                  static_cast<unsigned long long>(d->sent),
                  static_cast<unsigned long long>(d->cap),
                  static_cast<unsigned long long>(d->acknowledged),
                  static_cast<unsigned long long>(d->written), d->files, d->status);
    }
    nivex::bench::Target("6 four-device binary log, samples not acknowledged",
                         static_cast<double>(unacknowledged), "<=", 0.0);
    nivex::bench::Target("6 four-device binary log, samples not in the files",
                         static_cast<double>(unwritten), "<=", 0.0);
  }
  gFour.devices.clear();
  return ran ? 0 : 1;
}

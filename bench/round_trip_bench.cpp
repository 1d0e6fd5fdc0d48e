// Command round trip: QZ_SendRecv against a plain blocking ping-pong with the same emulator.
//
// One RX5K30 emulator (nivex-emu, a process of its own) answers both on connections of their
// own: the kit's device and a raw client that sends the same line and blocks in recv until the
// reply's carriage return. The command is "$01F" (the hardware version: no state, a short
// reply). The two alternate in rounds, so a change in the machine's load meets both alike;
// the figure is the ratio of the medians over the rounds.
#include "bench/BenchSupport.h"

namespace {

using nivex::bench::Clock;

constexpr const char* kCommand = "$01F";
constexpr int kRounds = 9;
constexpr int kExchanges = 3000;  // a round

nivex::bench::EmuProcess* gEmu = nullptr;
std::vector<double> gRaw, gKit;  // seconds per exchange, one entry per benchmark run

void Record(benchmark::State& state, Clock::time_point t0, std::vector<double>* into) {
  if (state.error_occurred()) return;
  const double per = nivex::bench::Seconds(Clock::now() - t0) / static_cast<double>(kExchanges);
  into->push_back(per);
  state.counters["us/exchange"] = per * 1e6;
}

void BM_RawPingPong(benchmark::State& state) {
  const int fd = nivex::bench::RawConnect(gEmu->ip(), 9999, 0);
  std::string reply;
  if (fd < 0) {
    state.SkipWithError("no connection");
    return;
  }
  const Clock::time_point t0 = Clock::now();
  for (auto _ : state) {
    if (!nivex::bench::RawExchange(fd, kCommand, &reply)) {
      state.SkipWithError("no reply");
      break;
    }
  }
  Record(state, t0, &gRaw);
  close(fd);
}

void BM_QZSendRecv(benchmark::State& state) {
  void* h = QZ_Device_Create(gEmu->Connection().c_str());
  if (h == nullptr) {
    state.SkipWithError("no device");
    return;
  }
  char reply[QZ_REPLY_SIZE];
  const Clock::time_point t0 = Clock::now();
  for (auto _ : state) {
    if (QZ_SendRecv(h, kCommand, reply, 1000) != 1) {
      state.SkipWithError("no reply");
      break;
    }
  }
  Record(state, t0, &gKit);
  QZ_Device_Release(h);
}

BENCHMARK(BM_RawPingPong)->Iterations(kExchanges)->UseRealTime()->Repetitions(kRounds);
BENCHMARK(BM_QZSendRecv)->Iterations(kExchanges)->UseRealTime()->Repetitions(kRounds);

}  // namespace

int main(int argc, char** argv) {
  nivex::bench::InitializeInterleaved(&argc, argv);
  nivex::bench::EmuProcess emu("RX5K30", {});
  gEmu = &emu;
  if (!emu.ready()) {
    std::fprintf(stderr, "round_trip_bench: the emulator did not start\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const double raw = nivex::bench::Median(gRaw), kit = nivex::bench::Median(gKit);
  std::printf("\n[2] command round trip \"%s\", RX5K30 emulator, median of %zu rounds each\n",
              kCommand, gKit.size());
  std::printf("    raw blocking ping-pong %.1f us, QZ_SendRecv %.1f us\n", raw * 1e6, kit * 1e6);
  nivex::bench::Target("2 round trip, QZ_SendRecv / raw ping-pong", raw > 0 ? kit / raw : 0.0,
                       "<=", 1.2, "x");
  return 0;
}

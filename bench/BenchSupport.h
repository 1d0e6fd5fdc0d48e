// What the benchmark programs share: the emulator as a process of its own, plain loopback
// clients for the baselines, the application's drain of a device's ring as volts, processor
// time, and the lines that print a figure against its target.
//
// Every program prints its figures as lines "TARGET <what>: <figure> (target <bound>): met" or
// "... MISSED"; scripts/bench gathers them after the run.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "nivex.h"
#include "emulator/HighSpeedModule.h"
#include "tests/common/ChildProcess.h"
#include "tests/common/ScanFixture.h"
#include "tests/common/TestSupport.h"

namespace nivex::bench {

using Clock = std::chrono::steady_clock;

// scripts/bench --quick sets NIVEX_BENCH_QUICK: shorter runs for trying things out.
inline bool Quick() {
  const char* q = std::getenv("NIVEX_BENCH_QUICK");
  return q != nullptr && *q != '\0' && *q != '0';
}

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The middle value (0 for none).
inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// benchmark::Initialize with the repetitions of different benchmarks run in a random
// interleaved order, so that a change in the machine's load meets the kit and its baselines
// alike, and only the aggregates of the repetitions reported.
inline void InitializeInterleaved(int* argc, char** argv) {
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static char brief[] = "--benchmark_report_aggregates_only=true";
  static std::vector<char*> args;
  args.assign(argv, argv + *argc);
  args.insert(args.begin() + 1, {interleave, brief});
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
}

// nivex-emu (NIVEX_EMU names the program) on a loopback address of its own, as a separate
// process: its threads, its processor time and its scheduling stay out of this process.
class EmuProcess {
 public:
  EmuProcess(const std::string& model, const std::vector<std::string>& extra) {
    ip_ = test::FreshLoopbackAddress();
    std::vector<std::string> args = {"--model", model, "--ip", ip_};
    args.insert(args.end(), extra.begin(), extra.end());
    child_ = std::make_unique<test::ChildProcess>(test::EmulatorProgram(), args);
    ready_ = child_->started() && child_->Read("ready", 5000).find("ready") != std::string::npos;
  }
  ~EmuProcess() {
    if (child_) child_->Stop(SIGTERM);
  }
  EmuProcess(const EmuProcess&) = delete;
  EmuProcess& operator=(const EmuProcess&) = delete;

  bool ready() const { return ready_; }
  const std::string& ip() const { return ip_; }
  std::string Connection() const { return ip_ + ",9999,10010"; }

 private:
  std::string ip_;
  std::unique_ptr<test::ChildProcess> child_;
  bool ready_ = false;
};

// A plain blocking client socket to ip:port, its receive buffer set before the connect as the
// kit sets its data socket's (rcvbuf > 0). -1 when refused.
inline int RawConnect(const std::string& ip, int port, int rcvbuf) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One command line and its reply line on a blocking socket: a send, then receives until the
// carriage return. False when the connection fails.
inline bool RawExchange(int fd, const std::string& line, std::string* reply) {
  const std::string out = line + "\r";
  if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
    return false;
  reply->clear();
  char buf[256];
  for (;;) {
    const ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r <= 0) return false;
    reply->append(buf, static_cast<size_t>(r));
    if (reply->back() == '\r') return true;
  }
}

// The 4-byte little-endian acknowledgement of a receive of `samples` whole samples.
inline void RawAck(int fd, uint32_t samples) {
  const uint8_t ack[4] = {static_cast<uint8_t>(samples), static_cast<uint8_t>(samples >> 8),
                          static_cast<uint8_t>(samples >> 16), static_cast<uint8_t>(samples >> 24)};
  (void)send(fd, ack, sizeof ack, MSG_NOSIGNAL);
}

// Processor time of this whole process (every thread), user and system, in seconds.
inline double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The threads of this process, by id.
inline std::vector<int> ThreadIds() {
  std::vector<int> ids;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task"))
    ids.push_back(std::atoi(e.path().filename().c_str()));
  return ids;
}

// Processor time of one thread of this process in seconds (the scheduler's account, in
// nanoseconds); 0 when the thread is gone.
inline double ThreadCpuSeconds(int tid) {
  std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/schedstat");
  unsigned long long ns = 0;
  f >> ns;
  return static_cast<double>(ns) / 1e9;
}

// Times one thread of this process gave up the processor to wait (its wake-ups).
inline uint64_t ThreadWaits(int tid) {
  std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string key;
  uint64_t n = 0;
  while (f >> key)
    if (key == "voluntary_ctxt_switches:" && f >> n) return n;
  return 0;
}

// The same for the calling thread.
inline uint64_t OwnWaits() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return static_cast<uint64_t>(u.ru_nvcsw);
}

// The baseline of the kit's processor time: a raw client's share of one core (its thread's)
// while it receives
// a module's scan stream and acknowledges every receive, keeping nothing (the module keeps the
// scan parameters the kit gave it). After the warm-up, over the window; its wake-ups a second
// in *wakes. -1 when the module cannot be reached.
// With a pace, the client takes at most one receive per pace, at deadlines that pace apart (a
// receive more than a pace after the last deadline starts them afresh): when bytes waited at
// the last deadline it sleeps straight to the next and takes what waits; otherwise it waits for
// the bytes, and sleeps on to the deadline when they come before it.
inline double RawStreamShare(const std::string& ip, Clock::duration warmUp,
                             Clock::duration window, double* wakes,
                             Clock::duration pace = Clock::duration::zero()) {
  const int cmd = RawConnect(ip, 9999, 0);
  const int data = RawConnect(ip, 10010, 32768);
  std::string reply;
  double share = -1;
  if (cmd >= 0 && data >= 0 && RawExchange(cmd, "~01S", &reply)) {
    static uint8_t buffer[29200];
    const unsigned unit = 2;  // the carry does not change the cost; count in 16-bit units
    const bool paced = pace > Clock::duration::zero();
    Clock::time_point due{};  // the next deadline
    bool waited = false;      // bytes waited at the last one
    auto sleepUntil = [](Clock::time_point t) {
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(t - Clock::now());
      if (left.count() <= 0) return;
      const timespec ts{static_cast<time_t>(left.count() / 1000000000),
                        static_cast<long>(left.count() % 1000000000)};
      ppoll(nullptr, 0, &ts, nullptr);
    };
    auto receiveUntil = [&](Clock::time_point end) {
      while (Clock::now() < end) {
        ssize_t r;
        if (waited) {
          sleepUntil(due);
          r = recv(data, buffer, sizeof buffer, MSG_DONTWAIT);
          if (r < 0 && errno == EAGAIN) {
            waited = false;
            continue;
          }
        } else {
          pollfd p{data, POLLIN, 0};
          if (poll(&p, 1, 100) <= 0) continue;
          waited = paced && Clock::now() < due;
          if (waited) sleepUntil(due);
          r = recv(data, buffer, sizeof buffer, 0);
        }
        if (r <= 0) return;
        RawAck(data, static_cast<uint32_t>(r / unit));
        const Clock::time_point now = Clock::now();
        if (paced) due = now - due < pace ? due + pace : now + pace;
      }
    };
    receiveUntil(Clock::now() + warmUp);
    const int self = static_cast<int>(syscall(SYS_gettid));
    const double cpu0 = ThreadCpuSeconds(self);
    const uint64_t waits0 = OwnWaits();
    const Clock::time_point t0 = Clock::now();
    receiveUntil(t0 + window);
    const double wall = Seconds(Clock::now() - t0);
    share = (ThreadCpuSeconds(self) - cpu0) / wall;
    *wakes = static_cast<double>(OwnWaits() - waits0) / wall;
    RawExchange(cmd, "~01Z", &reply);
  }
  if (cmd >= 0) close(cmd);
  if (data >= 0) close(data);
  return share;
}

// The application's side of a scan: takes what the ring holds as volts, as often as it likes.
// Drain() takes everything there is now and returns the samples taken.
class VoltDrain {
 public:
  explicit VoltDrain(void* handle, size_t block = 65536) : handle_(handle), volts_(block) {}
  uint64_t Drain() {
    uint64_t n = 0;
    for (;;) {
      const int got = QZ_GetAIBuffer(handle_, volts_.data(), static_cast<unsigned>(volts_.size()));
      if (got <= 0) return n;
      n += static_cast<uint64_t>(got);
      taken_ += static_cast<uint64_t>(got);
      if (static_cast<size_t>(got) < volts_.size()) return n;
    }
  }
  uint64_t taken() const { return taken_; }

 private:
  void* handle_;
  std::vector<float> volts_;
  uint64_t taken_ = 0;
};

// A module type streaming at its top live rate, and the four devices of the soak and logging
// runs (RX5K10, two RX5K30, RXBN500).
struct StreamType {
  nivex::emu::Model model;
  int channels;
  int rate;
};
constexpr StreamType kFourDevices[] = {{nivex::emu::Model::RX5K10, 8, 30000},
                                       {nivex::emu::Model::RX5K30, 4, 64000},
                                       {nivex::emu::Model::RX5K30, 4, 64000},
                                       {nivex::emu::Model::RXBN500, 4, 42666}};

// Starts an emulated module of model with steady levels on its inputs, opens it and sets a
// scan of channels at rate; the module falls silent after `seconds` of samples of sampleBytes
// each. Gives the samples it will send, or 0 when anything fails.
inline uint64_t OpenStreamingModule(nivex::emu::Model model, int channels, unsigned int rate,
                                    int seconds, unsigned int sampleBytes,
                                    std::unique_ptr<nivex::emu::Emulator>* emulator,
                                    void** handle) {
  *emulator = nivex::test::StartEmulator(model);
  if (!*emulator) return 0;
  nivex::test::SetLevels(**emulator);
  nivex::emu::DataStreamer* streamer = nivex::emu::StreamerOf(**emulator);
  *handle = QZ_Device_Create((*emulator)->ConnectionText().c_str());
  if (streamer == nullptr || *handle == nullptr ||
      QZ_SetAIScanParam(*handle, static_cast<unsigned short>(channels), 0, 0, rate, 0, 0, 0) != 1)
    return 0;
  unsigned short ch = 0, gain = 0, trig = 0, tm = 0, ack = 0;
  unsigned int actual = 0, target = 0;
  QZ_GetAIScanParam(*handle, &ch, &gain, &trig, &actual, &target, &tm, &ack);
  const uint64_t cap = static_cast<uint64_t>(actual) * static_cast<uint64_t>(channels) *
                       static_cast<uint64_t>(seconds);
  nivex::emu::StreamSettings settings = streamer->Settings();
  settings.record = false;
  settings.silenceAfterBytes = cap * sampleBytes;
  streamer->SetSettings(settings);
  return cap;
}

// A figure against its bound: "TARGET what: 0.78 (target >= 0.70): met".
inline bool Target(const char* what, double value, const char* relation, double bound,
                   const char* unit = "") {
  const bool atLeast = relation[0] == '>';
  const bool met = atLeast ? value >= bound : value <= bound;
  std::printf("TARGET %s: %.3f%s (target %s %.3f%s): %s\n", what, value, unit, relation, bound,
              unit, met ? "met" : "MISSED");
  return met;
}

}  // namespace nivex::bench

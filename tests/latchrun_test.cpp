// The latchrun sample as a process: its exact output against nivex-emu, without an argument,
// and the write command of both firmware generations.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/common/TestSupport.h"

extern char** environ;

namespace {

using nivex::test::EmulatorProgram;
using nivex::test::FreshLoopbackAddress;

std::string SampleProgram() {
  const std::string emu = EmulatorProgram();
  return emu.substr(0, emu.rfind('/') + 1) + "latchrun";
}

// A program with stdin fed from `input` (then closed) and stdout/stderr on a pipe.
class Program {
 public:
  Program(const std::string& path, const std::vector<std::string>& args, const std::string& input) {
    int out[2], in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
    std::vector<std::string> all = {path};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(in[0]);
    out_ = out[0];
    if (!input.empty()) (void)!write(in[1], input.data(), input.size());
    close(in[1]);
  }
  ~Program() {
    Stop(SIGKILL);
    if (out_ >= 0) close(out_);
  }
  // Reads until the text contains `until` (or the end of output) within timeoutMs.
  std::string Read(const std::string& until, int timeoutMs) {
    const long long end = nivex::test::NowMs() + timeoutMs;
    while (until.empty() || text_.find(until) == std::string::npos) {
      const long long left = end - nivex::test::NowMs();
      if (left <= 0) break;
      pollfd p{out_, POLLIN, 0};
      const int r = poll(&p, 1, static_cast<int>(left));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      char buf[4096];
      const ssize_t n = read(out_, buf, sizeof(buf));
      if (n <= 0) break;
      text_.append(buf, static_cast<size_t>(n));
    }
    return text_;
  }
  // Sends sig (when still running) and reaps; the exit status, -1 when killed.
  int Stop(int sig) {
    if (pid_ <= 0) return -1;
    if (sig != 0) kill(pid_, sig);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string text_;
};

TEST(Latchrun, WithoutAnArgument) {
  Program p(SampleProgram(), {}, "");
  ASSERT_TRUE(p.started());
  EXPECT_EQ(p.Read("", 5000), "error argument\r\n");
  EXPECT_EQ(p.Stop(0), 0);
}

TEST(Latchrun, ExactOutputAgainstTheEmulatorForBothFirmwareGenerations) {
  for (const char* fw : {"312", "313"}) {
    const std::string ip = FreshLoopbackAddress();
    Program emu(EmulatorProgram(), {"--model", "RX5K10", "--ip", ip, "--firmware", fw}, "");
    ASSERT_TRUE(emu.started());
    ASSERT_NE(emu.Read("ready", 5000).find("ready"), std::string::npos);

    Program run(SampleProgram(), {ip}, "\n");
    ASSERT_TRUE(run.started());
    const std::string out = run.Read("", 10000);
    EXPECT_EQ(out, "2," + ip + "\r\n" +
                       "RX-5K10 Digital I/O Testing\r\n"
                       "ver=1.2.2.3\r\n"
                       "Read DI=0, DO=0\r\n"
                       "Write 0x3 to Digital output, press any key to continue...\r\n"
                       "Read DI=0, DO=3\r\n")
        << "firmware " << fw;
    EXPECT_EQ(run.Stop(0), 0);
    EXPECT_EQ(emu.Stop(SIGTERM), 0);
  }
}

TEST(Latchrun, SendsTheWriteTextOfTheModulesFirmware) {
  for (unsigned fw : {0x312u, 0x400u}) {
    auto emu = nivex::test::StartEmulator(nivex::emu::Model::RX5K10,
                                          [&](nivex::emu::Options& o) { o.firmwareVersion = fw; });
    ASSERT_TRUE(emu);
    Program run(SampleProgram(), {emu->options().ip}, "\n");
    ASSERT_TRUE(run.started());
    run.Read("", 10000);
    EXPECT_EQ(run.Stop(0), 0);
    std::vector<std::string> dio;
    for (const std::string& c : emu->Commands())
      if (c[0] == '@') dio.push_back(c);
    EXPECT_EQ(dio, (std::vector<std::string>{"@01", fw <= 0x312 ? "@013" : "@01D3", "@01"}));
  }
}

}  // namespace

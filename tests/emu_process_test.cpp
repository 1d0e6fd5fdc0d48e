// nivex-emu as a separate process: options, the "ready" line, serving, and the exit on
// SIGINT/SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "nivex.h"
#include "support/tcp.h"
#include "tests/common/TestSupport.h"

extern char** environ;

namespace {

using namespace nivex;
using namespace nivex::test;

// One run of the program with its standard output (and error) on a pipe.
class Program {
 public:
  explicit Program(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, fds[1], STDERR_FILENO);
    std::vector<std::string> all = {EmulatorProgram()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    out_ = fds[0];
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  bool started() const { return pid_ > 0; }

  // Reads output until it contains `what` or timeoutMs pass.
  bool WaitFor(const std::string& what, int timeoutMs) {
    const long long end = NowMs() + timeoutMs;
    while (text_.find(what) == std::string::npos) {
      const long long left = end - NowMs();
      if (left <= 0 || !ReadSome(static_cast<int>(left))) return false;
    }
    return true;
  }
  // Waits for the exit; returns the exit status, or -1 (killed by a signal / time-out).
  int Exit(int timeoutMs) {
    const long long end = NowMs() + timeoutMs;
    for (;;) {
      int st = 0;
      const pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        while (ReadSome(100)) {
        }
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      }
      if (NowMs() >= end) return -1;
      ReadSome(20);
    }
  }
  void Signal(int sig) { kill(pid_, sig); }
  const std::string& text() const { return text_; }

 private:
  bool ReadSome(int timeoutMs) {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char buf[1024];
    const ssize_t r = read(out_, buf, sizeof(buf));
    if (r <= 0) return false;
    text_.append(buf, static_cast<size_t>(r));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string text_;
};

TEST(EmuProcess, HelpDocumentsEveryOptionAndBadArgumentsFail) {
  {
    Program p({"--help"});
    ASSERT_TRUE(p.started());
    EXPECT_EQ(p.Exit(5000), 0);
    for (const char* opt : {"--model", "--ip", "--cmd-port", "--data-port", "--firmware", "--help",
                            "RX5K10", "RX5K30", "RXBN500", "D4071s", "D3054s"}) {
      EXPECT_NE(p.text().find(opt), std::string::npos) << opt;
    }
  }
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{}, {"--model", "RX9"}, {"--model", "RX5K10", "--cmd-port", "0"},
        {"--model", "RX5K10", "--firmware", "xyz"}, {"--model", "RX5K10", "--bogus", "1"},
        {"--model"}}) {
    Program p(bad);
    ASSERT_TRUE(p.started());
    EXPECT_EQ(p.Exit(5000), 2);
  }
}

TEST(EmuProcess, ServesEachHighSpeedTypeUntilTerminated) {
  struct Row {
    const char* model;
    const char* name;
    const char* calRead;
    const char* calReply;
    const char* modelName;
    int sig;
  } rows[] = {{"RX5K10", "RX5K10", "$01R0C7G1", "!80000000", "RX-5K10", SIGTERM},
              {"RX5K30", "WRX-5K30M", "$01RI1C0G0", "!800000002710", "RX-5K30", SIGINT},
              {"RXBN500", "WRX-BN500", "$01R1C3", "!271000000000", "RX-BN500", SIGTERM}};
  for (const Row& r : rows) {
    const std::string ip = FreshLoopbackAddress();
    Program p({"--model", r.model, "--ip", ip, "--cmd-port", "9999", "--data-port", "10010",
               "--firmware", "1A3"});
    ASSERT_TRUE(p.started());
    ASSERT_TRUE(p.WaitFor("ready", 5000)) << p.text();

    const int ns = OpenTcp(ip.c_str(), 10000, 1);
    ASSERT_GE(ns, 0);
    char name[kModuleNameSize] = "";
    EXPECT_EQ(GetModuleNameTCP(ns, name), 1);
    EXPECT_EQ(std::string(name).compare(0, strlen(r.name), r.name), 0) << name;
    unsigned short version = 0;
    char date[kFirmwareDateSize] = "";
    EXPECT_EQ(GetFirmVersionDateTCP(ns, &version, date), 1);
    EXPECT_EQ(version, 0x1A3);
    CloseTcp(ns);

    const int cmd = ConnectTo(ip, 9999);
    const int data = ConnectTo(ip, 10010);
    ASSERT_GE(cmd, 0);
    ASSERT_GE(data, 0);
    EXPECT_EQ(Exchange(cmd, "~01WS032768"), "!01");
    EXPECT_EQ(Exchange(cmd, r.calRead), r.calReply);
    EXPECT_EQ(Exchange(cmd, "$01F"), "!12");

    // The kit opens the module through it.
    void* h = QZ_Device_Create((ip + ",9999,10010").c_str());
    ASSERT_NE(h, nullptr) << r.model << " error 0x" << std::hex << QZ_GetLastError();
    char text[QZ_REPLY_SIZE] = "";
    EXPECT_EQ(QZ_GetModelName(h, text), 1);
    EXPECT_STREQ(text, r.modelName);
    EXPECT_EQ(QZ_GetFirmwareVersion(h, text), 1);
    EXPECT_STREQ(text, "V1A3,Mar 05 2024 10:11:12");
    EXPECT_EQ(QZ_SendRecv(h, "$01F", text, 1000), 1);
    EXPECT_STREQ(text, "!12");
    EXPECT_EQ(QZ_Device_Release(h), 1);

    // A second instance on the same address cannot listen and says so.
    Program twin({"--model", r.model, "--ip", ip});
    EXPECT_EQ(twin.Exit(5000), 1);

    p.Signal(r.sig);
    EXPECT_EQ(p.Exit(5000), 0) << r.model;
    EXPECT_TRUE(PeerClosed(cmd, 1000));
    close(cmd);
    close(data);
  }
}

}  // namespace

// A program of this build run as a child process, its output captured.
#include "tests/common/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "tests/common/TestSupport.h"

extern char** environ;

namespace nivex::test {

namespace {

// The folder of this build's programs: test programs live in <build>/tests.
std::string BuildFolder() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return "";
  self[n] = '\0';
  const std::string dir(self);
  return dir.substr(0, dir.rfind('/')) + "/../";
}

// The words that start path: in a cross build, a program of this build runs through the
// build's runner (qemu-user); any other program (a nivex-emu named by NIVEX_EMU) directly.
std::vector<std::string> Launcher(const std::string& path) {
  std::vector<std::string> words;
#ifdef NIVEX_PROGRAM_RUNNER
  const std::string folder = BuildFolder();
  if (!folder.empty() && path.compare(0, folder.size(), folder) == 0) {
    const std::string runner = NIVEX_PROGRAM_RUNNER;
    for (size_t from = 0; from < runner.size();) {
      const size_t blank = std::min(runner.find(' ', from), runner.size());
      if (blank > from) words.push_back(runner.substr(from, blank - from));
      from = blank + 1;
    }
  }
#endif
  words.push_back(path);
  return words;
}

}  // namespace

std::string BuiltProgram(const std::string& name) { return BuildFolder() + name; }

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args,
                           const std::string& input, const std::string& cwd,
                           bool holdInput) {
  int out[2], in[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  if (pipe2(in, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&fa, out[1], STDERR_FILENO);
  posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
  std::vector<std::string> all = Launcher(path);
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, all[0].c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  close(in[0]);
  out_ = out[0];
  if (!input.empty()) (void)!write(in[1], input.data(), input.size());
  if (holdInput) {
    in_ = in[1];
  } else {
    close(in[1]);
  }
}

ChildProcess::~ChildProcess() {
  Stop(SIGKILL);
  if (out_ >= 0) close(out_);
  if (in_ >= 0) close(in_);
}

std::string ChildProcess::Read(const std::string& until, int timeoutMs) {
  const long long end = NowMs() + timeoutMs;
  while (until.empty() || text_.find(until) == std::string::npos) {
    const long long left = end - NowMs();
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

int ChildProcess::Stop(int sig) {
  if (pid_ <= 0) return -1;
  if (sig != 0) kill(pid_, sig);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace nivex::test

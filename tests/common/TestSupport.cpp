// Helpers shared by the test programs.
#include "tests/common/TestSupport.h"

#include "tests/common/ChildProcess.h"

#include <filesystem>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace nivex::test {
namespace {

// A stream socket (close-on-exec) and the IPv4 address ip:port; -1 for an invalid ip.
int SocketFor(const std::string& ip, int port, sockaddr_in* addr) {
  *addr = sockaddr_in{};
  addr->sin_family = AF_INET;
  addr->sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, ip.c_str(), &addr->sin_addr) != 1) return -1;
  return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

// Binds ip:port for a moment (with SO_REUSEADDR, as the emulator binds). Returns the
// bound port (useful with port 0), or -1 when the port is taken.
int ProbeBind(const std::string& ip, int port) {
  sockaddr_in addr;
  const int fd = SocketFor(ip, port, &addr);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  socklen_t len = sizeof(addr);
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  close(fd);
  return ok ? ntohs(addr.sin_port) : -1;
}

}  // namespace

std::string FreshLoopbackAddress() {
  static std::atomic<unsigned> counter{0};
  const unsigned pid = static_cast<unsigned>(getpid());
  for (int attempt = 0; attempt < 4096; ++attempt) {
    // 64 addresses per process id, spread over 127.1.0.0 - 127.254.255.254; 127.0.x.x
    // stays free for programs that use the default address.
    const unsigned v = (pid * 64u + (counter++ % 64u) + static_cast<unsigned>(attempt) * 7919u) %
                       (254u * 256u * 254u);
    const unsigned a = 1 + v / (256u * 254u);
    const unsigned b = (v / 254u) % 256u;
    const unsigned c = 1 + v % 254u;
    const std::string ip = std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
    const std::string full = "127." + ip;
    bool free = ProbeBind(full, 10000) >= 0 && ProbeBind(full, 9999) >= 0;
    for (int p = 10010; free && p <= 10017; ++p) free = ProbeBind(full, p) >= 0;
    if (free) return full;
  }
  return "127.0.0.1";
}

int ClosedPort(const std::string& ip) { return ProbeBind(ip, 0); }

StdoutCapture::StdoutCapture() {
  fflush(stdout);
  char path[] = "/tmp/nivex-stdout-XXXXXX";
  file_ = mkstemp(path);
  if (file_ < 0) return;
  unlink(path);
  saved_ = dup(STDOUT_FILENO);
  dup2(file_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() { Stop(); }

std::string StdoutCapture::Stop() {
  if (stopped_ || file_ < 0) return text_;
  stopped_ = true;
  fflush(stdout);
  dup2(saved_, STDOUT_FILENO);
  close(saved_);
  lseek(file_, 0, SEEK_SET);
  char buf[4096];
  ssize_t r;
  while ((r = read(file_, buf, sizeof(buf))) > 0) text_.append(buf, static_cast<size_t>(r));
  close(file_);
  return text_;
}

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
  const long long end = NowMs() + timeoutMs;
  for (;;) {
    if (pred()) return true;
    if (NowMs() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

int CountOpenFds() {
  std::error_code ec;
  int n = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) ++n;
  return ec ? -1 : n - 1;  // the iterator's own descriptor
}

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::unique_ptr<emu::Emulator> StartEmulator(emu::Model model,
                                             const std::function<void(emu::Options&)>& tweak) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    emu::Options o;
    o.model = model;
    o.ip = FreshLoopbackAddress();
    if (tweak) tweak(o);
    auto e = std::make_unique<emu::Emulator>(o);
    if (e->Start()) return e;
  }
  return nullptr;
}

int ConnectTo(const std::string& ip, int port) {
  sockaddr_in addr;
  const int fd = SocketFor(ip, port, &addr);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendText(int fd, const std::string& text) {
  return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

std::string RecvSome(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return {};
  char buf[4096];
  const ssize_t r = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
  return r > 0 ? std::string(buf, static_cast<size_t>(r)) : std::string();
}

std::string RecvLine(int fd, int timeoutMs) {
  const long long end = NowMs() + timeoutMs;
  std::string got;
  while (got.find('\r') == std::string::npos) {
    const long long left = end - NowMs();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char c;
    const ssize_t r = recv(fd, &c, 1, MSG_DONTWAIT);
    if (r == 0) break;
    if (r > 0) got.push_back(c);
  }
  return got;
}

std::string Exchange(int fd, const std::string& cmd, int timeoutMs) {
  if (!SendText(fd, cmd + "\r")) return {};
  std::string line = RecvLine(fd, timeoutMs);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

bool PeerClosed(int fd, int timeoutMs) {
  const long long end = NowMs() + timeoutMs;
  for (;;) {
    const long long left = end - NowMs();
    if (left < 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char buf[256];
    const ssize_t r = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (r == 0) return true;
    if (r < 0 && errno != EAGAIN && errno != EINTR) return true;
  }
}

std::string EmulatorProgram() {
  if (const char* env = getenv("NIVEX_EMU")) return env;
  return BuiltProgram("nivex-emu");
}

TempFolder::TempFolder() {
  char tmpl[] = "/tmp/nivex_test_XXXXXX";
  const char* p = mkdtemp(tmpl);
  path_ = p != nullptr ? p : "/tmp";
}

TempFolder::~TempFolder() {
  if (path_ == "/tmp") return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace nivex::test

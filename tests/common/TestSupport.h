// Helpers shared by the test programs.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "emulator/Emulator.h"

namespace nivex::test {

// A loopback address 127.x.y.z of its own for the calling test: distinct across the
// test processes that ctest runs in parallel (derived from the process id and a
// counter) and checked free by binding its ports 10000, 9999 and 10010..10017.
std::string FreshLoopbackAddress();

// A TCP port on ip that is known to be closed right now (bound, read back, released).
int ClosedPort(const std::string& ip);

// Captures what the process writes to its standard output (fd 1, also printf) from
// construction until Stop() or destruction.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  // Ends the capture and returns the text; later calls return the same text.
  std::string Stop();

 private:
  int saved_ = -1;
  int file_ = -1;
  bool stopped_ = false;
  std::string text_;
};

// Polls pred every few milliseconds until it holds or timeoutMs pass.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs);

// Number of open file descriptors of this process.
int CountOpenFds();

// Milliseconds of the monotonic clock.
long long NowMs();

// An emulator of the given model on a fresh loopback address with the default ports
// (9999, 10010), started; null when it cannot start. `tweak` may change the options
// before the start.
std::unique_ptr<emu::Emulator> StartEmulator(
    emu::Model model, const std::function<void(emu::Options&)>& tweak = nullptr);

// A plain blocking client connection to ip:port, close-on-exec; -1 when refused.
int ConnectTo(const std::string& ip, int port);
// Sends text in one send (MSG_NOSIGNAL). True when all of it went.
bool SendText(int fd, const std::string& text);
// Receives until a CR arrives or timeoutMs pass; returns what came (CR included).
std::string RecvLine(int fd, int timeoutMs);
// One receive of what is there within timeoutMs ("" on time-out or end of stream).
std::string RecvSome(int fd, int timeoutMs);
// Sends cmd + CR and returns the reply line without its CR ("" after timeoutMs).
std::string Exchange(int fd, const std::string& cmd, int timeoutMs = 1000);
// True when the peer has closed: a receive within timeoutMs reports end of stream.
bool PeerClosed(int fd, int timeoutMs);

// Path of the nivex-emu program of this build (NIVEX_EMU overrides).
std::string EmulatorProgram();

// A fresh folder below /tmp, removed with everything in it at destruction.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }
  const std::string& str() const { return path_; }
  const char* c() const { return path_.c_str(); }

 private:
  std::string path_;
};

}  // namespace nivex::test

// A program of this build run as a child process, its output captured.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace nivex::test {

// Path of a program of this build (the samples, nivex-emu). In a cross build ChildProcess
// starts such a program through the build's runner (qemu-user).
std::string BuiltProgram(const std::string& name);

// Runs path with args (in folder cwd when it is not empty); standard input is fed `input`
// and then closed (holdInput: kept open, with nothing more, until destruction), standard
// output and error go to one pipe. Killed (SIGKILL) and reaped at destruction when still
// running.
class ChildProcess {
 public:
  ChildProcess(const std::string& path, const std::vector<std::string>& args,
               const std::string& input = "", const std::string& cwd = "",
               bool holdInput = false);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // Reads until the output holds `until` ("" = until its end) or timeoutMs pass; returns
  // all the output so far.
  std::string Read(const std::string& until, int timeoutMs);
  // Sends sig (0: none) and waits for the exit; the exit status, -1 when killed.
  int Stop(int sig);

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  std::string text_;
};

}  // namespace nivex::test

// File helpers shared by the tests that work on real files in a temporary folder.
#pragma once

#include <atomic>
#include <ctime>
#include <string>
#include <vector>

namespace nivex::test {

// Writes text to path (binary), creating the missing parent folders first.
void WriteFile(const std::string& path, const std::string& text = "");

// The whole content of path; "" when it cannot be read.
std::string ReadFile(const std::string& path);

// Number of entries directly in folder (files and sub-folders).
int CountEntries(const std::string& folder);

// Every regular file below folder, sorted by path (none when folder does not exist).
std::vector<std::string> FilesBelow(const std::string& folder);

// How many descriptors of this process are open on files below folder.
int OpenBelow(const std::string& folder);

// The address prefix of the log names: ip with '_' for '.'.
std::string LogPrefix(std::string ip);
// Where a log's data file started at t (read as UTC) lies below base, by the folder rule of
// split mode (0-7; first: the run's first file); ext ".bin" or ".txt".
std::string LogDataPath(const std::string& base, const std::string& prefix, unsigned tag,
                        time_t t, int split, bool first, const char* ext);

// The loggers' clock (framework/LogClock.h) for the life of the object: the date given (read
// as UTC) at the first reading, step seconds later at each further one (0: fixed).
struct TestClock {
  TestClock(int year, int month, int day, int hour, int minute, int second, int step = 1);
  ~TestClock();
  TestClock(const TestClock&) = delete;
  TestClock& operator=(const TestClock&) = delete;
  time_t base;
  std::atomic<int> readings{0};
};

}  // namespace nivex::test

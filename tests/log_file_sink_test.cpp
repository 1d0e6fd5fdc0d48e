// The data-file sink of the logger and the download without a module, under a log clock the
// test sets: rotation at row boundaries, a name that repeats within a second, a file that exists
// already, text rows across chunks, the first file named by a given date, and a file that
// cannot be opened or loses its name.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "framework/LogClock.h"
#include "framework/LogFileSink.h"
#include "tests/common/FileFixtures.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::LogFileSink;
using nivex::test::ReadFile;
using nivex::test::TempFolder;
using nivex::test::WriteFile;

// The log clock at 2024-03-05 09:07:00 plus `second`.
struct TestClock {
  TestClock() {
    nivex::SetLogClock([this] {
      struct tm t = {};
      t.tm_year = 124, t.tm_mon = 2, t.tm_mday = 5, t.tm_hour = 9, t.tm_min = 7,
      t.tm_sec = second;
      return t;
    });
  }
  ~TestClock() { nivex::SetLogClock(nullptr); }
  int second = 0;
};

// The name of a data file of prefix "p" and tag 0x1a started at 2024-03-05 09:07:<second>.
std::string Name(int second, const char* ext = ".bin") {
  char name[64];
  snprintf(name, sizeof name, "p_001a_2024_3_5_9_7_%d%s", second, ext);
  return name;
}

// 16-bit little-endian samples first, first + 1, ...
std::string Samples(int first, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    const int v = first + static_cast<int>(i);
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>((v >> 8) & 0xFF));
  }
  return s;
}

void Take(LogFileSink& sink, const std::string& bytes) {
  sink.Take(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

LogFileSink::Setup Flat(const std::string& folder, unsigned channels, int logType) {
  LogFileSink::Setup s;
  s.logFolder = folder;
  s.prefix = "p";
  s.tag = 0x1a;
  s.splitMode = 5;  // no sub-folder
  s.logType = logType;
  s.channels = channels;
  s.periodMs = 0;  // a rotation due at every receive
  return s;
}

TEST(LogFileSink, RotatesAtRowBoundariesKeepsARepeatedNameAndAppends) {
  TempFolder dir;
  TestClock clock;
  WriteFile(dir / Name(1), "old");  // from an earlier run: kept, never truncated
  LogFileSink sink;
  sink.Begin(Flat(dir.str(), 3, 0));
  // (second of the clock, chunk): 3 channels, so the file rotates after the chunk's last row.
  const std::string a = Samples(0, 2), b = Samples(2, 999), c = Samples(1001, 1000),
                    d = Samples(2001, 1), e = Samples(2002, 1), g = Samples(2003, 4);
  Take(sink, a);  // its only boundary is its start, in an empty file: no rotation yet
  clock.second = 1;
  Take(sink, b);  // the last 2 samples begin the next file
  Take(sink, c);  // the same second: the file goes on, the chunk whole
  clock.second = 2;
  Take(sink, d);  // the boundary at its start: all of it in the new file
  clock.second = 3;
  Take(sink, e);  // no boundary: whole in the current file
  clock.second = 4;
  Take(sink, g);  // ends on a row: whole, then a new (empty) file
  sink.Close();
  EXPECT_FALSE(sink.Failed());
  EXPECT_EQ(ReadFile(dir / Name(0)), a + b.substr(0, 997 * 2));
  EXPECT_EQ(ReadFile(dir / Name(1)), "old" + b.substr(997 * 2) + c);
  EXPECT_EQ(ReadFile(dir / Name(2)), d + e + g);
  EXPECT_EQ(ReadFile(dir / Name(4)), "");
  EXPECT_EQ(nivex::test::CountEntries(dir.str()), 4);
  EXPECT_EQ(sink.Path(), dir / Name(4));
  EXPECT_EQ(sink.Samples(), 2007u);

  // Split mode 7: the first file lies in its minute's folder, later ones in the log folder; a
  // rotation within the first file's second keeps that file.
  TempFolder dir7;
  LogFileSink::Setup first = Flat(dir7.str(), 1, 0);
  first.splitMode = 7;
  clock.second = 0;
  sink.Begin(first);
  Take(sink, a);
  Take(sink, d);
  clock.second = 1;
  Take(sink, e);
  sink.Close();
  const std::vector<std::string> expect = {dir7 / ("2024_03_05_09_07/" + Name(0)), dir7 / Name(1)};
  EXPECT_EQ(nivex::test::FilesBelow(dir7.str()), expect);
  EXPECT_EQ(ReadFile(expect[0]), a + d + e);
}

TEST(LogFileSink, TextRowsTheGivenFirstDateAndFailures) {
  TempFolder dir;
  TestClock clock;
  LogFileSink sink;
  LogFileSink::Setup s = Flat(dir.str(), 2, 1);
  s.splitMode = 1;  // the first file in the sub-folder of its minute
  s.periodMs = 60000;
  s.volts = [](int32_t code, unsigned channel) { return code / 4.0 + channel; };
  s.firstTimeGiven = true;  // the recording's date, not the clock
  s.firstTime.tm_year = 123, s.firstTime.tm_mon = 11, s.firstTime.tm_mday = 31;
  s.firstTime.tm_hour = 23, s.firstTime.tm_min = 59, s.firstTime.tm_sec = 58;
  int firstFiles = 0;
  s.firstFile = [&] { ++firstFiles; };
  sink.Begin(s);
  Take(sink, Samples(-3, 3));  // a chunk that ends inside a row
  Take(sink, Samples(1, 1));
  sink.Close();
  EXPECT_EQ(firstFiles, 1);
  const std::string path = dir / "2023_12_31_23_59/p_001a_2023_12_31_23_59_58.txt";
  EXPECT_EQ(sink.Path(), path);
  EXPECT_EQ(ReadFile(path), "-0.75000,0.50000\r\n-0.25000,1.25000\r\n");

  sink.Begin(Flat(dir / "missing", 2, 0));  // the folder does not exist
  Take(sink, Samples(0, 2));
  EXPECT_TRUE(sink.Failed());
  Take(sink, Samples(2, 2));
  EXPECT_TRUE(sink.Failed());
  sink.Begin(Flat(dir.str(), 2, 0));
  Take(sink, Samples(0, 2));
  std::remove(sink.Path().c_str());  // the file loses its name (its folder removed) meanwhile
  sink.Close();
  EXPECT_TRUE(sink.Failed());
}

}  // namespace

// The data-file sink of the loggers without a module: rotation at row boundaries, names that
// repeat, text rows across chunks and files that cannot be opened.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/DownloadFileSink.h"
#include "tests/common/FileFixtures.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::DownloadFileSink;
using nivex::test::ReadFile;
using nivex::test::TempFolder;

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

void Take(DownloadFileSink& sink, const std::string& bytes) {
  sink.Take(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(DownloadFileSink, RotatesAtRowBoundariesAndKeepsARepeatedName) {
  TempFolder dir;
  std::vector<std::string> names;
  // A rotation due at every chunk; the namer gives f0, f1, ... or, once `repeat` is set, the
  // name of the open file again.
  bool repeat = false;
  DownloadFileSink sink;
  DownloadFileSink::Setup s;
  s.channels = 3;
  s.rotates = true;
  sink.Begin(
      s,
      [&](bool first, std::string* path) {
        EXPECT_EQ(first, names.empty());
        if (!repeat || names.empty()) names.push_back(dir / ("f" + std::to_string(names.size())));
        *path = names.back();
        return true;
      },
      nullptr);
  // With 2 samples in, a chunk of 999 leaves its last 2 for the next file; one of 1000 ends on
  // a row and goes whole to the current file.
  const std::string a = Samples(0, 2), b = Samples(2, 999), c = Samples(1001, 1000);
  Take(sink, a);
  Take(sink, b);
  Take(sink, c);
  repeat = true;
  const std::string e = Samples(2001, 5);
  Take(sink, e);
  EXPECT_TRUE(sink.Close());
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(ReadFile(names[0]), "");
  EXPECT_EQ(ReadFile(names[1]), a + b.substr(0, 997 * 2));
  EXPECT_EQ(ReadFile(names[2]), b.substr(997 * 2) + c);
  EXPECT_EQ(ReadFile(names[3]), e);  // a repeated name goes on in the same file
  EXPECT_EQ(sink.Files(), 4);
  EXPECT_EQ(sink.Samples(), 2006u);
}

TEST(DownloadFileSink, TextRowsAndFailures) {
  TempFolder dir;
  DownloadFileSink sink;
  DownloadFileSink::Setup s;
  s.channels = 2;
  s.textRows = true;
  s.decimals = 5;
  const std::string path = dir / "t.txt";
  sink.Begin(
      s, [&](bool, std::string* p) { return *p = path, true; },
      [](int32_t code, unsigned channel) { return code / 4.0 + channel; });
  Take(sink, Samples(-3, 3));  // a chunk that ends inside a row
  Take(sink, Samples(1, 1));
  EXPECT_TRUE(sink.Close());
  EXPECT_EQ(ReadFile(path), "-0.75000,0.50000\r\n-0.25000,1.25000\r\n");

  sink.Begin(
      s, [&](bool, std::string* p) { return *p = dir / "missing/x.txt", true; }, nullptr);
  Take(sink, Samples(0, 2));
  EXPECT_TRUE(sink.Failed());
  EXPECT_FALSE(sink.Close());
}

}  // namespace

// Folders, paths and log-file names; BinaryFile and TextFile on real files in a temporary folder.
#include "support/Storax.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/common/FileFixtures.h"
#include "tests/common/TestSupport.h"

namespace fs = std::filesystem;
using namespace nivex;
using nivex::test::CountOpenFds;
using nivex::test::ReadFile;
using nivex::test::TempFolder;
using nivex::test::WriteFile;

namespace {

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// ================================================================== names and paths

TEST(StoraxNames, ExtensionTableInBothCases) {
  for (int i = 0; i < 14; ++i) {
    std::string name = std::string("192_168_0_10_00a1_2024_3_5_9_7_3") + Logfiletype[i];
    EXPECT_EQ(checklogfiletype(name.c_str()), i) << name;
    EXPECT_EQ(checklogfiletypeW(Wide(name).c_str()), i % 7) << name;
  }
  EXPECT_EQ(checklogfiletype("a.bin.txt"), 0);  // table order decides
  EXPECT_EQ(checklogfiletype("notes.mdx"), 5);  // contained anywhere
  EXPECT_EQ(checklogfiletype("data.dat"), -1);
  EXPECT_EQ(checklogfiletype(nullptr), -1);
  EXPECT_EQ(checklogfiletypeW(L"data.dat"), -1);
}

TEST(StoraxNames, SplittingLogFileNames) {
  const struct {
    std::string name;
    int rc;
    const char *ip, *tag, *date;
  } cases[] = {
      {"192_168_0_10_00a1_2024_03_05_09_07_03.bin", 0, "192_168_0_10", "00a1", "2024_03_05_09_07"},
      // As the loggers write them: no zero padding; runs of '_' count as one.
      {"192_168_0_10_00a3__2024_3_5_9_7_3.bin", 0, "192_168_0_10", "00a3", "2024_3_5_9_7"},
      {"1_2_3_4_t_5_6_7_8_9_10_11_12_13_14_15.bin", 0, "1_2_3_4", "t", "5_6_7_8_9"},  // extra fields
      // Names that are no log-file names are refused with empty outputs, never written past
      // the callers' buffers.
      {"calibration-reference-run_2.bin", -1, "", "", ""},  // a 25-character field
      {"results_of_the_first_long_experiment_series_more.txt", -1, "", "", ""},  // address too long
      {std::string(300, 'x') + ".bin", -1, "", "", ""},
      {"a_b_c", -1, "", "", ""},
      {"1_2_3_4.bin", -2, "", "", ""},
      {"1_2_3_4_" + std::string(16, 't') + "_2024_3_5_9_7_3.bin", -2, "", "", ""},
      {"1_2_3_4_00a1_2024_3.bin", -3, "", "", ""},
      {"1_2_3_4_t_" + std::string(15, 'y') + "_" + std::string(15, 'm') + "_d_h_m_s.bin", -3, "", "", ""},
  };
  char ip[16], tag[16], date[24];
  for (const auto& c : cases) {
    memset(ip, 'Z', sizeof ip);
    memset(tag, 'Z', sizeof tag);
    memset(date, 'Z', sizeof date);
    EXPECT_EQ(checkLogFileFormat(c.name.c_str(), ip, tag, date), c.rc) << c.name;
    EXPECT_STREQ(ip, c.ip);
    EXPECT_STREQ(tag, c.tag);
    EXPECT_STREQ(date, c.date);
  }
  std::string many;
  for (int i = 0; i < 40; ++i) many += "abcdefg_";  // 40 fields, 320 characters
  EXPECT_EQ(checkLogFileFormat((many + ".bin").c_str(), ip, tag, date), -1);

  wchar_t wip[20], wtag[16], wdate[24];
  EXPECT_EQ(checkLogFileFormatW(L"192_168_0_10_00a1_2024_03_05_09_07_03.bin", wip, wtag, wdate), 0);
  EXPECT_EQ(std::wstring(wip) + L"|" + wtag + L"|" + wdate, L"192_168_0_10|00a1|2024_03_05_09_07");
  EXPECT_EQ(checkLogFileFormatW(L"1_2_3_4.bin", wip, wtag, wdate), -2);
  EXPECT_STREQ(wip, L"");
}

TEST(StoraxPaths, CuttingAndSplitting) {
  char p[] = "/home/u/log/192_168_0_10/2024_03";
  EXPECT_EQ(BackPreviousDir(p, 0), nullptr);
  EXPECT_STREQ(p, "/home/u/log/192_168_0_10/2024_03");
  char p3[] = "/home/u/log/192_168_0_10/2024_03";
  EXPECT_STREQ(BackPreviousDir(p3, 3), "/home/u");
  EXPECT_STREQ(BackPreviousDir(p, 4), "/home");
  EXPECT_STREQ(BackPreviousDir(p, 1), "");
  EXPECT_EQ(BackPreviousDir(p, 1), nullptr);  // empty when the cut starts
  char plain[] = "abc";
  EXPECT_STREQ(BackPreviousDir(plain, 2), "abc");

  wchar_t w1[] = L"C:\\data\\log\\x";
  EXPECT_STREQ(BackPreviousDirW(w1, 2), L"C:\\data");
  wchar_t w2[] = L"/home/u/log";
  EXPECT_STREQ(BackPreviousDirW(w2, 1), L"/home/u");
  EXPECT_EQ(BackPreviousDirW(nullptr, 1), nullptr);

  char folder[260], name[260];
  EXPECT_EQ(GetPath("/data/log/x.bin", folder, name), 1);
  EXPECT_EQ(std::string(folder) + "|" + name, "/data/log|x.bin");
  EXPECT_EQ(GetPath("C:\\data\\y.txt", folder, name), 1);
  EXPECT_EQ(std::string(folder) + "|" + name, "C:\\data|y.txt");
  strcpy(folder, "keep");
  EXPECT_EQ(GetPath("/x.bin", folder, name), 0);  // separator at position 0
  EXPECT_EQ(GetPath("x.bin", folder, name), 0);
  char small[4];
  EXPECT_EQ(GetPath("/data/log/x.bin", small, name, sizeof small), 0);  // refused, not cut
  EXPECT_STREQ(folder, "keep");
  wchar_t wf[260], wn[260];
  EXPECT_EQ(GetPathW(L"/data/log/x.bin", wf, wn), 1);
  EXPECT_EQ(std::wstring(wf) + L"|" + wn, L"/data/log|x.bin");
}

TEST(StoraxFolders, CreateAndTest) {
  TempFolder t;
  std::string log = t / "log";
  CreateFolder(log.c_str(), "x");  // parent missing: nothing happens
  EXPECT_FALSE(fs::exists(log));
  fs::create_directory(log);
  CreateFolder(log.c_str(), "x");
  EXPECT_EQ(DirectoryExists((log + "/x").c_str()), 1);
  WriteFile(log + "/x/keep.txt", "k");
  CreateFolder(log.c_str(), "x");  // again: nothing changes
  EXPECT_EQ(ReadFile(log + "/x/keep.txt"), "k");
  CreateFolder(nullptr, "x");
  EXPECT_EQ(FileExist((log + "/x/keep.txt").c_str()), 1);
  EXPECT_EQ(FileExist((log + "/x/none.txt").c_str()), 0);
  EXPECT_EQ(FileExist(nullptr), 0);

  const std::wstring wlog = Wide(log);
  CreateFolderW(wlog.c_str(), L"w");
  EXPECT_EQ(DirectoryExistsW((wlog + L"/w").c_str()), 1);
  FILE* f = _wfopen((wlog + L"/x/keep.txt").c_str(), L"r");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fgetc(f), 'k');
  fclose(f);
  EXPECT_EQ(_wfopen(std::wstring(300, L'a').c_str(), L"r"), nullptr);  // beyond the budget
}

TEST(StoraxFolders, ConfigFileSearch) {
  TempFolder t;
  // The base folder sits below a folder whose name holds "2024" and "00a1".
  const std::string base = t / "2024x_00a1/u";
  const std::string cfg10 = base + "/config/IP_192_168_0_10_00a1_2024_3_5_9_7_3.config";
  const std::string cfg1 = base + "/config/IP_192_168_0_1_00a1_2024_3_5_9_8_0.config";
  const std::string nested = base + "/config/old/IP_10_0_0_7_beef_2023_1_1_0_0_0.config";
  for (const std::string& f : {cfg10, cfg1, nested}) WriteFile(f);
  WriteFile(base + "/config/IP_192_168_0_10_1234_2024_1_1_0_0_0.config.bak");
  WriteFile(base + "/config/NOTIP_10_0_0_7_abcd_2024_1_1_0_0_0.config");
  // A symbolic link loop is not followed.
  fs::create_directory_symlink(base, base + "/config/loop");

  auto find = [](const std::string& root, const char* ip, const char* tag, const char* date = nullptr) {
    const char* r = FindConfigFile(root.c_str(), ip, tag, date);
    return std::string(r != nullptr ? r : "(none)");
  };
  EXPECT_EQ(find(base, "192_168_0_10", "00a1", "2024_3_5_9_7"), cfg10);
  EXPECT_EQ(find(base, "192_168_0_1", "00a1"), cfg1);  // not the .10 file
  EXPECT_EQ(find(base, "10_0_0_7", "beef"), nested);   // in a sub-folder

  // No match through the folder names, the date fields or a look-alike name; empty search
  // texts match nothing; a missing root gives none.
  EXPECT_EQ(find(t.str(), "192_168_0_10", "2024"), "(none)");
  const struct {
    const char *ip, *tag;
  } misses[] = {{"192_168_0_10", "00a2"}, {"192_168_0_10", "1234"}, {"10_0_0_7", "abcd"},
                {"168_0_10", "00a1"},     {"", "00a1"},             {"192_168_0_10", ""}};
  for (const auto& m : misses) EXPECT_EQ(find(base, m.ip, m.tag), "(none)") << m.ip << " " << m.tag;
  EXPECT_EQ(find(t / "missing", "192_168_0_10", "00a1"), "(none)");

  const std::wstring wbase = Wide(base);
  const wchar_t* w = FindConfigFileW(wbase.c_str(), L"192_168_0_1", L"00a1", L"");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(std::wstring(w), Wide(cfg1));
  EXPECT_EQ(FindConfigFileW(wbase.c_str(), L"192_168_0_1", L"ffff", nullptr), nullptr);
}

// ================================================================== BinaryFile

TEST(BinaryFile, OpenModesAndFolders) {
  TempFolder t;
  BinaryFile seven(7);  // any other mode is "w+b"
  WriteFile(t / "log/ip/old.bin", "0123456789");
  ASSERT_EQ(seven.Open((t / "log").c_str(), "ip", "old.bin"), 1);  // truncates
  EXPECT_EQ(seven.Size(), 0u);
  short s[3] = {1, 2, 3};
  seven.WriteShort(s, 3);
  unsigned short back[3] = {};
  EXPECT_EQ(seven.ReadShortFrom(back, 0, 3), 3u);  // and readable
  EXPECT_EQ(back[2], 3);

  // The sub-folder is created when the folder exists, else the open fails.
  BinaryFile b(3);
  EXPECT_EQ(b.Open((t / "log").c_str(), "192_168_0_10", "x.bin"), 1);
  EXPECT_TRUE(fs::is_directory(t / "log/192_168_0_10"));
  EXPECT_EQ(b.Open((t / "nolog").c_str(), "192_168_0_10", "x.bin"), 0);
  EXPECT_FALSE(b.isOpen);
  EXPECT_EQ(b.Open(nullptr, "a", "b"), 0);
  // A name too long for its field is refused, not cut to another name.
  EXPECT_EQ(b.Open((t / "log").c_str(), "ip", std::string(130, 'n').c_str()), 0);

  // Mode 0 only for the single-path open.
  EXPECT_EQ(b.Open((t / "log/ip/old.bin").c_str()), 0);
  BinaryFile reader(0);
  EXPECT_EQ(reader.Open((t / "log/ip/missing.bin").c_str()), 0);
  EXPECT_EQ(reader.Open(Wide(t / "log/ip/old.bin").c_str()), 1);

  // Opening again closes the previous stream.
  const int fds = CountOpenFds();
  for (int i = 0; i < 5; ++i) ASSERT_EQ(reader.Open((t / "log/ip/old.bin").c_str()), 1);
  EXPECT_EQ(CountOpenFds(), fds);
  reader.Close();
  reader.Close();
  EXPECT_EQ(CountOpenFds(), fds - 1);
}

TEST(BinaryFile, WritesAndTheirTotal) {
  TempFolder t;
  BinaryFile b(3);
  char c[4] = {1, 2, 3, 4};
  short s[100] = {};
  float f[2] = {1.5f, 2.5f};
  int l[2] = {7, 8};
  // Writes on an object whose file never opened do nothing and report 0.
  EXPECT_EQ(b.WriteChar(c, 4) + b.WriteShort(s, 100) + b.WriteFloat(f, 2) + b.WriteLong(l, 2), 0u);
  EXPECT_EQ(b.Open((t / "missing").c_str(), "sub", "x.bin"), 0);
  EXPECT_EQ(b.WriteChar(c, 4) + b.WriteFloat(f, 2), 0u);

  ASSERT_EQ(b.Open(t.c(), "d", "x.bin"), 1);
  EXPECT_EQ(b.WriteShort(s, 100), 200u);
  EXPECT_EQ(b.WriteShort(s, 0), 200u);
  EXPECT_EQ(b.WriteChar(c, 4), 204u);
  EXPECT_EQ(b.WriteFloat(f, 2), 212u);
  EXPECT_EQ(b.WriteLong(l, 2), 220u);
  EXPECT_EQ(b.WriteCharFrom(c, 0, 4), 0u);
  EXPECT_EQ(b.Size(), 220u);  // keeps the write position
  EXPECT_EQ(b.WriteLong(l, 1), 224u);
  b.Close();
  EXPECT_EQ(b.WriteLong(l, 1), 224u);  // closed: unchanged
  EXPECT_EQ(fs::file_size(t / "d/x.bin"), 224u);
  EXPECT_EQ(b.Open(t.c(), "d", "y.bin"), 1);
  EXPECT_EQ(b.bytesWritten, 0u);

  // A write that fails (device full) leaves the total unchanged.
  BinaryFile full(1);
  ASSERT_EQ(full.Open("/dev", ".", "full"), 1);
  EXPECT_EQ(full.WriteChar(c, 4) + full.WriteFloat(f, 2), 0u);
}

TEST(BinaryFile, ItemReads) {
  TempFolder t;
  WriteFile(t / "ten.bin", std::string("\x01\x00\x02\x00\x03\x00\x04\x00\x05\x00", 10));
  BinaryFile b(0, 1);
  ASSERT_EQ(b.Open((t / "ten.bin").c_str()), 1);
  uint32_t slots[3] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  EXPECT_EQ(b.ReadFrom(slots, 3, 5), 2u);  // only two items are left, zero-extended
  EXPECT_EQ(std::vector<uint32_t>(slots, slots + 3), (std::vector<uint32_t>{4, 5, 0xFFFFFFFFu}));

  // A start at or past the end reads nothing and writes nothing.
  char guard[8];
  memset(guard, 'G', sizeof guard);
  EXPECT_EQ(b.ReadCharFrom(guard, 10, 4), 0u);
  EXPECT_EQ(b.ReadShortFrom(reinterpret_cast<unsigned short*>(guard), 6, 2), 0u);
  EXPECT_EQ(b.ReadLongFrom(reinterpret_cast<int*>(guard), 0xFFFFFFFFu, 2), 0u);
  EXPECT_EQ(std::string(guard, 8), "GGGGGGGG");

  // Size() of a file open for reading rewinds.
  b.ReadCharFrom(guard, 9, 1);
  EXPECT_EQ(b.Size(), 10u);
  EXPECT_EQ(ftell(b.fp), 0);

  // 32-bit items round-trip.
  BinaryFile w(3, 3);
  ASSERT_EQ(w.Open(t.c(), ".", "l.bin"), 1);
  int vals[4] = {-1, 0x12345678, 42, -99};
  w.WriteLong(vals, 4);
  int got[4] = {};
  EXPECT_EQ(w.ReadFrom(got, 1, 10), 3u);
  EXPECT_EQ(got[0], 0x12345678);
  EXPECT_EQ(got[2], -99);
  BinaryFile closed(0);
  EXPECT_EQ(closed.ReadFrom(got, 0, 1), 0u);
}

TEST(BinaryFile, OffsetsBeyondFourGiB) {
  TempFolder t;
  const uint64_t pos = (5ull << 30) + 8;  // 5 GiB + 8, a sparse file
  FILE* f = fopen((t / "big.bin").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fseeko(f, static_cast<off_t>(pos), SEEK_SET), 0);
  const int marker = 0x5A5A1234;
  ASSERT_EQ(fwrite(&marker, 4, 1, f), 1u);
  fclose(f);
  BinaryFile b(0, 3);
  ASSERT_EQ(b.Open((t / "big.bin").c_str()), 1);
  EXPECT_EQ(b.Size(), pos + 4);
  int got[2] = {0, 0};
  EXPECT_EQ(b.ReadFrom(got, static_cast<unsigned int>(pos / 4), 2), 1u);
  EXPECT_EQ(got[0], marker);
}

// ================================================================== TextFile

TEST(TextFile, KeyLookups) {
  TempFolder t;
  WriteFile(t / "run.config",
            "Module Name,RX-5K10\nSample Rate,1000\nCH0,Gain,123, Offset,456\n"
            "CH1,Gain,11, Offset,12\nCH10,Gain,1010, Offset,1012\nTail");
  TextFile tf(0);
  ASSERT_EQ(tf.Open(t.c(), "run.config"), 1);
  // "length:value" of a lookup; a missing key leaves the value untouched.
  auto value = [](TextFile& file, const char* a, const char* b = nullptr) {
    char v[1024] = "untouched";
    const int n = b != nullptr ? file.ReadValue(a, b, v) : file.ReadValue(a, v);
    return std::to_string(n) + ":" + v;
  };
  EXPECT_EQ(value(tf, "Sample Rate"), "5:1000\n");
  EXPECT_EQ(value(tf, "Missing"), "-1:untouched");
  EXPECT_EQ(value(tf, "CH0", "Offset"), "4:456\n");
  EXPECT_EQ(value(tf, "CH0", "Gain"), "3:123");  // stops at the line end
  EXPECT_EQ(value(tf, "CH1", "Gain"), "2:11");   // the CH1 line comes before CH10
  // A key that ends a last line without a line end gives an empty value, never bytes of an
  // earlier line.
  EXPECT_EQ(value(tf, "Tail"), "0:");
  EXPECT_EQ(value(tf, "Tail", "Tail"), "0:");

  TextFile none(0);  // never opened: every call fails harmlessly
  EXPECT_EQ(value(none, "Sample Rate"), "-1:untouched");
  char v[1024];
  EXPECT_EQ(none.Open(t.c(), nullptr), 0);
  EXPECT_EQ(none.Write("x") + none.WriteLine("x"), 0);
  EXPECT_EQ(none.ReadLine(v), 0u);
  EXPECT_EQ(none.Size(), 0);
}

TEST(TextFile, LinesModesAndPositions) {
  TempFolder t;
  TextFile w(9);  // "w+"
  ASSERT_EQ(w.Open((t / "a.txt").c_str()), 1);
  EXPECT_EQ(w.WriteLine("Sample Rate,1000"), 1);
  EXPECT_EQ(w.Write("second"), 1);
  EXPECT_EQ(w.Size(), 23);
  EXPECT_EQ(w.WriteLine(""), 1);  // Size() kept the write position
  char v[1024];
  EXPECT_EQ(w.ReadValue("Sample Rate", v), 5);  // readable too
  w.Close();
  EXPECT_EQ(ReadFile(t / "a.txt"), "Sample Rate,1000\nsecond\n");

  TextFile ap(4);
  ASSERT_EQ(ap.Open(Wide(t.str()).c_str(), L"a.txt"), 1);
  ap.WriteLine("Start Sampling Time,x");
  ap.Close();

  TextFile r(0);
  ASSERT_EQ(r.Open((t / "a.txt").c_str()), 1);
  char line[1024];
  EXPECT_EQ(r.ReadLine(line), 1u);
  EXPECT_EQ(r.ReadLine(line), 2u);
  EXPECT_EQ(r.ReadLine(line), 3u);
  EXPECT_STREQ(line, "Start Sampling Time,x\n");
  EXPECT_EQ(r.ReadLine(line), 0u);
  r.GotoFirstLine();
  EXPECT_EQ(r.ReadLine(line), 4u);  // lineCount keeps counting
  EXPECT_STREQ(line, "Sample Rate,1000\n");
  EXPECT_EQ(r.Size(), 46);
  EXPECT_EQ(r.ReadLine(line), 5u);  // Size() rewound
  EXPECT_STREQ(line, "Sample Rate,1000\n");

  // A line longer than 1023 characters is read in pieces.
  WriteFile(t / "long.txt", std::string(1500, 'x') + "\n");
  ASSERT_EQ(r.Open((t / "long.txt").c_str()), 1);
  EXPECT_EQ(r.ReadLine(line), 1u);
  EXPECT_EQ(strlen(line), 1023u);
}

}  // namespace

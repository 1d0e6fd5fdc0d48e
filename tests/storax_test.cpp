#include "support/Storax.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/common/TestSupport.h"

namespace fs = std::filesystem;
using namespace nivex;
using nivex::test::TempFolder;

namespace {

void Touch(const std::string& path, const std::string& text = "") {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int OpenFds() {
  int n = 0;
  for (auto& e : fs::directory_iterator("/proc/self/fd")) (void)e, ++n;
  return n;
}

}  // namespace

// ================================================================== names and paths

TEST(StoraxNames, ExtensionTableInBothCases) {
  for (int i = 0; i < 14; ++i) {
    std::string name = std::string("192_168_0_10_00a1_2024_3_5_9_7_3") + Logfiletype[i];
    EXPECT_EQ(checklogfiletype(name.c_str()), i) << name;
    std::wstring wname(name.begin(), name.end());
    EXPECT_EQ(checklogfiletypeW(wname.c_str()), i % 7) << name;
    EXPECT_STREQ(Logfiletype[i], std::string(tcLogfiletype[i], tcLogfiletype[i] + wcslen(tcLogfiletype[i])).c_str());
  }
  EXPECT_EQ(checklogfiletype("a.bin.txt"), 0);  // table order decides
  EXPECT_EQ(checklogfiletype("notes.mdx"), 5);  // contained anywhere
  EXPECT_EQ(checklogfiletype("data.dat"), -1);
  EXPECT_EQ(checklogfiletype(nullptr), -1);
  EXPECT_EQ(checklogfiletypeW(L"data.dat"), -1);
}

TEST(StoraxNames, SplittingLogFileNames) {
  char ip[16], tag[16], date[24];
  EXPECT_EQ(checkLogFileFormat("192_168_0_10_00a1_2024_03_05_09_07_03.bin", ip, tag, date), 0);
  EXPECT_STREQ(ip, "192_168_0_10");
  EXPECT_STREQ(tag, "00a1");
  EXPECT_STREQ(date, "2024_03_05_09_07");
  // As the loggers write them: no zero padding; runs of '_' count as one.
  EXPECT_EQ(checkLogFileFormat("192_168_0_10_00a3__2024_3_5_9_7_3.bin", ip, tag, date), 0);
  EXPECT_STREQ(date, "2024_3_5_9_7");
  // Extra fields are ignored.
  EXPECT_EQ(checkLogFileFormat("1_2_3_4_t_5_6_7_8_9_10_11_12_13_14_15.bin", ip, tag, date), 0);
  EXPECT_STREQ(date, "5_6_7_8_9");

  // Names that are no log-file names are refused with empty outputs, never
  // written past the callers' buffers.
  struct Case {
    std::string name;
    int rc;
  };
  std::vector<Case> cases = {
      {"calibration-reference-run_2.bin", -1},                        // a 25-character field
      {"results_of_the_first_long_experiment_series_more.txt", -1},  // address part too long
      {std::string(300, 'x') + ".bin", -1},
      {"a_b_c", -1},
      {"1_2_3_4.bin", -2},
      {"1_2_3_4_" + std::string(16, 't') + "_2024_3_5_9_7_3.bin", -2},
      {"1_2_3_4_00a1_2024_3.bin", -3},
      {"1_2_3_4_t_" + std::string(15, 'y') + "_" + std::string(15, 'm') + "_d_h_m_s.bin", -3},
  };
  std::string many;
  for (int i = 0; i < 40; ++i) many += "abcdefg_";
  cases.push_back({many + ".bin", -1});  // 40 fields, 320 characters
  for (const Case& c : cases) {
    memset(ip, 'Z', sizeof ip);
    memset(tag, 'Z', sizeof tag);
    memset(date, 'Z', sizeof date);
    EXPECT_EQ(checkLogFileFormat(c.name.c_str(), ip, tag, date), c.rc) << c.name;
    EXPECT_STREQ(ip, "");
    EXPECT_STREQ(tag, "");
    EXPECT_STREQ(date, "");
  }

  wchar_t wip[20], wtag[16], wdate[24];
  EXPECT_EQ(checkLogFileFormatW(L"192_168_0_10_00a1_2024_03_05_09_07_03.bin", wip, wtag, wdate), 0);
  EXPECT_STREQ(wip, L"192_168_0_10");
  EXPECT_STREQ(wtag, L"00a1");
  EXPECT_STREQ(wdate, L"2024_03_05_09_07");
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
  EXPECT_STREQ(folder, "/data/log");
  EXPECT_STREQ(name, "x.bin");
  EXPECT_EQ(GetPath("C:\\data\\y.txt", folder, name), 1);
  EXPECT_STREQ(folder, "C:\\data");
  EXPECT_STREQ(name, "y.txt");
  strcpy(folder, "keep");
  EXPECT_EQ(GetPath("/x.bin", folder, name), 0);  // separator at position 0
  EXPECT_EQ(GetPath("x.bin", folder, name), 0);
  char small[4];
  EXPECT_EQ(GetPath("/data/log/x.bin", small, name, sizeof small), 0);  // refused, not cut
  EXPECT_STREQ(folder, "keep");
  wchar_t wf[260], wn[260];
  EXPECT_EQ(GetPathW(L"/data/log/x.bin", wf, wn), 1);
  EXPECT_STREQ(wf, L"/data/log");
  EXPECT_STREQ(wn, L"x.bin");
}

TEST(StoraxFolders, CreateAndTest) {
  TempFolder t;
  std::string log = t / "log";
  CreateFolder((log).c_str(), "x");  // parent missing: nothing happens
  EXPECT_FALSE(fs::exists(log));
  fs::create_directory(log);
  CreateFolder(log.c_str(), "x");
  EXPECT_EQ(DirectoryExists((log + "/x").c_str()), 1);
  Touch(log + "/x/keep.txt", "k");
  CreateFolder(log.c_str(), "x");  // again: nothing changes
  EXPECT_EQ(Slurp(log + "/x/keep.txt"), "k");
  CreateFolder(nullptr, "x");

  EXPECT_EQ(DirectoryExists((log + "/x/keep.txt").c_str()), 0);
  EXPECT_EQ(FileExist((log + "/x/keep.txt").c_str()), 1);
  EXPECT_EQ(FileExist((log + "/x/none.txt").c_str()), 0);
  EXPECT_EQ(FileExist(nullptr), 0);

  std::wstring wlog(log.begin(), log.end());
  CreateFolderW(wlog.c_str(), L"w");
  EXPECT_EQ(DirectoryExistsW((wlog + L"/w").c_str()), 1);
  EXPECT_EQ(FileExistW((wlog + L"/x/keep.txt").c_str()), 1);
  FILE* f = _wfopen((wlog + L"/x/keep.txt").c_str(), L"r");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fgetc(f), 'k');
  fclose(f);
  std::wstring tooLong(300, L'a');  // beyond the conversion budget: refused
  EXPECT_EQ(_wfopen(tooLong.c_str(), L"r"), nullptr);
}

TEST(StoraxFolders, ConfigFileSearch) {
  TempFolder t;
  // The base folder sits below a folder whose name holds "2024" and "00a1".
  std::string base = t / "2024x_00a1/u";
  std::string cfg10 = base + "/config/IP_192_168_0_10_00a1_2024_3_5_9_7_3.config";
  std::string cfg1 = base + "/config/IP_192_168_0_1_00a1_2024_3_5_9_8_0.config";
  std::string nested = base + "/config/old/IP_10_0_0_7_beef_2023_1_1_0_0_0.config";
  Touch(cfg10);
  Touch(cfg1);
  Touch(nested);
  Touch(base + "/config/IP_192_168_0_10_1234_2024_1_1_0_0_0.config.bak");
  Touch(base + "/config/NOTIP_10_0_0_7_abcd_2024_1_1_0_0_0.config");

  const char* r = FindConfigFile(base.c_str(), "192_168_0_10", "00a1", "2024_3_5_9_7");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(std::string(r), cfg10);
  r = FindConfigFile(base.c_str(), "192_168_0_1", "00a1", nullptr);  // not the .10 file
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(std::string(r), cfg1);
  r = FindConfigFile(base.c_str(), "10_0_0_7", "beef", nullptr);  // in a sub-folder
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(std::string(r), nested);

  // No match through the folder names, the date fields or a look-alike name.
  EXPECT_EQ(FindConfigFile(t.c(), "192_168_0_10", "2024", nullptr), nullptr);
  EXPECT_EQ(FindConfigFile(base.c_str(), "192_168_0_10", "00a2", nullptr), nullptr);
  EXPECT_EQ(FindConfigFile(base.c_str(), "192_168_0_10", "1234", nullptr), nullptr);
  EXPECT_EQ(FindConfigFile(base.c_str(), "10_0_0_7", "abcd", nullptr), nullptr);
  EXPECT_EQ(FindConfigFile(base.c_str(), "168_0_10", "00a1", nullptr), nullptr);
  // Empty search texts match nothing; a missing root gives null.
  EXPECT_EQ(FindConfigFile(base.c_str(), "", "00a1", nullptr), nullptr);
  EXPECT_EQ(FindConfigFile(base.c_str(), "192_168_0_10", "", nullptr), nullptr);
  EXPECT_EQ(FindConfigFile((t / "missing").c_str(), "192_168_0_10", "00a1", nullptr), nullptr);

  // A symbolic link loop is not followed.
  fs::create_directory_symlink(base, base + "/config/loop");
  r = FindConfigFile(base.c_str(), "192_168_0_10", "00a1", nullptr);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(std::string(r), cfg10);

  std::wstring wbase(base.begin(), base.end());
  const wchar_t* w = FindConfigFileW(wbase.c_str(), L"192_168_0_1", L"00a1", L"");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(std::wstring(w), std::wstring(cfg1.begin(), cfg1.end()));
  EXPECT_EQ(FindConfigFileW(wbase.c_str(), L"192_168_0_1", L"ffff", nullptr), nullptr);
}

// ================================================================== BinaryFile

TEST(BinaryFile, OpenModesAndFolders) {
  TempFolder t;
  BinaryFile seven(7);
  EXPECT_EQ(seven.mode, 3);
  EXPECT_EQ(seven.dataType, 1);
  Touch(t / "log/ip/old.bin", "0123456789");
  ASSERT_EQ(seven.Open((t / "log").c_str(), "ip", "old.bin"), 1);  // "w+b": truncates
  EXPECT_EQ(seven.Size(), 0u);
  EXPECT_STREQ(seven.name, L"old.bin");
  EXPECT_STREQ(seven.sub, L"ip");
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
  EXPECT_EQ(reader.Open((t / "log/ip/old.bin").c_str()), 1);
  std::wstring wpath = L"" + std::wstring(t.str().begin(), t.str().end()) + L"/log/ip/old.bin";
  EXPECT_EQ(reader.Open(wpath.c_str()), 1);

  // Opening again closes the previous stream.
  int fds = OpenFds();
  for (int i = 0; i < 5; ++i) ASSERT_EQ(reader.Open((t / "log/ip/old.bin").c_str()), 1);
  EXPECT_EQ(OpenFds(), fds);
  reader.Close();
  reader.Close();
  EXPECT_EQ(OpenFds(), fds - 1);
}

TEST(BinaryFile, WritesAndTheirTotal) {
  TempFolder t;
  BinaryFile b(3);
  // Writes on an object whose file never opened do nothing and report 0.
  char c[4] = {1, 2, 3, 4};
  short s[100] = {};
  float f[2] = {1.5f, 2.5f};
  int l[2] = {7, 8};
  EXPECT_EQ(b.WriteChar(c, 4), 0u);
  EXPECT_EQ(b.WriteShort(s, 100), 0u);
  EXPECT_EQ(b.WriteFloat(f, 2), 0u);
  EXPECT_EQ(b.WriteLong(l, 2), 0u);
  EXPECT_EQ(b.Open((t / "missing").c_str(), "sub", "x.bin"), 0);
  EXPECT_EQ(b.WriteChar(c, 4), 0u);
  EXPECT_EQ(b.WriteFloat(f, 2), 0u);

  ASSERT_EQ(b.Open(t.c(), "d", "x.bin"), 1);
  EXPECT_EQ(b.WriteShort(s, 100), 200u);
  EXPECT_EQ(b.WriteShort(s, 0), 200u);
  EXPECT_EQ(b.WriteChar(c, 4), 204u);
  EXPECT_EQ(b.WriteFloat(f, 2), 212u);
  EXPECT_EQ(b.WriteLong(l, 2), 220u);
  EXPECT_EQ(b.WriteCharFrom(c, 0, 4), 0u);
  // Size() of a file open for writing keeps the write position.
  EXPECT_EQ(b.Size(), 220u);
  EXPECT_EQ(b.WriteLong(l, 1), 224u);
  b.Close();
  EXPECT_EQ(b.WriteLong(l, 1), 224u);  // closed: unchanged
  EXPECT_EQ(fs::file_size(t / "d/x.bin"), 224u);
  EXPECT_EQ(b.Open(t.c(), "d", "y.bin"), 1);
  EXPECT_EQ(b.bytesWritten, 0u);

  // A write that fails (device full) leaves the total unchanged.
  BinaryFile full(1);
  ASSERT_EQ(full.Open("/dev", ".", "full"), 1);
  EXPECT_EQ(full.WriteChar(c, 4), 0u);
  EXPECT_EQ(full.WriteFloat(f, 2), 0u);
}

TEST(BinaryFile, ItemReads) {
  TempFolder t;
  Touch(t / "ten.bin", std::string("\x01\x00\x02\x00\x03\x00\x04\x00\x05\x00", 10));
  BinaryFile b(0, 1);
  ASSERT_EQ(b.Open((t / "ten.bin").c_str()), 1);
  uint32_t slots[6];
  for (auto& v : slots) v = 0xFFFFFFFFu;
  EXPECT_EQ(b.ReadFrom(slots, 3, 5), 2u);  // only two items are left
  EXPECT_EQ(slots[0], 4u);                 // zero-extended 16-bit items
  EXPECT_EQ(slots[1], 5u);
  EXPECT_EQ(slots[2], 0xFFFFFFFFu);

  // A start at or past the end reads nothing and writes nothing.
  char guard[8];
  memset(guard, 'G', sizeof guard);
  EXPECT_EQ(b.ReadCharFrom(guard, 10, 4), 0u);
  EXPECT_EQ(b.ReadShortFrom(reinterpret_cast<unsigned short*>(guard), 6, 2), 0u);
  EXPECT_EQ(b.ReadLongFrom(reinterpret_cast<int*>(guard), 0xFFFFFFFFu, 2), 0u);
  EXPECT_EQ(std::string(guard, 8), "GGGGGGGG");

  // Size() of a file open for reading rewinds.
  char one;
  b.ReadCharFrom(&one, 9, 1);
  EXPECT_EQ(b.Size(), 10u);
  EXPECT_EQ(ftell(b.fp), 0);

  // 32-bit items round-trip; other item types dispatch by dataType.
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
  {
    FILE* f = fopen((t / "big.bin").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fseeko(f, static_cast<off_t>(pos), SEEK_SET), 0);
    int marker = 0x5A5A1234;
    ASSERT_EQ(fwrite(&marker, 4, 1, f), 1u);
    fclose(f);
  }
  BinaryFile b(0, 3);
  ASSERT_EQ(b.Open((t / "big.bin").c_str()), 1);
  EXPECT_EQ(b.Size(), pos + 4);
  int got[2] = {0, 0};
  EXPECT_EQ(b.ReadFrom(got, static_cast<unsigned int>(pos / 4), 2), 1u);
  EXPECT_EQ(got[0], 0x5A5A1234);
}

// ================================================================== TextFile

TEST(TextFile, KeyLookups) {
  TempFolder t;
  Touch(t / "run.config",
        "Module Name,RX-5K10\n"
        "Sample Rate,1000\n"
        "CH0,Gain,123, Offset,456\n"
        "CH1,Gain,11, Offset,12\n"
        "CH10,Gain,1010, Offset,1012\n"
        "Tail");
  TextFile tf(0);
  ASSERT_EQ(tf.Open(t.c(), "run.config"), 1);
  char v[1024];
  EXPECT_EQ(tf.ReadValue("Sample Rate", v), 5);
  EXPECT_STREQ(v, "1000\n");
  strcpy(v, "untouched");
  EXPECT_EQ(tf.ReadValue("Missing", v), -1);
  EXPECT_STREQ(v, "untouched");
  EXPECT_EQ(tf.ReadValue("CH0", "Offset", v), 4);
  EXPECT_STREQ(v, "456\n");
  EXPECT_EQ(tf.ReadValue("CH0", "Gain", v), 3);
  EXPECT_STREQ(v, "123");
  EXPECT_EQ(tf.ReadValue("CH1", "Gain", v), 2);  // the CH1 line comes before CH10
  EXPECT_STREQ(v, "11");
  // A key that ends a last line without a line end gives an empty value,
  // never bytes of an earlier line.
  EXPECT_EQ(tf.ReadValue("Tail", v), 0);
  EXPECT_STREQ(v, "");
  EXPECT_EQ(tf.ReadValue("Tail", "Tail", v), 0);
  EXPECT_STREQ(v, "");

  TextFile none(0);
  EXPECT_EQ(none.ReadValue("Sample Rate", v), -1);
  EXPECT_EQ(none.Open(t.c(), nullptr), 0);
  EXPECT_EQ(none.Write("x"), 0);
  EXPECT_EQ(none.WriteLine("x"), 0);
  EXPECT_EQ(none.ReadLine(v), 0u);
  EXPECT_EQ(none.Size(), 0);
}

TEST(TextFile, LinesModesAndPositions) {
  TempFolder t;
  TextFile w(9);  // "w+"
  EXPECT_EQ(w.mode, 3);
  ASSERT_EQ(w.Open((t / "a.txt").c_str()), 1);
  EXPECT_EQ(w.WriteLine("Sample Rate,1000"), 1);
  EXPECT_EQ(w.Write("second"), 1);
  EXPECT_EQ(w.Size(), 23);
  EXPECT_EQ(w.WriteLine(""), 1);  // Size() kept the write position
  char v[1024];
  EXPECT_EQ(w.ReadValue("Sample Rate", v), 5);  // readable too
  w.Close();
  EXPECT_EQ(Slurp(t / "a.txt"), "Sample Rate,1000\nsecond\n");

  TextFile ap(4);
  std::wstring wt(t.str().begin(), t.str().end());
  ASSERT_EQ(ap.Open(wt.c_str(), L"a.txt"), 1);
  ap.WriteLine("Start Sampling Time,x");
  ap.Close();

  TextFile r(0);
  ASSERT_EQ(r.Open((t / "a.txt").c_str()), 1);
  char line[1024];
  EXPECT_EQ(r.ReadLine(line), 1u);
  EXPECT_STREQ(line, "Sample Rate,1000\n");
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
  Touch(t / "long.txt", std::string(1500, 'x') + "\n");
  ASSERT_EQ(r.Open((t / "long.txt").c_str()), 1);
  EXPECT_EQ(r.ReadLine(line), 1u);
  EXPECT_EQ(strlen(line), 1023u);
}

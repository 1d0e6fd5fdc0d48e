// The stored-log index over folder trees laid out as the loggers write them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "framework/RXMODEL_LogPathRegistry.h"
#include "framework/RXMODEL_LogIndex.h"
#include "nivex.h"

#include "tests/common/FileFixtures.h"
#include "tests/common/TestSupport.h"

namespace fs = std::filesystem;
using namespace nivex;
using nivex::test::TempFolder;
using nivex::test::WriteFile;

namespace {

// "data file | config file" of entry i.
std::string At(int i) {
  char log[260] = "?", cfg[260] = "?";
  EXPECT_EQ(FindFilename(i, log, cfg), 0) << i;
  return std::string(log) + " | " + cfg;
}

class LogIndex : public ::testing::Test {
 protected:
  void SetUp() override { LogFileList->clearAll(); }
  void TearDown() override { LogFileList->clearAll(); }
  TempFolder t;
};

TEST_F(LogIndex, StandardLayoutPairsDataWithConfig) {
  // Two runs of one module, one of another module with a look-alike address, laid out as the
  // loggers write them (split mode 1 and split mode 0).
  const std::string base = t / "2024/base";  // a folder name that holds a tag-like text
  const std::string cfgA = base + "/config/IP_192_168_0_1_2024_2024_3_5_9_7_2.config";
  const std::string cfgB = base + "/config/IP_192_168_0_1_00b2_2024_3_6_10_0_0.config";
  const std::string cfgC = base + "/config/IP_192_168_0_10_2024_2024_3_5_9_7_2.config";
  const std::string log = base + "/log/192_168_0_1/";
  const std::string a1 = log + "2024_03_05_09_07/192_168_0_1_2024_2024_3_5_9_7_3.bin";
  const std::string a2 = log + "2024_03_05_09_08/192_168_0_1_2024_2024_3_5_9_8_3.bin";
  const std::string b1 = log + "192_168_0_1_00b2_2024_3_6_10_0_1.bin";  // split 0
  const std::string c1 = base + "/log/192_168_0_10/2024_03_05_09_07/192_168_0_10_2024_2024_3_5_9_7_3.bin";
  const std::string noCfg = log + "x/192_168_0_1_ffff_2024_1_1_0_0_0.bin";
  for (const std::string& f : {cfgA, cfgB, cfgC, a1, a2, b1, c1, noCfg}) WriteFile(f, "x");
  // Files the walk must leave out: other types, upper case. A user's own files of the type are
  // listed, without a ".config" file.
  for (const char* f : {"192_168_0_1_00b2_2024_3_6_10_0_1.txt", "192_168_0_1_00b2_2024_3_6_10_0_2.BIN",
                        "calibration-reference-run_2.bin", "notes.bin"})
    WriteFile(log + f, "x");

  EXPECT_EQ(FindFilesFromfolder((base + "/log").c_str(), 0), 7);
  // Entries come in name order, sub-folders where they stand.
  const std::vector<std::string> want = {
      b1 + " | " + cfgB, a1 + " | " + cfgA, a2 + " | " + cfgA, log + "calibration-reference-run_2.bin | ",
      log + "notes.bin | ", noCfg + " | ", c1 + " | " + cfgC};
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(At(static_cast<int>(i)), want[i]);
  char l[260], c[260];
  EXPECT_EQ(FindFilename(7, l, c), -1);
  EXPECT_EQ(FindFilename(-1, l, c), -1);

  // Without clearing, a second walk adds to the list; upper case is type 7.
  EXPECT_EQ(FindFilesFromfolder((base + "/log/").c_str(), 0), 14);
  EXPECT_EQ(At(7), want[0]);  // the trailing '/' changes nothing
  LogFileList->clearAll();
  EXPECT_EQ(FindFilesFromfolder((base + "/log").c_str(), 7), 1);
  EXPECT_EQ(At(0), log + "192_168_0_1_00b2_2024_3_6_10_0_2.BIN | " + cfgB);
  EXPECT_EQ(FindFilesFromfolder((base + "/log").c_str(), 1), 2);

  // A folder that cannot be opened gives 0 and leaves the list alone.
  EXPECT_EQ(FindFilesFromfolder((t / "missing").c_str(), 0), 0);
  EXPECT_EQ(FindFilesFromfolder(nullptr, 0), 0);
  EXPECT_EQ(LogFileList->length(), 2);
}

TEST_F(LogIndex, ShallowAndRelativeBases) {
  // A base two levels deep with data files directly in log/<prefix>: the cut four levels up
  // leaves no root, but the base's config folder is found.
  const std::string cfg = t / "config/IP_10_0_0_7_abcd_2024_1_1_0_0_0.config";
  WriteFile(cfg, "x");
  WriteFile(t / "log/10_0_0_7/10_0_0_7_abcd_2024_1_1_0_0_1.bin", "x");
  EXPECT_EQ(FindFilesFromfolder((t / "log").c_str(), 0), 1);
  EXPECT_EQ(At(0), t / "log/10_0_0_7/10_0_0_7_abcd_2024_1_1_0_0_1.bin | " + cfg);

  // A folder given relative to the working folder.
  LogFileList->clearAll();
  const std::string cwd = fs::current_path().string();
  ASSERT_EQ(chdir(t.c()), 0);
  WriteFile("log/10_0_0_7/sub/10_0_0_7_abcd_2024_1_1_0_0_2.bin", "x");
  EXPECT_EQ(FindFilesFromfolder("log", 0), 2);
  char log[260], found[260];
  ASSERT_EQ(FindFilename(1, log, found), 0);
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  EXPECT_STREQ(log, "log/10_0_0_7/sub/10_0_0_7_abcd_2024_1_1_0_0_2.bin");
  EXPECT_EQ(fs::weakly_canonical(fs::path(t.str()) / found), fs::canonical(cfg));
}

TEST_F(LogIndex, PathsThatDoNotFitAreSkipped) {
  const std::string deep = t / (std::string(120, 'd') + "/" + std::string(120, 'e') + "/log/1_2_3_4");
  WriteFile(deep + "/1_2_3_4_abcd_2024_1_1_0_0_0.bin", "x");
  WriteFile(t / "log/1_2_3_4/1_2_3_4_abcd_2024_1_1_0_0_0.bin", "x");
  EXPECT_EQ(FindFilesFromfolder(t.c(), 0), 1);
  const std::string entry = At(0);
  EXPECT_EQ(entry.substr(0, entry.find(" | ")), t / "log/1_2_3_4/1_2_3_4_abcd_2024_1_1_0_0_0.bin");
}

TEST_F(LogIndex, OnlyRegularFilesAreListedOrOpened) {
  // A FIFO of a data file's name, a data file whose only ".config" is a FIFO, and a log whose
  // ".config" becomes a FIFO after the listing: opening a FIFO would wait for a writer.
  const std::string log = t / "log/1_2_3_4/", cfg = t / "config/IP_1_2_3_4_";
  const std::string a = log + "1_2_3_4_aaaa_2024_1_1_0_0_1.bin", c = log + "1_2_3_4_cccc_2024_1_1_0_0_1.bin";
  for (const std::string& f : {a, c, cfg + "cccc_2024_1_1_0_0_0.config"}) WriteFile(f, "Module Name,RX-5K10\n");
  ASSERT_EQ(mkfifo((log + "1_2_3_4_bbbb_2024_1_1_0_0_1.bin").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((cfg + "aaaa_2024_1_1_0_0_0.config").c_str(), 0600), 0);
  ASSERT_EQ(QZ_GetAllLogFiles((t / "log").c_str(), 0), 2);
  ASSERT_EQ(At(0), a + " | ");
  ASSERT_EQ(At(1), c + " | " + cfg + "cccc_2024_1_1_0_0_0.config");
  fs::remove(cfg + "cccc_2024_1_1_0_0_0.config");
  ASSERT_EQ(mkfifo((cfg + "cccc_2024_1_1_0_0_0.config").c_str(), 0600), 0);
  char path[260];
  for (int i : {0, 1}) {
    QZ_SetLastError(0);
    EXPECT_EQ(QZ_LogFile_Open_byIndex(i, path), nullptr);
    EXPECT_EQ(QZ_GetLastError(), QZ_ERR_LOG_FILE_OPEN);
  }
}

}  // namespace

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "framework/RXMODEL_Class.h"
#include "framework/RXMODEL_LogIndex.h"

#include "tests/common/TestSupport.h"

namespace fs = std::filesystem;
using namespace nivex;
using nivex::test::TempFolder;

namespace {

void Touch(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << "x";
}

struct Entry {
  std::string log, cfg;
};

Entry At(int i) {
  char log[260] = "?", cfg[260] = "?";
  EXPECT_EQ(FindFilename(i, log, cfg), 0);
  return {log, cfg};
}

class LogIndex : public ::testing::Test {
 protected:
  void SetUp() override { LogFileList->clearAll(); }
  void TearDown() override { LogFileList->clearAll(); }
  TempFolder t;
};

}  // namespace

TEST_F(LogIndex, StandardLayoutPairsDataWithConfig) {
  // Two runs of one module, one of another module with a look-alike address,
  // laid out as the loggers write them (split mode 1 and split mode 0).
  std::string base = t / "2024/base";  // a folder name that holds a tag-like text
  std::string cfgA = base + "/config/IP_192_168_0_1_2024_2024_3_5_9_7_2.config";
  std::string cfgB = base + "/config/IP_192_168_0_1_00b2_2024_3_6_10_0_0.config";
  std::string cfgC = base + "/config/IP_192_168_0_10_2024_2024_3_5_9_7_2.config";
  for (const std::string& c : {cfgA, cfgB, cfgC}) Touch(c);
  std::string a1 = base + "/log/192_168_0_1/2024_03_05_09_07/192_168_0_1_2024_2024_3_5_9_7_3.bin";
  std::string a2 = base + "/log/192_168_0_1/2024_03_05_09_08/192_168_0_1_2024_2024_3_5_9_8_3.bin";
  std::string b1 = base + "/log/192_168_0_1/192_168_0_1_00b2_2024_3_6_10_0_1.bin";  // split 0
  std::string c1 = base + "/log/192_168_0_10/2024_03_05_09_07/192_168_0_10_2024_2024_3_5_9_7_3.bin";
  std::string noCfg = base + "/log/192_168_0_1/x/192_168_0_1_ffff_2024_1_1_0_0_0.bin";
  for (const std::string& f : {a1, a2, b1, c1, noCfg}) Touch(f);
  // Files the walk must leave out: other types, upper case, a user's own file.
  Touch(base + "/log/192_168_0_1/192_168_0_1_00b2_2024_3_6_10_0_1.txt");
  Touch(base + "/log/192_168_0_1/192_168_0_1_00b2_2024_3_6_10_0_2.BIN");
  Touch(base + "/log/192_168_0_1/calibration-reference-run_2.bin");
  Touch(base + "/log/192_168_0_1/notes.bin");

  EXPECT_EQ(FindFilesFromfolder((base + "/log").c_str(), 0), 5);
  // Entries come in name order, sub-folders where they stand.
  std::vector<Entry> want = {{b1, cfgB}, {a1, cfgA}, {a2, cfgA}, {noCfg, ""}, {c1, cfgC}};
  for (size_t i = 0; i < want.size(); ++i) {
    Entry e = At(static_cast<int>(i));
    EXPECT_EQ(e.log, want[i].log) << i;
    EXPECT_EQ(e.cfg, want[i].cfg) << i;
  }
  char log[260], cfg[260];
  EXPECT_EQ(FindFilename(5, log, cfg), -1);
  EXPECT_EQ(FindFilename(-1, log, cfg), -1);

  // Without clearing, a second walk adds to the list; upper case is type 7.
  EXPECT_EQ(FindFilesFromfolder((base + "/log/").c_str(), 0), 10);
  EXPECT_EQ(At(5).log, b1);  // the trailing '/' changes nothing
  LogFileList->clearAll();
  EXPECT_EQ(FindFilesFromfolder((base + "/log").c_str(), 7), 1);
  EXPECT_EQ(At(0).cfg, cfgB);
  EXPECT_EQ(FindFilesFromfolder((base + "/log").c_str(), 1), 2);

  // A folder that cannot be opened gives 0 and leaves the list alone.
  EXPECT_EQ(FindFilesFromfolder((t / "missing").c_str(), 0), 0);
  EXPECT_EQ(FindFilesFromfolder(nullptr, 0), 0);
  EXPECT_EQ(LogFileList->length(), 2);
}

TEST_F(LogIndex, ShallowAndRelativeBases) {
  // A base two levels deep with data files directly in log/<prefix>: the cut
  // four levels up leaves no root, but the base's config folder is found.
  fs::path shallow = t.str();  // /tmp/<name>: two levels deep
  std::string cfg = shallow.string() + "/config/IP_10_0_0_7_abcd_2024_1_1_0_0_0.config";
  std::string data = shallow.string() + "/log/10_0_0_7/10_0_0_7_abcd_2024_1_1_0_0_1.bin";
  Touch(cfg);
  Touch(data);
  EXPECT_EQ(FindFilesFromfolder((shallow.string() + "/log").c_str(), 0), 1);
  EXPECT_EQ(At(0).cfg, cfg);

  // A folder given relative to the working folder.
  LogFileList->clearAll();
  std::string cwd = fs::current_path().string();
  ASSERT_EQ(chdir(shallow.c_str()), 0);
  Touch("log/10_0_0_7/sub/10_0_0_7_abcd_2024_1_1_0_0_2.bin");
  EXPECT_EQ(FindFilesFromfolder("log", 0), 2);
  Entry e = At(1);
  EXPECT_EQ(e.log, "log/10_0_0_7/sub/10_0_0_7_abcd_2024_1_1_0_0_2.bin");
  EXPECT_EQ(fs::canonical(e.cfg), fs::canonical(cfg));
  ASSERT_EQ(chdir(cwd.c_str()), 0);
}

TEST_F(LogIndex, PathsThatDoNotFitAreSkipped) {
  std::string deep = t / (std::string(120, 'd') + "/" + std::string(120, 'e') + "/log/1_2_3_4");
  Touch(deep + "/1_2_3_4_abcd_2024_1_1_0_0_0.bin");
  Touch(t / "log/1_2_3_4/1_2_3_4_abcd_2024_1_1_0_0_0.bin");
  EXPECT_EQ(FindFilesFromfolder(t.str().c_str(), 0), 1);
  EXPECT_EQ(At(0).log, t / "log/1_2_3_4/1_2_3_4_abcd_2024_1_1_0_0_0.bin");
}

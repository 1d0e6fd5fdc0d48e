// INI settings files: reading, in-place writing, and a failed rewrite that keeps the old file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <string>

#include "support/Storax.h"

#include "tests/common/FileFixtures.h"
#include "tests/common/TestSupport.h"

using namespace nivex;
using nivex::test::CountEntries;
using nivex::test::ReadFile;
using nivex::test::TempFolder;
using nivex::test::WriteFile;

namespace {

// "length:value" of one read (size bytes of room).
std::string Get(const std::string& path, const char* section, const char* key, const char* deflt = "-",
                unsigned size = 64) {
  char out[64];
  const int r = __GetPrivateProfileString(section, key, deflt, out, size, path.c_str());
  return std::to_string(r) + ":" + out;
}

TEST(Ini, Reading) {
  TempFolder t;
  const std::string ini = t / "a.ini";
  char out[8] = "garbage";
  EXPECT_EQ(GetIni(ini.c_str(), "main", "rate", out), 0);  // missing file
  EXPECT_STREQ(out, "");

  WriteFile(ini, "; settings\n[main]\nrate = 10 0\nname = my device\n\n[aux]\ngain=2\n"
                 "long=abcdefghijklmnopqrstuvwxyz\n");
  EXPECT_EQ(Get(ini, "main", "rate"), "3:100");
  EXPECT_EQ(Get(ini, "main", "name"), "8:mydevice");
  EXPECT_EQ(Get(ini, "aux", "gain"), "1:2");
  EXPECT_EQ(Get(ini, "main", "gain", "dflt"), "4:dflt");  // only in [aux]
  EXPECT_EQ(Get(ini, "aux", "none", "d"), "1:d");         // the section runs to the end
  EXPECT_EQ(Get(ini, "nosuch", "rate", "d"), "1:d");
  EXPECT_EQ(Get(ini, "aux", "long", "-", 8), "7:abcdefg");  // cut to size - 1
  EXPECT_EQ(Get(ini, "aux", "none", "0123456789", 4), "3:012");  // the length stored
  EXPECT_EQ(GetIni(ini.c_str(), "aux", "long", out), 7);

  // CR LF reads the same as LF.
  const std::string crlf = t / "crlf.ini";
  WriteFile(crlf, "[main]\r\nrate = 10 0\r\nname=x\r\n");
  EXPECT_EQ(Get(crlf, "main", "rate"), "3:100");
  EXPECT_EQ(Get(crlf, "main", "name"), "1:x");

  // Refused arguments; capacity 0 writes nothing.
  EXPECT_EQ(__GetPrivateProfileString("main", "rate", "", out, 0, ini.c_str()), -1);
  EXPECT_EQ(__GetPrivateProfileString(nullptr, "rate", "", out, 8, ini.c_str()), -1);
  EXPECT_EQ(__GetPrivateProfileString("main", "zz", nullptr, out, 8, ini.c_str()), -1);
  EXPECT_STREQ(out, "");

  // A line longer than the line buffer is cut, and the next line still reads.
  WriteFile(t / "long.ini", "[s]\nk=" + std::string(400, 'v') + "\nnext=1\n");
  char big[512];
  EXPECT_EQ(__GetPrivateProfileString("s", "k", "", big, sizeof big, (t / "long.ini").c_str()), 257);
  EXPECT_EQ(Get(t / "long.ini", "s", "next"), "1:1");
}

TEST(Ini, WritingKeepsOtherLines) {
  TempFolder t;
  const std::string ini = t / "w.ini";
  EXPECT_EQ(SetIni(ini.c_str(), "main", "rate", "5"), 1);
  EXPECT_EQ(ReadFile(ini), "[main]\nrate=5\n");

  WriteFile(ini, "; comment with blanks\n[main]\nrate=5\nname = my device\n\n[aux]\nrate = 7\n");
  EXPECT_EQ(SetIni(ini.c_str(), "main", "rate", "6"), 1);  // replaced in place
  EXPECT_EQ(ReadFile(ini), "; comment with blanks\n[main]\nrate=6\nname = my device\n\n[aux]\nrate = 7\n");
  EXPECT_EQ(SetIni(ini.c_str(), "main", "mode", "fast"), 1);  // inserted after the header
  EXPECT_EQ(SetIni(ini.c_str(), "aux", "rate", "8"), 1);      // only in its own section
  EXPECT_EQ(SetIni(ini.c_str(), "new", "k", "v"), 1);         // appended
  EXPECT_EQ(ReadFile(ini),
            "; comment with blanks\n[main]\nmode=fast\nrate=6\nname = my device\n\n"
            "[aux]\nrate=8\n[new]\nk=v\n");
  EXPECT_EQ(Get(ini, "main", "mode"), "4:fast");
  EXPECT_EQ(Get(ini, "aux", "rate"), "1:8");

  // CR LF files keep their line ends; a file without a final line end gets one only where a
  // line is added after it.
  const std::string crlf = t / "c.ini", open = t / "o.ini";
  WriteFile(crlf, "[main]\r\nrate=1\r\n");
  EXPECT_EQ(SetIni(crlf.c_str(), "main", "rate", "2"), 1);
  EXPECT_EQ(ReadFile(crlf), "[main]\r\nrate=2\r\n");
  WriteFile(open, "[main]\nrate=1");
  EXPECT_EQ(SetIni(open.c_str(), "x", "y", "z"), 1);
  EXPECT_EQ(ReadFile(open), "[main]\nrate=1\n[x]\ny=z\n");

  EXPECT_EQ(SetIni(nullptr, "a", "b", "c"), 0);
  EXPECT_EQ(SetIni(ini.c_str(), "a", nullptr, "c"), 0);
  EXPECT_EQ(CountEntries(t.str()), 3);  // no temporary files are left behind
}

TEST(Ini, FailedRewriteLeavesTheOldFile) {
  TempFolder t;
  const std::string ini = t / "keep.ini";
  const std::string original = "[main]\nrate=5\n; " + std::string(3000, 'c') + "\n";
  WriteFile(ini, original);

  // Writes beyond 1 KiB fail (as on a full disk); this works for root too.
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit small = old;
  small.rlim_cur = 1024;
  void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int rc = SetIni(ini.c_str(), "main", "rate", "6");
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadFile(ini), original);
  EXPECT_EQ(CountEntries(t.str()), 1);
  // A folder that does not exist cannot hold the file.
  EXPECT_EQ(SetIni((t / "none/x.ini").c_str(), "a", "b", "c"), 0);
}

TEST(Ini, ReadFileLineKeepsAtMost259Characters) {
  TempFolder t;
  WriteFile(t / "l.txt", "ab\r\ncd\n" + std::string(300, 'x') + "\nlast");
  FILE* f = fopen((t / "l.txt").c_str(), "r");
  ASSERT_NE(f, nullptr);
  char buf[260];
  EXPECT_STREQ(ReadFileLine(buf, f), "ab");
  EXPECT_STREQ(ReadFileLine(buf, f), "cd");
  EXPECT_EQ(strlen(ReadFileLine(buf, f)), 259u);
  EXPECT_STREQ(ReadFileLine(buf, f), "last");
  fclose(f);
}

}  // namespace

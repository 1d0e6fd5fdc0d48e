#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/Storax.h"

#include "tests/common/TestSupport.h"

namespace fs = std::filesystem;
using namespace nivex;
using nivex::test::TempFolder;

namespace {

void Put(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Get(const std::string& path, const char* section, const char* key,
                const char* deflt = "-", unsigned size = 64, int* rc = nullptr) {
  char out[64];
  int r = __GetPrivateProfileString(section, key, deflt, out, size, path.c_str());
  if (rc != nullptr) *rc = r;
  return out;
}

}  // namespace

TEST(Ini, Reading) {
  TempFolder t;
  std::string ini = t / "a.ini";
  char out[8] = "garbage";
  EXPECT_EQ(GetIni(ini.c_str(), "main", "rate", out), 0);  // missing file
  EXPECT_STREQ(out, "");

  Put(ini,
      "; settings\n"
      "[main]\n"
      "rate = 10 0\n"
      "name = my device\n"
      "\n"
      "[aux]\n"
      "gain=2\n"
      "long=abcdefghijklmnopqrstuvwxyz\n");
  int rc = 0;
  EXPECT_EQ(Get(ini, "main", "rate", "-", 64, &rc), "100");
  EXPECT_EQ(rc, 3);
  EXPECT_EQ(Get(ini, "main", "name"), "mydevice");
  EXPECT_EQ(Get(ini, "aux", "gain"), "2");
  EXPECT_EQ(Get(ini, "main", "gain", "dflt", 64, &rc), "dflt");  // only in [aux]
  EXPECT_EQ(rc, 4);
  EXPECT_EQ(Get(ini, "aux", "none", "d", 64, &rc), "d");  // section runs to the end
  EXPECT_EQ(Get(ini, "nosuch", "rate", "d"), "d");
  EXPECT_EQ(Get(ini, "aux", "long", "-", 8, &rc), "abcdefg");  // cut to size - 1
  EXPECT_EQ(rc, 7);
  EXPECT_EQ(Get(ini, "aux", "none", "0123456789", 4, &rc), "012");
  EXPECT_EQ(rc, 3);  // the length stored, not the default's whole length
  EXPECT_EQ(GetIni(ini.c_str(), "aux", "long", out), 7);

  // CR LF reads the same as LF.
  std::string crlf = t / "crlf.ini";
  Put(crlf, "[main]\r\nrate = 10 0\r\nname=x\r\n");
  EXPECT_EQ(Get(crlf, "main", "rate"), "100");
  EXPECT_EQ(Get(crlf, "main", "name"), "x");

  // Refused arguments; capacity 0 writes nothing.
  EXPECT_EQ(__GetPrivateProfileString("main", "rate", "", out, 0, ini.c_str()), -1);
  EXPECT_EQ(__GetPrivateProfileString(nullptr, "rate", "", out, 8, ini.c_str()), -1);
  EXPECT_EQ(__GetPrivateProfileString("main", "zz", nullptr, out, 8, ini.c_str()), -1);
  EXPECT_STREQ(out, "");

  // A line longer than the line buffer is cut, and the next line still reads.
  Put(t / "long.ini", "[s]\nk=" + std::string(400, 'v') + "\nnext=1\n");
  char big[512];
  EXPECT_EQ(__GetPrivateProfileString("s", "k", "", big, sizeof big, (t / "long.ini").c_str()),
            257);
  EXPECT_EQ(Get(t / "long.ini", "s", "next"), "1");
}

TEST(Ini, WritingKeepsOtherLines) {
  TempFolder t;
  std::string ini = t / "w.ini";
  EXPECT_EQ(SetIni(ini.c_str(), "main", "rate", "5"), 1);
  EXPECT_EQ(Slurp(ini), "[main]\nrate=5\n");

  const std::string original =
      "; comment with blanks\n"
      "[main]\n"
      "rate=5\n"
      "name = my device\n"
      "\n"
      "[aux]\n"
      "rate = 7\n";
  Put(ini, original);
  EXPECT_EQ(SetIni(ini.c_str(), "main", "rate", "6"), 1);  // replaced in place
  EXPECT_EQ(Slurp(ini), "; comment with blanks\n[main]\nrate=6\nname = my device\n\n[aux]\nrate = 7\n");
  EXPECT_EQ(SetIni(ini.c_str(), "main", "mode", "fast"), 1);  // inserted after the header
  EXPECT_EQ(SetIni(ini.c_str(), "aux", "rate", "8"), 1);      // only in its own section
  EXPECT_EQ(SetIni(ini.c_str(), "new", "k", "v"), 1);         // appended
  EXPECT_EQ(Slurp(ini),
            "; comment with blanks\n[main]\nmode=fast\nrate=6\nname = my device\n\n"
            "[aux]\nrate=8\n[new]\nk=v\n");
  EXPECT_EQ(Get(ini, "main", "rate"), "6");
  EXPECT_EQ(Get(ini, "main", "name"), "mydevice");
  EXPECT_EQ(Get(ini, "main", "mode"), "fast");
  EXPECT_EQ(Get(ini, "aux", "rate"), "8");
  EXPECT_EQ(Get(ini, "new", "k"), "v");

  // CR LF files keep their line ends; a file without a final line end gets
  // one only where a line is added after it.
  std::string crlf = t / "c.ini";
  Put(crlf, "[main]\r\nrate=1\r\n");
  EXPECT_EQ(SetIni(crlf.c_str(), "main", "rate", "2"), 1);
  EXPECT_EQ(Slurp(crlf), "[main]\r\nrate=2\r\n");
  std::string open = t / "o.ini";
  Put(open, "[main]\nrate=1");
  EXPECT_EQ(SetIni(open.c_str(), "x", "y", "z"), 1);
  EXPECT_EQ(Slurp(open), "[main]\nrate=1\n[x]\ny=z\n");

  EXPECT_EQ(SetIni(nullptr, "a", "b", "c"), 0);
  EXPECT_EQ(SetIni(ini.c_str(), "a", nullptr, "c"), 0);
  // No temporary files are left behind.
  int files = 0;
  for (auto& e : fs::directory_iterator(t.str())) (void)e, ++files;
  EXPECT_EQ(files, 3);
}

TEST(Ini, FailedRewriteLeavesTheOldFile) {
  TempFolder t;
  std::string ini = t / "keep.ini";
  std::string original = "[main]\nrate=5\n; " + std::string(3000, 'c') + "\n";
  Put(ini, original);

  // Writes beyond 1 KiB fail (as on a full disk); this works for root too.
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit small = old;
  small.rlim_cur = 1024;
  void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  int rc = SetIni(ini.c_str(), "main", "rate", "6");
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(rc, 0);
  EXPECT_EQ(Slurp(ini), original);
  int files = 0;
  for (auto& e : fs::directory_iterator(t.str())) (void)e, ++files;
  EXPECT_EQ(files, 1);

  // A folder that does not exist cannot hold the file.
  EXPECT_EQ(SetIni((t / "none/x.ini").c_str(), "a", "b", "c"), 0);
}

TEST(Ini, ReadFileLineKeepsAtMost259Characters) {
  TempFolder t;
  Put(t / "l.txt", "ab\r\ncd\n" + std::string(300, 'x') + "\nlast");
  FILE* f = fopen((t / "l.txt").c_str(), "r");
  ASSERT_NE(f, nullptr);
  char buf[260];
  EXPECT_STREQ(ReadFileLine(buf, f), "ab");
  EXPECT_STREQ(ReadFileLine(buf, f), "cd");
  EXPECT_EQ(strlen(ReadFileLine(buf, f)), 259u);
  EXPECT_STREQ(ReadFileLine(buf, f), "last");
  fclose(f);
}

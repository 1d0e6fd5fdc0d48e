#include "tests/common/FileFixtures.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "framework/LogClock.h"

namespace fs = std::filesystem;

namespace nivex::test {

void WriteFile(const std::string& path, const std::string& text) {
  const fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) fs::create_directories(parent);
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int CountEntries(const std::string& folder) {
  int n = 0;
  for (const auto& e : fs::directory_iterator(folder)) (void)e, ++n;
  return n;
}

std::vector<std::string> FilesBelow(const std::string& folder) {
  std::vector<std::string> out;
  if (!fs::exists(folder)) return out;
  for (const auto& e : fs::recursive_directory_iterator(folder))
    if (e.is_regular_file()) out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

int OpenBelow(const std::string& folder) {
  int n = 0;
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string target = fs::read_symlink(e.path(), ec).string();
    n += !ec && target.compare(0, folder.size() + 1, folder + "/") == 0;
  }
  return n;
}

std::string LogPrefix(std::string ip) {
  std::replace(ip.begin(), ip.end(), '.', '_');
  return ip;
}

std::string LogDataPath(const std::string& base, const std::string& p, unsigned tag, time_t t,
                        int split, bool first, const char* ext) {
  static const char* const kSub[] = {"",
                                     "%04d_%02d_%02d_%02d_%02d/",
                                     "%04d_%02d_%02d_%02d/",
                                     "%04d_%02d_%02d/",
                                     "%04d_%02d/",
                                     "",
                                     "%04d_%02d_w%d/",
                                     ""};
  struct tm m = {};
  gmtime_r(&t, &m);
  char sub[40], name[120];
  const int y = m.tm_year + 1900, mo = m.tm_mon + 1;
  snprintf(sub, sizeof sub, kSub[split == 7 && first ? 1 : split], y, mo,
           split == 6 ? m.tm_wday : m.tm_mday, m.tm_hour, m.tm_min);
  snprintf(name, sizeof name, "%s_%04x_%d_%d_%d_%d_%d_%d%s", p.c_str(), tag, y, mo, m.tm_mday,
           m.tm_hour, m.tm_min, m.tm_sec, ext);
  return base + "/log/" + p + "/" + sub + name;
}

TestClock::TestClock(int y, int mo, int d, int h, int mi, int s, int step) {
  struct tm t = {};
  t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = mi,
  t.tm_sec = s;
  base = timegm(&t);
  SetLogClock([this, step] {
    const time_t now = base + step * readings++;
    struct tm out = {};
    return *gmtime_r(&now, &out);
  });
}

TestClock::~TestClock() { SetLogClock(nullptr); }

}  // namespace nivex::test

// The readers of a stored log's ".config" file on any file content: the scan-log format's
// reader (its module name and channel count against the first line of each key, the start
// time's fields within their columns), the text file's lines and "key,value" lookups with and
// without a section, and ReadFileLine. The first input line is one more key to look up, the
// rest is the file.
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/ScanLogFormat.h"
#include "support/Storax.h"
#include "tests/fuzz/FuzzInput.h"

using nivex::fuzz::FuzzInput;
using nivex::fuzz::Require;

namespace {

// The file the reader opens: a memory file, rewritten for every input.
const std::string& ConfigPath(int* fd) {
  static int file = memfd_create("nivex-config", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(file);
  *fd = file;
  return path;
}

void CheckValue(int n, const char* value) {
  if (n < 0) return;
  Require(static_cast<size_t>(n) == strlen(value) && n < 1024, "ReadValue length");
}

// The value of the first line "<key>,<value>" of text, line end removed.
bool FirstValue(const std::string& text, const std::string& key, std::string* value) {
  for (size_t from = 0; from < text.size();) {
    size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(from, end - from);
    from = end + 1;
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, key.size() + 1, key + ",") == 0) {
      *value = line.substr(key.size() + 1);
      return true;
    }
  }
  return false;
}

void CheckScanConfig(const std::string& content) {
  namespace scanlog = nivex::scanlog;
  scanlog::ScanConfig c;
  const scanlog::ConfigRead r = scanlog::ParseScanConfig(content, &c);
  std::string name, count;
  const bool named = FirstValue(content, "Module Name", &name);
  Require(r == (content.empty() ? scanlog::ConfigRead::kUnreadable
                                : (named ? scanlog::ConfigRead::kOk : scanlog::ConfigRead::kNoModuleName)),
          "scan config read result");
  Require(strnlen(c.moduleName, sizeof c.moduleName) < sizeof c.moduleName &&
              strnlen(c.startTime, sizeof c.startTime) < sizeof c.startTime,
          "scan config texts end inside their fields");
  if (named) Require(std::string(name.c_str()).compare(0, 19, c.moduleName) == 0, "module name");
  if (FirstValue(content, "Channel Count", &count)) {
    const long long v = strtoll(count.c_str(), nullptr, 10);
    Require(c.channelCount == (v < INT_MIN ? INT_MIN : (v > INT_MAX ? INT_MAX : v)), "channel count");
  }
  const scanlog::StartTime t = scanlog::ParseStartTime(c.startTime);
  Require(t.year >= 0 && t.year <= 9999 && t.month >= 0 && t.month <= 99 && t.day >= 0 &&
              t.day <= 99 && t.hour >= 0 && t.hour <= 99 && t.minute >= 0 && t.minute <= 99 &&
              t.second >= 0 && t.second <= 99 && t.fractionDigits >= 0 && t.fractionDigits <= 9 &&
              t.fraction <= 999999999u,
          "start time fields");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const std::string extraKey = in.Line(80);
  const std::string content = in.Rest();
  CheckScanConfig(content);
  int fd = -1;
  const std::string& path = ConfigPath(&fd);
  if (fd < 0 || ftruncate(fd, 0) != 0) return 0;
  if (!content.empty() &&
      pwrite(fd, content.data(), content.size(), 0) != static_cast<ssize_t>(content.size()))
    return 0;

  nivex::TextFile f(0);
  if (f.Open(path.c_str()) != 1) return 0;
  char value[1024];
  for (const char* key : {"Module Name", "Sample Rate", "Channel Count", "Gain", "Offset", ","})
    CheckValue(f.ReadValue(key, value), value);
  CheckValue(f.ReadValue(extraKey.c_str(), value), value);
  CheckValue(f.ReadValue("Channel", "Gain", value), value);
  CheckValue(f.ReadValue(extraKey.c_str(), "Range", value), value);

  f.GotoFirstLine();
  char line[1024];
  uint32_t lines = 0;
  while (f.ReadLine(line) != 0) {
    Require(strnlen(line, sizeof(line)) < sizeof(line), "ReadLine length");
    Require(++lines <= content.size(), "ReadLine count");
  }
  Require(f.Size() == static_cast<int64_t>(content.size()), "TextFile size");
  f.Close();

  FILE* fp = fopen(path.c_str(), "r");
  if (fp == nullptr) return 0;
  char cut[260];
  for (size_t i = 0; i <= content.size() && !feof(fp); ++i) {
    nivex::ReadFileLine(cut, fp);
    Require(strnlen(cut, sizeof(cut)) < sizeof(cut), "ReadFileLine length");
  }
  fclose(fp);
  return 0;
}

// The reader of a stored log's ".config" file (TextFile: lines, "key,value" lookups with and
// without a section) and ReadFileLine on any file content. The first input line is one more
// key to look up, the rest is the file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const std::string extraKey = in.Line(80);
  const std::string content = in.Rest();
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

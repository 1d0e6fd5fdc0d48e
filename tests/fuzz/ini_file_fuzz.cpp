// The INI reader and writer on any file content. Input: a section line, a key line, a value
// line, then the file. A value written with the writer reads back with the reader when the
// section, key and value are plain (no blanks, line ends, '=' or brackets).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "support/Storax.h"
#include "tests/fuzz/FuzzInput.h"

using nivex::fuzz::FuzzInput;
using nivex::fuzz::Require;

namespace {

// A private folder for the file (the writer replaces it through a file beside it).
const std::string& IniPath() {
  static const std::string path = [] {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/nivex-ini-fuzz-XXXXXX";
    const char* dir = mkdtemp(&tmpl[0]);
    return std::string(dir != nullptr ? dir : base) + "/settings.ini";
  }();
  return path;
}

bool Plain(const std::string& s) {
  if (s.empty() || s.size() > 60) return false;
  for (char c : s)
    if (c == '\0' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' ||
        c == '=' || c == '[' || c == ']')
      return false;
  return true;
}

bool WriteFile(const std::string& path, const std::string& content) {
  FILE* fp = fopen(path.c_str(), "wb");
  if (fp == nullptr) return false;
  const bool ok = fwrite(content.data(), 1, content.size(), fp) == content.size();
  return fclose(fp) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const std::string section = in.Line(64);
  const std::string key = in.Line(64);
  const std::string value = in.Line(64);
  const unsigned int outSize = 1 + in.Byte();
  const std::string content = in.Rest();
  const std::string& path = IniPath();
  if (!WriteFile(path, content)) return 0;

  char out[257];
  memset(out, 'X', sizeof(out));
  const int n = nivex::__GetPrivateProfileString(section.c_str(), key.c_str(), "dflt", out,
                                                 outSize, path.c_str());
  Require(n >= 0 && static_cast<unsigned>(n) < outSize && strlen(out) == static_cast<size_t>(n),
          "reader length");
  Require(out[outSize] == 'X', "reader wrote past its buffer");
  char small[8];
  nivex::GetIni(path.c_str(), section.c_str(), key.c_str(), small);
  Require(strnlen(small, sizeof(small)) < sizeof(small), "GetIni length");

  if (nivex::__WritePrivateProfileString(section.c_str(), key.c_str(), value.c_str(),
                                         path.c_str()) != 1)
    return 0;
  if (Plain(section) && Plain(key) && (value.empty() || Plain(value))) {
    char back[128];
    nivex::__GetPrivateProfileString(section.c_str(), key.c_str(), "<none>", back, sizeof(back),
                                     path.c_str());
    Require(value == back, "a written value reads back");
  }
  return 0;
}

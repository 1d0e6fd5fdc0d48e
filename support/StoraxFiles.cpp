// BinaryFile and TextFile: owning wrappers of a C stream.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64  // 64-bit offsets also on 32-bit builds
#endif

#include <limits.h>
#include <sys/types.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "support/Storax.h"
#include "support/utility.h"

namespace nivex {

static_assert(sizeof(off_t) == 8, "log files need 64-bit file offsets");

namespace {

const char* const kBinaryModes[5] = {"rb", "wb", "r+b", "w+b", "a+b"};
const char* const kTextModes[5] = {"r", "w", "r+", "w+", "a+"};

int NormalMode(int mode) { return (mode >= 0 && mode <= 4) ? mode : 3; }

// Length of the stream's file; the position is left at the end.
int64_t StreamLength(FILE* fp) {
  if (fseeko(fp, 0, SEEK_END) != 0) return -1;
  off_t end = ftello(fp);
  return end < 0 ? -1 : static_cast<int64_t>(end);
}

// Size() of both classes: mode 0 rewinds, every other mode restores the position.
int64_t SizeKeepingPosition(FILE* fp, int mode) {
  off_t pos = ftello(fp);
  int64_t len = StreamLength(fp);
  if (mode == 0 || pos < 0)
    fseeko(fp, 0, SEEK_SET);
  else
    fseeko(fp, pos, SEEK_SET);
  return len < 0 ? 0 : len;
}

bool Narrow(const wchar_t* src, std::string* out) {
  if (src == nullptr) return false;
  char buf[260] = {};
  if (WideToChar(src, buf, sizeof buf) == 0 && src[0] != L'\0') return false;
  buf[sizeof buf - 1] = '\0';
  out->assign(buf);
  return true;
}

}  // namespace

// ================================================================== BinaryFile

BinaryFile::BinaryFile() = default;

BinaryFile::BinaryFile(int m) : mode(NormalMode(m)) {}

BinaryFile::BinaryFile(int m, int type) : mode(NormalMode(m)), dataType(type) {}

BinaryFile::~BinaryFile() { Close(); }

int BinaryFile::OpenPath(const char* path, const char* modeText) {
  Close();
  bytesWritten = 0;
  fp = fopen(path, modeText);
  isOpen = fp != nullptr;
  return isOpen ? 1 : 0;
}

int BinaryFile::Open(const char* fold, const char* subf, const char* nm) {
  if (fold == nullptr || subf == nullptr || nm == nullptr) return 0;
  // Names that do not fit their fields are refused, never kept cut.
  if (strlen(fold) >= 256 || strlen(subf) >= 256 || strlen(nm) >= 128) return 0;
  std::string path = std::string(fold) + "/" + subf + "/" + nm;
  if (path.size() >= PATH_MAX) return 0;
  Close();
  folder[0] = sub[0] = name[0] = L'\0';
  CharToWide(fold, folder, 256);
  CharToWide(subf, sub, 256);
  CharToWide(nm, name, 128);
  bytesWritten = 0;
  CreateFolder(fold, subf);
  return OpenPath(path.c_str(), kBinaryModes[mode]);
}

int BinaryFile::Open(const wchar_t* fold, const wchar_t* subf, const wchar_t* nm) {
  std::string f, s, n;
  if (!Narrow(fold, &f) || !Narrow(subf, &s) || !Narrow(nm, &n)) return 0;
  return Open(f.c_str(), s.c_str(), n.c_str());
}

int BinaryFile::Open(const char* path) {
  if (mode != 0 || path == nullptr) return 0;
  return OpenPath(path, "rb");
}

int BinaryFile::Open(const wchar_t* path) {
  std::string p;
  if (mode != 0 || !Narrow(path, &p)) return 0;
  return OpenPath(p.c_str(), "rb");
}

void BinaryFile::Close() {
  if (fp != nullptr) fclose(fp);
  fp = nullptr;
  isOpen = false;
}

void BinaryFile::FileUpdate() {}

uint64_t BinaryFile::Size() {
  if (fp == nullptr) return 0;
  return static_cast<uint64_t>(SizeKeepingPosition(fp, mode));
}

uint64_t BinaryFile::WriteItems(const void* buf, size_t itemSize, unsigned int n, bool flush) {
  if (fp == nullptr || !isOpen || buf == nullptr || n == 0) return bytesWritten;
  // A stream that was read last needs a seek before it may be written.
  if (lastWasRead_) fseeko(fp, 0, SEEK_CUR);
  lastWasRead_ = false;
  size_t w = fwrite(buf, itemSize, n, fp);
  bool ok = w == n;
  if (flush && fflush(fp) != 0) ok = false;
  if (ok) bytesWritten += static_cast<uint64_t>(n) * itemSize;
  return bytesWritten;
}

uint64_t BinaryFile::WriteChar(const char* buf, unsigned int n) {
  return WriteItems(buf, 1, n, true);
}
uint64_t BinaryFile::WriteShort(const short* buf, unsigned int n) {
  return WriteItems(buf, 2, n, false);
}
uint64_t BinaryFile::WriteFloat(const float* buf, unsigned int n) {
  return WriteItems(buf, 4, n, true);
}
uint64_t BinaryFile::WriteLong(const int* buf, unsigned int n) {
  return WriteItems(buf, 4, n, false);
}
uint64_t BinaryFile::WriteCharFrom(const char*, unsigned int, unsigned int) { return 0; }
uint64_t BinaryFile::WriteShortFrom(const short*, unsigned int, unsigned int) { return 0; }
uint64_t BinaryFile::WriteFloatFrom(const float*, unsigned int, unsigned int) { return 0; }
uint64_t BinaryFile::WriteLongFrom(const int*, unsigned int, unsigned int) { return 0; }

unsigned int BinaryFile::ReadItems(void* buf, size_t itemSize, unsigned int start,
                                   unsigned int count) {
  if (fp == nullptr || buf == nullptr || count == 0) return 0;
  int64_t len = StreamLength(fp);
  if (len <= 0) return 0;
  uint64_t items = static_cast<uint64_t>(len) / itemSize;
  if (start >= items) return 0;
  uint64_t n = std::min<uint64_t>(count, items - start);
  if (fseeko(fp, static_cast<off_t>(static_cast<uint64_t>(start) * itemSize), SEEK_SET) != 0)
    return 0;
  lastWasRead_ = true;
  return static_cast<unsigned int>(fread(buf, itemSize, static_cast<size_t>(n), fp));
}

unsigned int BinaryFile::ReadCharFrom(char* buf, unsigned int start, unsigned int count) {
  return ReadItems(buf, 1, start, count);
}
unsigned int BinaryFile::ReadShortFrom(unsigned short* buf, unsigned int start,
                                       unsigned int count) {
  return ReadItems(buf, 2, start, count);
}
unsigned int BinaryFile::ReadFloatFrom(float* buf, unsigned int start, unsigned int count) {
  return ReadItems(buf, 4, start, count);
}
unsigned int BinaryFile::ReadLongFrom(int* buf, unsigned int start, unsigned int count) {
  return ReadItems(buf, 4, start, count);
}

unsigned int BinaryFile::ReadFrom(void* buf, unsigned int start, unsigned int count) {
  switch (dataType) {
    case 0:
      return ReadCharFrom(static_cast<char*>(buf), start, count);
    case 1: {
      if (buf == nullptr) return 0;
      uint32_t* slots = static_cast<uint32_t*>(buf);
      unsigned short chunk[512];
      unsigned int done = 0;
      while (done < count) {
        unsigned int want = std::min<unsigned int>(count - done, 512);
        if (start + done < start) break;  // item positions end at 2^32
        unsigned int got = ReadShortFrom(chunk, start + done, want);
        for (unsigned int i = 0; i < got; ++i) slots[done + i] = chunk[i];
        done += got;
        if (got < want) break;
      }
      return done;
    }
    case 2:
      return ReadFloatFrom(static_cast<float*>(buf), start, count);
    case 3:
      return ReadLongFrom(static_cast<int*>(buf), start, count);
    default:
      return 0;
  }
}

// ================================================================== TextFile

TextFile::TextFile(int m) : mode(NormalMode(m)) {}

TextFile::~TextFile() { Close(); }

int TextFile::OpenPath(const char* path) {
  Close();
  lineCount = 0;
  fp = fopen(path, kTextModes[mode]);
  isOpen = fp != nullptr;
  return isOpen ? 1 : 0;
}

int TextFile::Open(const char* folder, const char* name) {
  if (folder == nullptr || name == nullptr) return 0;
  std::string path = std::string(folder) + "/" + name;
  if (path.size() >= PATH_MAX) return 0;
  return OpenPath(path.c_str());
}

int TextFile::Open(const wchar_t* folder, const wchar_t* name) {
  std::string f, n;
  if (!Narrow(folder, &f) || !Narrow(name, &n)) return 0;
  return Open(f.c_str(), n.c_str());
}

int TextFile::Open(const char* path) {
  if (path == nullptr) path = "~/log.txt";
  if (strlen(path) >= PATH_MAX) return 0;
  return OpenPath(path);
}

int TextFile::Open(const wchar_t* path) {
  if (path == nullptr) return Open(static_cast<const char*>(nullptr));
  std::string p;
  if (!Narrow(path, &p)) return 0;
  return Open(p.c_str());
}

void TextFile::Close() {
  if (fp != nullptr) fclose(fp);
  fp = nullptr;
  isOpen = false;
}

int64_t TextFile::Size() {
  if (fp == nullptr) return 0;
  return SizeKeepingPosition(fp, mode);
}

void TextFile::BeforeWrite() {
  if (lastWasRead_) fseeko(fp, 0, SEEK_CUR);  // allowed switch from reading to writing
  lastWasRead_ = false;
}

int TextFile::Write(const char* text) {
  if (fp == nullptr || text == nullptr) return 0;
  BeforeWrite();
  return fputs(text, fp) == EOF ? 0 : 1;
}

int TextFile::WriteLine(const char* text) {
  if (fp == nullptr || text == nullptr) return 0;
  BeforeWrite();
  return fprintf(fp, "%s\n", text) < 0 ? 0 : 1;
}

uint32_t TextFile::ReadLine(char* buf) {
  if (fp == nullptr || buf == nullptr) return 0;
  if (!lastWasRead_) fseeko(fp, 0, SEEK_CUR);  // allowed switch from writing to reading
  lastWasRead_ = true;
  clearerr(fp);  // the end met before is no end once the file has grown
  if (fgets(buf, 1024, fp) == nullptr) return 0;
  return ++lineCount;
}

int TextFile::ReadValue(const char* key, char* value) {
  if (fp == nullptr || key == nullptr || value == nullptr) return -1;
  fseeko(fp, 0, SEEK_SET);
  lastWasRead_ = true;
  char line[1024];
  while (fgets(line, sizeof line, fp) != nullptr) {
    if (strstr(line, key) == nullptr) continue;
    // The value starts one separator after the key, counted from the line
    // start; it never starts beyond the line's end.
    size_t len = strlen(line);
    size_t from = std::min(strlen(key) + 1, len);
    memcpy(value, line + from, len - from + 1);
    return static_cast<int>(len - from);
  }
  return -1;
}

int TextFile::ReadValue(const char* section, const char* key, char* value) {
  if (fp == nullptr || section == nullptr || key == nullptr || value == nullptr) return -1;
  fseeko(fp, 0, SEEK_SET);
  lastWasRead_ = true;
  char line[1024];
  while (fgets(line, sizeof line, fp) != nullptr) {
    if (strstr(line, section) == nullptr) continue;
    const char* k = strstr(line, key);
    if (k == nullptr) continue;
    const char* end = line + strlen(line);
    const char* from = std::min(k + strlen(key) + 1, end);
    const char* comma = strchr(from, ',');
    const char* to = comma != nullptr ? comma : end;
    size_t n = static_cast<size_t>(to - from);
    memcpy(value, from, n);
    value[n] = '\0';
    return static_cast<int>(n);
  }
  return -1;
}

void TextFile::GotoFirstLine() {
  if (fp != nullptr) fseeko(fp, 0, SEEK_SET);
}

}  // namespace nivex

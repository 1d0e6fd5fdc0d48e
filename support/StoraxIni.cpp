// INI-style settings files: "[section]" headers and "key=value" lines.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/Storax.h"

namespace nivex {

namespace {

constexpr size_t kLineMax = 259;  // characters kept of one line by the reader

// Reads one line without its LF and without CR bytes, keeping at most max
// characters (the rest of the line is dropped). false at the end of the file
// when nothing was read.
bool ReadLineCut(FILE* fp, std::string* line, size_t max) {
  line->clear();
  int c;
  bool any = false;
  while ((c = fgetc(fp)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (c == '\r') continue;
    if (line->size() < max) line->push_back(static_cast<char>(c));
  }
  return any;
}

std::string WithoutBlanks(const std::string& s) {
  std::string out;
  for (char c : s)
    if (c != ' ' && c != '\r') out.push_back(c);
  return out;
}

bool StartsWith(const std::string& s, const std::string& head) {
  return s.compare(0, head.size(), head) == 0;
}

// A line as the reader sees it: without CR bytes, cut to kLineMax characters.
std::string Seen(const std::string& line) {
  std::string out;
  for (char c : line) {
    if (out.size() == kLineMax) break;
    if (c != '\r') out.push_back(c);
  }
  return out;
}

bool EndsInCr(const std::string& line) { return !line.empty() && line.back() == '\r'; }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// When line holds the word header (whitespace-separated), the position just
// after that word; npos otherwise.
size_t FindHeaderWord(const std::string& line, const std::string& header) {
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsSpace(line[i])) ++i;
    size_t j = i;
    while (j < line.size() && !IsSpace(line[j])) ++j;
    if (j > i && line.compare(i, j - i, header) == 0) return j;
    i = j;
  }
  return std::string::npos;
}

// Copies text into out (size bytes, already cleared), cut at a NUL (a value is
// a C text) and to size-1; returns the length stored.
int Store(char* out, unsigned int size, const std::string& text) {
  const size_t len = std::min(text.find('\0'), text.size());
  size_t n = len < size ? len : size - 1;
  memcpy(out, text.data(), n);
  out[n] = '\0';
  return static_cast<int>(n);
}

// Writes contents to a new file beside path and renames it over path. The new
// file gets the permission bits of the old one (or 0666 less the umask).
bool ReplaceFile(const std::string& path, const std::string& contents) {
  static std::atomic<unsigned> counter{0};
  std::string tmp = path + ".tmp" + std::to_string(getpid()) + "_" + std::to_string(counter++);
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) fchmod(fd, st.st_mode & 07777);
  bool ok = true;
  size_t done = 0;
  while (ok && done < contents.size()) {
    ssize_t w = write(fd, contents.data() + done, contents.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) ok = false;
    else done += static_cast<size_t>(w);
  }
  if (ok && fsync(fd) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) unlink(tmp.c_str());
  return ok;
}

}  // namespace

char* ReadFileLine(char* buf, FILE* fp) {
  if (buf == nullptr) return buf;
  buf[0] = '\0';
  if (fp == nullptr) return buf;
  std::string line;
  ReadLineCut(fp, &line, kLineMax);
  memcpy(buf, line.c_str(), line.size() + 1);
  return buf;
}

void RemoveChar(char* text, char c) {
  if (text == nullptr) return;
  char* w = text;
  for (char* r = text; *r != '\0'; ++r)
    if (*r != c) *w++ = *r;
  *w = '\0';
}

void RemoveChar(char* text) { RemoveChar(text, ' '); }

int __GetPrivateProfileString(const char* section, const char* key, const char* deflt, char* out,
                              unsigned int size, const char* path) {
  if (out == nullptr || size == 0) return -1;
  memset(out, 0, size);
  if (section == nullptr || key == nullptr || path == nullptr) return -1;

  const std::string header = std::string("[") + section + "]";
  const std::string keyText = std::string(key) + "=";
  FILE* fp = FileExist(path) ? fopen(path, "r") : nullptr;
  if (fp != nullptr) {
    std::string line;
    bool inSection = false;
    while (ReadLineCut(fp, &line, kLineMax)) {
      if (!inSection) {
        size_t after = FindHeaderWord(line, header);
        if (after == std::string::npos) continue;
        inSection = true;
        line.erase(0, after);  // the rest of the header's line is read as a line
      }
      std::string bare = WithoutBlanks(line);
      if (StartsWith(bare, keyText)) {
        fclose(fp);
        return Store(out, size, bare.substr(keyText.size()));
      }
      if (!bare.empty() && bare[0] == '[') break;  // the next section started
    }
    fclose(fp);
  }
  // Missing file, section or key: the default.
  if (deflt == nullptr) return -1;
  return Store(out, size, deflt);
}

int __WritePrivateProfileString(const char* section, const char* key, const char* value,
                                const char* path) {
  if (section == nullptr || key == nullptr || value == nullptr || path == nullptr) return 0;
  const std::string header = std::string("[") + section + "]";
  const std::string keyText = std::string(key) + "=";
  const std::string keyLine = keyText + value;

  std::vector<std::string> lines;
  bool finalNewline = true;
  if (FileExist(path)) {
    FILE* fp = fopen(path, "r");
    if (fp == nullptr) return 0;
    std::string line;
    int c;
    bool any = false;
    while ((c = fgetc(fp)) != EOF) {
      any = true;
      if (c == '\n') {
        lines.push_back(line);
        line.clear();
        any = false;
      } else {
        line.push_back(static_cast<char>(c));
      }
    }
    bool failed = ferror(fp) != 0;
    fclose(fp);
    if (failed) return 0;
    if (any) {
      lines.push_back(line);
      finalNewline = false;
    }
  }

  // Find the section and the key on the lines as the reader sees them (without
  // CR, cut to its line length), so that the value written is the one it reads;
  // only that key's line changes, every other line stays as it was.
  size_t headerLine = lines.size();
  bool done = false;
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    const std::string seen = Seen(lines[i]);
    const std::string cr = EndsInCr(lines[i]) ? "\r" : "";
    if (headerLine == lines.size()) {
      size_t after = FindHeaderWord(seen, header);
      if (after == std::string::npos) continue;
      headerLine = i;
      // The reader takes the rest of the header's line as the section's first
      // line. When that rest holds the key, or starts the next section, the
      // header keeps its line alone and the key follows on a line of its own
      // (before that next section).
      const std::string rest = WithoutBlanks(seen.substr(after));
      const bool holdsKey = StartsWith(rest, keyText);
      if (holdsKey || (!rest.empty() && rest[0] == '[')) {
        std::vector<std::string> split = {seen.substr(0, after) + cr, keyLine + cr};
        if (!holdsKey) split.push_back(seen.substr(after) + cr);
        lines.erase(lines.begin() + static_cast<long>(i));
        lines.insert(lines.begin() + static_cast<long>(i), split.begin(), split.end());
        done = true;
      }
      continue;
    }
    std::string bare = WithoutBlanks(seen);
    if (StartsWith(bare, keyText)) {
      lines[i] = keyLine + cr;
      done = true;
    } else if (!bare.empty() && bare[0] == '[') {
      break;
    }
  }
  if (!done && headerLine < lines.size()) {
    const std::string cr = EndsInCr(lines[headerLine]) ? "\r" : "";
    lines.insert(lines.begin() + static_cast<long>(headerLine) + 1, keyLine + cr);
    done = true;
  }

  std::string contents;
  for (size_t i = 0; i < lines.size(); ++i) {
    contents += lines[i];
    if (i + 1 < lines.size() || finalNewline) contents += '\n';
  }
  if (!done) {
    if (!contents.empty() && contents.back() != '\n') contents += '\n';
    contents += header + "\n" + keyLine + "\n";
  }
  return ReplaceFile(path, contents) ? 1 : 0;
}

int SetIni(const char* path, const char* section, const char* key, const char* value) {
  return __WritePrivateProfileString(section, key, value, path);
}

int GetIni(const char* path, const char* section, const char* key, char* out) {
  return __GetPrivateProfileString(section, key, "", out, 8, path);
}

}  // namespace nivex

// Folders, paths, log-file names and the ".config" search.
#include "support/Storax.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cstring>

#include "support/utility.h"

namespace nivex {

const char* const Logfiletype[14] = {".bin", ".txt", ".csv", ".tdm", ".xls", ".md", ".qzd",
                                     ".BIN", ".TXT", ".CSV", ".TDM", ".XLS", ".MD", ".QZD"};
const wchar_t* const tcLogfiletype[14] = {L".bin", L".txt", L".csv", L".tdm", L".xls",
                                          L".md",  L".qzd", L".BIN", L".TXT", L".CSV",
                                          L".TDM", L".XLS", L".MD",  L".QZD"};

namespace {

// Budget of the wide entry points for one converted text, as the kit's other
// wide functions use.
constexpr unsigned int kWideBudget = 260;

// Narrow copy of a wide text; false when null or refused by the conversion.
bool Narrow(const wchar_t* src, std::string* out, unsigned int capacity = kWideBudget) {
  if (src == nullptr) return false;
  std::vector<char> buf(capacity);
  if (WideToChar(src, buf.data(), capacity) == 0 && src[0] != L'\0') return false;
  buf[capacity - 1] = '\0';
  out->assign(buf.data());
  return true;
}

// Splits text at '_', runs of '_' counting as one separator.
std::vector<std::string> Fields(const std::string& text) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == '_') ++i;
    size_t j = i;
    while (j < text.size() && text[j] != '_') ++j;
    if (j > i) out.emplace_back(text, i, j - i);
    i = j;
  }
  return out;
}

bool EndsWith(const std::string& s, const char* tail) {
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// True when name is the ".config" file of the log with these address fields
// and tag: "IP", the address fields, the tag, then anything, ".config" last.
bool IsConfigFor(const std::string& name, const std::vector<std::string>& ipFields,
                 const std::string& tag) {
  if (!EndsWith(name, ".config")) return false;
  std::vector<std::string> f = Fields(name.substr(0, name.size() - strlen(".config")));
  if (f.size() < ipFields.size() + 2 || f[0] != "IP") return false;
  for (size_t i = 0; i < ipFields.size(); ++i)
    if (f[i + 1] != ipFields[i]) return false;
  return f[ipFields.size() + 1] == tag;
}

bool SearchConfig(const std::string& folder, const std::vector<std::string>& ipFields,
                  const std::string& tag, std::string* found) {
  std::vector<FolderEntry> entries;
  if (!ListFolder(folder, &entries)) return false;
  for (const FolderEntry& e : entries) {
    std::string path = folder + "/" + e.name;
    if (path.size() >= PATH_MAX) continue;  // never open a path cut short
    if (e.isDir) {
      if (SearchConfig(path, ipFields, tag, found)) return true;
    } else if (IsConfigFor(e.name, ipFields, tag) && IsRegularFile(path.c_str())) {
      *found = path;
      return true;
    }
  }
  return false;
}

template <class C>
C* CutPath(C* path, int n, bool (*isSep)(C)) {
  if (path == nullptr || n <= 0) return nullptr;
  for (int i = 0; i < n; ++i) {
    if (path[0] == 0) return nullptr;
    C* cut = nullptr;
    for (C* p = path; *p != 0; ++p)
      if (isSep(*p)) cut = p;
    if (cut != nullptr) *cut = 0;
  }
  return path;
}

bool IsSlash(char c) { return c == '/'; }
bool IsAnySepW(wchar_t c) { return c == L'/' || c == L'\\'; }

template <class C>
int SplitPath(const C* path, C* folder, C* name, size_t folderSize, size_t nameSize) {
  if (path == nullptr || folder == nullptr || name == nullptr) return 0;
  long sep = -1, len = 0;
  for (; path[len] != 0; ++len)
    if (path[len] == C('/') || path[len] == C('\\')) sep = len;
  if (sep < 1) return 0;
  size_t nameLen = static_cast<size_t>(len - sep - 1);
  if (static_cast<size_t>(sep) >= folderSize || nameLen >= nameSize) return 0;
  std::copy(path, path + sep, folder);
  folder[sep] = 0;
  std::copy(path + sep + 1, path + len, name);
  name[nameLen] = 0;
  return 1;
}

}  // namespace

// ================================================================== folders

bool ListFolder(const std::string& folder, std::vector<FolderEntry>* out) {
  out->clear();
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return false;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    bool isDir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      std::string path = folder + "/" + e->d_name;
      struct stat st;
      isDir = path.size() < PATH_MAX && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    out->push_back(FolderEntry{e->d_name, isDir});
  }
  closedir(d);
  std::sort(out->begin(), out->end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return true;
}

bool IsRegularFile(const char* path) {
  struct stat st;
  return path != nullptr && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

int DirectoryExists(const char* path) {
  if (path == nullptr) return 0;
  DIR* d = opendir(path);
  if (d == nullptr) return 0;
  closedir(d);
  return 1;
}

int DirectoryExistsW(const wchar_t* path) {
  std::string p;
  return Narrow(path, &p) ? DirectoryExists(p.c_str()) : 0;
}

void CreateFolder(const char* folder, const char* sub) {
  if (folder == nullptr || sub == nullptr) return;
  std::string path = std::string(folder) + "/" + sub + "/";
  if (path.size() >= PATH_MAX) return;
  mkdir(path.c_str(), 0777);
}

void CreateFolderW(const wchar_t* folder, const wchar_t* sub) {
  std::string f, s;
  if (Narrow(folder, &f) && Narrow(sub, &s)) CreateFolder(f.c_str(), s.c_str());
}

int FileExist(const char* path) {
  if (path == nullptr) return 0;
  FILE* f = fopen(path, "r");
  if (f == nullptr) return 0;
  fclose(f);
  return 1;
}

int FileExistW(const wchar_t* path) {
  std::string p;
  return Narrow(path, &p) ? FileExist(p.c_str()) : 0;
}

FILE* _wfopen(const wchar_t* path, const wchar_t* mode) {
  std::string p, m;
  if (!Narrow(path, &p) || !Narrow(mode, &m)) return nullptr;
  return fopen(p.c_str(), m.c_str());
}

// ================================================================== paths

int getLastIndex(const char* text, char c) {
  if (text == nullptr) return -1;
  const char* p = strrchr(text, c);
  return p == nullptr ? -1 : static_cast<int>(p - text);
}

int getLastIndexW(const wchar_t* text, wchar_t c) {
  if (text == nullptr) return -1;
  const wchar_t* p = wcsrchr(text, c);
  return p == nullptr ? -1 : static_cast<int>(p - text);
}

char* BackPreviousDir(char* path, int n) { return CutPath<char>(path, n, IsSlash); }

wchar_t* BackPreviousDirW(wchar_t* path, int n) { return CutPath<wchar_t>(path, n, IsAnySepW); }

int GetPath(const char* path, char* folder, char* name, size_t folderSize, size_t nameSize) {
  return SplitPath(path, folder, name, folderSize, nameSize);
}

int GetPathW(const wchar_t* path, wchar_t* folder, wchar_t* name, size_t folderSize,
             size_t nameSize) {
  return SplitPath(path, folder, name, folderSize, nameSize);
}

// ================================================================== log-file names

int checklogfiletype(const char* name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < 14; ++i)
    if (strstr(name, Logfiletype[i]) != nullptr) return i;
  return -1;
}

int checklogfiletypeW(const wchar_t* name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < 14; ++i)
    if (wcsstr(name, tcLogfiletype[i]) != nullptr) return i % 7;
  return -1;
}

int checkLogFileFormat(const char* name, char* ipPart, char* tag, char* datePart) {
  if (ipPart != nullptr) ipPart[0] = '\0';
  if (tag != nullptr) tag[0] = '\0';
  if (datePart != nullptr) datePart[0] = '\0';
  if (name == nullptr || ipPart == nullptr || tag == nullptr || datePart == nullptr) return -1;
  if (strnlen(name, 256) > 255) return -1;
  std::vector<std::string> f = Fields(name);
  auto join = [&f](size_t from, size_t to) {
    std::string s;
    for (size_t i = from; i < to; ++i) {
      if (f[i].size() > 15) return std::string(64, '?');  // a field too long: never fits
      s += (i > from ? "_" : "") + f[i];
    }
    return s;
  };
  if (f.size() < 4) return -1;
  std::string ip = join(0, 4);
  if (ip.size() > 15) return -1;
  if (f.size() < 5 || f[4].size() > 15) return -2;
  if (f.size() < 10) return -3;
  std::string date = join(5, 10);
  if (date.size() > 23) return -3;
  memcpy(ipPart, ip.c_str(), ip.size() + 1);
  memcpy(tag, f[4].c_str(), f[4].size() + 1);
  memcpy(datePart, date.c_str(), date.size() + 1);
  return 0;
}

int checkLogFileFormatW(const wchar_t* name, wchar_t* ipPart, wchar_t* tag, wchar_t* datePart) {
  if (ipPart != nullptr) ipPart[0] = L'\0';
  if (tag != nullptr) tag[0] = L'\0';
  if (datePart != nullptr) datePart[0] = L'\0';
  if (name == nullptr || ipPart == nullptr || tag == nullptr || datePart == nullptr) return -1;
  if (wcsnlen(name, 256) > 255) return -1;
  std::string narrow;
  if (!Narrow(name, &narrow, 256 * MB_LEN_MAX + 1)) return -1;
  char ip[16], tg[16], date[24];
  int rc = checkLogFileFormat(narrow.c_str(), ip, tg, date);
  if (rc != 0) return rc;
  if (CharToWide(ip, ipPart, 20) == 0 || CharToWide(tg, tag, 16) == 0 ||
      CharToWide(date, datePart, 24) == 0) {
    ipPart[0] = tag[0] = datePart[0] = L'\0';
    return -1;
  }
  return 0;
}

// ================================================================== ".config" search

const char* FindConfigFile(const char* root, const char* ipPart, const char* tag,
                           const char* /*datePart*/) {
  thread_local std::string found;
  found.clear();
  if (root == nullptr || ipPart == nullptr || tag == nullptr) return nullptr;
  std::vector<std::string> ipFields = Fields(ipPart);
  if (ipFields.empty() || tag[0] == '\0') return nullptr;
  std::string start(root);
  if (start.size() >= PATH_MAX) return nullptr;
  if (!SearchConfig(start, ipFields, tag, &found)) return nullptr;
  return found.c_str();
}

const wchar_t* FindConfigFileW(const wchar_t* root, const wchar_t* ipPart, const wchar_t* tag,
                               const wchar_t* datePart) {
  thread_local std::wstring found;
  found.clear();
  std::string r, ip, tg, date;
  if (!Narrow(root, &r, PATH_MAX) || !Narrow(ipPart, &ip) || !Narrow(tag, &tg)) return nullptr;
  if (datePart != nullptr) Narrow(datePart, &date);
  const char* path = FindConfigFile(r.c_str(), ip.c_str(), tg.c_str(), date.c_str());
  if (path == nullptr) return nullptr;
  size_t n = strlen(path) + 1;
  std::vector<wchar_t> wide(n);
  if (CharToWide(path, wide.data(), static_cast<unsigned int>(n)) == 0) return nullptr;
  found.assign(wide.data());
  return found.c_str();
}

}  // namespace nivex

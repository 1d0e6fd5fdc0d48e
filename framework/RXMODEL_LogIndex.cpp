// The stored-log index: the folder walk that fills LogFileList.
#include "framework/RXMODEL_LogIndex.h"

#include <limits.h>

#include <cstring>
#include <string>
#include <vector>

#include "framework/RXMODEL_LogPathRegistry.h"
#include "framework/ScanLogFormat.h"
#include "support/Storax.h"

namespace nivex {

namespace {

constexpr size_t kEntryPath = sizeof(Modellogpath::logPath);  // 260 bytes, NUL included

std::string Join(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

// Collapses runs of '/' and drops a trailing '/', so that cutting the path at
// its last '/' always removes exactly one folder level.
std::string Normalise(const char* folder) {
  std::string out;
  for (const char* p = folder; *p != '\0'; ++p)
    if (*p != '/' || out.empty() || out.back() != '/') out.push_back(*p);
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

// Lists the data files of this type in folder and its sub-folders; false when
// folder cannot be opened.
bool WalkFolder(const std::string& folder, int type) {
  std::vector<FolderEntry> entries;
  if (!ListFolder(folder, &entries)) return false;
  for (const FolderEntry& e : entries) {
    std::string path = Join(folder, e.name);
    if (path.size() >= PATH_MAX) continue;
    if (e.isDir) {
      WalkFolder(path, type);
      continue;
    }
    if (scanlog::DataFileType(e.name.c_str()) != type) continue;
    if (path.size() >= kEntryPath) continue;  // never list a path cut short
    if (!IsRegularFile(path.c_str())) continue;
    Modellogpath rec;
    memset(&rec, 0, sizeof rec);
    memcpy(rec.logPath, path.c_str(), path.size() + 1);
    // A name that does not split as a log name is listed without a ".config" file.
    char ip[16], tag[16], date[24];
    if (checkLogFileFormat(e.name.c_str(), ip, tag, date) != 0) {
      LogFileList->add_log_Obj(rec);
      continue;
    }
    if (const char* cfg = FindConfigOfDataFile(folder.c_str(), ip, tag, 4)) {
      size_t n = strlen(cfg);
      if (n < sizeof rec.configPath) memcpy(rec.configPath, cfg, n + 1);
    }
    LogFileList->add_log_Obj(rec);
  }
  return true;
}

}  // namespace

const char* FindConfigOfDataFile(const char* dataFolder, const char* ipPart, const char* tag,
                                 int levelsUp) {
  if (dataFolder == nullptr || dataFolder[0] == '\0') return nullptr;
  const std::string folder = Normalise(dataFolder);
  for (const std::string& root : scanlog::ConfigSearchRoots(folder, levelsUp))
    if (const char* cfg = FindConfigFile(root.c_str(), ipPart, tag, nullptr)) return cfg;
  return nullptr;
}

int FindFilesFromfolder(const char* folder, int type) {
  if (folder == nullptr || folder[0] == '\0') return 0;
  std::string top = Normalise(folder);
  if (top.size() >= PATH_MAX || !WalkFolder(top, type)) return 0;
  return LogFileList->length();
}

int FindFilename(int index, char* logPath, char* configPath) {
  if (index < 0) return -1;
  Modellogpath rec;
  if (LogFileList->copy_log_Obj(static_cast<unsigned int>(index), rec) == 0) return -1;
  rec.logPath[sizeof rec.logPath - 1] = '\0';
  rec.configPath[sizeof rec.configPath - 1] = '\0';
  if (logPath != nullptr) memcpy(logPath, rec.logPath, strlen(rec.logPath) + 1);
  if (configPath != nullptr) memcpy(configPath, rec.configPath, strlen(rec.configPath) + 1);
  return 0;
}

}  // namespace nivex

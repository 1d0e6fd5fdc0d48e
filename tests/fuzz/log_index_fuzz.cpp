// The stored-log index on folder trees named by the input: data files below log/<address>
// (or a sub-folder of it) and ".config" files below config/, as the loggers lay them out.
// An entry's type is the extension its name ends with. Input: one entry per line, its first character the place ('d' data file, 's' data file in a
// sub-folder, 'c' config file), the rest the file name. Every listed entry must be a log-file
// name of the asked type, and its paired ".config" file must belong to it; a data file whose
// config file exists must be paired.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "framework/RXMODEL_LogIndex.h"
#include "framework/RXMODEL_LogPathRegistry.h"
#include "support/Storax.h"
#include "tests/fuzz/FuzzInput.h"

using nivex::fuzz::FuzzInput;
using nivex::fuzz::Require;

namespace {

// A private tree <base>/p/q holding log/127_0_0_1[/run] and config, made once. Deep enough
// that the index's search four levels above a data folder stays inside it.
const std::string& Top() {
  static const std::string top = [] {
    const char* root = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(root) + "/nivex-index-fuzz-XXXXXX";
    const char* dir = mkdtemp(&tmpl[0]);
    const std::string base = dir != nullptr ? dir : root;
    for (const char* sub : {"/p", "/p/q", "/p/q/log", "/p/q/log/127_0_0_1",
                            "/p/q/log/127_0_0_1/run", "/p/q/config"})
      mkdir((base + sub).c_str(), 0777);
    return base + "/p/q";
  }();
  return top;
}

// Fields of text split at runs of '_'.
std::vector<std::string> Fields(const std::string& text) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == '_') ++i;
    size_t j = i;
    while (j < text.size() && text[j] != '_') ++j;
    if (j > i) out.push_back(text.substr(i, j - i));
    i = j;
  }
  return out;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The data-file extensions in the order of the listing's types, exact case.
constexpr const char* kExtensions[14] = {".bin", ".txt", ".csv", ".tdm", ".xls", ".md", ".qzd",
                                         ".BIN", ".TXT", ".CSV", ".TDM", ".XLS", ".MD", ".QZD"};

std::string NameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The config file named cfg belongs to the data file named data: "IP", the data file's four
// address fields and its tag lead the config file's name.
bool Belongs(const std::string& cfg, const std::string& data) {
  if (!EndsWith(cfg, ".config")) return false;
  const std::vector<std::string> c = Fields(cfg.substr(0, cfg.size() - 7));
  const std::vector<std::string> d = Fields(data);
  if (c.size() < 6 || d.size() < 5 || c[0] != "IP") return false;
  for (size_t i = 0; i < 5; ++i)
    if (c[i + 1] != d[i]) return false;
  return true;
}

void Touch(const std::string& path, std::vector<std::string>* made) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  close(fd);
  made->push_back(path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const int type = in.Byte() % 14;
  const std::string& top = Top();
  const std::string logDir = top + "/log/127_0_0_1";
  const std::string subDir = logDir + "/run";
  const std::string cfgDir = top + "/config";

  std::vector<std::string> dataNames, configNames, made;
  for (int i = 0; i < 6 && !in.empty(); ++i) {
    std::string line = in.Line(100);
    if (line.size() < 2) continue;
    const char place = line[0];
    std::string name = line.substr(1);
    for (char& c : name)
      if (c == '/' || c == '\0') c = '_';
    if (name == "." || name == "..") continue;
    if (place == 'c') {
      Touch(cfgDir + "/" + name, &made);
      configNames.push_back(name);
    } else {
      Touch((place == 's' ? subDir : logDir) + "/" + name, &made);
      dataNames.push_back(name);
    }
  }

  nivex::LogFileListInit();
  const int n = nivex::FindFilesFromfolder((top + "/log").c_str(), type);
  Require(n >= 0 && n <= static_cast<int>(dataNames.size()), "index entry count");
  for (int i = 0; i < n; ++i) {
    char logPath[260], configPath[260];
    Require(nivex::FindFilename(i, logPath, configPath) == 0, "an indexed entry reads back");
    const std::string name = NameOf(logPath);
    Require(EndsWith(name, kExtensions[type]), "entry of the asked type");
    char ip[16], tag[16], date[24];
    // A file of the type whose name does not split as a log name is listed without a config.
    if (nivex::checkLogFileFormat(name.c_str(), ip, tag, date) != 0) {
      Require(configPath[0] == '\0', "an entry that is no log name has no config file");
      continue;
    }
    if (configPath[0] != '\0') {
      Require(Belongs(NameOf(configPath), name), "the paired config file belongs to the log");
    } else {
      for (const std::string& c : configNames)
        Require(!Belongs(c, name), "a log whose config file exists is paired");
    }
  }
  Require(nivex::FindFilename(n, nullptr, nullptr) == -1, "no entry past the end");
  nivex::LogFileListInit();
  for (const std::string& p : made) unlink(p.c_str());
  return 0;
}

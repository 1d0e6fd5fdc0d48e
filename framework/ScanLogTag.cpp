// The log-file tag of a run (framework/ScanLogFormat.h): the time-seeded draw, and the draw
// that leaves every name of another run alone.
#include <sys/stat.h>

#include "framework/ScanLogFormat.h"

namespace nivex::scanlog {

unsigned int NewLogTag() { return cRandom<unsigned int>(1, 0xFFFF).Vals(); }

namespace {

bool Exists(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

// Whether a file of a run with this tag would meet one already there (or a name does not fit).
bool RunNamesTaken(const char* base, const char* prefix, unsigned int tag, const struct tm& t,
                   int splitMode) {
  char folder[kPathSize], name[kPathSize], path[kPathSize], sub[32], inSub[kPathSize];
  if (!ConfigFolderPath(base, folder, sizeof folder) ||
      !ConfigFileName(prefix, tag, t, name, sizeof name) ||
      !JoinPath(folder, name, path, sizeof path) || Exists(path))
    return true;
  if (!LogFolderPath(base, prefix, folder, sizeof folder) ||
      !SubFolderName(splitMode, t, true, sub, sizeof sub) ||
      !JoinPath(folder, sub, inSub, sizeof inSub))
    return true;
  for (const bool text : {false, true})
    if (!DataFileName(prefix, tag, t, text, name, sizeof name) ||
        !JoinPath(inSub, name, path, sizeof path) || Exists(path))
      return true;
  return false;
}

}  // namespace

unsigned int FreeLogTag(const char* base, const char* prefix, const struct tm& t, int splitMode) {
  constexpr int kMostDraws = 4096;
  if (base == nullptr || prefix == nullptr) return 0;
  const cRandom<unsigned int> random(1, 0xFFFF);
  for (int i = 0; i < kMostDraws; ++i) {
    const unsigned int tag = random.Vals();
    if (!RunNamesTaken(base, prefix, tag, t, splitMode)) return tag;
  }
  return 0;
}

}  // namespace nivex::scanlog

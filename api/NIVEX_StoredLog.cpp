// The exported stored-log functions: list the logs the loggers wrote below a folder, open one
// by its place in the list or by its path, read its scan settings, calibration, start time
// and samples, and close it. They touch no device and start no thread.
//
// A log handle is a ModelLog, registered while it is open: every function that takes one
// checks it against the registry first (0x1300A for null, a closed or an unknown pointer), and
// the close releases a handle only once.
#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "api/ModelLog.h"
#include "api/NIVEX_Frame.h"
#include "framework/RXMODEL_LogIndex.h"
#include "framework/RXMODEL_LogPathRegistry.h"
#include "framework/ScanLogFormat.h"
#include "nivex.h"
#include "support/FaultText.h"
#include "support/Storax.h"
#include "support/utility.h"

namespace nivex::api {
namespace {

constexpr int kOpenByPathLevels = 3;  // the ".config" file within 3 folders above the data

// Runs call(log) when handle is an open log (the log stays open meanwhile), else 0x1300A.
template <class Call>
int WithLog(void* handle, Call call) {
  return WithModelLog(
      handle, [](const ModelLog& log, void* c) { return (*static_cast<Call*>(c))(log); }, &call);
}

uint32_t Saturated(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v); }

void* NoLog(unsigned int code) {
  Fail(code);
  return nullptr;
}

// The file name of a path: the text after its last '/'.
const char* NameOf(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

void* OpenByPath(const char* path) {
  struct stat st;
  if (strlen(path) >= scanlog::kPathSize || stat(path, &st) != 0 || !S_ISREG(st.st_mode) ||
      FileExist(path) == 0)
    return NoLog(QZ_ERR_LOG_FILE_OPEN);  // no readable data file
  const char* name = NameOf(path);
  std::string folder(path, static_cast<size_t>(name - path));
  if (folder.empty()) folder = ".";
  char ip[16], tag[16], date[24];
  if (name[0] == '\0' || checkLogFileFormat(name, ip, tag, date) != 0)
    return NoLog(QZ_ERR_LOG_FILE_OPEN);
  const char* found = FindConfigOfDataFile(folder.c_str(), ip, tag, kOpenByPathLevels);
  if (found == nullptr) return NoLog(QZ_ERR_LOG_FILE_OPEN);
  const std::string config(found);
  // Opened by path, an upper-case extension counts as its lower-case twin.
  int type = scanlog::DataFileType(name);
  if (type >= 7) type -= 7;
  return OpenModelLog(path, config.c_str(), type);
}

// Lines of a text data file, the last one also without a line end; the position goes back to
// the start.
uint64_t CountLines(FILE* fp) {
  if (fp == nullptr || fseeko(fp, 0, SEEK_SET) != 0) return 0;
  uint64_t lines = 0;
  int last = '\n';
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, fp)) > 0) {
    lines += static_cast<uint64_t>(std::count(buf, buf + n, '\n'));
    last = buf[n - 1];
  }
  if (last != '\n') ++lines;
  fseeko(fp, 0, SEEK_SET);
  return lines;
}

// Shortens the text line[0, *n) to its ended values: when text other than blanks follows the
// last ',' or '\r', *n becomes the length up to that separator and the result is true.
bool CutUnendedValue(const char* line, size_t* n) {
  size_t cut = *n;
  while (cut > 0 && line[cut - 1] != ',' && line[cut - 1] != '\r') --cut;
  if (std::all_of(line + cut, line + *n, [](char c) { return c == ' ' || c == '\t'; })) return false;
  *n = cut;
  return true;
}

// Reads the values of a text data file from its position into values (at most count). A call
// that fills values in the middle of a line leaves the position behind the last value read,
// so the next call goes on there. A line without a value (blank, or cut short by a NUL) holds
// no sample and is passed over, so a read in small steps gives the values of a read in one. A
// read that met the end leaves the position there: a later read takes what was appended since.
// A value at the end of the file without a ',' or line end after it may still be being
// written: it is not read, and the position stays in front of it until it has ended.
uint32_t ReadTextValues(FILE* fp, uint32_t count, float* values) {
  constexpr size_t kPiece = 65536;  // longer lines are read in pieces cut at a ','
  const std::unique_ptr<char[]> buffer(new char[kPiece]);  // fgets writes before it is read
  char* const line = buffer.get();
  uint32_t stored = 0;
  clearerr(fp);  // a file still being written: an earlier end is no end now
  while (stored < count) {
    const off_t start = ftello(fp);
    if (start < 0 || fgets(line, static_cast<int>(kPiece), fp) == nullptr) break;
    const bool atEnd = feof(fp) != 0;
    size_t n = strlen(line);
    if (n == kPiece - 1 && line[n - 1] != '\n') {
      const char* comma = static_cast<const char*>(memrchr(line, ',', n));
      if (comma != nullptr) {
        n = static_cast<size_t>(comma - line) + 1;
        fseeko(fp, start + static_cast<off_t>(n), SEEK_SET);
      }
    }
    const bool unended = atEnd && n > 0 && line[n - 1] != '\n' && CutUnendedValue(line, &n);
    if (unended) fseeko(fp, start + static_cast<off_t>(n), SEEK_SET);
    const char* p = line;
    const char* end = p + n;
    double v = 0.0;
    bool any = false;
    while (stored < count && scanlog::NextTextValue(&p, end, &v)) {
      values[stored++] = static_cast<float>(v);
      any = true;
    }
    const char* rest = p;
    if (any && stored == count && scanlog::NextTextValue(&rest, end, &v)) {
      fseeko(fp, start + static_cast<off_t>(p - line), SEEK_SET);
      break;
    }
    if (unended) break;
  }
  return stored;
}

}  // namespace
}  // namespace nivex::api

namespace api = nivex::api;
using nivex::ModelLog;

extern "C" {

// ------------------------------------------------------------------ listing and opening

QZ_API int QZ_GetAllLogFiles(const char* folder, int type) {
  nivex::LogFileList->clearAll();
  if (folder == nullptr) return api::BadArgument();
  return nivex::FindFilesFromfolder(folder, type);
}

QZ_API int QZ_GetAllLogFilesW(const wchar_t* /*folder*/, int /*type*/) {
  return nivex::Fail(QZ_ERR_FUNCTION_NOT_SUPPORTED);
}

QZ_API void* QZ_LogFile_Open_byIndex(int index, char* logPath) {
  char data[nivex::scanlog::kPathSize], config[nivex::scanlog::kPathSize];
  if (nivex::FindFilename(index, data, config) != 0) return nullptr;
  if (logPath != nullptr) memcpy(logPath, data, strlen(data) + 1);
  // The listing's own type: an upper-case listing opens no data file.
  return nivex::OpenModelLog(data, config, nivex::scanlog::DataFileType(api::NameOf(data)));
}

QZ_API void* QZ_LogFile_Open_byIndexW(int /*index*/, wchar_t* /*logPath*/) {
  return api::NoLog(QZ_ERR_FUNCTION_NOT_SUPPORTED);
}

QZ_API void* QZ_LogFile_Open(const char* logPath) {
  if (logPath == nullptr) return api::NoLog(QZ_ERR_INVALID_ARGUMENT);
  return api::OpenByPath(logPath);
}

QZ_API void* QZ_LogFile_OpenW(const wchar_t* logPath) {
  if (logPath == nullptr) return api::NoLog(QZ_ERR_INVALID_ARGUMENT);
  std::vector<char> narrow(PATH_MAX);
  const size_t n = wcstombs(narrow.data(), logPath, narrow.size());
  if (n == static_cast<size_t>(-1) || n >= nivex::scanlog::kPathSize)
    return api::NoLog(QZ_ERR_LOG_FILE_OPEN);
  return api::OpenByPath(narrow.data());
}

QZ_API int QZ_LogFile_Close(void* handle) {
  nivex::CloseModelLog(handle);
  return 1;
}

// ------------------------------------------------------------------ settings and calibration

QZ_API int QZ_GetLogFileInfo(void* handle, char* name, unsigned int* size, unsigned int* type,
                             unsigned int* reserved) {
  return api::WithLog(handle, [&](const ModelLog& log) {
    if (name == nullptr || size == nullptr || type == nullptr) return api::BadArgument();
    nivex::CopyText(name, QZ_LOG_NAME_SIZE, log.name);
    *type = log.fileType;
    if (reserved != nullptr) *reserved = 0;
    if (log.binFile != nullptr) {
      *size = api::Saturated(log.binFile->Size());
      return 1;
    }
    if (log.textFile != nullptr) {
      *size = api::Saturated(static_cast<uint64_t>(log.textFile->Size()));
      return 1;
    }
    *size = 0;
    return nivex::Fail(QZ_ERR_LOG_FILE_OPEN);  // no data file of a known type
  });
}

QZ_API int QZ_GetLogFile_AIScanConfigInfo(void* handle, unsigned short* channelCount,
                                          unsigned short* gain, unsigned short* externalTrigger,
                                          unsigned int* sampleRate, unsigned short* transferMode,
                                          unsigned short* syncMode) {
  return api::WithLog(handle, [&](const ModelLog& log) {
    if (channelCount == nullptr || gain == nullptr || externalTrigger == nullptr ||
        sampleRate == nullptr || transferMode == nullptr || syncMode == nullptr)
      return api::BadArgument();
    *channelCount = log.channelCount;
    *gain = log.gain;
    *externalTrigger = log.externalTrigger;
    *sampleRate = log.sampleRate;
    *transferMode = log.transferMode;
    *syncMode = log.syncMode;
    return 1;
  });
}

QZ_API int QZ_GetLogFile_GainOffset(void* handle, int channel, int /*gainCode*/,
                                    unsigned short* gain, unsigned short* offset) {
  return api::WithLog(handle, [&](const ModelLog& log) {
    if (gain == nullptr || offset == nullptr) return api::BadArgument();
    const int channels = std::min<int>(log.channelCount, log.row.AI);
    if (channel < 0 || channel >= channels) return nivex::Fail(QZ_ERR_CHANNEL_RANGE);
    *gain = log.gainTable[channel];
    *offset = static_cast<unsigned short>(log.offsetTable[channel] & 0xFFFF);
    return 1;
  });
}

// ------------------------------------------------------------------ samples

QZ_API int QZ_GetLogFile_AIScanSampleInfo(void* handle, unsigned int* sampleCount, char* date,
                                          char* time) {
  return api::WithLog(handle, [&](const ModelLog& log) {
    if (sampleCount == nullptr || date == nullptr || time == nullptr) return api::BadArgument();
    if (log.binFile != nullptr) {
      const uint64_t bytes = log.sampleKind == ModelLog::kKind16 ? 2 : 4;
      *sampleCount = api::Saturated(log.binFile->Size() / bytes);
    } else if (log.textFile != nullptr) {
      *sampleCount = api::Saturated(log.channelCount * api::CountLines(log.textFile->fp));
    }
    const struct tm& t = log.startTime;
    snprintf(date, QZ_LOG_DATE_SIZE, "%04d/%02d/%02d", t.tm_year, t.tm_mon, t.tm_mday);
    snprintf(time, QZ_LOG_TIME_SIZE, "%02d:%02d:%02d.%0*u", t.tm_hour, t.tm_min, t.tm_sec,
             static_cast<int>(log.startFractionDigits), log.startFraction);
    return 1;
  });
}

QZ_API int QZ_GetLogFile_AIData(void* handle, unsigned int /*start*/, unsigned int count,
                                float* values) {
  return api::WithLog(handle, [&](const ModelLog& log) {
    if (log.textFile == nullptr || log.textFile->fp == nullptr)
      return nivex::Fail(QZ_ERR_FUNCTION_NOT_SUPPORTED);  // not a text log
    if (count == 0) return 0;
    if (values == nullptr) return api::BadArgument();
    const uint32_t most = std::min<uint32_t>(count, INT_MAX);
    return static_cast<int>(api::ReadTextValues(log.textFile->fp, most, values));
  });
}

QZ_API int QZ_GetLogFile_AIDataHex(void* handle, unsigned int start, unsigned int count,
                                   void* samples) {
  return api::WithLog(handle, [&](const ModelLog& log) {
    if (log.binFile == nullptr) return nivex::Fail(QZ_ERR_FUNCTION_NOT_SUPPORTED);  // not binary
    if (count == 0) return 0;
    if (samples == nullptr) return api::BadArgument();
    const uint32_t most = std::min<uint32_t>(count, INT_MAX);
    return static_cast<int>(log.binFile->ReadFrom(samples, start, most));
  });
}

}  // extern "C"

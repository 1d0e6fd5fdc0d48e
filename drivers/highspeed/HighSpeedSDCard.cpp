// The SD-card recordings of the high-speed drivers: the count and the description of the
// recordings, and the start of a download (the description, the ".config" file with the
// module's text, the folders, the request "~01SDL" and the download worker).
//
// A download stops whatever worker runs before it asks for the recording, so that neither the
// old worker nor the module's scan stream can take the start of the recording; the bytes still
// waiting on the data socket are discarded right before the request. The recording's own
// sample count ends it, and its files carry the recording's date.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "drivers/highspeed/HighSpeedModel.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {
namespace {

constexpr unsigned int kMaxIndex = 99999999;  // the 8 digits of "~01SDI" and "~01SDL"
constexpr size_t kDateSize = 256;             // a description's date text, NUL included
constexpr size_t kConfigTextSize = 1024;      // the module's ".config" text, NUL included

// Sets code and gives -1: how the steps of a download that answer 0 or -1 fail.
int Refuse(unsigned int code) {
  Fail(code);
  return -1;
}

// The decimal number at *pos (at most 10 digits, within u32); *pos moves behind it.
bool Number(const char* text, size_t* pos, uint32_t* value) {
  if (!DecField(text, *pos, 10, 0xFFFFFFFFu, value)) return false;
  while (text[*pos] >= '0' && text[*pos] <= '9') ++*pos;
  return true;
}

// The decimal number at *pos after any blanks before it, as the module's description format
// reads its numbers; *pos moves behind it. 0 when no digit is there, -1 when the digits are out
// of range (beyond u32), 1 when it was read.
int BlankNumber(const char* text, size_t* pos, uint32_t* value) {
  while (isspace(static_cast<unsigned char>(text[*pos]))) ++*pos;
  if (text[*pos] < '0' || text[*pos] > '9') return 0;
  return Number(text, pos, value) ? 1 : -1;
}

// The date of a description, "Y/M/D-h:m:s:" in calendar values, read into *date (year since
// 1900, month 0-11, the weekday computed) as the module's format reads it: blanks before a
// number are skipped and the reading ends at the first number or separator that is not there;
// the fields not read keep their values. False (nothing changed) when a number read is out of
// its range (years 1900-9999).
bool ReadSdDate(const char* text, struct tm* date) {
  static const char kAfter[] = "//-::";
  static const uint32_t kLow[6] = {1900, 1, 1, 0, 0, 0}, kHigh[6] = {9999, 12, 31, 23, 59, 60};
  static const int kBase[6] = {1900, 1, 0, 0, 0, 0};
  struct tm t = *date;
  int* const field[6] = {&t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec};
  size_t pos = 0;
  for (int i = 0; i < 6; ++i) {
    uint32_t v = 0;
    const int got = BlankNumber(text, &pos, &v);
    if (got < 0 || (got > 0 && (v < kLow[i] || v > kHigh[i]))) return false;
    if (got == 0) break;
    *field[i] = static_cast<int>(v) - kBase[i];
    if (i < 5 && text[pos++] != kAfter[i]) break;
  }
  struct tm day = t;  // the weekday, from the calendar date alone
  day.tm_hour = 12, day.tm_min = day.tm_sec = 0;
  if (timegm(&day) == static_cast<time_t>(-1)) return false;
  t.tm_wday = day.tm_wday;
  *date = t;
  return true;
}

}  // namespace

// ------------------------------------------------------------------ listing and description

int HighSpeedModel::GetSDAllLogFiles(unsigned int* count) {
  if (count == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  if (Busy()) return 0;
  ReplyLine reply;
  if (!AskData(&reply, kAnyLength, "~01SDC")) return Fail(QZ_ERR_DEVICE_RESPONSE);
  size_t pos = 3;
  uint32_t n = 0;
  if (BlankNumber(reply.text, &pos, &n) != 1) return Fail(QZ_ERR_INVALID_VALUE);
  if (!ReplyFits(reply, kDataLeads, pos)) return Fail(QZ_ERR_DEVICE_RESPONSE);  // more behind it
  *count = n;
  return 1;
}

int HighSpeedModel::GetSDLogFile_Info(unsigned int index, unsigned int* first,
                                      unsigned int* samples, char* date) {
  if (first == nullptr || samples == nullptr || date == nullptr || index > kMaxIndex)
    return Fail(QZ_ERR_INVALID_ARGUMENT);
  if (Busy()) return 0;
  ReplyLine reply;
  if (!AskData(&reply, kAnyLength, "~01SDI%08u", index)) return Fail(QZ_ERR_DEVICE_RESPONSE);
  // "first:samples:date", blanks before each skipped, the date up to its first white space.
  const char* t = reply.text;
  size_t pos = 3;
  uint32_t a = 0, b = 0;
  if (BlankNumber(t, &pos, &a) != 1 || t[pos++] != ':' || BlankNumber(t, &pos, &b) != 1 ||
      t[pos++] != ':')
    return Fail(QZ_ERR_INVALID_VALUE);
  while (isspace(static_cast<unsigned char>(t[pos]))) ++pos;
  const size_t n = strcspn(t + pos, " \t\r\n\v\f");
  if (n == 0) return Fail(QZ_ERR_INVALID_VALUE);
  *first = a;
  *samples = b;
  const size_t kept = std::min(n, kDateSize - 1);
  memcpy(date, t + pos, kept);
  date[kept] = '\0';
  return 1;
}

// ------------------------------------------------------------------ download

bool HighSpeedModel::TakeDownloadRun(ScanRun* run) {
  ScanRun r;
  if (!TakeScanRun(&r)) return false;
  // A recording is cut into rows of the module's inputs, whatever a sync-in layout says.
  if (r.channels > Channels()) return Fail(QZ_ERR_CHANNEL_RANGE);
  r.syncIn = false;
  r.rowBytes = r.channels * r.traits.sampleBytes;
  r.target = sdFileCount;
  r.silenceMs = SilenceLimitMs(r.timings);
  *run = r;
  return true;
}

int HighSpeedModel::RequestSDRecording(unsigned int index, char selector, char* text,
                                       size_t textSize) {
  char command[32];
  snprintf(command, sizeof command, "~01SDL%01d%08u", selector, index);
  char discard[kConfigTextSize];
  const bool keep = text != nullptr && textSize > 0;
  char lead = '\0';
  size_t received = 0;
  unsigned int code = 0;
  if (!SendRec2(cmdSock, command, keep ? text : discard, 1000, keep ? textSize : sizeof discard,
                &lead, &received)) {
    code = static_cast<unsigned int>(_GetLastError());  // what the exchange found
    if (code == 0) code = QZ_ERR_DEVICE_RESPONSE;
  } else if (lead == '?') {
    code = QZ_ERR_DEVICE_RESPONSE;
  } else if (keep && received > textSize - 1) {
    code = QZ_ERR_BUFFER_OVERFLOW;
  }
  if (code == 0) return keep ? static_cast<int>(received) : 0;
  // Whether or not the module answered, it may have taken the request: its stream is not wanted.
  StopMagicScan();
  return Refuse(code);
}

int HighSpeedModel::SaveSDConfigFile(unsigned int index, char selector, char* base, char* prefix,
                                     unsigned int tag, void* time) {
  if (base == nullptr || prefix == nullptr || time == nullptr)
    return Refuse(QZ_ERR_INVALID_ARGUMENT);
  sdDate_ = *static_cast<const struct tm*>(time);
  if (!scanlog::RunConfigPath(base, prefix, tag, sdDate_, configPath, sizeof configPath))
    return Refuse(QZ_ERR_LOG_FILE_OPEN);
  FILE* f = fopen(configPath, "w");
  if (f == nullptr) return Refuse(QZ_ERR_LOG_FILE_OPEN);
  // The file stays empty unless the module sends the text, which goes in as it came.
  char text[kConfigTextSize];
  const int got = RequestSDRecording(index, selector, text, sizeof text);
  const size_t n = got > 0 ? static_cast<size_t>(got) : 0;
  const bool written = fwrite(text, 1, n, f) == n;
  if ((fclose(f) != 0 || !written) && got >= 0) {
    StopMagicScan();  // the module took the request: its stream is not wanted
    return Refuse(QZ_ERR_LOG_FILE_OPEN);
  }
  return got >= 0 ? 0 : -1;
}

int HighSpeedModel::DownloadSDFile(unsigned int index, char selector, char* folder, int logType) {
  char base[scanlog::kPathSize], prefix[sizeof filePrefix];
  const int digit = selector;  // a number 0-9, not its character
  if (digit < 0 || digit > 9 || index > kMaxIndex) return Fail(QZ_ERR_INVALID_ARGUMENT);
  // The base folder: the argument, or the working directory.
  if (!scanlog::RunFolders(folder, IP, base, prefix, sizeof prefix))
    return Fail(QZ_ERR_INVALID_ARGUMENT);

  std::lock_guard<std::mutex> control(controlMutex);
  if (cmdSock < 0 || dataSock < 0) return 0;
  ScanRun r;
  if (!TakeDownloadRun(&r)) return 0;
  if (worker.Kind() != WorkerKind::None) {
    StopMagicScan();     // the module's scan or stream ends first
    StopAIScanLocked();  // then the worker, with its clean-up
  }
  unsigned int first = 0, samples = 0;
  char date[kDateSize];
  if (!GetSDLogFile_Info(index, &first, &samples, date)) return 0;
  struct tm when = sdDate_;  // a date field the text leaves out keeps its earlier value
  if (!ReadSdDate(date, &when)) return Fail(QZ_ERR_INVALID_VALUE);

  sdFileIndex = index;
  sdFileCount = samples;
  logMode = logType;
  minutesPerFile = 10;
  CopyText(filePrefix, sizeof filePrefix, prefix);
  fileTag = scanlog::FreeLogTag(base, prefix, when, folderMode);
  sdDate_ = when;
  if (fileTag == 0 || !scanlog::MakeLogFolder(base, prefix) ||
      !scanlog::LogFolderPath(base, prefix, logFolder, sizeof logFolder))
    return Fail(QZ_ERR_LOG_FILE_OPEN);
  if (!life_.DrainForStart(HighSpeedDownloadPlan(r), receiver_)) return 0;
  const int requested = scanlog::HasConfig(logType)
                            ? SaveSDConfigFile(index, selector, base, filePrefix, fileTag, &when)
                            : RequestSDRecording(index, selector, nullptr, 0);
  if (requested < 0) return 0;

  ring.Clear();  // status 0; the ring of an earlier scan is gone
  acq_.SetModuleCount(0);
  continuous = targetCount == 0;
  timeoutUnit = timeoutUnitOverride >= 1 ? timeoutUnitOverride
                                         : TimeoutUnit(kContinuousRingBytes, r.rate, r.channels);
  if (!StartDownloadLocked()) {
    StopMagicScan();
    return 0;
  }
  return 1;
}

int HighSpeedModel::StartDownload() {
  std::lock_guard<std::mutex> control(controlMutex);
  if (worker.Kind() != WorkerKind::None) StopAIScanLocked();
  return StartDownloadLocked();
}

}  // namespace nivex

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

// The date of a description, "Y/M/D-h:m:s:" in calendar values, as a broken-down time (year
// since 1900, month 0-11, the weekday computed). False unless all six numbers are there and
// make a date of the years 1900-9999.
bool ReadSdDate(const char* text, struct tm* out) {
  static const char kAfter[] = "//-::";
  uint32_t v[6];
  size_t pos = 0;
  for (int i = 0; i < 6; ++i) {
    if (!Number(text, &pos, &v[i])) return false;
    if (i < 5 && text[pos++] != kAfter[i]) return false;
  }
  if (v[0] < 1900 || v[0] > 9999 || v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > 31 || v[3] > 23 ||
      v[4] > 59 || v[5] > 60)
    return false;
  struct tm t = {};
  t.tm_year = static_cast<int>(v[0]) - 1900;
  t.tm_mon = static_cast<int>(v[1]) - 1;
  t.tm_mday = static_cast<int>(v[2]);
  t.tm_hour = static_cast<int>(v[3]);
  t.tm_min = static_cast<int>(v[4]);
  t.tm_sec = static_cast<int>(v[5]);
  struct tm day = t;  // the weekday, from the calendar date alone
  day.tm_hour = 12, day.tm_min = day.tm_sec = 0;
  if (timegm(&day) == static_cast<time_t>(-1)) return false;
  t.tm_wday = day.tm_wday;
  *out = t;
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
  if (!Number(reply.text, &pos, &n)) return Fail(QZ_ERR_INVALID_VALUE);
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
  // "first:samples:date", the date up to its first white space.
  const char* t = reply.text;
  size_t pos = 3;
  uint32_t a = 0, b = 0;
  if (!Number(t, &pos, &a) || t[pos++] != ':' || !Number(t, &pos, &b) || t[pos++] != ':')
    return Fail(QZ_ERR_INVALID_VALUE);
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
  r.rules.stallBit = QZ_BUF_LOG_TIMEOUT;
  r.rules.targetEvent = QZ_EVENT_LOG_DONE;
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
  if (!SendRec2(cmdSock, command, keep ? text : discard, 1000, keep ? textSize : sizeof discard,
                &lead, &received))
    return -1;
  if (lead == '?') return Refuse(QZ_ERR_DEVICE_RESPONSE);
  if (keep && received > textSize - 1) {
    StopMagicScan();  // the module took the request: its stream is not wanted
    return Refuse(QZ_ERR_BUFFER_OVERFLOW);
  }
  return keep ? static_cast<int>(received) : 0;
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
  struct tm when;
  if (!ReadSdDate(date, &when)) return Fail(QZ_ERR_INVALID_VALUE);

  sdFileIndex = index;
  sdFileCount = samples;
  logMode = logType;
  minutesPerFile = 10;
  CopyText(filePrefix, sizeof filePrefix, prefix);
  fileTag = scanlog::NewLogTag();
  sdDate_ = when;
  if (!scanlog::MakeLogFolder(base, prefix) ||
      !scanlog::LogFolderPath(base, prefix, logFolder, sizeof logFolder))
    return Fail(QZ_ERR_LOG_FILE_OPEN);
  receiver_.Drain(dataSock, r.timings.drainCap);
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

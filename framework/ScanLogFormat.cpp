// The scan-log file format: names, folders, ".config" lines and the data rows (the log-file tag:
// framework/ScanLogTag.cpp).
#include "framework/ScanLogFormat.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <unordered_set>

#include "support/Storax.h"

namespace nivex::scanlog {
namespace {

// snprintf into out; false, and out empty, when the text does not fit.
bool Format(char* out, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
bool Format(char* out, size_t size, const char* format, ...) {
  if (out == nullptr || size == 0) return false;
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(out, size, format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    out[0] = '\0';
    return false;
  }
  return true;
}

// The printf width that keeps a text field within its array.
template <size_t N>
int Width(const char (&)[N]) {
  return static_cast<int>(N - 1);
}

// Appends the formatted text (at most one ".config" line) to out.
void Append(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Append(std::string* out, const char* format, ...) {
  char line[160];
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n > 0) out->append(line, std::min(static_cast<size_t>(n), sizeof line - 1));
}

bool EndsWith(const char* text, size_t len, const char* tail) {
  const size_t n = strlen(tail);
  return len >= n && memcmp(text + len - n, tail, n) == 0;
}

// The folder cut back n levels ("" for the root's own level); false when it cannot be cut that
// far. A relative folder is taken from "./", so that its levels can be cut to ".".
bool CutBack(const std::string& folder, int n, std::string* out) {
  std::string copy = folder[0] == '/' ? folder : "./" + folder;
  std::vector<char> buf(copy.begin(), copy.end());
  buf.push_back('\0');
  if (BackPreviousDir(buf.data(), n) == nullptr) return false;
  *out = buf.data();
  return true;
}

// ---------------------------------------------------------------- reading ".config" lines

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && IsBlank(s[a])) ++a;
  while (b > a && IsBlank(s[b - 1])) --b;
  return s.substr(a, b - a);
}

template <class T>
T Held(int64_t v) {
  if (v < static_cast<int64_t>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
  if (v > static_cast<int64_t>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  return static_cast<T>(v);
}

template <class T>
T HeldInteger(const std::string& text) {
  return Held<T>(ParseInteger(text));
}

void CopyBounded(char* dst, size_t size, const std::string& src) {
  const size_t n = std::min(src.size(), size - 1);
  memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

// The channel number of a section text "CH<n>" (n in decimal, no leading zero), or -1.
int ChannelOfSection(const std::string& key) {
  if (key.size() < 3 || key.size() > 6 || key.compare(0, 2, "CH") != 0) return -1;
  if (key[2] == '0' && key.size() > 3) return -1;
  int n = 0;
  for (size_t i = 2; i < key.size(); ++i) {
    if (key[i] < '0' || key[i] > '9') return -1;
    n = n * 10 + (key[i] - '0');
  }
  return n;
}

// One line cut at ','.
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> out;
  size_t from = 0;
  for (;;) {
    const size_t comma = line.find(',', from);
    out.push_back(line.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
    if (comma == std::string::npos) return out;
    from = comma + 1;
  }
}

// Per channel and key, whether a line has set it yet.
struct ChannelSeen {
  bool gain = false, range = false, offset = false;
};

void ReadChannelLine(const std::vector<std::string>& f, int ch, ScanConfig* c, ChannelSeen* seen) {
  for (size_t i = 1; i + 1 < f.size(); ++i) {
    const std::string key = Trim(f[i]);
    const std::string& value = f[i + 1];
    if (key == "Gain" && !seen->gain) {
      c->channelGain[ch] = HeldInteger<uint16_t>(value), seen->gain = true, ++i;
      if (c->channelLines == ChannelLines::kNone) c->channelLines = ChannelLines::kGainOffset;
    } else if (key == "Range" && !seen->range) {
      c->channelRange[ch] = HeldInteger<uint32_t>(value), seen->range = true, ++i;
      c->channelLines = ChannelLines::kRangeOffset;
    } else if (key == "Offset" && !seen->offset) {
      c->channelOffset[ch] = HeldInteger<int32_t>(value), seen->offset = true, ++i;
    }
  }
}

}  // namespace

int64_t ParseInteger(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  constexpr uint64_t kLimit = uint64_t{1} << 63;  // |INT64_MIN|
  uint64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    v = v > (kLimit - digit) / 10 ? kLimit : v * 10 + digit;
  }
  if (negative) return v >= kLimit ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(v);
  return v >= kLimit ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(v);
}

// ================================================================== log types, split modes

bool HasConfig(int logType) { return logType != kLogTextNoConfig && logType != kLogBinaryNoConfig; }
bool HasStartTime(int logType) { return logType == kLogBinary || logType == kLogText; }
bool HasTextRows(int logType) { return logType == kLogText || logType == kLogTextNoConfig; }

bool SplitModeRotates(int splitMode) { return splitMode != kSplitNone; }

uint64_t RotationPeriodMs(uint32_t minutesPerFile) { return uint64_t{minutesPerFile} * 60000u; }

// ================================================================== names and folders

bool AddressPrefix(const char* ip, char* out, size_t size) {
  if (ip == nullptr || out == nullptr || size == 0) return false;
  const size_t n = strlen(ip);
  if (n >= size) {
    out[0] = '\0';
    return false;
  }
  for (size_t i = 0; i <= n; ++i) out[i] = ip[i] == '.' ? '_' : ip[i];
  return true;
}

bool ConfigFileName(const char* prefix, unsigned int tag, const struct tm& t, char* out,
                    size_t size) {
  if (prefix == nullptr) return false;
  return Format(out, size, "IP_%s_%04x_%d_%d_%d_%d_%d_%d.config", prefix, tag, t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

bool DataFileName(const char* prefix, unsigned int tag, const struct tm& t, bool text, char* out,
                  size_t size) {
  if (prefix == nullptr) return false;
  return Format(out, size, "%s_%04x_%d_%d_%d_%d_%d_%d%s", prefix, tag, t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, text ? ".txt" : ".bin");
}

bool SubFolderName(int splitMode, const struct tm& t, bool firstFile, char* out, size_t size) {
  const int y = t.tm_year + 1900, mo = t.tm_mon + 1;
  if (splitMode == kSplitFirstMinute && firstFile) splitMode = kSplitMinute;
  switch (splitMode) {
    case kSplitMinute:
      return Format(out, size, "%04d_%02d_%02d_%02d_%02d", y, mo, t.tm_mday, t.tm_hour, t.tm_min);
    case kSplitHour:
      return Format(out, size, "%04d_%02d_%02d_%02d", y, mo, t.tm_mday, t.tm_hour);
    case kSplitDay:
      return Format(out, size, "%04d_%02d_%02d", y, mo, t.tm_mday);
    case kSplitMonth:
      return Format(out, size, "%04d_%02d", y, mo);
    case kSplitWeekday:
      return Format(out, size, "%04d_%02d_w%d", y, mo, t.tm_wday);
    default:
      return Format(out, size, "%s", "");
  }
}

bool JoinPath(const char* folder, const char* name, char* out, size_t size) {
  if (folder == nullptr || name == nullptr) return false;
  const size_t f = strlen(folder);
  while (name[0] == '/' && f > 0) ++name;
  const bool sep = f > 0 && name[0] != '\0' && folder[f - 1] != '/';
  return Format(out, size, "%s%s%s", folder, sep ? "/" : "", name);
}

bool ConfigFolderPath(const char* base, char* out, size_t size) {
  return JoinPath(base, "config", out, size);
}

bool LogFolderPath(const char* base, const char* prefix, char* out, size_t size) {
  char log[kPathSize];
  return JoinPath(base, "log", log, sizeof log) && JoinPath(log, prefix, out, size);
}

bool BaseFolderFits(const char* base, const char* prefix) {
  struct tm latest = {};
  latest.tm_year = 9999 - 1900, latest.tm_mon = 11, latest.tm_mday = 31;
  latest.tm_hour = 23, latest.tm_min = 59, latest.tm_sec = 59;
  char folder[kPathSize], sub[32], name[kPathSize], inSub[kPathSize], path[kPathSize];
  return LogFolderPath(base, prefix, folder, sizeof folder) &&
         SubFolderName(kSplitMinute, latest, true, sub, sizeof sub) &&
         DataFileName(prefix, 0xFFFF, latest, true, name, sizeof name) &&
         JoinPath(folder, sub, inSub, sizeof inSub) && JoinPath(inSub, name, path, sizeof path);
}

bool MakeConfigFolder(const char* base) {
  char folder[kPathSize];
  if (base == nullptr || base[0] == '\0' || !ConfigFolderPath(base, folder, sizeof folder))
    return false;
  if (DirectoryExists(folder) == 0) CreateFolder(base, "config");
  return DirectoryExists(folder) != 0;
}

bool MakeLogFolder(const char* base, const char* prefix) {
  char log[kPathSize], folder[kPathSize];
  if (base == nullptr || base[0] == '\0' || !JoinPath(base, "log", log, sizeof log) ||
      !JoinPath(log, prefix, folder, sizeof folder))
    return false;
  if (DirectoryExists(folder) == 0) {
    if (DirectoryExists(log) == 0) CreateFolder(base, "log");
    CreateFolder(log, prefix);
  }
  return DirectoryExists(folder) != 0;
}

bool RunFolders(const char* folder, const char* ip, char base[kPathSize], char* prefix,
                size_t prefixSize) {
  if (folder == nullptr) {
    if (getcwd(base, kPathSize) == nullptr) return false;
  } else if (folder[0] == '\0' || !Format(base, kPathSize, "%s", folder)) {
    return false;
  }
  return AddressPrefix(ip, prefix, prefixSize) && BaseFolderFits(base, prefix);
}

bool RunConfigPath(const char* base, const char* prefix, unsigned int tag, const struct tm& t,
                   char* out, size_t size) {
  char folder[kPathSize], name[kPathSize];
  return MakeConfigFolder(base) && ConfigFolderPath(base, folder, sizeof folder) &&
         ConfigFileName(prefix, tag, t, name, sizeof name) && JoinPath(folder, name, out, size);
}

int DataFileType(const char* name) {
  if (name == nullptr) return -1;
  const size_t len = strlen(name);
  for (int i = 0; i < 14; ++i)
    if (EndsWith(name, len, Logfiletype[i])) return i;
  return -1;
}

std::vector<std::string> ConfigSearchRoots(const std::string& dataFolder, int levelsUp) {
  std::vector<std::string> out;
  if (dataFolder.empty()) return out;
  std::string base;
  for (int levels : {2, 3})
    if (CutBack(dataFolder, levels, &base)) out.push_back(base + "/config");
  if (CutBack(dataFolder, levelsUp, &base) && !base.empty()) out.push_back(base);
  return out;
}

// ================================================================== ".config" files

uint32_t Milli(double factor) {
  const double v = factor * 1000.0;
  if (!(v > 0.0)) return 0;  // negative, zero or not a number
  if (v >= 4294967295.0) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(v);
}

std::string FormatScanConfig(const ScanConfig& c) {
  std::string out;
  Append(&out, "Module Name,%.*s\n", Width(c.moduleName), c.moduleName);
  const char* version = c.sdkVersion[0] != '\0' ? c.sdkVersion : kSdkVersionText;
  Append(&out, "SDKVersion,%.*s\n", Width(c.sdkVersion), version);
  Append(&out, "IP,%.*s\n", Width(c.ip), c.ip);
  Append(&out, "Gain,%d\n", c.gain);
  if (c.hasRange) Append(&out, "Range,%lu\n", static_cast<unsigned long>(c.range));
  Append(&out, "Channel Count,%d\n", c.channelCount);
  Append(&out, "Sample Rate,%lld\n", static_cast<long long>(c.sampleRate));
  Append(&out, "Sample Count,%lld\n", static_cast<long long>(c.sampleCount));
  Append(&out, "External Trigger,%d\n", c.externalTrigger);
  Append(&out, "Transfer Mode,%d\n", c.transferMode);
  if (c.hasSyncMode) Append(&out, "Sync Mode,%d\n", c.syncMode);
  const int channels = std::max(0, std::min(c.channelCount, kMaxConfigChannels));
  if (c.channelLines == ChannelLines::kGainOffset) {
    for (int i = 0; i < channels; ++i) Append(&out, "CH%d\n", i);
    for (int i = 0; i < channels; ++i)
      Append(&out, "CH%d,Gain,%d, Offset,%d\n", i, c.channelGain[i], c.channelOffset[i]);
  } else if (c.channelLines == ChannelLines::kRangeOffset) {
    for (int i = 0; i < channels; ++i)
      Append(&out, "CH%d,Range,%lu, Offset,%d\n", i, static_cast<unsigned long>(c.channelRange[i]),
                c.channelOffset[i]);
  }
  return out;
}

int WriteScanConfig(const char* path, const ScanConfig& config) {
  if (path == nullptr) return 0;
  FILE* f = fopen(path, "w+");
  if (f == nullptr) return 0;
  const std::string text = FormatScanConfig(config);
  const bool written = fwrite(text.data(), 1, text.size(), f) == text.size();
  return (fclose(f) == 0 && written) ? 1 : 0;
}

int AppendStartTime(const char* path, const char* moduleText) {
  if (path == nullptr || moduleText == nullptr) return 0;
  FILE* f = fopen(path, "a+");
  if (f == nullptr) return 0;
  // The text stays one line: it ends at its first line end.
  const int n = static_cast<int>(strcspn(moduleText, "\r\n"));
  const bool written = fprintf(f, "Start Sampling Time,%.*s\n", n, moduleText) > 0;
  return (fclose(f) == 0 && written) ? 1 : 0;
}

ConfigRead ParseScanConfig(const std::string& text, ScanConfig* c) {
  if (c == nullptr || text.empty()) return ConfigRead::kUnreadable;
  // Each key counts once: the first line that holds it.
  std::unordered_set<std::string> seen;
  std::vector<ChannelSeen> channelSeen(kMaxConfigChannels);
  size_t from = 0;
  while (from < text.size()) {
    size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(from, end - from);
    from = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    const size_t comma = line.find(',');
    const std::string key = line.substr(0, comma);
    const std::string value = comma == std::string::npos ? "" : line.substr(comma + 1);
    const int ch = ChannelOfSection(key);
    if (ch >= 0) {
      if (ch < kMaxConfigChannels) ReadChannelLine(Fields(line), ch, c, &channelSeen[ch]);
      continue;
    }
    if (comma == std::string::npos) continue;
    if (!seen.insert(key).second) continue;
    if (key == "Module Name") {
      CopyBounded(c->moduleName, sizeof c->moduleName, value);
      c->hasModuleName = true;
    } else if (key == "SDKVersion") {
      CopyBounded(c->sdkVersion, sizeof c->sdkVersion, value);
    } else if (key == "IP") {
      CopyBounded(c->ip, sizeof c->ip, value);
    } else if (key == "Gain") {
      c->gain = HeldInteger<int>(value);
    } else if (key == "Range") {
      c->hasRange = true, c->range = HeldInteger<uint32_t>(value);
    } else if (key == "Channel Count") {
      c->channelCount = HeldInteger<int>(value);
    } else if (key == "Sample Rate") {
      c->sampleRate = ParseInteger(value);
    } else if (key == "Sample Count") {
      c->sampleCount = ParseInteger(value);
    } else if (key == "External Trigger") {
      c->externalTrigger = HeldInteger<int>(value);
    } else if (key == "Transfer Mode") {
      c->transferMode = HeldInteger<int>(value);
    } else if (key == "Sync Mode") {
      c->hasSyncMode = true, c->syncMode = HeldInteger<int>(value);
    } else if (key == "Start Sampling Time") {
      CopyBounded(c->startTime, sizeof c->startTime, value);
    }
  }
  return c->hasModuleName ? ConfigRead::kOk : ConfigRead::kNoModuleName;
}

ConfigRead ReadScanConfig(const char* path, ScanConfig* config) {
  constexpr size_t kMaxConfigBytes = 1 << 20;
  if (path == nullptr) return ConfigRead::kUnreadable;
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return ConfigRead::kUnreadable;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0 && text.size() <= kMaxConfigBytes)
    text.append(buf, n);
  fclose(f);
  if (text.size() > kMaxConfigBytes) return ConfigRead::kUnreadable;
  return ParseScanConfig(text, config);
}

StartTime ParseStartTime(const char* text) {
  StartTime t;
  if (text == nullptr) return t;
  const size_t len = strcspn(text, "\r\n");
  // The digits of [column, column + width) that lie inside the text, as a number.
  auto field = [&](size_t column, size_t width, int* digits) -> uint32_t {
    uint32_t v = 0;
    *digits = 0;
    for (size_t i = column; i < len && i < column + width && text[i] >= '0' && text[i] <= '9'; ++i)
      v = v * 10 + static_cast<uint32_t>(text[i] - '0'), ++*digits;
    return v;
  };
  int d = 0;
  t.year = static_cast<int>(field(0, 4, &d));
  t.month = static_cast<int>(field(5, 2, &d));
  t.day = static_cast<int>(field(8, 2, &d));
  t.hour = static_cast<int>(field(11, 2, &d));
  t.minute = static_cast<int>(field(14, 2, &d));
  t.second = static_cast<int>(field(17, 2, &d));
  t.fraction = field(20, 9, &t.fractionDigits);
  return t;
}

// ================================================================== data rows

TextRows::TextRows(unsigned int channels, int decimals)
    : channels_(channels == 0 ? 1 : channels), decimals_(decimals) {}

void TextRows::Append(double value) {
  char buf[512];  // the widest fixed-point double with its decimals
  const auto r = std::to_chars(buf, buf + sizeof buf - 2, value, std::chars_format::fixed, decimals_);
  char* p = r.ec == std::errc() ? r.ptr : buf;
  if (++phase_ == channels_) {
    phase_ = 0;
    *p++ = '\r';
    *p++ = '\n';
  } else {
    *p++ = ',';
  }
  text_.append(buf, static_cast<size_t>(p - buf));
}

bool NextTextValue(const char** pos, const char* end, double* value) {
  const char* p = *pos;
  while (p < end && (*p == ',' || IsBlank(*p))) ++p;
  if (p >= end) {
    *pos = end;
    return false;
  }
  const char* tokenEnd = p;
  while (tokenEnd < end && *tokenEnd != ',' && *tokenEnd != '\r' && *tokenEnd != '\n') ++tokenEnd;
  const char* from = (*p == '+') ? p + 1 : p;
  double v = 0.0;
  const auto r = std::from_chars(from, tokenEnd, v, std::chars_format::general);
  *value = r.ec == std::errc() ? v : 0.0;
  *pos = tokenEnd;
  return true;
}

}  // namespace nivex::scanlog

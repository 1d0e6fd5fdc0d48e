// The scan-log file format of the whole kit, in one place for the loggers that write it (the
// high-speed logger and SD download, the slot logger) and the stored-log reader that reads it:
//
//   <base>/config/IP_<prefix>_<tag>_<Y>_<M>_<D>_<h>_<m>_<s>.config
//   <base>/log/<prefix>[/<sub-folder>]/<prefix>_<tag>_<Y>_<M>_<D>_<h>_<m>_<s>.bin | .txt
//
// prefix = the module's IPv4 text with '_' for '.'; tag = the run's random tag, "%04x"; the
// date numbers without leading zeros (year with 1900 added, month with 1 added); the
// sub-folder by split mode, zero-padded. A ".config" file is lines "key,value\n" in a fixed
// order; binary data rows are the module's words as received, text rows one value per sample,
// channel count values to a row, ',' between them and CR LF after the last.
//
// Paths are built bounded: a function that writes a text into a caller's buffer returns false,
// and leaves the buffer empty, when the text does not fit. Numbers are formatted and parsed
// the same whatever locale the application sets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace nivex::scanlog {

// ================================================================== log types, split modes

// The log type of a run (the third argument of the logger start); any other value is
// written as 2.
enum LogType : int {
  kLogBinary = 0,          // ".config" with the start-time line, binary rows, ".bin"
  kLogText = 1,            // ".config" with the start-time line, text rows, ".txt"
  kLogBinaryNoTime = 2,    // ".config" without the start-time line, binary rows, ".bin"
  kLogTextNoConfig = 3,    // no ".config", text rows in a ".bin" file
  kLogBinaryNoConfig = 4,  // no ".config", binary rows, ".bin"
};
bool HasConfig(int logType);     // every type but 3 and 4
bool HasStartTime(int logType);  // 0 and 1
bool HasTextRows(int logType);   // 1 and 3

// Where a run puts its data files below the log folder (configuration item 4,1).
enum SplitMode : int {
  kSplitNone = 0,         // directly in the log folder; no rotation
  kSplitMinute = 1,       // "YYYY_MM_DD_hh_mm"
  kSplitHour = 2,         // "YYYY_MM_DD_hh"
  kSplitDay = 3,          // "YYYY_MM_DD"
  kSplitMonth = 4,        // "YYYY_MM"
  kSplitFlat = 5,         // directly in the log folder
  kSplitWeekday = 6,      // "YYYY_MM_w<weekday>", 0 = Sunday
  kSplitFirstMinute = 7,  // the first file of a run as 1, later files as 5
};
// Whether the data files of a run rotate by time (every mode but 0; raw chunk runs always do).
bool SplitModeRotates(int splitMode);
// The rotation period of minutes per file, in milliseconds (64-bit: never wraps).
uint64_t RotationPeriodMs(uint32_t minutesPerFile);

// ================================================================== names and folders

// Size of the path buffers of the stored-log index and the loggers, NUL included.
constexpr size_t kPathSize = 260;

// The address prefix: ip with every '.' replaced by '_' ("192.168.0.10" -> "192_168_0_10").
bool AddressPrefix(const char* ip, char* out, size_t size);
// "IP_%s_%04x_%d_%d_%d_%d_%d_%d.config" of prefix, tag and the local time t.
bool ConfigFileName(const char* prefix, unsigned int tag, const struct tm& t, char* out,
                    size_t size);
// "%s_%04x_%d_%d_%d_%d_%d_%d" of prefix, tag and t, then ".txt" (text) or ".bin".
bool DataFileName(const char* prefix, unsigned int tag, const struct tm& t, bool text, char* out,
                  size_t size);
// The sub-folder of a data file started at t ("" for modes 0 and 5, for mode 7 once the first
// file of the run is named, and for a mode the table does not know).
bool SubFolderName(int splitMode, const struct tm& t, bool firstFile, char* out, size_t size);

// folder + '/' + name, with no doubled '/' and without the separator when either part is
// empty.
bool JoinPath(const char* folder, const char* name, char* out, size_t size);
// <base>/config.
bool ConfigFolderPath(const char* base, char* out, size_t size);
// <base>/log/<prefix>.
bool LogFolderPath(const char* base, const char* prefix, char* out, size_t size);
// True when every data-file path a run of this base and prefix can name (the longest
// sub-folder, the longest date) fits kPathSize.
bool BaseFolderFits(const char* base, const char* prefix);
// Creates <base>/config when missing; true when it then exists (never for an empty base).
bool MakeConfigFolder(const char* base);
// Creates <base>/log and <base>/log/<prefix>, one level at a time, when missing; true when the
// log folder then exists (never for an empty base).
bool MakeLogFolder(const char* base, const char* prefix);
// The base folder and prefix of a logging run of the module at ip: base = folder, or the
// working directory when folder is null. False when folder is empty, when the base cannot be
// had or is longer than kPathSize - 1, or when a data-file path of the run would not fit
// (BaseFolderFits).
bool RunFolders(const char* folder, const char* ip, char base[kPathSize], char* prefix,
                size_t prefixSize);
// Makes <base>/config when missing and writes the path of the run's ".config" file
// (ConfigFileName of prefix, tag and t) into out; false when the folder is missing afterwards or
// the path does not fit.
bool RunConfigPath(const char* base, const char* prefix, unsigned int tag, const struct tm& t,
                   char* out, size_t size);

// The data-file type of a file name: the index 0-13 of the log-file extension table
// (support/Storax.h, Logfiletype) that name ends with, in its exact case; -1 when none. Only
// the name's own extension counts: a folder or a name part that looks like one does not.
int DataFileType(const char* name);

// Where to look, in order, for the ".config" file of a data file in dataFolder: the config
// folders of the folder rule (<base>/config for a data folder <base>/log/<prefix> and for
// <base>/log/<prefix>/<sub-folder>), then the whole tree levelsUp levels above dataFolder
// (the stored-log index looks 4 levels up, the open by path 3). A relative folder is taken
// from "."; a level above the root is left out.
std::vector<std::string> ConfigSearchRoots(const std::string& dataFolder, int levelsUp);

// ================================================================== the log-file tag

// A time-seeded random value in a range: Vals() gives min .. min + max - 1 (min for max 0).
// Every construction reseeds the C library's process-wide generator with the time in whole
// seconds, so two constructions within one second draw the same value.
template <class T>
class cRandom {
 public:
  cRandom(T minValue, T maxValue) : min(minValue), max(maxValue) {
    srand(static_cast<unsigned int>(time(nullptr)));
  }
  T Vals() const { return Map(static_cast<uint32_t>(rand()), min, max); }
  // The value of a draw r: min + floor(r x max / 2^31), the product in 64 bits; r beyond the
  // generator's 2^31 - 1 counts as 2^31 - 1.
  static T Map(uint32_t r, T minValue, T maxValue) {
    const uint64_t draw = r > 0x7FFFFFFFu ? 0x7FFFFFFFu : r;
    return static_cast<T>(minValue + draw * static_cast<uint64_t>(maxValue) / 0x80000000ull);
  }

  T min;
  T max;
};

// The tag of a new logging run: one draw of cRandom<unsigned int>(1, 0xFFFF), 1 .. 0xFFFF.
unsigned int NewLogTag();
// The tag of a new logging run in base whose ".config" file and first data file are named by
// t: NewLogTag's draw, drawn again (without reseeding) while the ".config" name or the first
// data file's name (".bin" or ".txt", in its sub-folder of splitMode) already exists, so no run
// overwrites or extends another run's files. 0 when no free tag came up.
unsigned int FreeLogTag(const char* base, const char* prefix, const struct tm& t, int splitMode);

// ================================================================== ".config" files

constexpr const char* kSdkVersionText = "1.2.2.3";
// Most channels a ".config" file describes (the largest module's inputs).
constexpr int kMaxConfigChannels = 64;

// The per-channel lines of a ".config" file.
enum class ChannelLines {
  kNone,         // none (RXBN500 writes kRangeOffset; the slot logger none)
  kGainOffset,   // "CH%d" per channel, then "CH%d,Gain,%d, Offset,%d" (RX5K10, RX5K30)
  kRangeOffset,  // "CH%d,Range,%lu, Offset,%d" (RXBN500)
};

// The values of a ".config" file. The writer writes the optional lines the flags select; the
// reader sets every value it finds (and the flags of the optional lines it meets) and leaves
// the others as they were (zero).
struct ScanConfig {
  char moduleName[20] = {};  // "Module Name"
  char sdkVersion[16] = {};  // "SDKVersion" (the writer writes kSdkVersionText when empty)
  char ip[64] = {};          // "IP"
  int gain = 0;              // "Gain": the gain code
  bool hasRange = false;     // "Range" after "Gain" (RX5K30)
  uint32_t range = 0;        //   range volts of the gain code x 1000
  int channelCount = 0;      // "Channel Count"
  int64_t sampleRate = 0;    // "Sample Rate"
  int64_t sampleCount = 0;   // "Sample Count"
  int externalTrigger = 0;   // "External Trigger": the trigger mode
  int transferMode = 0;      // "Transfer Mode"
  bool hasSyncMode = false;  // "Sync Mode" (RX5K10)
  int syncMode = 0;
  ChannelLines channelLines = ChannelLines::kNone;
  // Per channel (writer: the first channelCount entries, at most kMaxConfigChannels).
  uint16_t channelGain[kMaxConfigChannels] = {};    // calibration gain word
  int32_t channelOffset[kMaxConfigChannels] = {};   // calibration offset
  uint32_t channelRange[kMaxConfigChannels] = {};   // RXBN500: calibration factor x 1000
  // Reader only.
  bool hasModuleName = false;
  char startTime[256] = {};  // "Start Sampling Time" value, line end removed ("" when none)
};

// A calibration factor x 1000 as the ".config" files hold it: truncated; a negative or
// not-a-number factor gives 0, one beyond the u32 range 0xFFFFFFFF.
uint32_t Milli(double factor);

// The text of a ".config" file (before its start-time line).
std::string FormatScanConfig(const ScanConfig& config);
// Creates path anew with FormatScanConfig's text; 1 when it was written and closed whole,
// else 0 (a partial file may remain).
int WriteScanConfig(const char* path, const ScanConfig& config);
// Appends "Start Sampling Time,<moduleText>\n" to path; 1 when written and closed, else 0.
int AppendStartTime(const char* path, const char* moduleText);

// The integer at the start of text as the C library's integer conversion reads it (leading
// blanks, a sign, the digits; none gives 0), held to the int64 range.
int64_t ParseInteger(const std::string& text);

// How reading a ".config" file ended.
enum class ConfigRead { kOk, kUnreadable, kNoModuleName };
// Reads the keys of a ".config" text into config. A key is the text before a line's first ','
// and is matched whole ("CH1" is never "CH10"); the first line of a key counts. Integer
// values are read as the C library's integer conversion reads them (leading blanks, a sign,
// the digits; none gives 0), out-of-range values held to the field's range; a line end is
// never part of a value.
ConfigRead ParseScanConfig(const std::string& text, ScanConfig* config);
// The same on a file: kUnreadable when it cannot be opened, is empty, or is larger than a
// ".config" file can be (1 MiB).
ConfigRead ReadScanConfig(const char* path, ScanConfig* config);

// The start time of a run, read from fixed columns of the module's text: year at column 0
// (4 digits), month 5, day 8, hour 11, minute 14, second 17 (2 digits each), fraction from
// column 20 (at most 9 digits). Only columns inside the text are read; a missing field stays
// 0. fractionDigits keeps the number of fraction digits, so ".050" reads back as ".050".
struct StartTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  uint32_t fraction = 0;
  int fractionDigits = 0;
};
StartTime ParseStartTime(const char* text);

// ================================================================== data rows

// Decimals of a text value: RX5K10 5, RX5K30 and RXBN500 7, the slot logger 3.
constexpr int kTextDecimals16Bit = 5;
constexpr int kTextDecimals24Bit = 7;
constexpr int kTextDecimalsSlot = 3;

// Formats the text rows of a data file into one buffer, chunk by chunk: each value with a fixed
// number of decimals ('.' whatever the locale), followed by ',' or, on the last channel of a
// row, by CR LF. The row phase (the channel of the next value) carries over from one chunk to
// the next. A channel count of 0 counts as 1.
class TextRows {
 public:
  TextRows(unsigned int channels, int decimals);
  // The channel of the next value, 0 .. channels - 1.
  unsigned int Phase() const { return phase_; }
  void SetPhase(unsigned int phase) { phase_ = phase % channels_; }
  void Append(double value);
  // The text formatted since the last Clear.
  const std::string& Text() const { return text_; }
  void Clear() { text_.clear(); }

 private:
  unsigned int channels_;
  int decimals_;
  unsigned int phase_ = 0;
  std::string text_;
};

// Reads the next value of a text row from [*pos, end): skips separators (',', blanks, CR, LF),
// converts one token ('.' whatever the locale; a token without a number reads as 0.0, as the C
// conversion gives) and moves *pos behind it. False when no token is left.
bool NextTextValue(const char** pos, const char* end, double* value);

}  // namespace nivex::scanlog

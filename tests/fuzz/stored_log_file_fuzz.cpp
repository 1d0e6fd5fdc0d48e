// A stored log read through the exported functions, its ".config" file and its data file
// taken from the input and laid out as the loggers lay them out:
//   <top>/config/IP_127_0_0_1_1a2b_2024_3_5_14_7_9.config
//   <top>/log/127_0_0_1[/2024_03_05]/127_0_0_1_1a2b_2024_3_5_14_7_10.bin | .txt
// Input: a flags byte (bit 0 text log, bit 1 open through the listing, bit 2 in a sub-folder),
// a read-size byte, two bytes of ".config" length, the ".config" text, then the data file.
// The log must open exactly when its ".config" names a module, its settings read as the C
// library reads integers, its samples as the file holds them (binary: the words; text: one
// value per token, read in steps of any size as in one go, a last value without a ',' or CR
// behind it not yet), and no output is written past.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framework/RXMODEL_ModuleTable.h"
#include "nivex.h"
#include "tests/fuzz/FuzzInput.h"

using nivex::fuzz::FuzzInput;
using nivex::fuzz::Require;

namespace {

// A private tree <base>/p/q: the index's search four levels above a data folder stays in it.
const std::string& Top() {
  static const std::string top = [] {
    const char* root = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(root) + "/nivex-log-file-fuzz-XXXXXX";
    const char* dir = mkdtemp(&tmpl[0]);
    const std::string base = dir != nullptr ? dir : root;
    for (const char* sub : {"/p", "/p/q", "/p/q/log", "/p/q/log/127_0_0_1",
                            "/p/q/log/127_0_0_1/2024_03_05", "/p/q/config"})
      mkdir((base + sub).c_str(), 0777);
    return base + "/p/q";
  }();
  return top;
}

bool Write(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

// The value of the first line "<key>,<value>" of the ".config" text, line end removed.
bool ConfigValue(const std::string& text, const std::string& key, std::string* value) {
  for (size_t from = 0; from < text.size();) {
    size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(from, end - from);
    from = end + 1;
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, key.size() + 1, key + ",") == 0) {
      *value = line.substr(key.size() + 1);
      return true;
    }
  }
  return false;
}

// A setting as the C library reads the integer, held to 0 .. max.
long long Setting(const std::string& text, const char* key, long long max) {
  std::string value;
  if (!ConfigValue(text, key, &value)) return 0;
  const long long v = strtoll(value.c_str(), nullptr, 10);
  return v < 0 ? 0 : (v > max ? max : v);
}

bool IsSeparator(char c) { return c == ',' || c == ' ' || (c >= '\t' && c <= '\r'); }

// The tokens of a text data file in reading order, each line up to its first NUL.
std::vector<std::string> Tokens(const std::string& data) {
  std::vector<std::string> out;
  for (size_t from = 0; from < data.size();) {
    size_t end = data.find('\n', from);
    end = end == std::string::npos ? data.size() : end + 1;
    std::string line = data.substr(from, end - from);
    from = end;
    line.resize(strlen(line.c_str()));
    // The last value of a file that ends without a line end may still be being written: it
    // counts once a ',' or a CR follows it (blanks alone behind the last one end nothing).
    if (from == data.size() && data.back() != '\n') {
      const size_t cut = line.find_last_of(",\r") + 1;  // 0 when there is none
      if (line.find_first_not_of(" \t", cut) != std::string::npos) line.resize(cut);
    }
    for (size_t i = 0, n = line.size(); i < n;) {
      while (i < n && IsSeparator(line[i])) ++i;
      size_t j = i;
      while (j < n && line[j] != ',' && line[j] != '\r' && line[j] != '\n') ++j;
      if (j > i) out.push_back(line.substr(i, j - i));
      i = j;
    }
  }
  return out;
}

// A token of up to 15 digits and 9 decimals, whose value the C library reads exactly as well.
bool Plain(const std::string& t) {
  size_t i = t[0] == '-' ? 1 : 0, digits = 0, decimals = 0;
  for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) ++digits;
  if (i < t.size() && t[i] == '.')
    for (++i; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) ++decimals;
  return i == t.size() && digits >= 1 && digits <= 15 && decimals <= 9;
}

uint32_t Word(const std::string& data, size_t at, size_t bytes) {
  uint32_t v = 0;
  for (size_t b = 0; b < bytes; ++b) v |= uint32_t{static_cast<uint8_t>(data[at + b])} << (8 * b);
  return v;
}

void CheckSamples(void* h, bool text, bool wide, const std::string& data, uint32_t step) {
  std::vector<uint32_t> slots(step + 1);
  if (!text) {
    const size_t bytes = wide ? 4 : 2, total = data.size() / bytes;
    for (size_t start = 0;; start += step) {
      slots[step] = 0xA5A5A5A5u;
      const int n = QZ_GetLogFile_AIDataHex(h, static_cast<unsigned>(start), step, slots.data());
      Require(n == static_cast<int>(std::min<size_t>(step, total - std::min(start, total))),
              "binary read count");
      Require(slots[step] == 0xA5A5A5A5u, "binary read wrote past its count");
      for (int i = 0; i < n; ++i)
        Require(slots[i] == Word(data, (start + i) * bytes, bytes), "binary sample");
      if (n == 0) return;
    }
  }
  const std::vector<std::string> tokens = Tokens(data);
  std::vector<float> values(step + 1);
  for (size_t read = 0;;) {
    values[step] = -7.5f;
    const int n = QZ_GetLogFile_AIData(h, 0, step, values.data());
    Require(n >= 0 && static_cast<uint32_t>(n) <= step && values[step] == -7.5f,
            "text read count");
    Require(static_cast<size_t>(n) == std::min<size_t>(step, tokens.size() - read),
            "text values read in steps");
    for (int i = 0; i < n; ++i, ++read)
      Require(!Plain(tokens[read]) || values[i] == static_cast<float>(strtod(tokens[read].c_str(), nullptr)),
              "text value");
    if (n == 0) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 60000) return 0;  // lines stay below the reader's piece length
  FuzzInput in(data, size);
  const uint8_t flags = in.Byte();
  const uint32_t step = 1 + in.Byte() % 16;
  const size_t configLength = (size_t{in.Byte()} << 8) | in.Byte();
  std::string config;
  for (size_t i = 0; i < configLength && !in.empty(); ++i) config.push_back(static_cast<char>(in.Byte()));
  const std::string rows = in.Rest();
  const bool text = flags & 1, listed = flags & 2;

  const std::string& top = Top();
  const std::string folder = top + "/log/127_0_0_1" + ((flags & 4) ? "/2024_03_05" : "");
  const std::string dataPath =
      folder + "/127_0_0_1_1a2b_2024_3_5_14_7_10" + (text ? ".txt" : ".bin");
  const std::string configPath = top + "/config/IP_127_0_0_1_1a2b_2024_3_5_14_7_9.config";
  if (!Write(configPath, config) || !Write(dataPath, rows)) return 0;

  QZ_ClearLastError();
  void* h = nullptr;
  if (listed) {
    Require(QZ_GetAllLogFiles((top + "/log").c_str(), text ? 1 : 0) == 1, "the log is listed");
    char listedPath[QZ_LOG_PATH_SIZE + 1];
    listedPath[QZ_LOG_PATH_SIZE] = 'X';
    h = QZ_LogFile_Open_byIndex(0, listedPath);
    Require(dataPath == listedPath && listedPath[QZ_LOG_PATH_SIZE] == 'X', "the listed path");
  } else {
    h = QZ_LogFile_Open(dataPath.c_str());
  }
  std::string moduleName;
  const bool named = ConfigValue(config, "Module Name", &moduleName);
  if (h == nullptr) {
    Require(!named && QZ_GetLastError() == QZ_ERR_LOG_FILE_OPEN, "a log with a module name opens");
  } else {
    Require(named, "a log without a module name is refused");
    moduleName = moduleName.c_str();
    const bool wide = moduleName.compare(0, 7, "RX-5K30") == 0 || moduleName.compare(0, 8, "RX-BN500") == 0;
    char name[QZ_LOG_NAME_SIZE + 1];
    name[QZ_LOG_NAME_SIZE] = 'X';
    unsigned int bytes = 0, type = 9, reserved = 9;
    Require(QZ_GetLogFileInfo(h, name, &bytes, &type, &reserved) == 1, "log file info");
    Require(bytes == rows.size() && type == (text ? 1u : 0u) && reserved == 0 &&
                name[QZ_LOG_NAME_SIZE] == 'X',
            "log file info values");

    unsigned short channels = 0, gain = 0, trigger = 0, transfer = 0, sync = 0;
    unsigned int rate = 0;
    Require(QZ_GetLogFile_AIScanConfigInfo(h, &channels, &gain, &trigger, &rate, &transfer, &sync) == 1 &&
                channels == Setting(config, "Channel Count", 0xFFFF) &&
                gain == Setting(config, "Gain", 0xFFFF) &&
                trigger == Setting(config, "External Trigger", 0xFFFF) &&
                rate == Setting(config, "Sample Rate", UINT32_MAX) &&
                transfer == Setting(config, "Transfer Mode", 0xFFFF) &&
                sync == Setting(config, "Sync Mode", 0xFFFF),
            "scan settings");

    int inputs = 0;
    for (const nivex::WRXmodule& row : nivex::WRXMODULE)
      if (strcmp(row.name, name) == 0) inputs = row.AI;
    for (int ch = -1; ch <= inputs; ++ch) {
      unsigned short g = 7, o = 7;
      const bool inside = ch >= 0 && ch < std::min<int>(channels, inputs);
      const int r = QZ_GetLogFile_GainOffset(h, ch, 0, &g, &o);
      Require(r == (inside ? 1 : 0) && (inside || (g == 7 && o == 7)), "gain and offset of a channel");
      int code = 0;
      float volts = 0;
      if (ch >= 0 && ch < inputs) {
        QZ_Calibrate_Data_HEX(h, ch, gain % 10, static_cast<int>(Word(rows + "1234", 0, 4)), &code);
        QZ_Calibrate_Data_Float(h, ch, gain % 10, code, &volts);
      }
    }

    unsigned int samples = 0;
    char date[QZ_LOG_DATE_SIZE + 1], time[QZ_LOG_TIME_SIZE + 1];
    date[QZ_LOG_DATE_SIZE] = time[QZ_LOG_TIME_SIZE] = 'X';
    Require(QZ_GetLogFile_AIScanSampleInfo(h, &samples, date, time) == 1, "sample info");
    Require(date[QZ_LOG_DATE_SIZE] == 'X' && time[QZ_LOG_TIME_SIZE] == 'X' && strlen(date) == 10 &&
                strlen(time) >= 9,
            "start date and time");
    uint64_t lines = 0;
    for (char c : rows) lines += c == '\n';
    if (!rows.empty() && rows.back() != '\n') ++lines;
    const uint64_t want = text ? lines * channels : rows.size() / (wide ? 4 : 2);
    Require(samples == std::min<uint64_t>(want, UINT32_MAX), "sample count");

    CheckSamples(h, text, wide, rows, step);
    Require(QZ_LogFile_Close(h) == 1, "close");
    QZ_ClearLastError();
    Require(QZ_GetLogFileInfo(h, name, &bytes, &type, &reserved) == 0 &&
                QZ_GetLastError() == QZ_ERR_INVALID_HANDLE,
            "a closed log is refused");
  }
  unlink(dataPath.c_str());
  return 0;
}

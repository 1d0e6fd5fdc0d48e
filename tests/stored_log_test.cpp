// The stored-log functions over log trees written here by hand, line by line as the loggers'
// file format has them: listing, opening by index and by path, settings, calibration, start
// time, samples as codes and volts, damaged logs, look-alike ".config" files, and one log
// written with the kit's format unit and read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "framework/ScanLogFormat.h"
#include "nivex.h"
#include "tests/common/CalibrationReference.h"
#include "tests/common/FileFixtures.h"
#include "tests/common/TestSupport.h"

using nivex::test::ReadFile;
using nivex::test::TempFolder;
using nivex::test::WriteFile;

namespace {

const std::string kTime = "Start Sampling Time,2024/03/05 14:07:09.123\n";

// Little-endian bytes of 16-bit or 32-bit sample words.
std::string Words(const std::vector<int>& codes, int bytes) {
  std::string out;
  for (int c : codes)
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((c >> (8 * i)) & 0xFF));
  return out;
}

// One run: <base>/config/IP_<p>_<tag>_2024_3_5_14_7_9.config and a data file below
// <base>/log/<p>/<sub>. Returns the data file's path.
std::string WriteLog(const std::string& base, const std::string& p, const std::string& tag,
                     const std::string& config, const std::string& rows, const char* ext = ".bin",
                     const std::string& sub = "2024_03_05_14_07/") {
  WriteFile(base + "/config/IP_" + p + "_" + tag + "_2024_3_5_14_7_9.config", config);
  const std::string data = base + "/log/" + p + "/" + sub + p + "_" + tag + "_2024_3_5_14_7_10" + ext;
  WriteFile(data, rows);
  return data;
}

// What the getters tell of a log: "name size type samples date time | channels gain trigger
// rate transfer sync | gain/offset per channel".
std::string Summary(void* h) {
  unsigned short c = 0, g = 0, t = 0, m = 0, y = 0;
  unsigned int rate = 0, size = 0, type = 0, count = 0;
  char name[QZ_LOG_NAME_SIZE] = "", date[QZ_LOG_DATE_SIZE] = "", time[QZ_LOG_TIME_SIZE] = "";
  QZ_GetLogFileInfo(h, name, &size, &type, nullptr);
  EXPECT_EQ(QZ_GetLogFile_AIScanSampleInfo(h, &count, date, time), 1);
  EXPECT_EQ(QZ_GetLogFile_AIScanConfigInfo(h, &c, &g, &t, &rate, &m, &y), 1);
  char out[256];
  snprintf(out, sizeof out, "%s %u %u %u %s %s | %u %u %u %u %u %u |", name, size, type, count,
           date, time, c, g, t, rate, m, y);
  std::string s = out;
  for (int ch = 0; QZ_GetLogFile_GainOffset(h, ch, 0, &g, &m) == 1; ++ch)
    s += " " + std::to_string(g) + "/" + std::to_string(static_cast<short>(m));
  return s;
}

class StoredLog : public ::testing::Test {
 protected:
  TempFolder t;
  std::string base = t / "runs";
};

TEST_F(StoredLog, EveryModuleTypeListsOpensAndReadsBack) {
  using nivex::test::Reference16;
  const std::string scan = "SDKVersion,1.2.2.3\nIP,10.1.2.3\nChannel Count,2\nSample Rate,2000\n"
                           "Sample Count,6\nExternal Trigger,3\nTransfer Mode,1\n";
  const std::string tail = " 2024/03/05 14:07:09.123 | 2 ";
  const struct {
    std::string config;
    int bytes;  // per sample
    int gain;   // the log's gain code
    std::string summary;
    std::function<double(int ch, int code)> volts;  // independent reference
  } cases[] = {
      {"Module Name,RX-5K10\nGain,0\n" + scan + "Sync Mode,1\nCH0\nCH1\nCH0,Gain,32000, Offset,-12\n"
       "CH1,Gain,33000, Offset,7\n" + kTime, 2, 0, "RX-5K10 12 0 6" + tail + "0 3 2000 1 1 | 32000/-12 33000/7",
       [](int ch, int code) { return Reference16(code, ch ? 33000 : 32000, ch ? 7 : -12) / 6553.6; }},
      {"Module Name,RX-5K30\nGain,2\nRange,2500\n" + scan + "CH0\nCH1\nCH0,Gain,16500, Offset,-40\n"
       "CH1,Gain,16000, Offset,25\n" + kTime, 4, 2, "RX-5K30 24 0 6" + tail + "2 3 2000 1 0 | 16500/-40 16000/25",
       [](int ch, int code) {
         return 2.5 * nivex::test::Reference5K30(code, ch ? 16000 : 16500, ch ? 25 : -40, 2500, 2.5) / 2147483648.0;
       }},
      {"Module Name,RX-BN500\nGain,0\n" + scan + "CH0,Range,10500, Offset,-3\nCH1,Range,9500, Offset,70000\n" + kTime,
       4, 0, "RX-BN500 24 0 6" + tail + "0 3 2000 1 0 | 0/-3 0/4464",  // offsets: low 16 bits
       [](int ch, int code) {
         const int c = (code & 0x800000) ? (code & 0xFFFFFF) - 0x1000000 : (code & 0xFFFFFF);
         return (c + (ch ? 70000 : -3)) * (ch ? 9.5 : 10.5) / 8388607.0;
       }},
      {"Module Name,D4071s\nGain,1\n" + scan + "CH0\nCH1\nCH0,Gain,30000, Offset,3\nCH1,Gain,31000, Offset,-5\n" + kTime,
       2, 1, "D4071s 12 0 6" + tail + "1 3 2000 1 0 | 30000/3 31000/-5",
       [](int ch, int code) { return Reference16(code, ch ? 31000 : 30000, ch ? -5 : 3) / 3276.8; }},
      // The slot logger's file ends after "Transfer Mode": read as RX-5K10 without calibration.
      {"Module Name,D3054Ws\nGain,0\n" + scan + kTime, 2, 0, "RX-5K10 12 0 6" + tail + "0 3 2000 1 0 | 0/0 0/0",
       [](int, int) { return 0.0; }},
  };
  const std::vector<int> codes16 = {1000, -1000, 0x7FFF, 0x8000, 123, -4567};
  const std::vector<int> codes24 = {0x100000, 0xF00000, 0x7FFF00, 0x812345, 256, 0xFFFF00};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.summary);
    const std::vector<int>& codes = c.bytes == 2 ? codes16 : codes24;
    const std::string data = WriteLog(base, "10_1_2_3", "1a2b", c.config, Words(codes, c.bytes));
    ASSERT_EQ(QZ_GetAllLogFiles(base.c_str(), 0), 1);
    char path[QZ_LOG_PATH_SIZE] = {};
    for (void* h : {QZ_LogFile_Open_byIndex(0, path), QZ_LogFile_Open(data.c_str())}) {
      ASSERT_NE(h, nullptr);
      EXPECT_EQ(path, data);
      EXPECT_EQ(Summary(h), c.summary);
      std::vector<uint32_t> raw(codes.size() + 1, 0xEEEEEEEE);
      ASSERT_EQ(QZ_GetLogFile_AIDataHex(h, 0, 99, raw.data()), 6);
      EXPECT_EQ(raw[6], 0xEEEEEEEEu);  // nothing past the end
      for (size_t i = 0; i < codes.size(); ++i) {
        EXPECT_EQ(raw[i], static_cast<uint32_t>(codes[i]) & (c.bytes == 2 ? 0xFFFFu : 0xFFFFFFu));
        float v = 99.0f;
        const int ch = static_cast<int>(i % 2);
        ASSERT_EQ(QZ_Calibrate_Data_Float(h, ch, c.gain, static_cast<int>(raw[i]), &v), 1);
        EXPECT_NEAR(v, c.volts(ch, static_cast<int>(raw[i])), 2e-6 + 1e-6 * std::fabs(v)) << i;
      }
      EXPECT_EQ(QZ_GetLogFile_AIDataHex(h, 4, 10, raw.data()), 2);
      EXPECT_EQ(QZ_LogFile_Close(h), 1);
    }
  }
}

TEST_F(StoredLog, TextLogsReadInBoundedResumableSteps) {
  const std::string data = WriteLog(base, "10_0_0_9", "00a3", "Module Name,RX-5K30\nChannel Count,3\n",
                                    "1.2500000,-0.5000000,x\r\n2.0,3.0,4.0\r\n5.0,6.0,7.0\r\n", ".txt", "");
  ASSERT_EQ(QZ_GetAllLogFiles((base + "/log").c_str(), 1), 1);
  EXPECT_EQ(QZ_GetAllLogFiles((base + "/log").c_str(), 0), 0);  // the list is replaced
  void* h = QZ_LogFile_Open(data.c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Summary(h), "RX-5K30 50 1 9 0000/00/00 00:00:00.0 | 3 0 0 0 0 0 | 0/0 0/0 0/0");
  // Reads of 2, 4 and the rest: at most count values each, none lost between calls.
  std::vector<float> got;
  for (unsigned int want : {2u, 4u, 100u}) {
    std::vector<float> v(want + 1, -9.0f);
    const int n = QZ_GetLogFile_AIData(h, 0, want, v.data());
    EXPECT_EQ(n, static_cast<int>(std::min(want, 9u - static_cast<unsigned>(got.size()))));
    EXPECT_EQ(v[n], -9.0f);
    got.insert(got.end(), v.begin(), v.begin() + n);
  }
  EXPECT_EQ(got, (std::vector<float>{1.25f, -0.5f, 0, 2, 3, 4, 5, 6, 7}));
  // A log still being written: once the end was met, a later read takes the rows added since.
  float more[4] = {};
  EXPECT_EQ(QZ_GetLogFile_AIData(h, 0, 4, more), 0);
  WriteFile(data, ReadFile(data) + "8.0,9.0,10.0\r\n");
  EXPECT_EQ(QZ_GetLogFile_AIData(h, 0, 4, more), 3);
  EXPECT_EQ(more[2], 10.0f);
  WriteFile(data, ReadFile(data) + "11.0,0.5");  // a value cut by the end waits until it ends
  EXPECT_EQ(QZ_GetLogFile_AIData(h, 0, 4, more), 1);
  WriteFile(data, ReadFile(data) + "5555,12.0\r\n");
  EXPECT_EQ(QZ_GetLogFile_AIData(h, 0, 4, more), 2);
  EXPECT_EQ(more[0], 0.55555f);
  unsigned int raw[4];
  QZ_SetLastError(0);
  EXPECT_EQ(QZ_GetLogFile_AIDataHex(h, 0, 4, raw), 0);  // not a binary log
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_FUNCTION_NOT_SUPPORTED);
  QZ_LogFile_Close(h);
}

TEST_F(StoredLog, DamagedLogsOpenWithDefaultsOrFail) {
  const struct {
    std::string config, rows, summary;  // "" when the open fails
  } cases[] = {
      {"Gain,0\nChannel Count,2\n", "", ""},
      {"", "", ""},
      {"Module Name,RX-5K30\nChannel Count,x2\nStart Sampling Time,2024/3\n", std::string(4003, 'x'),
       "RX-5K30 4003 0 1000 2024/03/00 00:00:00.0 | 0 0 0 0 0 0 |"},
      {"Module Name,RX-5K10\nChannel Count,1\nCH0,Gain,-5, Offset,99999999999\n"
       "Start Sampling Time,2024-03-05T14:07:09.050\n", "xxxxx",
       "RX-5K10 5 0 2 2024/03/05 14:07:09.050 | 1 0 0 0 0 0 | 0/-1"},
  };
  for (const auto& c : cases) {
    TempFolder f;
    const std::string data = WriteLog(f.str(), "1_2_3_4", "beef", c.config, c.rows);
    QZ_SetLastError(0);
    void* h = QZ_LogFile_Open(data.c_str());
    if (c.summary.empty()) {
      EXPECT_EQ(h, nullptr) << c.config;
      EXPECT_EQ(QZ_GetLastError(), QZ_ERR_LOG_FILE_OPEN);
      continue;
    }
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Summary(h), c.summary);
    unsigned int raw[8];
    EXPECT_EQ(QZ_GetLogFile_AIDataHex(h, 999, 8, raw), c.rows.size() > 8 ? 1 : 0);  // whole samples
    QZ_LogFile_Close(h);
    // Listed, then its data file gone: the open by index fails.
    ASSERT_EQ(QZ_GetAllLogFiles(f.c(), 0), 1);
    std::remove(data.c_str());
    EXPECT_EQ(QZ_LogFile_Open_byIndex(0, nullptr), nullptr);
    EXPECT_EQ(QZ_GetLastError(), QZ_ERR_LOG_FILE_OPEN);
  }
}

TEST_F(StoredLog, PairsTheRightConfigAndTheNameDecidesTheType) {
  // Look-alikes: a module whose address begins the same, a run with the same address and tag
  // in a sibling base, a tag that looks like a year; the text log stands in a folder "x.bin".
  const std::string cfg = "Module Name,RX-5K10\nChannel Count,1\nCH0,Gain,";
  WriteLog(t / "a_other", "192_168_0_1", "2024", cfg + "20, Offset,0\n", "");
  const std::string mine = WriteLog(base, "192_168_0_1", "2024", cfg + "30, Offset,0\n", "1.5\r\n", ".txt", "x.bin/");
  WriteLog(base, "192_168_0_10", "2024", cfg + "10, Offset,0\n", "2.5\r\n", ".txt");
  const std::string want = "RX-5K10 5 1 1 0000/00/00 00:00:00.0 | 1 0 0 0 0 0 | 30/0";
  ASSERT_EQ(QZ_GetAllLogFiles(base.c_str(), 1), 2);
  char path[QZ_LOG_PATH_SIZE];
  void* byIndex = QZ_LogFile_Open_byIndex(0, path);
  const std::wstring wide(mine.begin(), mine.end());
  for (void* h : {byIndex, QZ_LogFile_Open(mine.c_str()), QZ_LogFile_OpenW(wide.c_str())}) {
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Summary(h), want);
    QZ_LogFile_Close(h);
  }
  EXPECT_EQ(path, mine);

  // Upper case is a listing type of its own, which opens no data file; by path it is ".bin".
  const std::string upper = base + "/log/192_168_0_1/192_168_0_1_2024_2024_3_5_14_7_11.BIN";
  WriteFile(upper, "xxxx");
  ASSERT_EQ(QZ_GetAllLogFiles(base.c_str(), 7), 1);
  void* h = QZ_LogFile_Open_byIndex(0, path);
  EXPECT_EQ(Summary(h), "RX-5K10 0 7 0 0000/00/00 00:00:00.0 | 1 0 0 0 0 0 | 30/0");
  QZ_LogFile_Close(h);
  h = QZ_LogFile_Open(upper.c_str());
  EXPECT_EQ(Summary(h), "RX-5K10 4 0 2 0000/00/00 00:00:00.0 | 1 0 0 0 0 0 | 30/0");
  QZ_LogFile_Close(h);

  // Refusals: no entry (error untouched), no such file, not a log name, beyond 259 bytes.
  QZ_SetLastError(0x123);
  EXPECT_EQ(QZ_LogFile_Open_byIndex(5, path), nullptr);
  EXPECT_EQ(QZ_GetLastError(), 0x123);
  WriteFile(base + "/log/192_168_0_1/notes.bin", "x");
  for (const std::string& p : {base + "/log/192_168_0_1/192_168_0_1_2024_2024_1_1_0_0_0.bin",
                               base + "/log/192_168_0_1/notes.bin", "/" + std::string(300, 'a')}) {
    QZ_SetLastError(0);
    EXPECT_EQ(QZ_LogFile_Open(p.c_str()), nullptr) << p;
    EXPECT_EQ(QZ_GetLastError(), QZ_ERR_LOG_FILE_OPEN);
  }
  EXPECT_EQ(QZ_GetAllLogFiles(nullptr, 0), 0);
  EXPECT_EQ(QZ_LogFile_Open_byIndex(0, path), nullptr);
}

TEST_F(StoredLog, HandlesAreCheckedAndCloseIsHarmless) {
  const std::string data = WriteLog(base, "1_2_3_4", "0001", "Module Name,RX-5K10\nChannel Count,1\n", "xx");
  void* h = QZ_LogFile_Open(data.c_str());
  ASSERT_NE(h, nullptr);
  int notALog = 0;
  EXPECT_EQ(QZ_LogFile_Close(h), 1);
  for (void* bad : {h, static_cast<void*>(nullptr), static_cast<void*>(&notALog)}) {
    unsigned short s[6];
    unsigned int u[3];
    char text[32];
    float f[2];
    QZ_SetLastError(0);
    EXPECT_EQ(QZ_GetLogFileInfo(bad, text, u, u + 1, u + 2) + QZ_GetLogFile_AIData(bad, 0, 2, f) +
                  QZ_GetLogFile_AIScanConfigInfo(bad, s, s + 1, s + 2, u, s + 3, s + 4) +
                  QZ_GetLogFile_GainOffset(bad, 0, 0, s, s + 1) + QZ_GetLogFile_AIDataHex(bad, 0, 2, u) +
                  QZ_GetLogFile_AIScanSampleInfo(bad, u, text, text),
              0);
    EXPECT_EQ(QZ_GetLastError(), QZ_ERR_INVALID_HANDLE);
    EXPECT_EQ(QZ_LogFile_Close(bad), 1);  // twice, or not a log: nothing happens
  }
  QZ_SetLastError(0);
  EXPECT_EQ(QZ_GetAllLogFilesW(L"/tmp", 0), 0);
  EXPECT_EQ(QZ_LogFile_Open_byIndexW(0, nullptr), nullptr);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_FUNCTION_NOT_SUPPORTED);
}

TEST_F(StoredLog, WhatTheFormatUnitWritesModelLogReadsBack) {
  namespace sl = nivex::scanlog;
  struct tm at = {};
  at.tm_year = 124, at.tm_mon = 2, at.tm_mday = 5, at.tm_hour = 9, at.tm_min = 7, at.tm_sec = 2;
  char prefix[32], name[80], sub[32], folder[260], cfgPath[260], dataFolder[260], dataPath[260];
  WriteFile(base + "/.keep");  // the base folder exists; the format unit makes the rest
  ASSERT_TRUE(sl::AddressPrefix("192.168.0.10", prefix, sizeof prefix));
  ASSERT_TRUE(sl::MakeConfigFolder(base.c_str()) && sl::MakeLogFolder(base.c_str(), prefix));
  ASSERT_TRUE(sl::ConfigFileName(prefix, 0xa3, at, name, sizeof name) &&
              sl::ConfigFolderPath(base.c_str(), folder, sizeof folder) &&
              sl::JoinPath(folder, name, cfgPath, sizeof cfgPath));
  ASSERT_TRUE(sl::LogFolderPath(base.c_str(), prefix, folder, sizeof folder) &&
              sl::SubFolderName(sl::kSplitFirstMinute, at, true, sub, sizeof sub) &&
              sl::JoinPath(folder, sub, dataFolder, sizeof dataFolder) &&
              sl::DataFileName(prefix, 0xa3, at, true, name, sizeof name) &&
              sl::JoinPath(dataFolder, name, dataPath, sizeof dataPath));

  sl::ScanConfig c;
  strcpy(c.moduleName, "RX-BN500");
  c.channelCount = 3, c.sampleRate = 40000, c.sampleCount = 7, c.externalTrigger = 2;
  c.channelLines = sl::ChannelLines::kRangeOffset;
  for (int i = 0; i < 3; ++i) c.channelRange[i] = 10000 + 100 * i, c.channelOffset[i] = -70000 * i;
  ASSERT_EQ(sl::WriteScanConfig(cfgPath, c), 1);
  ASSERT_EQ(sl::AppendStartTime(cfgPath, "2024/03/05 09:07:02.007"), 1);
  const double volts[7] = {1.5, -2.25, 0.1234567, 3.0, -0.0000001, 9.87654321, 0.5};
  sl::TextRows rows(3, sl::kTextDecimals24Bit);
  for (double v : volts) rows.Append(v);
  WriteFile(dataPath, rows.Text());

  void* h = QZ_LogFile_Open(dataPath);
  ASSERT_NE(h, nullptr);
  // Three lines, the last one unfinished; RX-BN500 keeps ranges, so the gains read 0.
  EXPECT_EQ(Summary(h), "RX-BN500 74 1 9 2024/03/05 09:07:02.007 | 3 0 2 40000 0 0 | 0/0 0/-4464 0/-8928");
  float got[8];
  ASSERT_EQ(QZ_GetLogFile_AIData(h, 0, 8, got), 7);
  for (int i = 0; i < 7; ++i) EXPECT_NEAR(got[i], volts[i], 6e-8 + 1.2e-7 * std::fabs(volts[i])) << i;
  // The range and offset of each channel made it into the calibration.
  float v = 0;
  ASSERT_EQ(QZ_Calibrate_Data_Float(h, 2, 0, 1000, &v), 1);
  EXPECT_NEAR(v, (1000 - 140000) * 10.2 / 8388607.0, 1e-5);
  QZ_LogFile_Close(h);
}

}  // namespace

// The SD-card recordings of the high-speed types against the emulated card: listing and
// description, downloads byte for byte in every log type, a download during a scan, the ways a
// download ends, and every refusal with its code.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <vector>

#include "emulator/HighSpeedModule.h"
#include "emulator/SdCard.h"
#include "nivex.h"
#include "tests/common/FileFixtures.h"
#include "tests/common/ScanFixture.h"
#include "tests/common/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace nivex::test;
using nivex::emu::FaultKind;
using nivex::emu::Model;
using nivex::emu::SdRecording;
constexpr Model K10 = Model::RX5K10, K30 = Model::RX5K30, BN = Model::RXBN500;
constexpr unsigned short kDone = QZ_BUF_LOG_STARTED | QZ_BUF_TARGET_REACHED | QZ_BUF_LOG_ENDED;

nivex::emu::SdCard& Card(Device& d) { return *nivex::emu::SdCardOf(d.emu()); }

// Eight recordings; number 7 is the one the tests download.
std::vector<SdRecording> Card8(unsigned channels, uint32_t samples) {
  std::vector<SdRecording> r(8, SdRecording{5, 40, "2023/12/31-23:59:59:", 1, ""});
  r[7] = SdRecording{123, samples, "2024/3/5-9:7:2:", channels, ""};
  return r;
}

// The regular files below folder, sorted.
std::vector<std::string> FilesBelow(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::end(it);
       it.increment(ec))
    if (it->is_regular_file()) out.push_back(it->path().string());
  std::sort(out.begin(), out.end());
  return out;
}

// The one of files that lies below the log folder ("" when none).
std::string DataFile(const std::vector<std::string>& files) {
  for (const std::string& f : files)
    if (f.find("/log/") != std::string::npos) return f;
  return "";
}

// Sample i of a stream of size-byte little-endian words.
unsigned Word(const std::string& stream, size_t i, unsigned size) {
  unsigned w = 0;
  for (unsigned b = 0; b < size; ++b)
    w |= static_cast<unsigned>(static_cast<uint8_t>(stream[i * size + b])) << (8 * b);
  return w;
}

TEST(SdCard, ListingDescriptionAndRefusals) {
  Device d(K30);
  ASSERT_TRUE(d.ok());
  Card(d).SetRecordings(Card8(2, 480000));
  unsigned count = 0, first = 0, samples = 0;
  char date[QZ_SD_DATE_SIZE] = {};
  auto info = [&](unsigned index) {
    return QZ_GetSDLogFile_Info(d.h(), index, &first, &samples, date);
  };
  EXPECT_EQ(QZ_GetSDAllLogFiles(d.h(), &count) + info(7), 2);
  EXPECT_EQ(d.Take(), (Strings{"~01SDC", "~01SDI00000007"}));
  EXPECT_EQ(std::to_string(count) + " " + std::to_string(first) + " " + std::to_string(samples) +
                " " + date,
            "8 123 480000 2024/3/5-9:7:2:");
  // Blanks before a field (the count's too) are skipped; a date cut short keeps the earlier
  // time of day, and a download of it starts (file named so).
  d.Reply("~01SDC", "!01 2");
  d.Reply("~01SDI00000007", "!01 123:\t480000:  2024/3/5-9:7:2:");
  first = samples = 0;
  EXPECT_EQ(QZ_GetSDAllLogFiles(d.h(), &count) + info(7), 2);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(std::to_string(first) + " " + std::to_string(samples) + " " + date,
            "123 480000 2024/3/5-9:7:2:");
  {
    std::vector<SdRecording> card = Card8(2, 480000);
    card[6].date = "2024/3/5";
    Card(d).SetRecordings(card);
    TempFolder base;
    ASSERT_EQ(QZ_SetAIScanParam(d.h(), 2, 0, 0, 1000, 0, 0, 0), 1);
    ASSERT_EQ(d.model().DownloadSDFile(6, 1, const_cast<char*>(base.c()), 4), 1);
    ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_LOG_ENDED, 8000));
    EXPECT_NE(DataFile(FilesBelow(base.str())).find("_2024_3_5_0_0_0.bin"), std::string::npos);
    d.Take();
  }
  // Every failure leaves the outputs.
  count = first = samples = 77;
  strcpy(date, "before");
  const struct {
    const char* reply;  // to the description (and the count); nullptr: the module's own
    bool toCount;
    unsigned index;
    int code;
  } kCases[] = {
      {"?01", true, 0, QZ_ERR_DEVICE_RESPONSE},
      {nullptr, false, 8, QZ_ERR_DEVICE_RESPONSE},
      {"!01", true, 0, QZ_ERR_INVALID_VALUE},
      {"!01x7", true, 0, QZ_ERR_INVALID_VALUE},
      {"!0", true, 0, QZ_ERR_INVALID_VALUE},
      {"!01123:480000:", false, 0, QZ_ERR_INVALID_VALUE},
      {"!01123", false, 0, QZ_ERR_INVALID_VALUE},
      {nullptr, false, 100000000, QZ_ERR_INVALID_ARGUMENT},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.reply ? c.reply : "module") + " #" + std::to_string(c.index));
    if (c.reply) d.Reply("~01SDI00000000", c.reply);
    EXPECT_TRUE(FailsWith(info(c.index), c.code));
    if (c.toCount) {
      d.Reply("~01SDC", c.reply);
      EXPECT_TRUE(FailsWith(QZ_GetSDAllLogFiles(d.h(), &count), c.code));
    }
  }
  nivex::emu::SdSettings out = Card(d).Settings();
  out.cardIn = false;
  Card(d).SetSettings(out);
  EXPECT_TRUE(FailsWith(QZ_GetSDAllLogFiles(d.h(), &count), QZ_ERR_DEVICE_RESPONSE));
  d.SetReceiving(true);
  d.Take();
  EXPECT_TRUE(FailsWith(QZ_GetSDAllLogFiles(d.h(), &count), QZ_ERR_DEVICE_BUSY));
  EXPECT_TRUE(FailsWith(info(0), QZ_ERR_DEVICE_BUSY));
  EXPECT_TRUE(d.Take().empty());
  d.SetReceiving(false);
  EXPECT_TRUE(
      FailsWith(QZ_GetSDLogFile_Info(d.h(), 0, &first, nullptr, date), QZ_ERR_INVALID_ARGUMENT));
  EXPECT_EQ(count + first + samples, 3 * 77u);
  EXPECT_STREQ(date, "before");
  EXPECT_TRUE(FailsWith(QZ_GetSDAllLogFiles(nullptr, &count), QZ_ERR_INVALID_HANDLE));
  EXPECT_TRUE(
      FailsWith(QZ_GetSDLogFile_Info(nullptr, 0, &first, &samples, date), QZ_ERR_INVALID_HANDLE));
  EXPECT_TRUE(
      FailsWith(QZ_DownloadSDFileW(nullptr, 0, 1, L"/tmp", 0), QZ_ERR_FUNCTION_NOT_SUPPORTED));
  QZ_SetLastError(QZ_ERR_GAIN_RANGE);
  EXPECT_EQ(QZ_DownloadAllSDFiles(d.h(), "/tmp", 0), 0);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_GAIN_RANGE);
}

TEST(SdCard, DownloadsEveryLogTypeByteForByte) {
  const struct {
    Model m;
    unsigned channels;
    int logType;
    unsigned scanTarget;  // the scan parameters' N: the recording's count ends the download
    int splitPauseMs;     // >= 0: the stream in pieces that end inside samples
  } kRuns[] = {
      {K10, 2, 0, 10, -1}, {K30, 4, 0, 0, 0},  {BN, 3, 2, 0, -1},
      {K10, 3, 1, 0, 0},   {K30, 2, 3, 0, -1}, {BN, 4, 4, 500, -1},
  };
  QuickTimings quick;
  for (const auto& r : kRuns) {
    SCOPED_TRACE(std::string(nivex::emu::ModelText(r.m)) + " log type " +
                 std::to_string(r.logType));
    Device d(r.m);
    ASSERT_TRUE(d.ok());
    TempFolder base;
    const bool config = r.logType < 3, text = r.logType == 1 || r.logType == 3;
    const uint32_t samples = r.splitPauseMs >= 0 || text ? 601 : 40003;
    Card(d).SetRecordings(Card8(r.channels, samples));
    nivex::emu::SdSettings s = Card(d).Settings();
    s.splitPauseMs = r.splitPauseMs;
    Card(d).SetSettings(s);
    ASSERT_EQ(
        QZ_SetAIScanParam(d.h(), static_cast<int>(r.channels), 0, 0, 1000, r.scanTarget, 0, 0), 1);
    d.Take();
    ASSERT_EQ(d.model().DownloadSDFile(7, 1, const_cast<char*>(base.c()), r.logType), 1);
    ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_LOG_ENDED, 8000));
    EXPECT_EQ(RingStatus(d.h()), kDone);
    unsigned total = 0, status = 0;
    QZ_GetTotalSamplingStatus(d.h(), &total, &status);
    EXPECT_EQ(total, samples);
    EXPECT_TRUE(WaitUntil([&] { return Card(d).Counters().ackSum == samples; }, 2000));
    EXPECT_EQ(d.Take(), (Strings{"~01SDI00000007", "~01SDL100000007"}));

    // The files: the ".config" with the module's text (log types 0-2), one data file named
    // from the recording's date in the sub-folder of split mode 1.
    const SdRecording rec = Card(d).Recordings()[7];
    const std::string prefix = std::regex_replace(d.emu().options().ip, std::regex("\\."), "_");
    const std::vector<std::string> files = FilesBelow(base.str());
    ASSERT_EQ(files.size(), config ? 2u : 1u);
    const std::string data = DataFile(files);
    std::smatch tag;
    ASSERT_TRUE(std::regex_match(
        data, tag,
        std::regex(base.str() + "/log/" + prefix + "/2024_03_05_09_07/" + prefix +
                   "_([0-9a-f]{4})_2024_3_5_9_7_2\\." + (r.logType == 1 ? "txt" : "bin"))))
        << data;
    if (config) {
      EXPECT_EQ(files[0], base.str() + "/config/IP_" + prefix + "_" + tag[1].str() +
                              "_2024_3_5_9_7_2.config");
      EXPECT_EQ(ReadFile(files[0]), Card(d).ConfigOf(rec));
    }
    const std::string stream = Card(d).StreamOf(rec), written = ReadFile(data);
    if (!text) {
      EXPECT_TRUE(written == stream) << written.size() << " bytes of " << stream.size();
    } else {  // one value per sample, the recording's channels to a row
      const std::regex value("-?[0-9]+\\.[0-9]{" + std::string(r.m == K10 ? "5" : "7") + "}");
      std::string shape;
      for (uint32_t n = 1; n <= samples; ++n) shape += n % r.channels ? "#," : "#\r\n";
      EXPECT_TRUE(std::regex_replace(written, value, "#") == shape);
      int wrong = 0;  // RX5K10 at unity calibration: code / 6553.6 V at gain code 0
      size_t n = 0;
      for (std::sregex_iterator v(written.begin(), written.end(), value), e; v != e; ++v, ++n)
        wrong += r.m == K10 && std::fabs(std::stod(v->str()) -
                                         static_cast<int16_t>(Word(stream, n, 2)) / 6553.6) > 1e-5;
      EXPECT_EQ(wrong, 0);
    }
    if (r.logType == 0) {  // the stored-log reader opens the download
      void* log = QZ_LogFile_Open(data.c_str());
      ASSERT_NE(log, nullptr);
      std::vector<unsigned> codes(samples);
      EXPECT_EQ(QZ_GetLogFile_AIDataHex(log, 0, samples, codes.data()), static_cast<int>(samples));
      const unsigned size = r.m == K10 ? 2 : 4;
      int wrong = 0;
      for (size_t i = 0; i < samples; ++i) wrong += codes[i] != Word(stream, i, size);
      EXPECT_EQ(wrong, 0);
      QZ_LogFile_Close(log);
    }
    // The worker has ended: a scan starts at once.
    EXPECT_EQ(QZ_StartAIScan(d.h()), 1);
    EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
  }
}

TEST(SdCard, ADownloadStopsARunningScanFirst) {
  QuickTimings quick;
  Device d(K10, nullptr, SetLevels);
  ASSERT_TRUE(d.ok());
  TempFolder base;
  Card(d).SetRecordings(Card8(2, 20000));
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 2, 0, 0, 20000, 0, 0, 0), 1);
  ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
  ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_DATA));
  const int fd = ConnectTo(d.emu().options().ip, d.emu().options().cmdPort);
  EXPECT_EQ(Exchange(fd, "~01SDL100000007"), "?01");  // the module refuses the card while it scans
  close(fd);
  for (int download = 0; download < 2; ++download) {
    d.Take();
    ASSERT_EQ(d.model().DownloadSDFile(7, 1, const_cast<char*>(base.c()), 4), 1);
    const Strings sent = d.Take();
    const auto stop = std::find(sent.begin(), sent.end(), "~01Z");
    EXPECT_LT(stop - sent.begin(),
              std::find(sent.begin(), sent.end(), "~01SDL100000007") - sent.begin());
    ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_LOG_ENDED, 8000));
    EXPECT_EQ(RingStatus(d.h()), kDone);
    EXPECT_EQ(RingSize(d.h()), 0u);  // the scan's ring is gone
  }
  // Each download wrote its own file (the tag may repeat within a second: then appended).
  std::string all;
  for (const std::string& f : FilesBelow(base.str())) all += ReadFile(f);
  const std::string stream = Card(d).StreamOf(Card(d).Recordings()[7]);
  EXPECT_TRUE(all == stream + stream) << all.size();
}

TEST(SdCard, TheWaysADownloadEnds) {
  QuickTimings quick;
  for (bool stall : {true, false}) {
    SCOPED_TRACE(stall ? "stall" : "stop");
    Device d(K10);
    ASSERT_TRUE(d.ok());
    TempFolder base;
    Card(d).SetRecordings(Card8(2, 4000));
    nivex::emu::SdSettings s = Card(d).Settings();
    s.silenceAfterBytes = 1000;  // 500 samples, then silence
    Card(d).SetSettings(s);
    ASSERT_EQ(QZ_SetConfig(d.h(), 5, 2, 1), 1);  // a silence limit of 50 ms
    ASSERT_EQ(d.model().DownloadSDFile(7, 0, const_cast<char*>(base.c()), 0), 1);
    if (stall) {
      ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_LOG_ENDED, 8000));
      EXPECT_EQ(RingStatus(d.h()), QZ_BUF_LOG_STARTED | QZ_BUF_LOG_TIMEOUT | QZ_BUF_LOG_ENDED);
    } else {
      ASSERT_TRUE(WaitUntil([&] { return Card(d).Counters().ackSum == 500; }, 5000));
      EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
      EXPECT_EQ(RingStatus(d.h()), QZ_BUF_LOG_STARTED | QZ_BUF_LOG_ENDED);
      EXPECT_FALSE(Card(d).Counters().streaming);  // "~01Z" ended the module's stream
    }
    EXPECT_TRUE(ReadFile(DataFile(FilesBelow(base.str()))) ==
                Card(d).StreamOf(Card(d).Recordings()[7]).substr(0, 1000));
  }
  // The slow scan the device ran last (1000 S/s, 2 channels: a scan's silence limit of 91 s)
  // says nothing of a recording: a download that stalls ends within 15 s.
  Device d(K10);
  ASSERT_TRUE(d.ok());
  TempFolder base;
  Card(d).SetRecordings(Card8(2, 4000));
  nivex::emu::SdSettings s = Card(d).Settings();
  s.silenceAfterBytes = 1000;
  Card(d).SetSettings(s);
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 2, 0, 0, 1000, 0, 0, 0), 1);
  ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
  ASSERT_EQ(QZ_StopAIScan(d.h()), 1);
  const long long t0 = NowMs();
  ASSERT_EQ(d.model().DownloadSDFile(7, 0, const_cast<char*>(base.c()), 0), 1);
  EXPECT_TRUE(WaitForStatus(d.h(), QZ_BUF_LOG_ENDED, 15000));
  EXPECT_LT(NowMs() - t0, 15000);
  EXPECT_EQ(RingStatus(d.h()), QZ_BUF_LOG_STARTED | QZ_BUF_LOG_TIMEOUT | QZ_BUF_LOG_ENDED);
  QZ_StopAIScan(d.h());
}

TEST(SdCard, DownloadRefusals) {
  const std::string longBase = "/tmp/" + std::string(240, 'b');
  const struct {
    const char* what;
    Model m;
    unsigned index;
    int selector;
    const char* folder;  // nullptr: a temporary folder
    int code;
    bool configLeft;  // an empty ".config" stays
    bool requested;   // "~01SDL" was sent
  } kCases[] = {
      {"refused request", K10, 7, 1, nullptr, QZ_ERR_DEVICE_RESPONSE, true, true},
      {"no such recording", K10, 9, 1, nullptr, QZ_ERR_DEVICE_RESPONSE, false, false},
      {"selector", K10, 7, 10, nullptr, QZ_ERR_INVALID_ARGUMENT, false, false},
      {"index", K10, 100000000, 1, nullptr, QZ_ERR_INVALID_ARGUMENT, false, false},
      {"channel count", K30, 7, 1, nullptr, QZ_ERR_CHANNEL_RANGE, false, false},
      {"missing base", K10, 7, 1, "/nonexistent/base", QZ_ERR_LOG_FILE_OPEN, false, false},
      {"long base", K10, 7, 1, longBase.c_str(), QZ_ERR_INVALID_ARGUMENT, false, false},
      {"empty base", K10, 7, 1, "", QZ_ERR_INVALID_ARGUMENT, false, false},
      {"overlong text", K10, 7, 1, nullptr, QZ_ERR_BUFFER_OVERFLOW, true, true},
      {"date out of range", K10, 6, 1, nullptr, QZ_ERR_INVALID_VALUE, false, false},
      {"unanswered request", K10, 7, 1, nullptr, QZ_ERR_DEVICE_READ_TIMEOUT, true, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Device d(c.m);
    ASSERT_TRUE(d.ok());
    TempFolder base;
    std::vector<SdRecording> card = Card8(2, 100);
    card[6].date = "2024/13/5-9:7:2:";
    if (c.code == QZ_ERR_BUFFER_OVERFLOW) card[7].config = std::string(1100, 'x');
    Card(d).SetRecordings(card);
    if (c.code == QZ_ERR_DEVICE_RESPONSE && c.requested)
      d.AddFault("~01SDL100000007", FaultKind::Refuse);
    if (c.code == QZ_ERR_DEVICE_READ_TIMEOUT) d.AddFault("~01SDL100000007", FaultKind::NoReply);
    const char* folder = c.folder ? c.folder : base.c();
    EXPECT_TRUE(FailsWith(d.model().DownloadSDFile(c.index, static_cast<char>(c.selector),
                                                   const_cast<char*>(folder), 0),
                          c.code));
    const Strings sent = d.Take();
    EXPECT_EQ(CountOf(sent, "~01SDL100000007"), c.requested ? 1 : 0);
    EXPECT_EQ(CountOf(sent, "~01Z"), c.requested ? 1 : 0);  // every start that asked ends it
    const std::vector<std::string> files = FilesBelow(base.str());
    EXPECT_EQ(files.size(), c.configLeft ? 1u : 0u);
    if (!files.empty()) {
      EXPECT_EQ(ReadFile(files[0]), "");
    }
    // No worker is left behind: a scan start is not refused as busy.
    QZ_ClearLastError();
    QZ_StartAIScan(d.h());
    EXPECT_NE(QZ_GetLastError(), static_cast<unsigned>(QZ_ERR_DEVICE_BUSY));
    QZ_StopAIScan(d.h());
  }
}

}  // namespace

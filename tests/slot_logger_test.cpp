// The logger of the slot carriers against the emulator (one data port per slot, gaps in the
// slot layout): what each binary log mode writes (the files together are the rows of every
// slot's stream in frame order, each file whole rows), the ".config" file line for line, names
// and folders under a stepping log clock, the stored-log reader on the result, refusals, a
// failed data file and each stop path; and the timed text records of trigger modes 4 and 5.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "drivers/slot/SlotTextRecord.h"
#include "emulator/SlotCarrierModule.h"
#include "emulator/SlotStreamer.h"
#include "framework/EngineTimings.h"
#include "nivex.h"
#include "tests/common/FileFixtures.h"
#include "tests/common/ScanFixture.h"
#include "tests/common/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace nivex::test;
using nivex::emu::Model;
using nivex::emu::SlotCarrierModule;
constexpr unsigned short kLogged = QZ_BUF_LOG_STARTED | QZ_BUF_TARGET_REACHED | QZ_BUF_LOG_ENDED;

std::unique_ptr<Device> Carrier(Model m, const std::string& layout) {
  auto d = std::make_unique<Device>(m, [&](nivex::emu::Options& o) { o.slotLayout = layout; });
  if (d->ok()) d->Locked<SlotCarrierModule>([](SlotCarrierModule& e) { e.SetRowCodes(true); });
  return d;
}

// The first rows x channels samples in frame order as the emulator's row codes give them
// (channel i mod C of row i / C), as little-endian 16-bit words.
std::string Rows(unsigned rows, unsigned channels) {
  std::string out;
  for (uint64_t i = 0; i < uint64_t{rows} * channels; ++i) {
    const unsigned code = ((i % channels) << 10) | ((i / channels) % 1024);
    out.push_back(static_cast<char>(code & 0xFF));
    out.push_back(static_cast<char>(code >> 8));
  }
  return out;
}

TEST(SlotLogger, EachBinaryLogModeKeepsEverySlotsRows) {
  const struct {
    const char* layout;  // card characters by slot; '0' an empty slot
    int channels, mode, split, minutes;
    unsigned rows;
  } kRuns[] = {
      {"2019", 30, QZ_LOG_BINARY, 1, 1, 150},          // 12, 0, 8, 10 of 16: one file
      {"1199", 48, 2, 7, 1, 100},                       // every channel
      {"809", 20, QZ_LOG_BINARY_NOCONFIG, 5, 1, 120},  // 8, 0, 12 of 16
      {"2019", 30, QZ_LOG_BINARY, 1, 0, 12},           // a new file at every row
      {"91", 18, 2, 7, 0, 9},
  };
  QuickTimings quick;
  for (const auto& r : kRuns) {
    SCOPED_TRACE(std::string(r.layout) + " mode " + std::to_string(r.mode) + " minutes " +
                 std::to_string(r.minutes));
    TestClock clock(2024, 3, 3, 23, 59, 58, 1);
    auto d = Carrier(Model::D3054s, r.layout);
    ASSERT_TRUE(d->ok());
    TempFolder t;
    const std::string base = t.str(), p = LogPrefix(d->emu().options().ip);
    const unsigned n = r.rows * r.channels;
    ASSERT_EQ(QZ_SetAIScanParam(d->h(), r.channels, 0, 0, 2000, n, 0, 0), 1);
    ASSERT_EQ(QZ_SetConfig(d->h(), 4, 1, r.split), 1);
    d->Take();
    ASSERT_EQ(QZ_StartLogger(d->h(), const_cast<char*>(t.c()), r.minutes, r.mode), 1);
    ASSERT_TRUE(WaitForStatus(d->h(), QZ_BUF_LOG_ENDED, 8000));
    EXPECT_EQ(RingStatus(d->h()), kLogged);
    EXPECT_EQ(QZ_StopLogger(d->h()), 1);
    const Strings cmds = d->Take();
    EXPECT_EQ(CountOf(cmds, "~01S"), 1);
    EXPECT_EQ(CountOf(cmds, "~01SST"), r.mode == QZ_LOG_BINARY ? 1 : 0);
    EXPECT_EQ(cmds.back(), "~01Z");

    // The ".config" file: nine lines of the settings, then the module's start time (mode 0).
    const bool config = r.mode != QZ_LOG_BINARY_NOCONFIG;
    const std::vector<std::string> configs = FilesBelow(base + "/config");
    ASSERT_EQ(configs.size(), config ? 1u : 0u);
    unsigned tag = 0;
    if (config) {
      std::smatch k;
      const std::string name = fs::path(configs[0]).filename().string();
      ASSERT_TRUE(std::regex_match(
          name, k, std::regex("IP_" + p + "_([0-9a-f]{4})_2024_3_3_23_59_58\\.config")));
      tag = static_cast<unsigned>(std::stoul(k[1], nullptr, 16));
      const std::string want = "Module Name,D3054Ws\nSDKVersion,1.2.2.3\nIP," +
                               d->emu().options().ip + "\nGain,0\nChannel Count," +
                               std::to_string(r.channels) + "\nSample Rate,2000\nSample Count," +
                               std::to_string(n) + "\nExternal Trigger,0\nTransfer Mode,0\n";
      const std::string text = ReadFile(configs[0]);
      EXPECT_EQ(text.substr(0, want.size()), want);
      const std::regex time(
          "Start Sampling Time,\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\n");
      const std::string rest = text.substr(std::min(want.size(), text.size()));
      EXPECT_TRUE(r.mode == 2 ? rest.empty() : std::regex_match(rest, time)) << rest;
    }

    // The data files, one per reading of the clock, whole rows in each, together the stream.
    const std::vector<std::string> files = FilesBelow(base + "/log");
    ASSERT_FALSE(files.empty());
    if (!config)
      tag = static_cast<unsigned>(
          std::stoul(fs::path(files[0]).filename().string().substr(p.size() + 1, 4), nullptr, 16));
    std::vector<std::string> ordered;
    for (size_t i = 0; i < files.size(); ++i)
      ordered.push_back(
          LogDataPath(base, p, tag, clock.base + (config ? 1 : 0) + static_cast<time_t>(i),
                      r.split, i == 0, ".bin"));
    std::vector<std::string> sorted = ordered;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(files, sorted);
    if (r.minutes == 0) {
      EXPECT_GT(files.size(), r.rows / 2);
    } else {
      EXPECT_EQ(files.size(), 1u);
    }
    std::string all;
    for (const std::string& f : ordered) {
      const std::string part = ReadFile(f);
      EXPECT_EQ(part.size() % (2u * r.channels), 0u) << f;
      all += part;
    }
    EXPECT_TRUE(all == Rows(r.rows, r.channels));

    // The stored-log reader on the first file: its samples and channel count.
    if (!config) continue;
    void* h = QZ_LogFile_Open(ordered[0].c_str());
    unsigned short c = 0, g = 0, trig = 0, m = 0, sync = 0;
    unsigned rate = 0, count = 0;
    char date[QZ_LOG_DATE_SIZE] = "", when[QZ_LOG_TIME_SIZE] = "";
    EXPECT_EQ(QZ_GetLogFile_AIScanConfigInfo(h, &c, &g, &trig, &rate, &m, &sync), 1);
    EXPECT_EQ(QZ_GetLogFile_AIScanSampleInfo(h, &count, date, when), 1);
    std::vector<uint32_t> codes(count);
    codes.resize(static_cast<size_t>(QZ_GetLogFile_AIDataHex(h, 0, count, codes.data())));
    std::string read;
    for (uint32_t code : codes)
      read += {static_cast<char>(code & 0xFF), static_cast<char>(code >> 8)};
    EXPECT_EQ(c, r.channels);
    EXPECT_TRUE(read == ReadFile(ordered[0]));
    QZ_LogFile_Close(h);
  }
}

TEST(SlotLogger, RefusalsChangeNothing) {
  QuickTimings quick;
  auto e = Carrier(Model::D3054s, "1209");
  ASSERT_TRUE(e->ok());
  TempFolder t;
  ASSERT_EQ(QZ_SetAIScanParam(e->h(), 36, 0, 0, 1000, 0, 0, 0), 1);
  // Text rows would hold 0.000 for every value: the cards' codes have no volts here.
  for (int mode : {QZ_LOG_TEXT, QZ_LOG_TEXT_NOCONFIG}) {
    e->Take();
    EXPECT_TRUE(FailsWith(QZ_StartLogger(e->h(), const_cast<char*>(t.c()), 1, mode),
                          QZ_ERR_NOT_IMPLEMENTED));
    EXPECT_TRUE(e->Take().empty());
    EXPECT_EQ(CountEntries(t.str()), 0);
  }
  const std::string tooLong = t / std::string(250, 'a');
  EXPECT_TRUE(FailsWith(QZ_StartLogger(e->h(), const_cast<char*>(tooLong.c_str()), 1, 0),
                        QZ_ERR_INVALID_ARGUMENT));
  // While a scan runs: the scan goes on undisturbed, nothing is written or sent.
  ASSERT_EQ(QZ_StartAIScan(e->h()), 1);
  ASSERT_TRUE(WaitUntil([&] { return RingSize(e->h()) >= 36 * 10; }, 3000));
  e->Take();
  EXPECT_TRUE(FailsWith(QZ_StartLogger(e->h(), const_cast<char*>(t.c()), 1, QZ_LOG_BINARY),
                        QZ_ERR_DEVICE_BUSY));
  EXPECT_TRUE(e->Take().empty());
  EXPECT_EQ(CountEntries(t.str()), 0);
  const unsigned before = RingSize(e->h());
  EXPECT_TRUE(WaitUntil([&] { return RingSize(e->h()) > before + 36 * 10; }, 3000));
  EXPECT_EQ(RingStatus(e->h()) & (QZ_BUF_LOG_STARTED | QZ_BUF_LOG_ENDED), 0);
  EXPECT_EQ(QZ_StopAIScan(e->h()), 1);

  // The D4071s has no logger; its logger stop ends a running scan.
  auto d = Carrier(Model::D4071s, "00010001");
  ASSERT_TRUE(d->ok());
  ASSERT_EQ(QZ_SetAIScanParam(d->h(), 16, 0, 0, 1000, 0, 0, 0), 1);
  EXPECT_TRUE(FailsWith(QZ_StartLogger(d->h(), const_cast<char*>(t.c()), 1, QZ_LOG_BINARY),
                        QZ_ERR_NOT_IMPLEMENTED));
  ASSERT_EQ(QZ_StartAIScan(d->h()), 1);
  ASSERT_TRUE(WaitForStatus(d->h(), QZ_BUF_DATA));
  d->Take();
  EXPECT_EQ(QZ_StopLogger(d->h()), 1);
  // The worker's own trigger-index question may fall on either side of the stop.
  Strings sent = d->Take();
  sent.erase(std::remove(sent.begin(), sent.end(), "~01XN"), sent.end());
  EXPECT_EQ(sent, Strings{"~01Z"});
  EXPECT_EQ(RingStatus(d->h()) & QZ_BUF_SCAN_ENDED, QZ_BUF_SCAN_ENDED);
  EXPECT_EQ(QZ_StartAIScan(d->h()), 1);  // the worker is gone
  EXPECT_EQ(QZ_StopAIScan(d->h()), 1);
}

TEST(SlotLogger, AFailedFileEndsTheRunAndEveryStopClosesTheFile) {
  QuickTimings quick;
  TestClock clock(2024, 3, 5, 9, 7, 2, 0);
  auto e = Carrier(Model::D3054s, "201");
  ASSERT_TRUE(e->ok());
  TempFolder t;
  const std::string p = LogPrefix(e->emu().options().ip);
  ASSERT_EQ(QZ_SetAIScanParam(e->h(), 20, 0, 0, 1000, 2000, 0, 0), 1);
  // The sub-folder of the first file is taken by a file.
  WriteFile(t / ("log/" + p + "/2024_03_05_09_07"), "in the way");
  ASSERT_EQ(QZ_StartLogger(e->h(), const_cast<char*>(t.c()), 1, QZ_LOG_BINARY), 1);
  ASSERT_TRUE(WaitForStatus(e->h(), QZ_BUF_LOG_ENDED));
  EXPECT_EQ(RingStatus(e->h()), QZ_BUF_LOG_ENDED);
  EXPECT_TRUE(FailsWith(QZ_StopLogger(e->h()), QZ_ERR_LOG_FILE_OPEN));
  fs::remove(t / ("log/" + p + "/2024_03_05_09_07"));

  // A continuous log stopped by each stop function; then a new one starts.
  ASSERT_EQ(QZ_SetAIScanParam(e->h(), 20, 0, 0, 1000, 0, 0, 0), 1);
  for (auto stop : {QZ_StopAIScan, QZ_StopLogger}) {
    TempFolder logs;
    ASSERT_EQ(QZ_StartLogger(e->h(), const_cast<char*>(logs.c()), 1, 4), 1);
    ASSERT_TRUE(WaitForStatus(e->h(), QZ_BUF_LOG_STARTED));
    EXPECT_EQ(OpenBelow(logs / "log"), 1);
    EXPECT_EQ(stop(e->h()), 1);
    EXPECT_EQ(OpenBelow(logs / "log"), 0);
    EXPECT_EQ(RingStatus(e->h()) & QZ_BUF_LOG_ENDED, QZ_BUF_LOG_ENDED);
    const std::vector<std::string> files = FilesBelow(logs / "log");
    ASSERT_EQ(files.size(), 1u);
    const std::string logged = ReadFile(files[0]);  // what came before the stop
    const std::string rows = Rows(static_cast<unsigned>(logged.size() / 40 + 1), 20);
    EXPECT_EQ(rows.compare(0, logged.size(), logged), 0);
  }

  // The module falls silent: the twelfth silence of 36 ms (1,460,000 x 2.5 / (20 x 5000)
  // steps of 1 ms) is a stall.
  nivex::EngineTimings fast;
  fast.shortDataWait = std::chrono::milliseconds(20);
  fast.silenceStep = std::chrono::milliseconds(1);
  nivex::SetTimings(fast);
  ASSERT_EQ(QZ_SetAIScanParam(e->h(), 20, 0, 0, 5000, 200000, 0, 0), 1);
  for (int k : {0, 2}) {  // both after 25 rows
    nivex::emu::StreamSettings set = nivex::emu::SlotStreamerOf(e->emu(), k)->Settings();
    set.silenceAfterBytes = k == 0 ? 600 : 400;
    nivex::emu::SlotStreamerOf(e->emu(), k)->SetSettings(set);
  }
  TempFolder logs;
  StdoutCapture out;
  const long long t0 = NowMs();
  ASSERT_EQ(QZ_StartLogger(e->h(), const_cast<char*>(logs.c()), 1, 4), 1);
  ASSERT_TRUE(WaitForStatus(e->h(), QZ_BUF_LOG_ENDED));
  EXPECT_GE(NowMs() - t0, 12 * 36);
  EXPECT_EQ(RingStatus(e->h()), QZ_BUF_LOG_STARTED | QZ_BUF_LOG_TIMEOUT | QZ_BUF_LOG_ENDED);
  EXPECT_EQ(out.Stop(), "");
  EXPECT_EQ(QZ_StopLogger(e->h()), 1);
}

TEST(SlotTextRecords, ParseFormatAndBuffer) {
  const struct {
    const char* text;
    size_t bytes;  // 0: the whole text
    bool ok;
    const char* line;  // of a 10-channel slot's row part
  } kRecords[] = {
      {"12:34:56,789,x,1.5,-2.25,+3", 0, true, "12:34:56,789,10,1.500,-2.250,3.000,0.000,0.000,"
                                              "0.000,0.000,0.000,0.000,0.000\n"},
      {"1:2:3,4,,40,-40,0.0019,nan,x,1,2,3,4,5", 0, true,
       "01:02:03,4,10,32.767,-32.768,0.001,0.000,0.000,1.000,2.000,3.000,0.000,0.000\n"},
      {"01:02:03,9,z,7.5", 13, true, "01:02:03,9,10,0.000,0.000,0.000,0.000,0.000,0.000,0.000,"
                                     "0.000,0.000,0.000\n"},  // cut before the values
      {"01:02:03,4294967295\r\n", 0, true, "01:02:03,4294967295,10,0.000,0.000,0.000,0.000,"
                                           "0.000,0.000,0.000,0.000,0.000,0.000\n"},
      {"01:02:03,4294967296", 0, false, ""},
      {"01:02,5,x,1", 0, false, ""},
      {"01:02:03", 0, false, ""},
      {"01:02:0x,5", 0, false, ""},
      {"", 0, false, ""},
  };
  for (const auto& r : kRecords) {
    SCOPED_TRACE(r.text);
    nivex::SlotTextRecord rec;
    const size_t bytes = r.bytes ? r.bytes : strlen(r.text);
    ASSERT_EQ(nivex::ParseSlotTextRecord(r.text, bytes, &rec), r.ok);
    if (!r.ok) continue;
    int16_t codes[10];
    nivex::RecordRowPart(rec, 10, codes);
    EXPECT_EQ(nivex::FormatRecordLine(rec.stamp, codes, 10), r.line);
  }

  // The buffer pairs the n-th record written with the n-th read, across the wrap.
  nivex::SlotRecordBuffer buffer;
  nivex::SlotRecord in, out;
  uint32_t written = 0, read = 0;
  for (int round = 0; round < 3; ++round) {
    while ((in.count = written, buffer.Push(in))) ++written;
    EXPECT_EQ(buffer.Size(), nivex::SlotRecordBuffer::kRecords);
    for (int i = 0; i < 3001; ++i) {
      ASSERT_TRUE(buffer.Pop(&out));
      EXPECT_EQ(out.count, read++);
    }
  }
  while (buffer.Pop(&out)) EXPECT_EQ(out.count, read++);
  EXPECT_EQ(read, written);
}

}  // namespace

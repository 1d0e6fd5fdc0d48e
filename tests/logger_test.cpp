// The logger of the high-speed types against the emulator: what each log type, split mode and
// the chunk stream write (the files together are the stream the module sent, cut on rows), the
// ".config" file line for line, names and folders under a stepping log clock, a start refused
// while a scan runs, refusals and failures, and the clean-up of each stop path.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "framework/LogClock.h"
#include "nivex.h"
#include "tests/common/FileFixtures.h"
#include "tests/common/ScanFixture.h"
#include "tests/common/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace nivex::test;
using nivex::emu::Model;
constexpr Model K10 = Model::RX5K10, K30 = Model::RX5K30, BN = Model::RXBN500;
constexpr unsigned short kLogged = QZ_BUF_LOG_STARTED | QZ_BUF_TARGET_REACHED | QZ_BUF_LOG_ENDED;

// The ".config" text the module's settings and calibration call for (no start-time line).
std::string ExpectedConfig(Device& d, Model m, int channels, int mode, unsigned n) {
  unsigned short c = 0, g = 0, t = 0, tm = 0, a = 0;
  unsigned rate = 0, target = 0;
  EXPECT_EQ(QZ_GetAIScanParam(d.h(), &c, &g, &t, &rate, &target, &tm, &a), 1);
  const char* name = m == K10 ? "RX-5K10" : m == K30 ? "RX-5K30" : "RX-BN500";
  std::string s = std::string("Module Name,") + name + "\nSDKVersion,1.2.2.3\nIP," +
                  d.emu().options().ip + "\nGain,0\n";
  if (m == K30) s += "Range," + std::to_string(d.emu().Calibration(0, 0).rangeMv) + "\n";
  s += "Channel Count," + std::to_string(channels) + "\nSample Rate," + std::to_string(rate) +
       "\nSample Count," + std::to_string(n) + "\nExternal Trigger," + std::to_string(mode) +
       "\nTransfer Mode,0\n";
  if (m == K10) s += "Sync Mode,0\n";
  for (int ch = 0; ch < channels && m != BN; ++ch) s += "CH" + std::to_string(ch) + "\n";
  for (int ch = 0; ch < channels; ++ch) {
    const nivex::emu::CalEntry e = d.emu().Calibration(ch, 0);
    s += "CH" + std::to_string(ch) + (m == BN ? ",Range," : ",Gain,") + std::to_string(e.gain) +
         ", Offset," + std::to_string(e.offset) + "\n";
  }
  return s;
}

void Calibrate(nivex::emu::Emulator& e) {
  SetLevels(e);
  nivex::emu::CalEntry c = e.Calibration(1, 0);
  const bool bn = e.options().model == BN;
  c.gain = bn ? 10500 : 0x7E00;
  c.offset = bn ? -300 : -12;
  e.SetCalibration(1, 0, c);
}

TEST(Logger, EachLogTypeAndSplitModeKeepsTheStream) {
  const struct {
    Model m;
    int type, split, mode, channels, rate;
    unsigned n;
    bool pieces;  // the module's sends end inside samples
  } kRuns[] = {
      // RXBN500 has no split-mode setting: it keeps mode 1
      {K10, QZ_LOG_BINARY, 1, 0, 3, 1000, 600, false},
      {K10, QZ_LOG_TEXT, 7, 0, 3, 1000, 600, false},
      {K30, QZ_LOG_TEXT, 6, 0, 3, 1000, 600, false},
      {K30, QZ_LOG_BINARY, 2, 0, 3, 1000, 600, false},
      {K30, 2, 3, 0, 2, 1000, 600, false},
      {K10, QZ_LOG_TEXT_NOCONFIG, 4, 0, 3, 1000, 600, false},
      {K10, QZ_LOG_BINARY_NOCONFIG, 5, 0, 3, 1000, 600, false},
      {K10, 0, 0, 0, 3, 1000, 600, false},
      {BN, QZ_LOG_BINARY, 1, 0, 3, 1000, 600, false},
      {BN, QZ_LOG_TEXT_NOCONFIG, 1, 0, 2, 1000, 600, false},
      {K10, QZ_LOG_BINARY, 0, 8, 2, 1000, 5, false},  // chunks: rotate even in split mode 0
      {K30, QZ_LOG_TEXT, 1, 8, 2, 1000, 5, false},
      {K30, QZ_LOG_BINARY, 1, 0, 3, 1000, 90, true},
      {BN, QZ_LOG_TEXT, 1, 0, 3, 1000, 90, true},
      {K10, QZ_LOG_BINARY, 1, 0, 8, 40000, 16000, false},  // buffered by the rate: pre-phase
      {K10, QZ_LOG_TEXT, 3, 3, 2, 1000, 400, false},       // the trigger bit marks the data
  };
  QuickTimings quick;
  for (const auto& r : kRuns) {
    SCOPED_TRACE(std::string(nivex::emu::ModelText(r.m)) + " type " + std::to_string(r.type) +
                 " split " + std::to_string(r.split) + " mode " + std::to_string(r.mode));
    TestClock clock(2024, 3, 3, 23, 59, 57);  // a Sunday; later files fall on the Monday
    Device d(r.m, nullptr, Calibrate);
    ASSERT_TRUE(d.ok());
    TempFolder t;
    const std::string base = t / "runs", p = LogPrefix(d.emu().options().ip);
    fs::create_directory(base);
    ASSERT_EQ(QZ_SetAIScanParam(d.h(), r.channels, 0, r.mode, r.rate, r.n, 0, 0), 1);
    if (r.m != BN) {
      ASSERT_EQ(QZ_SetConfig(d.h(), 4, 1, r.split), 1);
    }
    Stream(d, [&](nivex::emu::StreamSettings& s) {
      s.mode = r.mode;
      s.splitPauseMs = r.pieces ? 1 : -1;
      s.triggerAfterMs = 250;
    });
    d.Take();
    ASSERT_EQ(QZ_StartLogger(d.h(), const_cast<char*>(base.c_str()), 0, r.type), 1);
    ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_LOG_ENDED, 8000));
    EXPECT_EQ(RingStatus(d.h()), kLogged | (r.mode == 3 ? QZ_BUF_DATA : 0));
    EXPECT_EQ(QZ_StopLogger(d.h()), 1);
    const std::string sent = Streamer(d).Sent();
    const Strings commands = d.Take();
    EXPECT_EQ(CountOf(commands, "~01E"), r.rate * r.channels > 240000 || r.mode == 3 ? 1 : 0);
    EXPECT_EQ(commands.back(), "~01Z");

    // The ".config" file: the settings and the calibration, then the module's start time.
    const bool config = r.type != QZ_LOG_TEXT_NOCONFIG && r.type != QZ_LOG_BINARY_NOCONFIG;
    const std::vector<std::string> configs = FilesBelow(base + "/config");
    ASSERT_EQ(configs.size(), config ? 1u : 0u);
    unsigned tag = 0;
    std::string startLine;
    if (config) {
      std::smatch k;
      const std::string name = fs::path(configs[0]).filename().string();
      ASSERT_TRUE(std::regex_match(
          name, k, std::regex("IP_" + p + "_([0-9a-f]{4})_2024_3_3_23_59_57\\.config")));
      tag = static_cast<unsigned>(std::stoul(k[1], nullptr, 16));
      const std::string text = ReadFile(configs[0]),
                        want = ExpectedConfig(d, r.m, r.channels, r.mode, r.n);
      EXPECT_EQ(text.substr(0, want.size()), want);
      startLine = text.substr(std::min(want.size(), text.size()));
      const std::regex time(
          "Start Sampling Time,\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\n");
      EXPECT_TRUE(r.type == 2 ? startLine.empty() : std::regex_match(startLine, time)) << startLine;
    }

    // The data files, one per reading of the clock, named and placed by their own time.
    const std::vector<std::string> files = FilesBelow(base + "/log");
    ASSERT_FALSE(files.empty());
    if (!config)
      tag = static_cast<unsigned>(
          std::stoul(fs::path(files[0]).filename().string().substr(p.size() + 1, 4), nullptr, 16));
    const char* ext = r.mode == 8 || r.type == QZ_LOG_TEXT ? ".txt" : ".bin";
    std::vector<std::string> ordered;
    for (size_t i = 0; i < files.size(); ++i)
      ordered.push_back(LogDataPath(base, p, tag,
                                 clock.base + (config ? 1 : 0) + static_cast<time_t>(i), r.split,
                                 i == 0, ext));
    std::vector<std::string> sorted = ordered;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(files, sorted);
    EXPECT_EQ(files.size() > 1, r.split != 0 || r.mode == 8);  // no rotation in split mode 0

    const bool text = r.mode != 8 && (r.type == QZ_LOG_TEXT || r.type == QZ_LOG_TEXT_NOCONFIG);
    const size_t row = static_cast<size_t>(r.channels) * (r.m == K10 ? 2 : 4);
    std::string all;
    for (size_t i = 0; i < ordered.size(); ++i) {
      const std::string part = ReadFile(ordered[i]);
      const bool last = i + 1 == ordered.size();
      if (r.mode != 8 && !last) {  // every file but the last holds whole rows
        if (text)
          EXPECT_EQ(part.substr(std::max<size_t>(part.size(), 2) - 2), "\r\n") << ordered[i];
        else
          EXPECT_EQ(part.size() % row, 0u) << ordered[i];
      }
      all += part;
    }
    if (config && r.mode != 8) {  // the stored-log reader: the first file with its ".config"
      const std::string first = ReadFile(ordered[0]);
      void* h = QZ_LogFile_Open(ordered[0].c_str());
      unsigned n = 0;
      char date[QZ_LOG_DATE_SIZE] = "", time[QZ_LOG_TIME_SIZE] = "";
      EXPECT_EQ(QZ_GetLogFile_AIScanSampleInfo(h, &n, date, time), 1);
      EXPECT_EQ(n, text ? std::count(first.begin(), first.end(), '\n') * r.channels
                        : first.size() / (r.m == K10 ? 2 : 4));
      EXPECT_EQ(r.type == 2 ? "0000/00/00" : startLine.substr(20, 10), date);
      QZ_LogFile_Close(h);
    }
    if (!text) {
      EXPECT_EQ(all, sent);  // the stream as the module sent it
      continue;
    }
    // Text rows: channel-count values to a line, 5 or 7 decimals, each its channel's level.
    const std::regex value(r.m == K10 ? "-?\\d+\\.\\d{5}" : "-?\\d+\\.\\d{7}");
    size_t count = 0, wrong = 0, pos = 0;
    while (pos < all.size()) {
      const size_t end = all.find("\r\n", pos);
      ASSERT_NE(end, std::string::npos);
      std::stringstream line(all.substr(pos, end - pos));
      std::string item;
      int ch = 0;
      for (; std::getline(line, item, ','); ++ch, ++count)
        wrong += !std::regex_match(item, value) || std::fabs(std::stod(item) - Level(ch)) > 0.002;
      EXPECT_EQ(ch, r.channels);
      pos = end + 2;
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(count, r.n);
  }
}

// A continuous logger's data file, or a scan, stopped by each stop function.
TEST(Logger, AStartWhileAScanRunsChangesNothingAndEachStopCleansUp) {
  QuickTimings quick;
  Device d(K10, nullptr, SetLevels);
  ASSERT_TRUE(d.ok());
  TempFolder t;
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 2, 0, 0, 1000, 0, 0, 0), 1);
  ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
  ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_DATA));
  d.Take();
  EXPECT_TRUE(FailsWith(QZ_StartLogger(d.h(), const_cast<char*>(t.c()), 1, QZ_LOG_BINARY),
                        QZ_ERR_DEVICE_BUSY));
  EXPECT_EQ(CountEntries(t.str()), 0);  // no folder, no file
  EXPECT_TRUE(d.Take().empty());        // nothing sent
  const unsigned before = RingSize(d.h());
  EXPECT_TRUE(WaitUntil([&] { return RingSize(d.h()) > before + 100; }, 2000));  // it goes on
  EXPECT_EQ(RingStatus(d.h()) & (QZ_BUF_LOG_STARTED | QZ_BUF_LOG_ENDED), 0);
  const long long t0 = NowMs();
  EXPECT_EQ(QZ_StopLogger(d.h()), 1);  // stops the scan, ring released
  EXPECT_LT(NowMs() - t0, 1500);
  unsigned codes[8];
  EXPECT_GT(RingSize(d.h()), 0u);
  EXPECT_EQ(QZ_GetAIBufferHex(d.h(), codes, 8), 0);

  // A log stopped by either stop function: its file is closed and complete.
  for (auto stop : {QZ_StopAIScan, QZ_StopLogger}) {
    TempFolder logs;
    ASSERT_EQ(QZ_StartLogger(d.h(), const_cast<char*>(logs.c()), 1, QZ_LOG_BINARY), 1);
    ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_LOG_STARTED));
    EXPECT_EQ(OpenBelow(logs / "log"), 1);
    EXPECT_EQ(stop(d.h()), 1);
    EXPECT_EQ(OpenBelow(logs / "log"), 0);
    const std::vector<std::string> files = FilesBelow(logs / "log");
    ASSERT_EQ(files.size(), 1u);
    // What was received before the stop (the rest of the module's sends stays on the socket).
    const std::string logged = ReadFile(files[0]);
    EXPECT_EQ(logged.size() % 4, 0u);
    EXPECT_EQ(Streamer(d).Sent().compare(0, logged.size(), logged), 0);
    EXPECT_EQ(RingStatus(d.h()) & QZ_BUF_LOG_ENDED, QZ_BUF_LOG_ENDED);
  }
}

TEST(Logger, ATextLogKeepsTheCalibrationOfItsStartWhileTheSetupChanges) {
  // A new gain code loads another calibration; the run's worker converts with the run's own
  // (ThreadSanitizer: no read of the device's tables while they are loaded).
  QuickTimings quick;
  Device d(K10, nullptr, SetLevels);
  ASSERT_TRUE(d.ok());
  TempFolder t;
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 2, 0, 0, 1000, 0, 0, 0), 1);
  ASSERT_EQ(QZ_StartLogger(d.h(), const_cast<char*>(t.c()), 1, QZ_LOG_TEXT), 1);
  for (int i = 0; i < 40; ++i) {
    const unsigned short gain = static_cast<unsigned short>(i % 2);
    EXPECT_EQ(QZ_SetAIScanParam(d.h(), 2, gain, 0, 1000, 0, 0, 0), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(QZ_StopLogger(d.h()), 1);
  EXPECT_NE(RingStatus(d.h()) & QZ_BUF_LOG_STARTED, 0);
}

TEST(Logger, RefusalsAndFilesThatCannotBeMade) {
  QuickTimings quick;
  TestClock clock(2024, 3, 5, 9, 7, 2, 0);
  Device d(K10, nullptr, SetLevels);
  ASSERT_TRUE(d.ok());
  TempFolder t;
  WriteFile(t / "file", "x");
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 2, 0, 0, 1000, 200, 0, 0), 1);
  d.Take();
  const std::string tooLong(250, 'a');
  const struct {
    std::string folder;
    int type;
    int code;
  } kRefused[] = {
      {t / tooLong, QZ_LOG_BINARY, QZ_ERR_INVALID_ARGUMENT},  // data paths beyond 259 bytes
      {t / "missing", QZ_LOG_BINARY, QZ_ERR_LOG_FILE_OPEN},   // no config folder
      {t / "file", QZ_LOG_BINARY, QZ_ERR_LOG_FILE_OPEN},
      {t / "file", QZ_LOG_TEXT_NOCONFIG, QZ_ERR_LOG_FILE_OPEN},  // no log folder
      {"", QZ_LOG_BINARY, QZ_ERR_INVALID_ARGUMENT},  // no folder to put anything in
  };
  for (const auto& r : kRefused) {
    SCOPED_TRACE(r.folder.substr(std::min(r.folder.size(), t.str().size())));
    EXPECT_TRUE(
        FailsWith(QZ_StartLogger(d.h(), const_cast<char*>(r.folder.c_str()), 1, r.type), r.code));
    EXPECT_TRUE(d.Take().empty());  // the module is not started
  }
  EXPECT_TRUE(FailsWith(QZ_StartLoggerW(nullptr, nullptr, 1, 0), QZ_ERR_FUNCTION_NOT_SUPPORTED));
  EXPECT_TRUE(FailsWith(QZ_StartLogger(nullptr, nullptr, 1, 0), QZ_ERR_INVALID_HANDLE));
  EXPECT_TRUE(FailsWith(QZ_StopLogger(nullptr), QZ_ERR_INVALID_HANDLE));

  // A data file that cannot be opened ends the run without its target: a failed run.
  const std::string p = LogPrefix(d.emu().options().ip);
  WriteFile(t / ("log/" + p + "/2024_03_05_09_07"), "in the way");
  ASSERT_EQ(QZ_StartLogger(d.h(), const_cast<char*>(t.c()), 1, QZ_LOG_BINARY), 1);
  ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_LOG_ENDED));
  EXPECT_EQ(RingStatus(d.h()), QZ_BUF_LOG_ENDED);
  // Its stop reports it, whatever stop another thread makes meanwhile (one that waits behind
  // this one: "~01Z" is answered late).
  nivex::emu::Fault late = MakeFault("~01Z", nivex::emu::FaultKind::Delay, "", 2);
  late.delayMs = 300;
  d.emu().AddFault(late);
  bool failed = false;
  std::thread logStop([&] { failed = FailsWith(QZ_StopLogger(d.h()), QZ_ERR_LOG_FILE_OPEN); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
  logStop.join();
  EXPECT_TRUE(failed);
  EXPECT_EQ(QZ_StopLogger(d.h()), 1);  // reported once

  // Every rotation of a run falls in one second of the clock: one file per run. A second run in
  // that second (both draw the tag in one second of the real clock, mostly) takes another tag:
  // it neither replaces the first run's ".config" nor extends its data file.
  fs::remove(t / ("log/" + p + "/2024_03_05_09_07"));
  const size_t configs = FilesBelow(t / "config").size();
  std::vector<std::string> sent, logged;
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(QZ_StartLogger(d.h(), const_cast<char*>(t.c()), 0, QZ_LOG_BINARY), 1);
    ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_LOG_ENDED));
    EXPECT_EQ(QZ_StopLogger(d.h()), 1);
    sent.push_back(Streamer(d).Sent());
  }
  for (const std::string& f : FilesBelow(t / "log")) logged.push_back(ReadFile(f));
  std::sort(sent.begin(), sent.end());
  std::sort(logged.begin(), logged.end());
  EXPECT_EQ(logged.size(), 2u);
  EXPECT_TRUE(logged == sent);  // each run's samples in a file of its own
  EXPECT_EQ(FilesBelow(t / "config").size(), configs + 2);

  // A module that falls silent: the twelfth expiry of the silence limit (50 ms) is a stall.
  ASSERT_EQ(QZ_SetConfig(d.h(), 5, 2, 1), 1);
  Stream(d, [](nivex::emu::StreamSettings& s) { s.silenceAfterBytes = 40; });
  ASSERT_EQ(QZ_StartLogger(d.h(), const_cast<char*>(t.c()), 1, QZ_LOG_BINARY), 1);
  ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_LOG_ENDED));
  EXPECT_EQ(RingStatus(d.h()), QZ_BUF_LOG_STARTED | QZ_BUF_LOG_TIMEOUT | QZ_BUF_LOG_ENDED);
  EXPECT_EQ(QZ_StopLogger(d.h()), 1);
}

TEST(Logger, AFileSizeLimitFailsTheRunAndSparesTheProcess) {
  // With the default handling of SIGXFSZ, in a process of its own: a data file that cannot be
  // written (the file-size limit: a full disk) fails the run, and the scan stop reports it.
  const pid_t child = fork();
  if (child == 0)
    _exit([] {
      signal(SIGXFSZ, SIG_DFL);
      QuickTimings quick;
      Device d(K10, nullptr, SetLevels);
      TempFolder full;
      const rlimit small{8192, 8192};
      return QZ_SetAIScanParam(d.h(), 2, 0, 0, 10000, 0, 0, 0) == 1 &&
             setrlimit(RLIMIT_FSIZE, &small) == 0 &&
             QZ_StartLogger(d.h(), const_cast<char*>(full.c()), 1, QZ_LOG_BINARY) == 1 &&
             WaitForStatus(d.h(), QZ_BUF_LOG_ENDED) &&
             FailsWith(QZ_StopAIScan(d.h()), QZ_ERR_LOG_FILE_OPEN);
    }() ? 0 : 1);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0) << "signal " << WTERMSIG(status);
}

}  // namespace

// The SD download worker of the high-speed drivers: it receives a recording from the data port
// through the device's stream receiver into the download's data files (a DownloadFileSink), with no
// pre-phase, until the recording's sample count has come.
//
// The run ends by itself at that count (QZ_BUF_TARGET_REACHED), by a stall of the module
// (QZ_BUF_LOG_TIMEOUT), a receive error or closed connection, or a data file that cannot be
// written; a stop ends it at its next wait. Whichever way it ends, the worker closes its data
// file before it sets QZ_BUF_LOG_ENDED, so every stop path finds the file closed once the worker
// is joined.
#include <ctime>

#include "drivers/highspeed/HighSpeedModel.h"
#include "support/Storax.h"

namespace nivex {
namespace {

// How a download names its data files, taken at its start.
struct DownloadNames {
  std::string logFolder;
  std::string prefix;
  unsigned int tag = 0;
  struct tm date = {};  // the recording's
  int splitMode = 1;
  bool text = false;  // ".txt"

  // The full path of the next data file, its sub-folder made: the first file carries the
  // recording's date, a later one the local time of its start.
  bool Path(bool first, std::string* path) const {
    struct tm t = date;
    if (!first) {
      const time_t now = time(nullptr);
      if (localtime_r(&now, &t) == nullptr) return false;
    }
    char sub[32], name[scanlog::kPathSize], folder[scanlog::kPathSize], full[scanlog::kPathSize];
    if (!scanlog::SubFolderName(splitMode, t, first, sub, sizeof sub) ||
        !scanlog::DataFileName(prefix.c_str(), tag, t, text, name, sizeof name) ||
        !scanlog::JoinPath(logFolder.c_str(), sub, folder, sizeof folder) ||
        !scanlog::JoinPath(folder, name, full, sizeof full))
      return false;
    if (sub[0] != '\0' && DirectoryExists(folder) == 0) CreateFolder(logFolder.c_str(), sub);
    *path = full;
    return true;
  }
};

}  // namespace

int HighSpeedModel::StartDownloadLocked() {
  ScanRun r;
  if (!TakeDownloadRun(&r)) return 0;
  retryCount = 0;
  firstData = false;
  fileClockStarted = false;
  watchdogClock->RestGlobalTicks();
  fileClock->RestGlobalTicks();
  run_ = r;

  // The recording's samples are counted, acknowledged and carried as a scan's; the receive
  // near the end asks for exactly the bytes the recording still owes.
  StreamReceiver::Setup setup;
  setup.unitBytes = r.traits.sampleBytes;
  setup.target = r.target;
  receiver_.Begin(dataSock, setup, &downloadSink_);

  DownloadFileSink::Setup files;
  files.sampleBytes = r.traits.sampleBytes;
  files.channels = r.channels;
  files.rawChunks = r.mode == 8;
  files.textRows = !files.rawChunks && scanlog::HasTextRows(logMode);
  files.decimals =
      r.traits.sampleBytes == 2 ? scanlog::kTextDecimals16Bit : scanlog::kTextDecimals24Bit;
  files.rotates = scanlog::SplitModeRotates(folderMode);
  files.periodMs = scanlog::RotationPeriodMs(minutesPerFile);
  DownloadNames names;
  names.logFolder = logFolder;
  names.prefix = filePrefix;
  names.tag = fileTag;
  names.date = sdDate_;
  names.splitMode = folderMode;
  names.text = r.mode == 8 || logMode == scanlog::kLogText;
  const int gain = r.gain;
  const bool gainOk = gain >= 0 && gain < Ranges();
  downloadSink_.Begin(
      files, [names](bool first, std::string* path) { return names.Path(first, path); },
      [this, gain, gainOk](int32_t code, unsigned channel) {
        const int ch = static_cast<int>(channel);
        return gainOk && ch < Channels() ? static_cast<double>(CodeVolts(code, ch, gain)) : 0.0;
      });
  return worker.Start(WorkerKind::Download, [this] { RunThreadDownload(); }) ? 1 : 0;
}

void HighSpeedModel::RunThreadDownload() {
  RunThreadDownload_ReceiveDATAfromQZDevice();
  downloadSink_.Close();
  Add_AD_Buf_Status(QZ_BUF_LOG_ENDED);
}

int HighSpeedModel::RunThreadDownload_ReceiveDATAfromQZDevice() {
  if (run_.target == 0) {
    TargetReached();  // an empty recording is complete before it starts
    return 1;
  }
  const long waitMs = static_cast<long>(run_.timings.logDataWait.count());
  while (worker.Running()) {
    const WaitResult ready = receiver_.Wait(waitMs);
    if (ready == WaitResult::Stopped) break;
    if (ready == WaitResult::TimedOut) {
      SilenceExpired(true);  // with the recording's count: a stall unless it is complete
      continue;
    }
    if (ready == WaitResult::Failed) {
      worker.EndRun();  // the wait itself failed
      break;
    }
    const StreamReceiver::Outcome got = receiver_.Receive();
    if (got == StreamReceiver::Outcome::Again) continue;
    if (got == StreamReceiver::Outcome::TargetDone) {
      TargetReached();
      break;
    }
    if (got != StreamReceiver::Outcome::Data) {
      Notify(QZ_EVENT_RECV_ERROR);
      worker.EndRun();
      break;
    }
    if (!firstData) Add_AD_Buf_Status(QZ_BUF_LOG_STARTED);  // the first file is open
    DAQProcess_AfterReceiveData();  // the first data noted, the watchdog restarted
    if (downloadSink_.Failed()) {
      worker.EndRun();  // a data file that cannot be written ends the run
      break;
    }
    if (receiver_.Received() >= run_.target) {
      TargetReached();
      break;
    }
  }
  return 1;
}

int HighSpeedModel::ChangeTimeStamp_SD_Download() { return downloadSink_.NextFile() ? 1 : 0; }

}  // namespace nivex

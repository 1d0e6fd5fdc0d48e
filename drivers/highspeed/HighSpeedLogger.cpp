// The logger of the high-speed drivers: a run of the scan worker (its pre-phase and receive
// loop, with the logger's rules below) whose whole samples go into data files
// (framework/LogFileSink.h) instead of the ring, with the run's ".config" file and its
// start-time line. Names, folders and the ".config" lines are the scan-log format's
// (framework/ScanLogFormat.h); names take their time from the log clock.
//
// A start is checked whole before anything changes: while a worker runs (a scan or another
// log) a start is refused and touches no field, no file and the module not at all.
#include <algorithm>
#include <memory>

#include "drivers/highspeed/HighSpeedModel.h"
#include "framework/LogClock.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {
// ------------------------------------------------------------------ start and stop

int HighSpeedModel::StartLogger(char* folder, int minutes, int logType) {
  std::lock_guard<std::mutex> control(controlMutex);
  std::unique_lock<std::recursive_mutex> command(exchangeMutex);
  if (worker.Busy()) return Fail(QZ_ERR_DEVICE_BUSY);
  if (cmdSock < 0 || dataSock < 0) return 0;
  ScanRun r;
  if (!TakeScanRun(&r)) return 0;
  // The log takes the sample stream, also with the sync-in option on.
  if (r.channels > Channels()) return Fail(QZ_ERR_CHANNEL_RANGE);
  char base[scanlog::kPathSize], prefix[sizeof filePrefix];
  if (!scanlog::RunFolders(folder, IP, base, prefix, sizeof prefix))
    return Fail(QZ_ERR_INVALID_ARGUMENT);

  logMode = logType;
  minutesPerFile = static_cast<unsigned int>(minutes);
  if (!paramsSet) {  // the module gets the cached parameters first; its answer is not examined
    SetScanParam(static_cast<short>(channelCount), static_cast<short>(gainCode),
                 static_cast<short>(triggerMode), sampleRate, targetCount,
                 static_cast<short>(transferMode), static_cast<short>(ackMode));
    if (!TakeScanRun(&r)) return 0;
  }
  r.syncIn = false;
  r.rowBytes = r.channels * r.traits.sampleBytes;
  CopyText(filePrefix, sizeof filePrefix, prefix);
  // The log clock names the ".config" file; a run without one takes its first reading at the
  // first data, so its tag is checked by the system clock's time.
  const struct tm now = scanlog::HasConfig(logType) ? LogClockNow() : SystemClockNow();
  fileTag = scanlog::FreeLogTag(base, prefix, now, folderMode);
  configPath[0] = '\0';
  if (fileTag == 0 ||
      (scanlog::HasConfig(logType) && !WriteLogConfig(base, prefix, fileTag, now)))
    return Fail(QZ_ERR_LOG_FILE_OPEN);
  if (!scanlog::MakeLogFolder(base, prefix) ||
      !scanlog::LogFolderPath(base, prefix, logFolder, sizeof logFolder))
    return Fail(QZ_ERR_LOG_FILE_OPEN);

  ring.Clear();  // status 0; a log keeps nothing in the ring
  acq_.SetModuleCount(0);
  continuous = r.target == 0;
  timeoutUnit = timeoutUnitOverride >= 1 ? timeoutUnitOverride
                                         : TimeoutUnit(kContinuousRingBytes, r.rate, r.channels);
  r.files = true;
  r.silenceMs = SilenceLimitMs(r.timings);
  SetRun(r);
  if (!StartLogWorkerLocked()) return 0;
  command.unlock();
  StartMagicScan();
  return 1;
}

int HighSpeedModel::StartLogWorkerLocked() {
  if (worker.Busy()) return Fail(QZ_ERR_DEVICE_BUSY);
  return StartRunLocked(HighSpeedLoggerPlan(run_));
}

LogFileSink::Setup HighSpeedModel::LogFiles(const ScanRun& r, bool chunkStream) const {
  LogFileSink::Setup files = LogFilesOfRun(r.channels, r.traits.sampleBytes);
  files.chunkStream = chunkStream;
  files.decimals = LogTextDecimals();
  const int gain = r.gain;
  const bool gainOk = gain >= 0 && gain < Ranges();
  // The run converts with the calibration loaded at its start.
  auto taken = std::make_shared<const HighSpeedCalibration>(cal);
  const int channels = Channels();
  files.volts = [this, taken, channels, gain, gainOk](int32_t code, unsigned int channel) {
    // A code the calibration cannot convert reads 0.0.
    const int ch = static_cast<int>(channel);
    return gainOk && ch < channels ? static_cast<double>(CodeVoltsOf(*taken, code, ch, gain))
                                   : 0.0;
  };
  return files;
}

int HighSpeedModel::StopLogger() {
  std::lock_guard<std::mutex> control(controlMutex);
  if (cmdSock < 0 || dataSock < 0) return 1;
  worker.RequestStop();  // an exchange of the worker ends at once: "~01Z" does not wait for it
  StopMagicScan();
  return StopAIScanLocked();
}

int HighSpeedModel::ChangeTimeStamp() { return logSink_.Rotate() ? 1 : 0; }

// ------------------------------------------------------------------ ".config" file

bool HighSpeedModel::WriteLogConfig(const char* base, const char* prefix, unsigned int tag,
                                    const struct tm& t) {
  return WriteRunConfig(base, prefix, tag, t,
                        [this](scanlog::ScanConfig* c) { DescribeLogRun(c, gainCode); });
}

void HighSpeedModel::SaveMagicConfig(char* base, char* prefix, unsigned int tag, void* time) {
  if (base == nullptr || prefix == nullptr || time == nullptr) return;
  WriteLogConfig(base, prefix, tag, *static_cast<const struct tm*>(time));
}

void HighSpeedModel::DescribeLogRun(scanlog::ScanConfig* c, int gain) const {
  c->channelLines = scanlog::ChannelLines::kGainOffset;
  const bool gainOk = gain >= 0 && gain < Ranges();
  for (int ch = 0; ch < std::min(c->channelCount, Channels()); ++ch) {
    c->channelGain[ch] = gainOk ? cal.gain[ch][gain] : 0;
    c->channelOffset[ch] = gainOk ? cal.offset[ch][gain] : 0;
  }
}

void HighSpeedModel::SaveStartSamplingTimetoConfigFile() { AppendStartSamplingTime(); }

}  // namespace nivex

// The logger of the slot carriers: a run of the scan worker (one stream receiver per slot's data
// socket into the shared ring) whose worker empties the ring, in frame order, into the data
// files after every receive (framework/LogFileSink.h: names, folders, rotation on a row
// boundary, append never truncate). The ".config" file and the names are the scan-log format's
// (framework/ScanLogFormat.h); names take their time from the log clock.
//
// A start is checked whole before anything changes: while a worker runs (a scan or another log)
// it is refused and touches no field, no file and the module not at all. The worker starts
// before the module does, so the module's first samples are not taken for stale ones.
#include <algorithm>

#include "drivers/slot/SlotCarrier.h"
#include "framework/LogClock.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {
namespace {

constexpr uint64_t kLogRingBytes = 1460000;
constexpr size_t kDrainSamples = 4096;  // samples taken from the ring per write to the files

}  // namespace

int SlotCarrier::StartLogRun(char* folder, int minutes, int mode) {
  std::lock_guard<std::mutex> control(controlMutex);
  std::unique_lock<std::recursive_mutex> command(exchangeMutex);
  if (worker.Busy()) return Fail(QZ_ERR_DEVICE_BUSY);
  if (cmdSock < 0) return 0;
  for (int k = 0; k < slotCount; ++k)
    if (dataSock[k] < 0) return 0;
  char base[scanlog::kPathSize], prefix[sizeof filePrefix];
  if (!scanlog::RunFolders(folder, IP, base, prefix, sizeof prefix))
    return Fail(QZ_ERR_INVALID_ARGUMENT);

  logMode = mode;
  minutesPerFile = static_cast<unsigned int>(minutes);
  if (!paramsSet) {  // the module gets the cached parameters first
    SetScanParam(static_cast<short>(channelCount), static_cast<short>(gainCode),
                 static_cast<short>(triggerMode), sampleRate, targetCount,
                 static_cast<short>(transferMode), static_cast<short>(ackMode));
  }
  SlotScanRun r;
  if (!TakeScanRun(&r)) return 0;
  CopyText(filePrefix, sizeof filePrefix, prefix);
  // The log clock names the ".config" file; a run without one takes its first reading at the
  // first data, so its tag is checked by the system clock's time.
  const struct tm now = scanlog::HasConfig(mode) ? LogClockNow() : SystemClockNow();
  fileTag = scanlog::FreeLogTag(base, prefix, now, folderMode);
  configPath[0] = '\0';
  logFolder[0] = '\0';
  if (fileTag == 0 ||
      (scanlog::HasConfig(mode) && !WriteLogConfig(base, prefix, fileTag, now)))
    return Fail(QZ_ERR_LOG_FILE_OPEN);
  if (!scanlog::MakeLogFolder(base, prefix) ||
      !scanlog::LogFolderPath(base, prefix, logFolder, sizeof logFolder))
    return Fail(QZ_ERR_LOG_FILE_OPEN);

  continuous = r.target == 0;
  ringSize = kLogRingBytes;
  timeoutUnit = TimeoutUnit(ringSize, r.rate, r.channels);
  const bool started = StartWorkerLocked(true);
  command.unlock();
  if (!started) {
    const int code = _GetLastError();
    StopMagicScan();  // the module is left stopped
    return Fail(static_cast<unsigned int>(code));
  }
  StartMagicScan();
  return 1;
}

bool SlotCarrier::WriteLogConfig(const char* base, const char* prefix, unsigned int tag,
                                 const struct tm& t) {
  // The record modes count rows, not samples: the file tells the rows of one slot.
  const bool records = triggerMode == 4 || triggerMode == 5;
  return WriteRunConfig(base, prefix, tag, t, [records](scanlog::ScanConfig* c) {
    if (records && c->channelCount > 0) c->sampleCount /= c->channelCount;
  });
}

int SlotCarrier::StopLogger() {
  std::lock_guard<std::mutex> control(controlMutex);
  worker.RequestStop();  // an exchange of the worker ends at once: "~01Z" does not wait for it
  if (cmdSock >= 0) StopMagicScan();
  return StopAIScanLocked();
}

void SlotCarrier::RunThread() { acq_.Run(); }

int SlotCarrier::RunThreadLog_ReceiveDATAfromQZDevice() {
  return SlotCarrier::RunThreadAIScan_ReceiveDATAfromQZDevice();
}

bool SlotCarrier::DrainRingToLog() {
  const unsigned width = SampleBytes();
  uint8_t codes[kDrainSamples * 4];
  const size_t most = sizeof codes / std::max(width, 1u);
  size_t n;
  while (!logSink_.Failed() && (n = ring_.Read(codes, most)) > 0) logSink_.Take(codes, n * width);
  return !logSink_.Failed();
}

int SlotCarrier::ChangeTimeStamp() { return logSink_.Rotate() ? 1 : 0; }

int SlotCarrier::GetQZStartSamplingTime(char* text) { return AskStartSamplingTime(text); }

void SlotCarrier::SaveStartSamplingTimetoConfigFile() { AppendStartSamplingTime(); }

}  // namespace nivex

// The start of the SD download worker of the high-speed drivers: the device's acquisition run
// with the download's rule row (HighSpeedAcquisition.cpp) receives a recording from the data
// port through the device's stream receiver into data files as a log's
// (framework/LogFileSink.h), with no pre-phase, until the recording's sample count has come.
//
// The run ends by itself at that count (QZ_BUF_TARGET_REACHED), by a stall of the module
// (QZ_BUF_LOG_TIMEOUT), a receive error or closed connection, or a data file that cannot be
// written; a stop ends it at its next wait. Whichever way it ends, the worker closes its data
// file before it sets QZ_BUF_LOG_ENDED, so every stop path finds the file closed once the worker
// is joined.
#include <utility>

#include "drivers/highspeed/HighSpeedModel.h"

namespace nivex {

int HighSpeedModel::StartDownloadLocked() {
  ScanRun r;
  if (!TakeDownloadRun(&r)) return 0;
  // The silence limit of a recording does not come from the scan rate the device last took.
  r.silenceMs = DownloadSilenceMs(r.timings, timeoutUnitOverride);
  r.rules = HighSpeedDownloadRules(r.timings, r.silenceMs);
  r.files = true;
  ResetRunState();
  SetRun(r);

  // The recording's samples are counted, acknowledged and carried as a scan's; the receive
  // near the end asks for exactly the bytes the recording still owes.
  StreamReceiver::Setup setup;
  setup.unitBytes = r.traits.sampleBytes;
  setup.target = r.target;
  receiver_.Begin(dataSock, setup, &logSink_);

  // The files as a log's, the first one named by the recording's date.
  LogFileSink::Setup files = LogFiles(r, r.mode == 8);
  files.firstTimeGiven = true;
  files.firstTime = sdDate_;
  files.firstFile = [this] { Add_AD_Buf_Status(QZ_BUF_LOG_STARTED); };
  logSink_.Begin(std::move(files));
  BeginRun(r);
  return worker.Start(WorkerKind::Download, [this] { RunThreadDownload(); }) ? 1 : 0;
}

int HighSpeedModel::ChangeTimeStamp_SD_Download() { return logSink_.Rotate() ? 1 : 0; }

}  // namespace nivex

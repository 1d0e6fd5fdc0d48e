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
#include "drivers/highspeed/HighSpeedModel.h"

namespace nivex {

int HighSpeedModel::StartDownloadLocked() {
  if (worker.Busy()) return Fail(QZ_ERR_DEVICE_BUSY);
  ScanRun r;
  if (!TakeDownloadRun(&r)) return 0;
  // The silence limit of a recording does not come from the scan rate the device last took.
  r.silenceMs = DownloadSilenceMs(r.timings, timeoutUnitOverride);
  r.files = true;
  SetRun(r);
  return StartRunLocked(HighSpeedDownloadPlan(r));
}

int HighSpeedModel::ChangeTimeStamp_SD_Download() { return logSink_.Rotate() ? 1 : 0; }

}  // namespace nivex

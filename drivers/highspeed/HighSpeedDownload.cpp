// The SD download worker of the high-speed drivers: it receives a recording from the data port
// through the device's stream receiver into data files as a log's (framework/LogFileSink.h), with
// no pre-phase, until the recording's sample count has come.
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
  return worker.Start(WorkerKind::Download, [this] { RunThreadDownload(); }) ? 1 : 0;
}

void HighSpeedModel::RunThreadDownload() {
  RunThreadDownload_ReceiveDATAfromQZDevice();
  logSink_.Close();
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
    DAQProcess_AfterReceiveData();  // the first data noted, the watchdog restarted
    if (logSink_.Failed()) {
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

int HighSpeedModel::ChangeTimeStamp_SD_Download() { return logSink_.Rotate() ? 1 : 0; }

}  // namespace nivex

// The module status queries of the high-speed drivers ("~01N", "~01E", "~01SST"), the reboot
// and the sample counters.

#include "drivers/highspeed/HighSpeedModel.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {

bool HighSpeedModel::GetQZRAMBufferStatus(uint32_t* count, uint32_t* status) {
  ReplyLine line;
  const char* const reply = line.text;
  if (!Exchange(cmdSock, &line, 1000, "~01N") || reply[0] != '!') return false;
  const int upTo = Traits().countOnlyFirmware;
  const bool countOnly = upTo >= 0 && firmVersion <= upTo;
  uint32_t n = 0;
  if (!LastDecField(line, countOnly ? 3 : 5, 18, 0xFFFFFFFFu, &n)) return false;
  if (!countOnly) {
    const char a = reply[3], b = reply[4];  // both present: the count follows them
    *status = a >= '0' && a <= '9' && b >= '0' && b <= '9' ? (a - '0') * 10u + (b - '0') : 0;
  }
  *count = n;
  return true;
}

int HighSpeedModel::TransmitData() {
  char reply[kReplySize];
  return Ask(reply, '!', "~01E");
}

int HighSpeedModel::GetQZStartSamplingTime(char* text) { return AskStartSamplingTime(text); }

int HighSpeedModel::ReBoot() {
  SendOnly(cmdSock, "Q");
  return 1;
}

unsigned int HighSpeedModel::GetDAQSampleCnt() { return acq_.ModuleCount(); }

unsigned int HighSpeedModel::GetTCPReceivedCnt() {
  return dataSock >= 0 ? receiver_.Received() : 0;
}

void HighSpeedModel::ClearCnt() {
  if (dataSock >= 0) receiver_.ClearCount();
}

}  // namespace nivex

// The configuration items that the high-speed and the slot drivers share: the log folder mode
// and the stored value (kept in the host) and the two RMS values (sent to the module).
#include "framework/RXMODEL_Class.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {

bool MODEL::SharedConfigItem(int kind, int item) {
  return (kind == 4 && (item == 1 || item == 2)) || (kind == 5 && (item == 0 || item == 1));
}

int MODEL::SetSharedConfig(int kind, int item, int value) {
  char reply[kExchangeReplySize];
  if (kind == 4 && item == 1) {  // log folder mode
    if (value < 0 || value > 7) return Fail(QZ_ERR_INVALID_ARGUMENT);
    folderMode = (value == 0 && targetCount == 0) ? 1 : value;
    return 1;
  }
  if (kind == 4 && item == 2) {
    storedValue = static_cast<unsigned int>(value);
    return 1;
  }
  if (kind == 5 && item == 0) {  // RMS RPF
    if (value < 1 || value > 500) value = 500;
    return Ask(reply, '!', "~01RPF%05d", value);
  }
  if (kind == 5 && item == 1) {  // RMS DT
    if (value > 1000) value = 1000;
    if (value < 1) value = 1;
    if (!Ask(reply, '!', "~01DT%05d", value)) return 0;
    msleep(1);
    return 1;
  }
  return Fail(QZ_ERR_INVALID_ARGUMENT);
}

int MODEL::GetSharedConfig(int kind, int item, int* value) {
  if (kind == 4 && item == 1) {
    *value = folderMode;
    return 1;
  }
  if (kind == 4 && item == 2) {
    *value = static_cast<int>(storedValue);
    return 1;
  }
  if (kind != 5 || (item != 0 && item != 1)) return Fail(QZ_ERR_INVALID_ARGUMENT);
  // "~01RP" answers its number from position 4 ("!01P..."), "~01DT" from position 3; each is
  // read as "%d" reads it, and nothing but blanks follows it.
  const bool rp = item == 0;
  ReplyLine reply;
  if (!AskData(&reply, kAnyLength, rp ? "~01RP" : "~01DT")) return 0;
  int v = 0;
  size_t end = 0;
  if (!ScanInt(reply.text, rp ? 4 : 3, &v, &end) || !ReplyFits(reply, kDataLeads, end))
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  *value = v;
  msleep(1);
  return 1;
}

}  // namespace nivex

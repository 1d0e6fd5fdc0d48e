// MODEL's construction, destruction and its few non-virtual operations.
#include "framework/RXMODEL_Class.h"

#include <cstring>

#include "support/Storax.h"
#include "support/utility.h"

namespace nivex {

MODEL::MODEL(const char* ip, int cmdPortArg, int dataPort, WRXmodule row)
    : module(row),
      firmVersion(0),
      minutesPerFile(0),
      gainCode(0),
      rateDivider(1),
      triggerMode(0),
      transferMode(0),
      continuous(false),
      timeoutUnitOverride(-1),
      rmsDT(1),
      rmsRPF(0),
      folderMode(1),
      storedValue(4000000000u),
      eventMask(0),
      userCallback(nullptr),
      userArgument(nullptr),
      logMode(0),
      fileTag(0),
      sdFileIndex(0),
      sdFileCount(0),
      syncMode(0),
      channelValues(nullptr),
      preCount(0),
      postCount(0),
      cmdPort(cmdPortArg),
      fileClock(new Chronum()),
      watchdogClock(new Chronum()),
      receiveInProgress(false),
      sampleRate(100),
      channelCount(8),
      ackMode(0),
      targetCount(0),
      paramsSet(false),
      timeoutUnit(0),
      ringSize(0),
      syncInFrame(nullptr),
      triggerIndex(0) {
  (void)dataPort;  // the drivers keep their data port themselves
  CopyText(IP, sizeof(IP), ip);
  firmDate[0] = '\0';
  filePrefix[0] = '\0';
  logFolder[0] = '\0';
  configPath[0] = '\0';
}

MODEL::~MODEL() {
  // The object owns its clocks and whatever log files the logger left open.
  delete binLogFile;
  delete textLogFile;
  delete fileClock;
  delete watchdogClock;
}

int MODEL::GetFirmVersionDate(unsigned short* version, char* date, int size) {
  if (version != nullptr) *version = firmVersion;
  if (date != nullptr && size > 0) CopyText(date, static_cast<size_t>(size), firmDate);
  return 0;
}

void MODEL::SetFirmware(unsigned short version, const char* date) {
  firmVersion = version;
  CopyText(firmDate, sizeof(firmDate), date != nullptr ? date : "");
}

int MODEL::NotImplemented() {
  return Fail(QZ_ERR_NOT_IMPLEMENTED);
}

int MODEL::Ask(char* reply, char lead, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int ok = VAsk(reply, lead, format, args);
  va_end(args);
  return ok;
}

int MODEL::VAsk(char* reply, char lead, const char* format, va_list args) {
  if (!VExchange(CommandSocket(), reply, 1000, format, args)) return 0;
  if (reply[0] != lead) return Fail(QZ_ERR_DEVICE_RESPONSE);
  return 1;
}

int MODEL::AskData(ReplyLine* reply, size_t length, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int ok = VExchange(CommandSocket(), reply, 1000, format, args);
  va_end(args);
  if (!ok) return 0;
  return ReplyFits(*reply, kDataLeads, length) ? 1 : Fail(QZ_ERR_DEVICE_RESPONSE);
}

int MODEL::ReadHexFields(const char* command, int timeoutMs, const HexSpan* fields, int n,
                         uint32_t* values) {
  if (n < 0 || n > kMaxHexSpans) return 0;
  size_t end = 0;  // the reply ends with its last field
  for (int i = 0; i < n; ++i)
    if (fields[i].pos + fields[i].digits > end) end = fields[i].pos + fields[i].digits;
  ReplyLine reply;
  if (!Exchange(CommandSocket(), &reply, timeoutMs, "%s", command)) return -1;
  if (!ReplyFits(reply, kDataLeads, end)) return 0;
  uint32_t read[kMaxHexSpans];
  for (int i = 0; i < n; ++i)
    if (!HexField(reply.text, fields[i].pos, fields[i].digits, &read[i])) return 0;
  for (int i = 0; i < n; ++i) values[i] = read[i];
  return 1;
}

}  // namespace nivex

// MODEL's construction, destruction and its few non-virtual operations.
#include "framework/RXMODEL_Class.h"

#include <cstring>

#include "framework/ScanLogFormat.h"
#include "support/Storax.h"
#include "support/utility.h"

namespace nivex {

MODEL::MODEL(const char* ip, int cmdPortArg, int dataPort, WRXmodule row)
    : module(row),
      fileClock(new Chronum()),
      watchdogClock(new Chronum()),
      receiveInProgress(false),
      firmVersion(0),
      minutesPerFile(0),
      gainCode(0),
      sampleRate(100),
      rateDivider(1),
      triggerMode(0),
      channelCount(8),
      transferMode(0),
      ackMode(0),
      targetCount(0),
      paramsSet(false),
      continuous(false),
      timeoutUnit(0),
      timeoutUnitOverride(-1),
      rmsDT(1),
      rmsRPF(0),
      binLogFile(nullptr),
      textLogFile(nullptr),
      folderMode(1),
      storedValue(4000000000u),
      eventMask(0),
      userCallback(nullptr),
      userArgument(nullptr),
      ringSize(0),
      startTime(nullptr),
      channelPosition(0),
      logMode(0),
      fileTag(0),
      sdFileIndex(0),
      sdFileCount(0),
      syncMode(0),
      channelValues(nullptr),
      syncInFrame(nullptr),
      triggerIndex(0),
      preCount(0),
      postCount(0),
      cmdPort(cmdPortArg) {
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

int MODEL::AskStartSamplingTime(char* text) {
  if (text == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  char reply[kExchangeReplySize];
  if (!Ask(reply, '!', "~01SST")) return 0;
  if (strnlen(reply, 5) < 5) return Fail(QZ_ERR_DEVICE_RESPONSE);
  CopyText(text, kStartTimeSize, reply + 4);
  return 1;
}

void MODEL::AppendStartSamplingTime() {
  if (!scanlog::HasStartTime(logMode) || configPath[0] == '\0') return;
  char text[kStartTimeSize] = {};
  if (GetQZStartSamplingTime(text) == 1) scanlog::AppendStartTime(configPath, text);
}

LogFileSink::Setup MODEL::LogFilesOfRun(unsigned int channels, unsigned int sampleBytes) const {
  LogFileSink::Setup files;
  files.logFolder = logFolder;
  files.prefix = filePrefix;
  files.tag = fileTag;
  files.splitMode = folderMode;
  files.logType = logMode;
  files.sampleBytes = sampleBytes;
  files.channels = channels;
  files.periodMs = scanlog::RotationPeriodMs(minutesPerFile);
  return files;
}

bool MODEL::WriteRunConfig(const char* base, const char* prefix, unsigned int tag,
                           const struct tm& t,
                           const std::function<void(scanlog::ScanConfig*)>& describe) {
  configPath[0] = '\0';
  if (!scanlog::RunConfigPath(base, prefix, tag, t, configPath, sizeof configPath)) return false;
  scanlog::ScanConfig c;
  CopyText(c.moduleName, sizeof c.moduleName, module.name);
  CopyText(c.ip, sizeof c.ip, IP);
  c.gain = gainCode;
  c.channelCount = channelCount;
  c.sampleRate = sampleRate;
  c.sampleCount = targetCount;
  c.externalTrigger = triggerMode;
  c.transferMode = transferMode;
  if (describe) describe(&c);
  return scanlog::WriteScanConfig(configPath, c) == 1;
}

int MODEL::ReadHexFields(const char* command, int timeoutMs, const HexSpan* fields, int n,
                         uint32_t* values) {
  if (n < 0 || n > kMaxHexSpans) return 0;
  size_t end = 0;  // the reply ends with its last field
  for (int i = 0; i < n; ++i)
    if (fields[i].pos + fields[i].digits > end) end = fields[i].pos + fields[i].digits;
  ReplyLine reply;
  if (!Exchange(CommandSocket(), &reply, timeoutMs, "%s", command)) return 0;
  if (!ReplyFits(reply, kDataLeads, end)) return 0;
  uint32_t read[kMaxHexSpans];
  for (int i = 0; i < n; ++i)
    if (!HexField(reply.text, fields[i].pos, fields[i].digits, &read[i])) return 0;
  for (int i = 0; i < n; ++i) values[i] = read[i];
  return 1;
}

}  // namespace nivex

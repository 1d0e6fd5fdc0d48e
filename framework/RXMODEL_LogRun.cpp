// The log-run helpers of LoggingModel.
#include "framework/RXMODEL_LogRun.h"

#include <cstring>

#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {

int LoggingModel::AskStartSamplingTime(char* text) {
  if (text == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  char reply[kExchangeReplySize];
  if (!Ask(reply, '!', "~01SST")) return 0;
  if (strnlen(reply, 5) < 5) return Fail(QZ_ERR_DEVICE_RESPONSE);
  CopyText(text, kStartTimeSize, reply + 4);
  return 1;
}

void LoggingModel::AppendStartSamplingTime() {
  if (!scanlog::HasStartTime(logMode) || configPath[0] == '\0') return;
  char text[kStartTimeSize] = {};
  if (GetQZStartSamplingTime(text) == 1) scanlog::AppendStartTime(configPath, text);
}

LogFileSink::Setup LoggingModel::LogFilesOfRun(unsigned int channels, unsigned int sampleBytes) const {
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

bool LoggingModel::WriteRunConfig(const char* base, const char* prefix, unsigned int tag,
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

}  // namespace nivex

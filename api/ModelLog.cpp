// The stored-log handle, its registry and its conversions.
#include "api/ModelLog.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

#include "framework/Calibration.h"
#include "framework/ScanLogFormat.h"
#include "support/FaultText.h"
#include "support/Storax.h"
#include "support/utility.h"

namespace nivex {
namespace {

// The live handles. Created on first use and never destroyed, so a handle released late in
// the process still finds it.
struct Registry {
  std::mutex mutex;
  std::vector<const ModelLog*> logs;
};

Registry& Logs() {
  static Registry* r = new Registry();
  return *r;
}

// The module-table row and sample kind a ".config" file's module name stands for: the first
// row whose name begins the module name; any other name (the slot logger's "D3054Ws") is read
// as an RX-5K10 log of 16-bit samples.
struct NamedRow {
  const char* prefix;
  unsigned short id;
  uint32_t kind;
};
constexpr NamedRow kNamedRows[] = {
    {"RX-5K10", kIdRX5K10, ModelLog::kKind16},
    {"RX-5K30", kIdRX5K30, ModelLog::kKind24},
    {"D4071s", kIdD4071s, ModelLog::kKind16},
    {"RX-BN500", kIdRXBN500, ModelLog::kKind24},
};

NamedRow RowOfModuleName(const char* name) {
  for (const NamedRow& r : kNamedRows)
    if (strncmp(name, r.prefix, strlen(r.prefix)) == 0) return r;
  return kNamedRows[0];
}

const WRXmodule& RowOfId(unsigned short id) {
  for (const WRXmodule& row : WRXMODULE)
    if (row.id == id) return row;
  return WRXMODULE[0];
}

template <class T>
T Held(int64_t v) {
  return static_cast<T>(std::clamp<int64_t>(v, 0, std::numeric_limits<T>::max()));
}

// The settings, start time and per-channel calibration of config into log.
void Fill(ModelLog* log, const scanlog::ScanConfig& config) {
  log->sdkVersion = Held<uint8_t>(scanlog::ParseInteger(config.sdkVersion));
  log->gain = Held<uint16_t>(config.gain);
  log->channelCount = Held<uint16_t>(config.channelCount);
  log->sampleRate = Held<uint32_t>(config.sampleRate);
  log->sampleCount = Held<uint32_t>(config.sampleCount);
  log->externalTrigger = Held<uint16_t>(config.externalTrigger);
  log->transferMode = Held<uint16_t>(config.transferMode);
  log->syncMode = Held<uint16_t>(config.syncMode);

  // Year and month as the module wrote them.
  const scanlog::StartTime t = scanlog::ParseStartTime(config.startTime);
  log->startTime.tm_year = t.year;
  log->startTime.tm_mon = t.month;
  log->startTime.tm_mday = t.day;
  log->startTime.tm_hour = t.hour;
  log->startTime.tm_min = t.minute;
  log->startTime.tm_sec = t.second;
  log->startFraction = t.fraction;
  log->startFractionDigits = static_cast<uint32_t>(t.fractionDigits);

  const int channels = std::min<int>({log->channelCount, log->row.AI, scanlog::kMaxConfigChannels});
  const CodeFormula formula = CodeFormulaOf(log->row.id);
  for (int i = 0; i < channels; ++i) {
    log->offsetTable[i] = config.channelOffset[i];
    if (formula == CodeFormula::kRxbn500) {
      log->rangeTable[i] = config.channelRange[i];
      continue;
    }
    log->gainTable[i] = config.channelGain[i];
    if (formula == CodeFormula::kRx5k30) log->rangeTable[i] = config.range;  // one for all
  }
}

}  // namespace

ModelLog::ModelLog(WRXmodule rowArg, int kind) : row(rowArg) {
  sampleKind = static_cast<uint32_t>(kind);
  CopyText(name, sizeof(name), row.name);
  if (row.AI != 0) {
    gainTable = new uint16_t[row.AI]();
    offsetTable = new int32_t[row.AI]();
    rangeTable = new uint32_t[row.AI]();
  }
  Registry& r = Logs();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.logs.push_back(this);
}

ModelLog::~ModelLog() {
  Registry& r = Logs();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.logs.erase(std::remove(r.logs.begin(), r.logs.end(), this), r.logs.end());
}

bool ModelLog::ChannelOk(int channel) const {
  return channel >= 0 && channel < row.AI && gainTable != nullptr;
}

int ModelLog::Calibrate_HEX(int code, int channel, int gainCode, int* out) const {
  if (!ChannelOk(channel)) return Fail(QZ_ERR_CHANNEL_RANGE);
  const int16_t offset16 = static_cast<int16_t>(static_cast<uint16_t>(offsetTable[channel]));
  if (sampleKind == kKind16) {
    *out = calib::Calibrate16(code, gainTable[channel], offset16);
    return 1;
  }
  if (sampleKind != kKind24) return 1;
  switch (CodeFormulaOf(row.id)) {
    case CodeFormula::kRx5k30: {
      if (gainCode < 0 || gainCode >= calib::kRx5k30Gains) return Fail(QZ_ERR_GAIN_RANGE);
      int32_t v = 0;
      if (calib::Calibrate24(code, gainTable[channel], offset16,
                             calib::RangeVolts(rangeTable[channel]),
                             calib::kRx5k30FullScale[gainCode], &v))
        *out = v;
      return 1;
    }
    case CodeFormula::kRxbn500:
      *out = calib::CalibrateBN(code, offsetTable[channel], rangeTable[channel],
                                  calib::BnScale::kTimesRangeOver10k);
      return 1;
    default:
      return 1;
  }
}

int ModelLog::Calibrate_Hex2Float(int code, int channel, int gainCode, float* out) const {
  switch (CodeFormulaOf(row.id)) {
    case CodeFormula::k16Bit: {
      int c = 0;
      if (!Calibrate_HEX(code, channel, gainCode, &c)) return 0;
      calib::Volts16(c, gainCode, out);
      return 1;
    }
    case CodeFormula::kRx5k30: {
      if (!ChannelOk(channel)) return Fail(QZ_ERR_CHANNEL_RANGE);
      if (gainCode < 0 || gainCode >= calib::kRx5k30Gains) return Fail(QZ_ERR_GAIN_RANGE);
      int c = 0;
      Calibrate_HEX(code, channel, gainCode, &c);
      *out = calib::Volts24(c, calib::kRx5k30FullScale[gainCode]);
      return 1;
    }
    case CodeFormula::kRxbn500:
      if (!ChannelOk(channel)) return Fail(QZ_ERR_CHANNEL_RANGE);
      *out = calib::VoltsBN(code, offsetTable[channel], rangeTable[channel]);
      return 1;
    default:
      return Fail(QZ_ERR_UNKNOWN_MODULE);
  }
}

bool IsModelLog(const void* p) {
  if (p == nullptr) return false;
  Registry& r = Logs();
  std::lock_guard<std::mutex> lock(r.mutex);
  return std::find(r.logs.begin(), r.logs.end(), p) != r.logs.end();
}

int WithModelLog(const void* p, int (*call)(const ModelLog& log, void* context), void* context) {
  Registry& r = Logs();
  std::unique_lock<std::mutex> lock(r.mutex);
  const auto it = p == nullptr ? r.logs.end() : std::find(r.logs.begin(), r.logs.end(), p);
  if (it == r.logs.end()) {
    lock.unlock();
    return Fail(QZ_ERR_INVALID_HANDLE);
  }
  return call(**it, context);
}

// Frees what an unregistered handle owns, and the handle.
static void FreeModelLog(ModelLog* log) {
  if (log->binFile != nullptr) {
    log->binFile->Close();
    delete log->binFile;
    log->binFile = nullptr;
  }
  if (log->textFile != nullptr) {
    log->textFile->Close();
    delete log->textFile;
    log->textFile = nullptr;
  }
  delete[] log->gainTable;
  delete[] log->offsetTable;
  delete[] log->rangeTable;
  log->gainTable = nullptr;
  log->offsetTable = nullptr;
  log->rangeTable = nullptr;
  delete log;
}

void ReleaseModelLog(ModelLog* log) {
  if (log == nullptr) return;
  {
    // Unregistered first: a conversion running under the registry's lock ends before the
    // tables go, and none starts afterwards.
    Registry& r = Logs();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.logs.erase(std::remove(r.logs.begin(), r.logs.end(), log), r.logs.end());
  }
  FreeModelLog(log);
}

bool CloseModelLog(const void* p) {
  ModelLog* log = nullptr;
  {
    Registry& r = Logs();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = p == nullptr ? r.logs.end() : std::find(r.logs.begin(), r.logs.end(), p);
    if (it == r.logs.end()) return false;
    log = const_cast<ModelLog*>(*it);
    r.logs.erase(it);
  }
  FreeModelLog(log);
  return true;
}

ModelLog* OpenModelLog(const char* dataPath, const char* configPath, int fileType) {
  scanlog::ScanConfig config;
  // Only regular files are opened: a FIFO of a log's name would never answer.
  if (!IsRegularFile(dataPath) || !IsRegularFile(configPath) ||
      scanlog::ReadScanConfig(configPath, &config) != scanlog::ConfigRead::kOk) {
    Fail(QZ_ERR_LOG_FILE_OPEN);
    return nullptr;
  }
  const NamedRow named = RowOfModuleName(config.moduleName);
  auto* log = new ModelLog(RowOfId(named.id), static_cast<int>(named.kind));
  log->fileType = static_cast<uint32_t>(fileType);
  Fill(log, config);
  bool opened = true;
  if (fileType == 0) {
    log->binFile = new BinaryFile(0, static_cast<int>(named.kind));
    opened = log->binFile->Open(dataPath) == 1;
  } else if (fileType == 1) {
    log->textFile = new TextFile(0);
    opened = log->textFile->Open(dataPath) == 1;
  }
  if (!opened) {
    ReleaseModelLog(log);
    Fail(QZ_ERR_LOG_FILE_OPEN);
    return nullptr;
  }
  return log;
}

}  // namespace nivex

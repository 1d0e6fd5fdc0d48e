// The stored-log handle, its registry and its conversions.
#include "api/ModelLog.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "framework/Calibration.h"
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

void ReleaseModelLog(ModelLog* log) {
  if (log == nullptr) return;
  {
    // Unregistered first: a conversion running under the registry's lock ends before the
    // tables go, and none starts afterwards.
    Registry& r = Logs();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.logs.erase(std::remove(r.logs.begin(), r.logs.end(), log), r.logs.end());
  }
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

}  // namespace nivex

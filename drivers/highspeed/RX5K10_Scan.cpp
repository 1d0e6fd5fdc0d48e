// RX5K10: scan parameters, analog and delay triggers, sync-in frame setup.
#include <cstdio>

#include "drivers/highspeed/HighSpeedScan.h"
#include "drivers/highspeed/RX5K10_Class.h"
#include "framework/RXMODEL_SyncInFrame.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {
namespace {

constexpr int kMaxRate = 200000;
constexpr unsigned int kMaxTarget = 30000000;
constexpr unsigned int kMinDelay = 5;
constexpr unsigned int kMaxDelay = 10000000;
constexpr int kSyncInMaxRate = 10000;

bool AcceptedTrigger(int trig) {
  switch (trig) {
    case 0: case 1: case 2: case 3: case 5: case 6: case 8: case 9: return true;
    default: return false;
  }
}

int LevelToRaw(HighSpeedModel& self, int ch, float volts, int32_t* raw) {
  const int g = self.GainCode();
  if (g < 0 || g > 1) return 0;
  const HighSpeedCalibration& cal = self.Calibration();
  const float G = static_cast<float>(cal.gain[ch][g]);
  const float O = static_cast<float>(cal.offset[ch][g]);
  if (G == 0.0f) return 0;
  const float scaled = 32768.0f * volts / static_cast<float>((g + 1) * 5);
  *raw = SaturateCode((32767.0f * (scaled - O)) / G, 16);
  return 1;
}

// Runs a shared trigger step on the 16-bit levels as it holds them (int32, sign-extended) and
// stores what it leaves back into the 16-bit levels.
template <class Step>
int WithWideLevels(uint16_t* high16, uint16_t* low16, Step step) {
  int32_t hi[HighSpeedCalibration::kMaxChannels], lo[HighSpeedCalibration::kMaxChannels];
  for (int i = 0; i < HighSpeedCalibration::kMaxChannels; ++i) {
    hi[i] = static_cast<int16_t>(high16[i]);
    lo[i] = static_cast<int16_t>(low16[i]);
  }
  const int r = step(hi, lo);
  for (int i = 0; i < HighSpeedCalibration::kMaxChannels; ++i) {
    high16[i] = static_cast<uint16_t>(hi[i]);
    low16[i] = static_cast<uint16_t>(lo[i]);
  }
  return r;
}

// Checks a sync-in layout as the module takes it: header one hex digit, option two, one to
// kMaxItems items of types 0-5 with counts that fit two hex digits; items of type 0 or 1
// (analog channels) need at least one element. A layout without items is refused.
bool ValidLayout(unsigned int header, const unsigned short* counts, const unsigned short* types,
                 unsigned int n, unsigned int option) {
  if (header > 0xF || option > 0xFF || n == 0 || n > SyncInFrameDef::kMaxItems) return false;
  if (counts == nullptr || types == nullptr) return false;
  for (unsigned int i = 0; i < n; ++i) {
    if (types[i] > 5 || counts[i] > 0xFF) return false;
    if (types[i] <= 1 && counts[i] == 0) return false;
  }
  return true;
}

}  // namespace

// ------------------------------------------------------------------ scan parameters

int RX5K10::SetScanParam(short chCnt, short gain, short trig, int rate, unsigned int target,
                         short M, short A) {
  if (!AcceptedTrigger(trig)) return Fail(QZ_ERR_TRIGGER_MODE);
  if ((trig == 2 || trig == 3 || trig == 9) && target == 0)
    return Fail(QZ_ERR_SCAN_PARAM_CONFLICT);
  if (rate < 1 || rate > kMaxRate) return Fail(QZ_ERR_VALUE_RANGE);
  const unsigned int divider = rateDivider == 0 ? 1 : rateDivider;
  if (static_cast<unsigned int>(rate) > kMaxRate / divider) return Fail(QZ_ERR_VALUE_RANGE);
  if (target == 0 && trig == 0 && static_cast<int64_t>(chCnt) * rate > 240000)
    return Fail(QZ_ERR_SCAN_PARAM_CONFLICT);
  if (chCnt < 1 || chCnt > Channels()) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (gain < 0 || gain > 1) return Fail(QZ_ERR_GAIN_RANGE);
  if (target > kMaxTarget) return Fail(QZ_ERR_VALUE_RANGE);
  // M goes out as one digit and is read back as one.
  if (M < 0 || M > 9) return Fail(QZ_ERR_VALUE_RANGE);

  if (!SetCommand("~01PG%dC%dT%dM%d", gain, chCnt, trig, M)) return 0;
  KeepScanSetup(gain, chCnt, trig, M);
  if (!SetCommand("~01R%06ld", static_cast<long>(rate))) return 0;
  msleep(1);
  sampleRate = rate;
  return SendTargetAndAck(target, A);
}

int RX5K10::GetScanParam(short* chCnt, short* gain, short* trig, int* rate,
                         unsigned int* target, short* M, short* A) {
  if (!ScanOutputsGiven(chCnt, gain, trig, rate, target, M, A)) return 0;
  int d[4] = {};  // "!01G%dC%dT%dM%d"
  if (!QueryScanDigits(d, 4)) return 0;
  const int g = d[0], c = d[1], t = d[2], m = d[3];
  if (g > 1 || c < 1 || c > Channels() || !AcceptedTrigger(t))
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  KeepScanReply(g, c, t, m, chCnt, gain, trig, M);
  return ReadRateTargetAck(false, rate, target, A);
}

// ------------------------------------------------------------------ triggers

int RX5K10::SetAIAnalogTriggerParam(int type, char* enable, float* high, float* low, int n,
                                    unsigned int pre, unsigned int post) {
  const float limit = static_cast<float>((gainCode + 1) * 5);
  return WithWideLevels(triggerHigh, triggerLow, [&](int32_t* hi, int32_t* lo) {
    return SetTriggerLevels(type, enable, high, low, n, pre, post, limit, 16, &LevelToRaw, hi, lo,
                            &triggerType);
  });
}

int RX5K10::GetAIAnalogTriggerParam(int* type, char* enable, float* high, float* low, int n,
                                    unsigned int* pre, unsigned int* post) {
  return WithWideLevels(triggerHigh, triggerLow, [&](int32_t* hi, int32_t* lo) {
    return GetTriggerLevels(type, enable, high, low, n, pre, post, 16, hi, lo, &triggerType);
  });
}

int RX5K10::SetAIDelayTriggerParam(unsigned int delay) {
  if (delay < kMinDelay || delay > kMaxDelay) return Fail(QZ_ERR_DELAY_TRIGGER_RANGE);
  if (!SetCommand("~01Y%08ld", static_cast<long>(delay))) return 0;
  msleep(1);
  delayValue = delay;
  return 1;
}

int RX5K10::GetAIDelayTriggerParam(unsigned int* delay) {
  if (delay == nullptr) return Fail(QZ_ERR_INVALID_ARGUMENT);
  ReplyLine reply;
  if (!Query(&reply, "~01Y")) return 0;
  msleep(1);
  uint32_t v = 0;
  // "!01Y%08u": the number from position 4 to the end.
  if (!LastDecField(reply, 4, 8, 99999999, &v)) return Fail(QZ_ERR_DEVICE_RESPONSE);
  delayValue = v;
  *delay = v;
  return 1;
}

// ------------------------------------------------------------------ sync-in frames

int RX5K10::SetSyncInScanParam(unsigned int header, unsigned short* counts,
                               unsigned short* types, unsigned short n, unsigned int option,
                               unsigned int /*reserved*/) {
  if (!ValidLayout(header, counts, types, n, option)) return Fail(QZ_ERR_INVALID_ARGUMENT);

  char command[64];
  int len = std::snprintf(command, sizeof(command), "~01SIH%01XO%02XT%02X", header, option,
                          static_cast<unsigned int>(n));
  for (unsigned int i = 0; i < n; ++i)
    len += std::snprintf(command + len, sizeof(command) - static_cast<size_t>(len), "%02X%02X",
                         static_cast<unsigned int>(types[i]), static_cast<unsigned int>(counts[i]));
  // One CR, the exchange's: a second one would be an empty command whose answer is left
  // behind for the next exchange.
  if (!SetCommand("%s", command)) return Fail(QZ_ERR_DEVICE_RESPONSE);

  // What a refused forcing of the scan parameters must give back: the previous layout and
  // the cached scan parameters.
  const unsigned int oldHeader = syncInFrame->headerKind, oldOption = syncInFrame->option;
  const unsigned int oldItems = syncInFrame->itemCount;
  unsigned short oldTypes[SyncInFrameDef::kMaxItems], oldCounts[SyncInFrameDef::kMaxItems];
  for (unsigned int i = 0; i < SyncInFrameDef::kMaxItems; ++i) {
    oldTypes[i] = syncInFrame->types[i];
    oldCounts[i] = syncInFrame->counts[i];
  }
  const unsigned short oldChannels = channelCount, oldGain = gainCode, oldTrigger = triggerMode;
  const unsigned short oldM = transferMode, oldA = ackMode;
  const int oldRate = sampleRate;
  const unsigned int oldTarget = targetCount;
  const bool oldParamsSet = paramsSet, oldContinuous = continuous;

  if (!SetSyncInLayout(header, types, counts, n, option))
    return Fail(QZ_ERR_INVALID_ARGUMENT);
  for (unsigned int i = 0; i < n; ++i)
    if (types[i] <= 1) channelCount = counts[i];

  if ((option & QZ_SYNCIN_ENABLE) == 0) return 1;
  // A sync-in scan runs software-triggered, continuous, at 10000 samples/s at most.
  bool changed = false;
  if (triggerMode != 0) {
    triggerMode = 0;
    changed = true;
  }
  if (sampleRate > kSyncInMaxRate) {
    sampleRate = kSyncInMaxRate;
    changed = true;
  }
  if (targetCount != 0) {
    targetCount = 0;
    changed = true;
  }
  if (!changed) return 1;
  if (SetScanParam(static_cast<short>(channelCount), static_cast<short>(gainCode),
                   static_cast<short>(triggerMode), sampleRate, targetCount,
                   static_cast<short>(transferMode), static_cast<short>(ackMode)))
    return 1;
  // Refused: the host keeps the layout and scan parameters it had (the error stays).
  SetSyncInLayout(oldHeader, oldTypes, oldCounts, oldItems, oldOption);
  channelCount = oldChannels;
  gainCode = oldGain;
  triggerMode = oldTrigger;
  transferMode = oldM;
  ackMode = oldA;
  sampleRate = oldRate;
  targetCount = oldTarget;
  paramsSet = oldParamsSet;
  continuous = oldContinuous;
  return 0;
}

int RX5K10::SetSyncInLayout(unsigned int header, const unsigned short* types,
                            const unsigned short* counts, unsigned int n, unsigned int option) {
  std::lock_guard<std::mutex> lock(readMutex);
  return syncInFrame->SetLayout(header, types, counts, n, option);
}

int RX5K10::GetSyncInScanParam(unsigned int* header, unsigned short* counts,
                               unsigned short* types, unsigned short capacity,
                               unsigned short* n, unsigned int* option,
                               unsigned int* /*reserved*/) {
  if (header == nullptr || n == nullptr || option == nullptr ||
      (capacity > 0 && (counts == nullptr || types == nullptr)))
    return Fail(QZ_ERR_INVALID_ARGUMENT);
  ReplyLine line;
  const char* const reply = line.text;
  if (!Query(&line, "~01SI")) return 0;
  // "!01H%XO%02XT%02X" and the items "%02X%02X" from position 11, as many as it counts.
  uint32_t h = 0, opt = 0, count = 0;
  if (!HexField(reply, 4, 1, &h) || !HexField(reply, 6, 2, &opt) ||
      !HexField(reply, 9, 2, &count) || !ReplyFits(line, kDataLeads, 11 + 4 * size_t{count}))
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  *header = h;
  *option = opt;
  *n = static_cast<unsigned short>(count);
  if (count > SyncInFrameDef::kMaxItems || count > capacity) return Fail(QZ_ERR_BUFFER_OVERFLOW);

  unsigned short t[SyncInFrameDef::kMaxItems] = {};
  unsigned short c[SyncInFrameDef::kMaxItems] = {};
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t ti = 0, ci = 0;
    if (!HexField(reply, 11 + 4 * i, 2, &ti) || !HexField(reply, 13 + 4 * i, 2, &ci))
      return Fail(QZ_ERR_DEVICE_RESPONSE);
    t[i] = static_cast<unsigned short>(ti);
    c[i] = static_cast<unsigned short>(ci);
  }
  if (!ValidLayout(h, c, t, count, opt)) return Fail(QZ_ERR_DEVICE_RESPONSE);
  if (!SetSyncInLayout(h, t, c, count, opt)) return Fail(QZ_ERR_DEVICE_RESPONSE);
  for (uint32_t i = 0; i < count; ++i) {
    types[i] = t[i];
    counts[i] = c[i];
  }
  return 1;
}

}  // namespace nivex

// Scan setup shared by the high-speed drivers: the sample-rate search of the 24-bit modules,
// the exchange helpers of the scan-parameter commands, the trigger index and the analog
// trigger steps that the three types have in common.
#include "drivers/highspeed/HighSpeedScan.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "drivers/highspeed/HighSpeedModel.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {
namespace {

// ------------------------------------------------------------------ rate search

constexpr int kFactorCount = 7;  // a and b: 2, 4, ..., 14
constexpr int kDividerCount = 16;
constexpr int kDivider[kDividerCount] = {32,  48,  64,  96,  128, 192,  200,  256,
                                         384, 400, 512, 768, 800, 1024, 2048, 4096};

// Every intermediate is rounded to float, also where the compiler would keep more precision
// in a register (x87): the comparisons then agree on every build.
inline float F(float x) {
  volatile float v = x;
  return v;
}

// The candidates r(a, b, c), indexed [a/2-1][b/2-1][c position], each stored as a float.
struct CandidateTable {
  float r[kFactorCount][kFactorCount][kDividerCount];
  CandidateTable() {
    const float clock = 16384000.0f;
    for (int ia = 0; ia < kFactorCount; ++ia)
      for (int ib = 0; ib < kFactorCount; ++ib)
        for (int ic = 0; ic < kDividerCount; ++ic) {
          const float byA = F(clock / static_cast<float>(2 * (ia + 1)));
          const float byB = F(byA / static_cast<float>(2 * (ib + 1)));
          r[ia][ib][ic] = F(byB / static_cast<float>(kDivider[ic]));
        }
  }
};

const CandidateTable& Candidates() {
  static const CandidateTable table;
  return table;
}

void PrintRate(char* command, int ia, int ib, int ic) {
  std::snprintf(command, kRateCommandSize, "~01R%02d%02d%04d", 2 * (ia + 1), 2 * (ib + 1),
                kDivider[ic]);
}

constexpr const char* kSlowestCommand = "~01R14144096";

// Step 4 of the search: up wins only when it is strictly nearer.
inline bool UpWins(float rate, float up, float down) { return F(rate - down) > F(up - rate); }

}  // namespace

int32_t SaturateCode(float x, int bits) {
  const int32_t maxCode = (int32_t{1} << (bits - 1)) - 1;
  if (std::isnan(x)) return 0;  // the same on every build (a plain conversion is undefined)
  if (x >= static_cast<float>(maxCode)) return maxCode;
  if (x <= static_cast<float>(-maxCode - 1)) return -maxCode - 1;
  return static_cast<int32_t>(x);
}

float RateCandidate(int a, int b, int c) {
  if (a < 2 || a > 14 || (a & 1) || b < 2 || b > 14 || (b & 1)) return 0.0f;
  for (int ic = 0; ic < kDividerCount; ++ic)
    if (kDivider[ic] == c) return Candidates().r[a / 2 - 1][b / 2 - 1][ic];
  return 0.0f;
}

void SampleRate_FloattoCommand_MAX_FMOD(int rate, char* command) {
  std::snprintf(command, kRateCommandSize, "%s", kSlowestCommand);
  if (rate <= 20) return;
  const CandidateTable& t = Candidates();
  const float want = static_cast<float>(rate);
  float up = 128000.0f, down = 0.0f;
  for (int ia = 0; ia < kFactorCount; ++ia)
    for (int ib = 0; ib < kFactorCount; ++ib)
      for (int ic = 0; ic < kDividerCount; ++ic) {
        const float r = t.r[ia][ib][ic];
        if (r >= want && r <= up) up = r;
        if (r < want && r > down) down = r;
      }
  const float chosen = UpWins(want, up, down) ? up : down;
  // The top candidate unless the second pass names an exact match (it always does: the
  // chosen value is one of the table's).
  PrintRate(command, 0, 0, 0);
  for (int ia = 0; ia < kFactorCount; ++ia)
    for (int ib = 0; ib < kFactorCount; ++ib)
      for (int ic = 0; ic < kDividerCount; ++ic)
        if (t.r[ia][ib][ic] == chosen) {
          PrintRate(command, ia, ib, ic);
          return;
        }
}

int SampleRate_FloattoCommand_MIN_FMOD(int rate, char* command) {
  if (rate <= 20) {
    std::snprintf(command, kRateCommandSize, "%s", kSlowestCommand);
    return 20;
  }
  const CandidateTable& t = Candidates();
  const float want = static_cast<float>(rate);
  float up = 128000.0f, down = 0.0f;
  // Seeded with the top and the bottom candidate, so that every rate names a real triple.
  int upA = 0, upB = 0, upC = 0;
  int downA = kFactorCount - 1, downB = kFactorCount - 1, downC = kDividerCount - 1;
  for (int ic = 0; ic < kDividerCount; ++ic)
    for (int ib = 0; ib < kFactorCount; ++ib)
      for (int ia = 0; ia < kFactorCount; ++ia) {
        const float r = t.r[ia][ib][ic];
        if (r >= want && r <= up) {
          up = r;
          upA = ia, upB = ib, upC = ic;
        }
        if (r < want && r > down) {
          down = r;
          downA = ia, downB = ib, downC = ic;
        }
      }
  const bool useUp = UpWins(want, up, down);
  const int ia = useUp ? upA : downA, ib = useUp ? upB : downB, ic = useUp ? upC : downC;
  PrintRate(command, ia, ib, ic);
  return static_cast<int>(t.r[ia][ib][ic]);
}

// ------------------------------------------------------------------ exchange helpers

int HighSpeedModel::SetCommand(const char* format, ...) {
  char reply[kReplySize];
  va_list args;
  va_start(args, format);
  const int ok = VAsk(reply, '!', format, args);
  va_end(args);
  return ok;
}

int HighSpeedModel::Query(ReplyLine* reply, const char* command) {
  return AskData(reply, kAnyLength, "%s", command);
}

int HighSpeedModel::QueryScanDigits(int* digits, int count) {
  ReplyLine reply;  // "!01" and a letter and a digit for each field
  if (!AskData(&reply, 3 + 2 * static_cast<size_t>(count), "~01P"))
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  for (int i = 0; i < count; ++i) {
    const char c = reply.text[4 + 2 * i];
    if (c < '0' || c > '9') return Fail(QZ_ERR_DEVICE_RESPONSE);
    digits[i] = c - '0';
  }
  return 1;
}

int HighSpeedModel::ScanOutputsGiven(const short* chCnt, const short* gain, const short* trig,
                                     const int* rate, const unsigned int* target, const short* M,
                                     const short* A) {
  if (chCnt == nullptr || gain == nullptr || trig == nullptr || rate == nullptr ||
      target == nullptr || M == nullptr || A == nullptr)
    return Fail(QZ_ERR_INVALID_ARGUMENT);
  return 1;
}

void HighSpeedModel::KeepScanSetup(int gain, short chCnt, short trig, short M) {
  msleep(1);
  if (gain >= 0 && static_cast<unsigned short>(gain) != gainCode) {
    ReadAllGainOffsetfromQZ();  // the tables of the new gain code; the outcome is not examined
    gainCode = static_cast<unsigned short>(gain);
  }
  channelCount = static_cast<unsigned short>(chCnt);
  triggerMode = static_cast<unsigned short>(trig);
  transferMode = static_cast<unsigned short>(M);
  msleep(1);
}

void HighSpeedModel::KeepScanReply(int g, int c, int trigMode, int m, short* chCnt, short* gain,
                                   short* trig, short* M) {
  if (g >= 0) gainCode = static_cast<unsigned short>(g);
  channelCount = static_cast<unsigned short>(c);
  triggerMode = static_cast<unsigned short>(trigMode);
  transferMode = static_cast<unsigned short>(m);
  *gain = static_cast<short>(g >= 0 ? g : 0);
  *chCnt = static_cast<short>(c);
  *trig = static_cast<short>(triggerMode);
  *M = static_cast<short>(m);
}

int HighSpeedModel::TriggerDigit(short trig, bool buffered) {
  if (trig == 6) return 2;
  if (trig == 8) return 8;
  return buffered ? 1 : 0;
}

int HighSpeedModel::SendTargetAndAck(unsigned int target, short ack) {
  if (!SetCommand("~01T%010lu", static_cast<unsigned long>(target))) return 0;
  targetCount = target;
  msleep(1);
  if (!SetCommand("~01A%d", ack & 3)) return 0;
  paramsSet = true;
  ackMode = static_cast<unsigned short>(ack);
  return 1;
}

int HighSpeedModel::ReadRateTargetAck(bool factors, int* rate, unsigned int* target,
                                      short* ack) {
  ReplyLine line;
  const char* const reply = line.text;
  msleep(1);
  if (!Query(&line, "~01R")) return Fail(QZ_ERR_DEVICE_RESPONSE);
  int r = 0;
  if (factors) {
    uint32_t a = 0, b = 0, c = 0;
    // Exactly two, two and four digits, none of them 0.
    if (!ReplyFits(line, kDataLeads, 11) || !FixedDecField(reply, 3, 2, &a) ||
        !FixedDecField(reply, 5, 2, &b) || !FixedDecField(reply, 7, 4, &c) || a == 0 || b == 0 ||
        c == 0)
      return Fail(QZ_ERR_DEVICE_RESPONSE);
    const float byA = F(16384000.0f / static_cast<float>(a));
    const float byB = F(byA / static_cast<float>(b));
    r = static_cast<int>(F(byB / static_cast<float>(c)));
  } else {
    uint32_t v = 0;
    if (!LastDecField(line, 3, 6, 200000, &v)) return Fail(QZ_ERR_DEVICE_RESPONSE);
    r = static_cast<int>(v);
  }
  if (r < 1) return Fail(QZ_ERR_DEVICE_RESPONSE);
  sampleRate = r;
  *rate = r;

  msleep(1);
  uint32_t t = 0;
  if (!Query(&line, "~01T") || !LastDecField(line, 3, 10, 0xFFFFFFFFu, &t))
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  targetCount = t;
  *target = t;

  uint32_t a = 0;
  if (!Query(&line, "~01A") || !LastDecField(line, 3, 5, 0xFFFF, &a))
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  ackMode = static_cast<unsigned short>(a);
  *ack = static_cast<short>(a);

  // A target that is not a whole number of channel rows is raised to the next one.
  const unsigned int ch = channelCount;
  if (ch != 0 && targetCount % ch != 0) {
    const uint64_t up = static_cast<uint64_t>(targetCount) + ch - targetCount % ch;
    if (up > 0xFFFFFFFFu) return Fail(QZ_ERR_DEVICE_RESPONSE);
    if (!SetCommand("~01T%010lu", static_cast<unsigned long>(up)))
      return Fail(QZ_ERR_DEVICE_RESPONSE);
    targetCount = static_cast<unsigned int>(up);
    *target = targetCount;
  }
  return 1;
}

// ------------------------------------------------------------------ triggers

int HighSpeedModel::GetAIAnalogTriggerIdx() {
  ReplyLine reply;
  if (!Exchange(cmdSock, &reply, 1000, "~01XN")) return Fail(QZ_ERR_INVALID_VALUE);
  uint32_t index = 0;
  if (reply.text[0] != '!' || !LastDecField(reply, 3, 10, 0xFFFFFFFFu, &index)) index = 0;
  triggerIndex = index;
  return 1;
}

int HighSpeedModel::SetTriggerLevels(int type, const char* enable, const float* high,
                                     const float* low, int n, unsigned int pre,
                                     unsigned int post, float limit, int bits, LevelConverter toRaw,
                                     int32_t* rawHigh, int32_t* rawLow,
                                     unsigned int* triggerType) {
  if (type < 0 || type > 3) return Fail(QZ_ERR_TRIGGER_TYPE);
  const int ai = Channels();
  if (n > module.AI || n > ai) return Fail(QZ_ERR_INVALID_VALUE);
  if (n > 0 && (enable == nullptr || high == nullptr || low == nullptr))
    return Fail(QZ_ERR_INVALID_ARGUMENT);

  const int32_t maxCode = (1 << (bits - 1)) - 1;
  const int32_t minCode = -maxCode - 1;
  // The disabled pattern of this type: (max, min), swapped for type 3.
  const int32_t offHigh = type == 3 ? minCode : maxCode;
  const int32_t offLow = type == 3 ? maxCode : minCode;

  // Every level is checked and converted before anything is kept or sent.
  int32_t newHigh[HighSpeedCalibration::kMaxChannels];
  int32_t newLow[HighSpeedCalibration::kMaxChannels];
  bool newSet[HighSpeedCalibration::kMaxChannels];
  for (int i = 0; i < ai; ++i) {
    newSet[i] = i < n ? enable[i] == 1 : triggerLevelSet[i];
    newHigh[i] = newSet[i] ? rawHigh[i] : offHigh;
    newLow[i] = newSet[i] ? rawLow[i] : offLow;
  }
  for (int i = 0; i < n; ++i) {
    if (enable[i] != 1) continue;
    // NaN fails both comparisons and is refused with the out-of-range levels.
    if (!(high[i] >= -limit && high[i] <= limit) || !(low[i] >= -limit && low[i] <= limit))
      return Fail(QZ_ERR_TRIGGER_LEVEL);
    if (!toRaw(*this, i, high[i], &newHigh[i]) || !toRaw(*this, i, low[i], &newLow[i]))
      return Fail(QZ_ERR_TRIGGER_LEVEL);
  }
  if (static_cast<uint64_t>(pre) + post != targetCount) return Fail(QZ_ERR_TRIGGER_COUNT);

  for (int i = 0; i < ai; ++i) {
    rawHigh[i] = newHigh[i];
    rawLow[i] = newLow[i];
    triggerLevelSet[i] = newSet[i];
  }
  if (!SetCommand("~01XM%01dL%08luR%08lu", type, static_cast<unsigned long>(pre),
                  static_cast<unsigned long>(post)))
    return Fail(QZ_ERR_INVALID_HANDLE);
  msleep(1);
  *triggerType = static_cast<unsigned int>(type);
  preCount = pre;
  postCount = post;
  for (int i = 0; i < ai; ++i) {
    const int ok = bits == 16
                       ? SetCommand("~01XC%01dH%04XL%04X", i, rawHigh[i] & 0xFFFFu,
                                    rawLow[i] & 0xFFFFu)
                       : SetCommand("~01XC%01dH%06XL%06X", i, rawHigh[i] & 0xFFFFFFu,
                                    rawLow[i] & 0xFFFFFFu);
    if (!ok) return Fail(QZ_ERR_INVALID_HANDLE);
    msleep(1);
  }
  return 1;
}

int HighSpeedModel::GetTriggerLevels(int* type, char* enable, float* high, float* low, int n,
                                     unsigned int* pre, unsigned int* post, int bits,
                                     int32_t* rawHigh, int32_t* rawLow,
                                     unsigned int* triggerType) {
  if (type == nullptr || pre == nullptr || post == nullptr ||
      (n > 0 && (enable == nullptr || high == nullptr || low == nullptr)))
    return Fail(QZ_ERR_INVALID_ARGUMENT);
  const int ai = Channels();
  if (n > module.AI || n > ai) {
    *type = 0;
    *pre = 0;
    *post = 0;
    // No more entries than the type has: n may be anything up to INT_MAX.
    for (int i = 0; i < n && i < ai; ++i) {
      enable[i] = 0;
      high[i] = 0.0f;
      low[i] = 0.0f;
    }
    return Fail(QZ_ERR_INVALID_VALUE);
  }

  ReplyLine line;
  const char* const reply = line.text;
  uint32_t t = 0, p = 0, q = 0;
  // "!01XM%uL%08uR%08u": type at 5, pre at 7, post at 16, and nothing after it.
  if (!Query(&line, "~01XM") || !DecField(reply, 5, 1, 3, &t) || reply[6] != 'L' ||
      !FixedDecField(reply, 7, 8, &p) || reply[15] != 'R' ||
      !LastDecField(line, 16, 8, 99999999, &q))
    return Fail(QZ_ERR_INVALID_VALUE);
  msleep(1);
  *triggerType = t;
  preCount = p;
  postCount = q;
  *type = static_cast<int>(t);
  *pre = p;
  *post = q;

  const int digits = bits / 4;
  const size_t highPos = 6;  // behind "!01", two filler characters and 'H'
  const size_t lowPos = highPos + static_cast<size_t>(digits) + 1;
  for (int i = 0; i < ai; ++i) {
    uint32_t h = 0, l = 0;
    char command[16];
    std::snprintf(command, sizeof(command), "~01XC%01d", i);
    if (!Query(&line, command) ||
        !ReplyFits(line, kDataLeads, lowPos + static_cast<size_t>(digits)) ||
        !HexField(reply, highPos, static_cast<size_t>(digits), &h) ||
        !HexField(reply, lowPos, static_cast<size_t>(digits), &l) ||
        reply[highPos - 1] != 'H' || reply[lowPos - 1] != 'L')
      return Fail(QZ_ERR_INVALID_VALUE);
    rawHigh[i] = SignExtend(h, bits);
    rawLow[i] = SignExtend(l, bits);
    msleep(1);
  }

  const int32_t maxCode = (1 << (bits - 1)) - 1;
  const int32_t minCode = -maxCode - 1;
  // A channel is off when its pair is (max, min), under every type, or under type 3 also its
  // own swapped pattern (min, max). An enabled channel whose levels are exactly such a
  // pattern cannot be told apart and reads back as disabled.
  const uint32_t mask = bits == 16 ? 0xFFFFu : 0xFFFFFFu;
  // Every channel read now holds the module's levels, also those beyond n: a later set of
  // fewer channels sends them back as they are.
  for (int i = 0; i < ai; ++i)
    triggerLevelSet[i] = !((rawHigh[i] == maxCode && rawLow[i] == minCode) ||
                           (t == 3 && rawHigh[i] == minCode && rawLow[i] == maxCode));
  for (int i = 0; i < n; ++i) {
    if (!triggerLevelSet[i]) {
      enable[i] = 0;
      high[i] = 0.0f;
      low[i] = 0.0f;
      continue;
    }
    // RX5K10 converts the sign-extended 16-bit code, the 24-bit types the 24-bit code.
    const int hc = bits == 16 ? rawHigh[i] : static_cast<int>(static_cast<uint32_t>(rawHigh[i]) & mask);
    const int lc = bits == 16 ? rawLow[i] : static_cast<int>(static_cast<uint32_t>(rawLow[i]) & mask);
    enable[i] = 1;
    if (Calibrate_Hex2Float(hc, i, gainCode, &high[i]) != 1 ||
        Calibrate_Hex2Float(lc, i, gainCode, &low[i]) != 1)
      return 0;
  }
  return 1;
}

}  // namespace nivex

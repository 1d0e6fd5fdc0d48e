// RXBN500: scan parameters and analog triggers.
#include <cstring>

#include "drivers/highspeed/HighSpeedScan.h"
#include "drivers/highspeed/RXBN500_Class.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {
namespace {

inline int Fail(unsigned int code) {
  _SetLastError(code);
  return 0;
}

constexpr int kMaxRate = 128000;
constexpr unsigned int kMaxTarget = 15000000;
constexpr int64_t kMaxContinuousLoad = 170664;
constexpr float kLevelLimit = 10.0f;

int32_t Saturate24(float x) {
  if (x >= 8388607.0f) return 8388607;
  if (x <= -8388608.0f) return -8388608;
  return static_cast<int32_t>(x);
}

int LevelToRaw(HighSpeedModel& self, int ch, float volts, int32_t* raw) {
  const float G = self.cal.bnGain[ch];
  const int32_t O = self.cal.bnOffset[ch];
  if (G == 0.0f) return 0;
  const float span = static_cast<float>(int64_t{0x7FFFFF} - O);
  *raw = Saturate24(volts * span / G + static_cast<float>(O));
  return 1;
}

bool Digit(const char* reply, size_t pos, int* value) {
  if (strnlen(reply, pos + 1) < pos + 1 || reply[pos] < '0' || reply[pos] > '9') return false;
  *value = reply[pos] - '0';
  return true;
}

}  // namespace

int RXBN500::SetScanParam(short chCnt, short gain, short trig, int rate, unsigned int target,
                          short M, short A) {
  if (chCnt < 1 || chCnt > Channels()) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (gain != 0) return Fail(QZ_ERR_GAIN_RANGE);
  if (rate < 1 || rate > kMaxRate || target > kMaxTarget) return Fail(QZ_ERR_VALUE_RANGE);
  char rateCommand[kRateCommandSize];
  const int actual = SampleRate_FloattoCommand_MIN_FMOD(rate, rateCommand);
  const int64_t load = static_cast<int64_t>(chCnt) * actual;
  if (target == 0 && trig == 0 && load > kMaxContinuousLoad)
    return Fail(QZ_ERR_SCAN_PARAM_CONFLICT);
  // Checked before anything is sent, so a refused call changes neither host nor module.
  if (trig != 0 && trig != 6 && trig != 8) return Fail(QZ_ERR_TRIGGER_MODE);
  if (M < 0 || M > 9) return Fail(QZ_ERR_VALUE_RANGE);

  int T = 0;
  if (trig == 6) T = 2;
  else if (trig == 8) T = 8;
  else if (M == 0 && load > kMaxContinuousLoad) T = 1;

  // The rate goes first on this type; the cache follows the module.
  if (!SetCommand("%s", rateCommand)) return 0;
  sampleRate = actual;
  if (!SetCommand("~01PC%dT%dM%d", chCnt, T, M)) return 0;
  msleep(1);
  channelCount = static_cast<unsigned short>(chCnt);
  triggerMode = static_cast<unsigned short>(trig);
  transferMode = static_cast<unsigned short>(M);
  msleep(1);
  return SendTargetAndAck(target, A);
}

int RXBN500::GetScanParam(short* chCnt, short* gain, short* trig, int* rate,
                          unsigned int* target, short* M, short* A) {
  if (chCnt == nullptr || gain == nullptr || trig == nullptr || rate == nullptr ||
      target == nullptr || M == nullptr || A == nullptr)
    return Fail(QZ_ERR_INVALID_ARGUMENT);
  char reply[kReplySize];
  // "!01C%dT%dM%d"
  int c = 0, t = 0, m = 0;
  if (!Query(reply, "~01P") || !Digit(reply, 4, &c) || !Digit(reply, 6, &t) ||
      !Digit(reply, 8, &m) || c < 1 || c > Channels())
    return Fail(QZ_ERR_DEVICE_RESPONSE);
  channelCount = static_cast<unsigned short>(c);
  if (t == 2) triggerMode = 6;
  else if (t == 0 || t == 1) triggerMode = 0;
  transferMode = static_cast<unsigned short>(m);
  *gain = 0;
  *chCnt = static_cast<short>(c);
  *trig = static_cast<short>(triggerMode);
  *M = static_cast<short>(m);
  return ReadRateTargetAck(true, rate, target, A);
}

int RXBN500::SetAIAnalogTriggerParam(int type, char* enable, float* high, float* low, int n,
                                     unsigned int pre, unsigned int post) {
  return SetTriggerLevels(type, enable, high, low, n, pre, post, kLevelLimit, 24, &LevelToRaw,
                          triggerHigh, triggerLow, &triggerType);
}

int RXBN500::GetAIAnalogTriggerParam(int* type, char* enable, float* high, float* low, int n,
                                     unsigned int* pre, unsigned int* post) {
  return GetTriggerLevels(type, enable, high, low, n, pre, post, 24, triggerHigh, triggerLow,
                          &triggerType);
}

}  // namespace nivex

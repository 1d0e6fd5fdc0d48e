// RX5K30: scan parameters and analog triggers.
#include "drivers/highspeed/HighSpeedScan.h"
#include "drivers/highspeed/RX5K30_Class.h"
#include "framework/Calibration.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {
namespace {

constexpr int kMaxRate = 128000;
constexpr unsigned int kMaxTarget = 30000000;
constexpr int kMaxGain = calib::kRx5k30Gains - 1;

int LevelToRaw(HighSpeedModel& self, int ch, float volts, int32_t* raw) {
  const int g = self.GainCode();
  if (g < 0 || g > kMaxGain) return 0;
  const HighSpeedCalibration& cal = self.Calibration();
  const float R = cal.range[g];
  const float O = static_cast<float>(cal.offset[ch][g]);
  const float G = static_cast<float>(cal.gain[ch][g]);
  if (R == 0.0f || G == 0.0f) return 0;
  *raw = SaturateCode((2147483648.0f / R * volts - O) * (128.0f / G), 24);
  return 1;
}

}  // namespace

int RX5K30::SetScanParam(short chCnt, short gain, short trig, int rate, unsigned int target,
                         short M, short A) {
  if (chCnt < 1 || chCnt > Channels()) return Fail(QZ_ERR_CHANNEL_RANGE);
  if (gain < 0 || gain > kMaxGain) return Fail(QZ_ERR_GAIN_RANGE);
  if (rate < 1 || rate > kMaxRate) return Fail(QZ_ERR_VALUE_RANGE);
  const int64_t load = static_cast<int64_t>(chCnt) * rate;
  if (target == 0 && trig == 0 && load > 256000) return Fail(QZ_ERR_SCAN_PARAM_CONFLICT);
  if (target > kMaxTarget) return Fail(QZ_ERR_VALUE_RANGE);
  if (trig != 0 && trig != 6 && trig != 8) return Fail(QZ_ERR_TRIGGER_MODE);
  if (M < 0 || M > 9) return Fail(QZ_ERR_VALUE_RANGE);

  // The module's trigger digit: 2 analog, 8 chunk stream; software 1 when the load needs the
  // module's buffered mode (only possible with a target).
  const int T = TriggerDigit(trig, M == 0 && load > 256000);
  if (!SetCommand("~01PG%dC%dT%dM%d", gain, chCnt, T, M)) return 0;
  KeepScanSetup(gain, chCnt, trig, M);
  char rateCommand[kRateCommandSize];
  SampleRate_FloattoCommand_MAX_FMOD(rate, rateCommand);
  if (!SetCommand("%s", rateCommand)) return 0;
  msleep(1);
  sampleRate = rate;  // the requested rate
  return SendTargetAndAck(target, A);
}

int RX5K30::GetScanParam(short* chCnt, short* gain, short* trig, int* rate,
                         unsigned int* target, short* M, short* A) {
  if (!ScanOutputsGiven(chCnt, gain, trig, rate, target, M, A)) return 0;
  int d[4] = {};  // "!01G%dC%dT%dM%d"
  if (!QueryScanDigits(d, 4)) return 0;
  const int g = d[0], c = d[1], t = d[2], m = d[3];
  if (g > kMaxGain || c < 1 || c > Channels()) return Fail(QZ_ERR_DEVICE_RESPONSE);
  // Trigger digit 2 is the analog trigger, 0 and 1 software; any other keeps the cached mode.
  KeepScanReply(g, c, t == 2 ? 6 : (t <= 1 ? 0 : triggerMode), m, chCnt, gain, trig, M);
  return ReadRateTargetAck(true, rate, target, A);
}

int RX5K30::SetAIAnalogTriggerParam(int type, char* enable, float* high, float* low, int n,
                                    unsigned int pre, unsigned int post) {
  // The nominal full scale of the gain code is the level limit.
  const float limit = gainCode <= kMaxGain ? calib::kRx5k30FullScale[gainCode] : 0.0f;
  return SetTriggerLevels(type, enable, high, low, n, pre, post, limit, 24, &LevelToRaw,
                          triggerHigh, triggerLow, &triggerType);
}

int RX5K30::GetAIAnalogTriggerParam(int* type, char* enable, float* high, float* low, int n,
                                    unsigned int* pre, unsigned int* post) {
  return GetTriggerLevels(type, enable, high, low, n, pre, post, 24, triggerHigh, triggerLow,
                          &triggerType);
}

}  // namespace nivex

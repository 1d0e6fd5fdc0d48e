// RXBN500: scan parameters and analog triggers.
#include "drivers/highspeed/HighSpeedScan.h"
#include "drivers/highspeed/RXBN500_Class.h"
#include "framework/Calibration.h"
#include "support/FaultText.h"
#include "support/utility.h"

namespace nivex {
namespace {

constexpr int kMaxRate = 128000;
constexpr unsigned int kMaxTarget = 15000000;
constexpr int64_t kMaxContinuousLoad = 170664;
constexpr float kLevelLimit = 10.0f;

// The code whose read-back gives the level again (the exact inverse of the conversion).
int LevelToRaw(HighSpeedModel& self, int ch, float volts, int32_t* raw) {
  const HighSpeedCalibration& cal = self.Calibration();
  return calib::CodeOfVoltsBN(volts, cal.bnOffset[ch], cal.bnGainMilli[ch], raw);
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

  const int T = TriggerDigit(trig, M == 0 && load > kMaxContinuousLoad);

  // The rate goes first on this type; the cache follows the module.
  if (!SetCommand("%s", rateCommand)) return 0;
  sampleRate = actual;
  if (!SetCommand("~01PC%dT%dM%d", chCnt, T, M)) return 0;
  KeepScanSetup(-1, chCnt, trig, M);  // one gain code: nothing to reload
  return SendTargetAndAck(target, A);
}

int RXBN500::GetScanParam(short* chCnt, short* gain, short* trig, int* rate,
                          unsigned int* target, short* M, short* A) {
  if (!ScanOutputsGiven(chCnt, gain, trig, rate, target, M, A)) return 0;
  int d[3] = {};  // "!01C%dT%dM%d"
  if (!QueryScanDigits(d, 3)) return 0;
  const int c = d[0], t = d[1], m = d[2];
  if (c < 1 || c > Channels()) return Fail(QZ_ERR_DEVICE_RESPONSE);
  // Trigger digit 2 is the analog trigger, 0 and 1 software; any other keeps the cached mode.
  KeepScanReply(-1, c, t == 2 ? 6 : (t <= 1 ? 0 : triggerMode), m, chCnt, gain, trig, M);
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

// The calibration arithmetic shared by the drivers and the stored-log reader.
//
// The RX5K30 conversion forecasts an overflow of (gain x code / 128 + offset) x ratio from the
// two 16-bit halves of its two partial products before it multiplies, with 32-bit wrap-around
// arithmetic as the module's own firmware does; the final sum is formed in 64 bits so that a
// small code with a negative offset stays small instead of wrapping to full scale.
#include "framework/Calibration.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>

#include "support/utility.h"

// Every float operation here rounds to float, as on x86-64 and 32-bit ARM; a build that keeps
// float intermediates in more precision (the x87 unit of 32-bit x86) would give other codes.
static_assert(FLT_EVAL_METHOD == 0, "float arithmetic must round each step (x86: -mfpmath=sse)");

namespace nivex::calib {
namespace {

// The bits of u as an int32 (two's complement).
int32_t AsInt(uint32_t u) { return static_cast<int32_t>(u); }

// x >> n rounding toward minus infinity, also for negative x.
int32_t ShiftDown(int32_t x, int n) { return x >= 0 ? x >> n : ~((~x) >> n); }

// One 16-bit half h of a partial product scaled by range / full scale, truncated twice as
// the module does: trunc(trunc(1000 R x h) / (1000 FS)).
int32_t ScaleHalf(int32_t h, float range1000, float fullScale1000) {
  const int32_t a = FloatToInt(range1000 * static_cast<float>(h));
  return FloatToInt(static_cast<float>(a) / fullScale1000);
}

}  // namespace

const float kRx5k30FullScale[kRx5k30Gains] = {10.0f, 5.0f,  2.5f,   1.25f, 0.625f,
                                              0.3f,  0.15f, 0.075f, 0.04f, 0.02f};

int32_t FloatToInt(float f) {
  if (!(f > -2147483904.0f && f < 2147483648.0f)) return INT32_MIN;  // NaN too
  return static_cast<int32_t>(f);
}

int32_t SignExtend24(int code) { return SignExtend(static_cast<uint32_t>(code), 24); }

float RangeVolts(uint32_t millivolts) { return static_cast<float>(millivolts) / 1000.0f; }

int32_t Calibrate16(int code, uint16_t gain, int16_t offset) {
  const int32_t c = static_cast<int16_t>(static_cast<uint16_t>(code & 0xFFFF));
  const int32_t product = c * static_cast<int32_t>(gain);  // |product| < 2^31
  const int32_t v = ShiftDown(product, 15) + offset;
  if (v > 32767) return 32767;
  if (v < -32768) return -32768;
  return v;
}

bool Volts16(int32_t calibrated, int gainCode, float* volts) {
  switch (gainCode) {
    case 0: *volts = static_cast<float>(calibrated) / 6553.6f; return true;
    case 1: *volts = static_cast<float>(calibrated) / 3276.8f; return true;
    default: *volts = 0.0f; return false;
  }
}

bool Calibrate24(int code, uint16_t gain, int16_t offset, float rangeVolts, float fullScale,
                 int32_t* out) {
  if (code < 0 || code > 0xFFFFFF) return false;
  if (code == 0x7FFFFF) {
    *out = INT32_MAX;
    return true;
  }
  if (code == 0x800000) {
    *out = INT32_MIN;
    return true;
  }
  const uint32_t u = static_cast<uint32_t>(code);
  const uint32_t g = gain;
  const int32_t o = offset;
  const float ratio = rangeVolts / fullScale;
  const float r1000 = 1000.0f * rangeVolts;
  const float fs1000 = 1000.0f * fullScale;

  if (code < 0x7FFFFF) {  // positive
    const uint32_t hi = (u >> 8) & 0xFFFFu;
    const uint32_t lo = u & 0xFFu;
    const uint32_t t = hi * g * 2u;  // < 2^32: hi < 2^15
    const uint32_t c = (g * lo) / 128u;
    const int32_t th = ScaleHalf(AsInt(t >> 16), r1000, fs1000);
    const int32_t tl = ScaleHalf(AsInt(t & 0xFFFFu), r1000, fs1000);
    const int32_t ch = ScaleHalf(AsInt(c >> 16), r1000, fs1000);
    const int32_t cl = ScaleHalf(AsInt(c & 0xFFFFu), r1000, fs1000);
    if (static_cast<int64_t>(th) + ShiftDown(tl, 16) > 32767) {
      *out = INT32_MAX;
      return true;
    }
    const uint32_t room = 0x7FFFFFFFu - (static_cast<uint32_t>(th) << 16) - static_cast<uint32_t>(tl);
    const uint32_t cpart = (static_cast<uint32_t>(ch) << 16) + static_cast<uint32_t>(cl);
    if (AsInt(room) < AsInt(cpart) ||
        AsInt(room - cpart) <
            FloatToInt(static_cast<float>(static_cast<uint16_t>(offset)) * ratio)) {
      *out = INT32_MAX;
      return true;
    }
    const int64_t sum = static_cast<int64_t>(t) + c + o;
    const int32_t v = FloatToInt(static_cast<float>(sum) * ratio);
    *out = v == INT32_MIN ? INT32_MAX : v;
    return true;
  }

  // Negative: bits 8..23 and the low byte taken sign-extended.
  const int32_t hi = AsInt(((u >> 8) & 0xFFFFu) | 0xFFFF0000u);
  const int32_t lo = AsInt((u & 0xFFu) | 0xFFFFFF00u);
  const int64_t t = static_cast<int64_t>(hi) * static_cast<int64_t>(g) * 2;
  const int32_t c = (static_cast<int32_t>(g) * lo) / 128;
  const uint32_t tw = static_cast<uint32_t>(t);
  const uint32_t cw = static_cast<uint32_t>(c);
  const int32_t th = ScaleHalf(AsInt((tw >> 16) | 0xFFFF0000u), r1000, fs1000);
  const int32_t tl = ScaleHalf(AsInt((tw & 0xFFFFu) | 0xFFFF0000u), r1000, fs1000);
  const int32_t ch = ScaleHalf(AsInt((cw >> 16) | 0xFFFF0000u), r1000, fs1000);
  const int32_t cl = ScaleHalf(AsInt((cw & 0xFFFFu) | 0xFFFF0000u), r1000, fs1000);
  if (static_cast<int64_t>(th) + ShiftDown(tl, 16) < -32768) {
    *out = INT32_MIN;
    return true;
  }
  const uint32_t room = 0x80000000u - (static_cast<uint32_t>(th) << 16) - static_cast<uint32_t>(tl);
  const uint32_t cpart = (static_cast<uint32_t>(ch) << 16) + static_cast<uint32_t>(cl);
  if (AsInt(room) > AsInt(cpart)) {
    *out = INT32_MIN;
    return true;
  }
  const int64_t sum = t + c + o;
  const int32_t v = FloatToInt(static_cast<float>(sum) * ratio);
  *out = v == INT32_MAX ? INT32_MIN : v;
  return true;
}

float Volts24(int32_t calibrated, float fullScale) {
  const float v = fullScale * static_cast<float>(calibrated) / 2147483648.0f;
  if (v > fullScale) return fullScale;
  if (v < -fullScale) return -fullScale;
  return v;
}

int32_t CalibrateBN(int code, int32_t offset, uint32_t gainMilli, BnScale scale) {
  const int64_t v = static_cast<int64_t>(SignExtend24(code)) + offset;
  const float fv = static_cast<float>(v);
  const float f = scale == BnScale::kGainTimesTenth
                      ? (static_cast<float>(gainMilli) / 1000.0f) * (fv / 10.0f)
                      : fv * (static_cast<float>(gainMilli) / 10000.0f);
  if (v < 1) {
    if (256.0f * f < -2147483648.0f) return INT32_MIN;
  } else if (256.0f * f >= 2147483648.0f) {
    return 0x7FFFFF00;
  }
  return AsInt(static_cast<uint32_t>(FloatToInt(f)) << 8);
}

float VoltsBN(int code, int32_t offset, uint32_t gainMilli) {
  const int64_t v = static_cast<int64_t>(SignExtend24(code)) + offset;
  return static_cast<float>(v) * (static_cast<float>(gainMilli) / 1000.0f) / 8388607.0f;
}

bool CodeOfVoltsBN(float volts, int32_t offset, uint32_t gainMilli, int32_t* code) {
  if (gainMilli == 0 || std::isnan(volts)) return false;
  constexpr int64_t kMin = -0x800000, kMax = 0x7FFFFF;
  // The exact inverse in double, held to the code range; then the neighbour whose volts in
  // the conversion's own float arithmetic lie nearest.
  const double gain = static_cast<float>(gainMilli) / 1000.0f;
  double exact = static_cast<double>(volts) * 8388607.0 / gain - offset;
  exact = std::min(std::max(exact, static_cast<double>(kMin)), static_cast<double>(kMax));
  const int64_t guess = std::llround(exact);
  int64_t best = guess;
  double bestError = HUGE_VAL;
  for (int64_t c = std::max(guess - 2, kMin); c <= std::min(guess + 2, kMax); ++c) {
    const double error = std::fabs(
        static_cast<double>(VoltsBN(static_cast<int>(c & 0xFFFFFF), offset, gainMilli)) - volts);
    if (error < bestError) best = c, bestError = error;
  }
  *code = static_cast<int32_t>(best);
  return true;
}

}  // namespace nivex::calib

// The host's conversions, modelled here only to be inverted: each raw code is chosen so that
// the host's arithmetic gives back the code or the volts nearest to the signal.
#include "emulator/InverseCalibration.h"

#include <algorithm>
#include <cmath>

namespace nivex::emu {
namespace {

constexpr int32_t kMin24 = -0x800000;
constexpr int32_t kMax24 = 0x7FFFFF;

int Q15(int raw, unsigned gain, int offset) {
  const int64_t v = ((static_cast<int64_t>(raw) * gain) >> 15) + offset;
  return static_cast<int>(std::clamp<int64_t>(v, -32768, 32767));
}

// The volts the host reads for an RX5K30 raw code: (gain x code / 128 + offset) scaled by
// the range; a negative code comes out as the code 256 below it, the two end codes as the
// nominal full scale.
double Rx5k30Volts(int32_t code, const CalEntry& e, double fullScale) {
  if (code == kMax24) return fullScale;
  if (code == kMin24) return -fullScale;
  const double effective = code >= 0 ? code : code - 256.0;
  const double v = (e.gain * effective / 128.0 + e.offset) * (e.rangeMv / 1000.0) / 2147483648.0;
  return std::clamp(v, -fullScale, fullScale);
}

}  // namespace

int InverseQ15(double target, unsigned gain, int offset) {
  if (gain == 0) return 0;
  // The conversion never falls as the raw code rises: find the first code that reaches the
  // target, then take it or the one below, whichever lands nearer.
  int lo = -32768, hi = 32767;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (Q15(mid, gain, offset) >= target) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  if (lo > -32768 && target - Q15(lo - 1, gain, offset) < Q15(lo, gain, offset) - target)
    return lo - 1;
  return lo;
}

int32_t InverseRx5k30(double volts, const CalEntry& e, double fullScale) {
  const double range = e.rangeMv / 1000.0;
  if (e.gain == 0 || range == 0.0 || std::isnan(volts)) return 0;
  // The code the conversion's formula asks for, and the same 256 higher for the negative
  // side; the nearest of their neighbours wins.
  const double c = std::floor((volts / range * 2147483648.0 - e.offset) * 128.0 / e.gain);
  int32_t best = 0;
  double bestErr = -1.0;
  for (double candidate : {c, c + 1, c + 256, c + 257}) {
    const auto code = static_cast<int32_t>(std::clamp<double>(candidate, kMin24, kMax24));
    const double err = std::fabs(Rx5k30Volts(code, e, fullScale) - volts);
    if (bestErr < 0 || err < bestErr) {
      best = code;
      bestErr = err;
    }
  }
  return best;
}

int32_t InverseBn500(double volts, const CalEntry& e) {
  const double g = e.gain / 1000.0;
  if (g == 0.0 || std::isnan(volts)) return 0;
  const double code = std::floor(volts * 8388607.0 / g - e.offset + 0.5);
  return static_cast<int32_t>(std::clamp<double>(code, kMin24, kMax24));
}

}  // namespace nivex::emu

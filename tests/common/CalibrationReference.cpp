// The calibration formulas, written out for the tests.
#include "tests/common/CalibrationReference.h"

#include <cmath>

namespace nivex::test {
namespace {

int64_t Code24(int code) {
  const int64_t c = code & 0xFFFFFF;
  return c >= 0x800000 ? c - 0x1000000 : c;
}

double HoldInt32(double v) {
  if (v > 2147483647.0) return 2147483647.0;
  if (v < -2147483648.0) return -2147483648.0;
  return v;
}

}  // namespace

int32_t Reference16(int code, uint16_t gain, int16_t offset) {
  int64_t c = code & 0xFFFF;
  if (c >= 0x8000) c -= 0x10000;
  const int64_t product = c * gain;
  // Division rounding down, also for a negative product.
  const int64_t shifted = product >= 0 ? product / 32768 : -((-product + 32767) / 32768);
  const int64_t v = shifted + offset;
  return static_cast<int32_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

int64_t Reference5K30Sum(int code, uint16_t gain, int16_t offset) {
  const int64_t v = Code24(code);
  const int64_t hi = v >= 0 ? v / 256 : -((-v + 255) / 256);  // rounded down
  const int64_t lo = v >= 0 ? (v & 0xFF) : (v & 0xFF) - 256;
  return hi * gain * 2 + (gain * lo) / 128 + offset;
}

double Reference5K30(int code, uint16_t gain, int16_t offset, unsigned rangeMv,
                     double fullScale) {
  const double sum = static_cast<double>(Reference5K30Sum(code, gain, offset));
  return HoldInt32(std::trunc(sum * (rangeMv / 1000.0) / fullScale));
}

double ReferenceBN500(int code, int32_t offset, uint32_t gainMilli) {
  const double v = static_cast<double>(Code24(code) + offset);
  return HoldInt32(std::trunc(v * gainMilli / 10000.0) * 256.0);
}

}  // namespace nivex::test

// The conversions of raw module codes into calibrated codes and volts, in one place for the
// live drivers, the scan path and the stored-log reader, so every path gives the same values
// (but for the RXBN500 calibrated codes, which each path rounds its own way, see BnScale).
// Plain arithmetic on values the caller passes in: no allocation, no state, no error codes
// (the callers check channel and gain code before they look up the values passed here).
#pragma once

#include <cstdint>

namespace nivex::calib {

// RX5K30: nominal full scale of the gain codes 0..9, volts.
constexpr int kRx5k30Gains = 10;
extern const float kRx5k30FullScale[kRx5k30Gains];

// A float converted to int32 as the x86 conversion does it: toward zero; NaN and values
// outside the int32 range give INT32_MIN ("integer indefinite").
int32_t FloatToInt(float f);

// The low 24 bits of code as a two's-complement value.
int32_t SignExtend24(int code);

// A range in millivolts as the float volts the RX5K30 conversion works with.
float RangeVolts(uint32_t millivolts);

// ---------------------------------------------------------------- 16-bit modules
// RX5K10 and D4071s: ((int16 code x gain) >> 15) + offset, held to -32768..32767.
int32_t Calibrate16(int code, uint16_t gain, int16_t offset);
// Volts of a calibrated 16-bit value: gain code 0 is +/-5 V, 1 is +/-10 V. false (volts 0.0)
// for any other gain code.
bool Volts16(int32_t calibrated, int gainCode, float* volts);

// ---------------------------------------------------------------- RX5K30 (24-bit)
// (gain x code / 128 + offset) x rangeVolts / fullScale, saturated to the int32 range.
// 0x7FFFFF and 0x800000 give INT32_MAX and INT32_MIN. Returns false, *out unchanged, for a
// code outside 0..0xFFFFFF. Negative codes come out 256 codes below gain x code / 128 (the
// low byte enters sign-extended); stored results rely on it.
bool Calibrate24(int code, uint16_t gain, int16_t offset, float rangeVolts, float fullScale,
                 int32_t* out);
// Volts of a calibrated RX5K30 value: fullScale x value / 2^31, held to +/-fullScale.
float Volts24(int32_t calibrated, float fullScale);

// ---------------------------------------------------------------- RXBN500 (24-bit)
// gainMilli is the calibration gain x 1000 as the module reports it (10000 = 10.0 = unity).
// How the calibrated code applies it; the two round differently (for about a tenth of the
// codes, by one 24-bit step), and each path keeps its own:
enum class BnScale {
  kGainTimesTenth,    // live devices: gain x (v / 10), the gain held as a float in volts
  kTimesRangeOver10k  // stored logs: v x (gain x 1000 / 10000)
};
// (sign-extended code + offset) x gain / 10 in single precision, truncated, as a 24-bit value
// in the upper three bytes of the result; a value beyond the 24-bit range saturates to
// 0x7FFFFF00 or 0x80000000.
int32_t CalibrateBN(int code, int32_t offset, uint32_t gainMilli, BnScale scale);
// Volts: (sign-extended code + offset) x gain / 8388607.
float VoltsBN(int code, int32_t offset, uint32_t gainMilli);
// The inverse of VoltsBN: the code in -0x800000..0x7FFFFF whose volts lie nearest to volts
// (the nearest end of the range beyond it). false, *code unchanged, for a zero gain or a
// volts value that is not a number.
bool CodeOfVoltsBN(float volts, int32_t offset, uint32_t gainMilli, int32_t* code);

}  // namespace nivex::calib

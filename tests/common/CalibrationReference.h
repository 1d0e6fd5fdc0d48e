// The calibration formulas written out again for the tests, independently of the kit: plain
// 64-bit integer and double arithmetic. The kit's single-precision steps agree with them to
// within the bounds the tests state.
#pragma once

#include <cstdint>

namespace nivex::test {

// 16-bit modules: (low 16 bits of code as int16 x gain) >> 15, rounded down, + offset, held
// to -32768..32767.
int32_t Reference16(int code, uint16_t gain, int16_t offset);

// RX5K30 before its scaling: gain x code / 128 + offset for a 24-bit two's-complement code,
// the low byte of a negative code entering sign-extended (256 codes below the exact product).
int64_t Reference5K30Sum(int code, uint16_t gain, int16_t offset);
// RX5K30: that sum x (rangeMv / 1000) / fullScale, held to the int32 range.
double Reference5K30(int code, uint16_t gain, int16_t offset, unsigned rangeMv, double fullScale);

// RXBN500: (24-bit code + offset) x gainMilli / 10000, truncated, as a 24-bit value in the
// upper three bytes of an int32.
double ReferenceBN500(int code, int32_t offset, uint32_t gainMilli);

}  // namespace nivex::test

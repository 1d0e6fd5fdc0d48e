// Scan setup shared by the high-speed drivers: the sample-rate search of the 24-bit modules and
// the trigger-level code range.
//
// The 24-bit modules divide their 16,384,000 Hz sampling clock by three factors a, b and c;
// their rate command names the factors ("~01R%02d%02d%04d"). The two searches below turn a
// requested rate into the nearest reachable one, in single-precision arithmetic, so they give
// the same command on every build.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nivex {

// Room for a rate command text with its NUL.
constexpr size_t kRateCommandSize = 40;

// A trigger level x as a code of `bits` bits (16 or 24): truncated toward zero and held at the
// ends of the code range.
int32_t SaturateCode(float x, int bits);

// The candidate rate of the factors (a, b, c): ((16384000 / a) / b) / c in float; 0 when a, b
// or c is not one of the module's factors.
float RateCandidate(int a, int b, int c);

// RX5K30: writes the rate command of the candidate nearest to rate into command (at least
// kRateCommandSize bytes); among equal candidates the first in a, b, c order is named.
void SampleRate_FloattoCommand_MAX_FMOD(int rate, char* command);

// RXBN500: the same with the loops in c, b, a order; returns the actual rate (truncated).
int SampleRate_FloattoCommand_MIN_FMOD(int rate, char* command);

}  // namespace nivex

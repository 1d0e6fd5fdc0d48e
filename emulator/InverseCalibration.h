// The raw codes a module sends for a signal: the inverse of the host's conversion of each
// type, so that the host reads the signal back to the nearest step.
#pragma once

#include <cstdint>

#include "emulator/EmulatorOptions.h"

namespace nivex::emu {

// RX5K10 and D4071s: the 16-bit raw code whose conversion ((raw x gain) >> 15) + offset,
// clamped to 16 bits, comes nearest to `target` (the signal in calibrated codes).
int InverseQ15(double target, unsigned gain, int offset);

// RX5K30: the 24-bit raw code (sign-extended) whose conversion with the entry gives volts
// nearest to `volts`; fullScale is the nominal full scale of the gain code.
int32_t InverseRx5k30(double volts, const CalEntry& e, double fullScale);

// RXBN500: the 24-bit raw code (sign-extended) nearest to volts with gain x 1000 and offset.
int32_t InverseBn500(double volts, const CalEntry& e);

}  // namespace nivex::emu

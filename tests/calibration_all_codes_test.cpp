// Every 24-bit code of an RXBN500 through the calibrated-code conversion, on a device that
// loaded its calibration from the module and on a stored-log handle, each against the
// formula of its own path written out here: the device scales by gain x (v / 10) with the
// gain as a float, the stored log by v x (range / 10000). The two round differently.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "api/ModelLog.h"
#include "framework/RXMODEL_Class.h"
#include "tests/common/DeviceFixture.h"

namespace {

using nivex::emu::CalEntry;
using nivex::emu::Emulator;
using nivex::emu::Model;

// (gain x 1000, offset) of channels 0..3.
const CalEntry kCalibrations[4] = {
    {10000, 0, 0}, {9876, 1234, 0}, {10500, -43210, 0}, {12345, 7, 0}};

// The formula's value, or written false when it leaves the output as it was.
struct Expected {
  bool written;
  int32_t value;
};

int32_t Signed24(int code) { return ((code & 0xFFFFFF) ^ 0x800000) - 0x800000; }

Expected Finish(int32_t v, float f) {
  if ((v < 1 && 256.0f * f < -2147483648.0) || (v >= 1 && 256.0f * f > 2147483648.0))
    return {false, 0};
  return {true, static_cast<int32_t>(static_cast<uint32_t>(static_cast<int32_t>(f)) << 8)};
}

Expected DeviceFormula(int code, const CalEntry& c) {
  const int32_t v = Signed24(code) + c.offset;
  const float gain = static_cast<float>((c.gain & 0xFFFF) / 1000.0);
  return Finish(v, gain * (static_cast<float>(v) / 10.0f));
}

Expected LogFormula(int code, const CalEntry& c) {
  const int32_t v = Signed24(code) + c.offset;
  return Finish(v, static_cast<float>(v) * (static_cast<float>(c.gain) / 10000.0f));
}

// Where the formula leaves its output alone, or shifts a positive value into the sign bit,
// the kit gives the nearest end of the 24-bit range instead.
int32_t Want(const Expected& e, int code, const CalEntry& c) {
  const bool positive = Signed24(code) + c.offset >= 1;
  if (e.written && !(positive && e.value < 0)) return e.value;
  return positive ? 0x7FFFFF00 : INT32_MIN;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kStride = 97;  // the instrumented build samples the codes
#else
constexpr int kStride = 1;
#endif

// Runs convert(code, channel, &out) over every code of every channel; the number of codes
// whose result differs from formula, and the first of them.
template <class Convert, class Formula>
void ExpectAllCodes(Convert convert, Formula formula, const char* path) {
  for (int ch = 0; ch < 4; ++ch) {
    int wrong = 0, first = -1, firstGot = 0;
    for (int code = 0; code <= 0xFFFFFF; code += kStride) {
      int out = 0x5A5A5A5A;
      const int result = convert(code, ch, &out);
      if (result == 1 && out == Want(formula(code, kCalibrations[ch]), code, kCalibrations[ch]))
        continue;
      if (wrong++ == 0) first = code, firstGot = out;
    }
    EXPECT_EQ(wrong, 0) << path << " channel " << ch << ": first code 0x" << std::hex << first
                        << " gave 0x" << firstGot;
  }
}

TEST(CalibrationAllCodes, Rxbn500DeviceAndStoredLogFollowTheirFormulas) {
  nivex::test::Device d(Model::RXBN500, nullptr, [](Emulator& e) {
    for (int ch = 0; ch < 4; ++ch) e.SetCalibration(ch, 0, kCalibrations[ch]);
  });
  ASSERT_TRUE(d.ok());
  nivex::MODEL& dev = d.model();
  ExpectAllCodes([&](int code, int ch, int* out) { return dev.Calibrate_HEX(code, ch, 0, out); },
                 DeviceFormula, "device");

  nivex::WRXmodule row{};
  for (const nivex::WRXmodule& r : nivex::WRXMODULE)
    if (r.id == nivex::kIdRXBN500) row = r;
  auto* log = new nivex::ModelLog(row, nivex::ModelLog::kKind24);
  for (int ch = 0; ch < 4; ++ch) {
    log->rangeTable[ch] = kCalibrations[ch].gain;
    log->offsetTable[ch] = kCalibrations[ch].offset;
  }
  ExpectAllCodes([&](int code, int ch, int* out) { return log->Calibrate_HEX(code, ch, 0, out); },
                 LogFormula, "stored log");
  nivex::ReleaseModelLog(log);
}

}  // namespace

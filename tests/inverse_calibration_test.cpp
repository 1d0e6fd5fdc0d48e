// The codes the emulator sends for a signal: with non-unity calibration entries, the kit's
// conversion gives back the step nearest the signal. The nearest reachable step comes from a
// search over every raw code with the conversion written out here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "nivex.h"
#include "tests/common/DeviceFixture.h"

namespace {

using nivex::emu::CalEntry;
using nivex::emu::Emulator;
using nivex::emu::Model;
using nivex::test::Device;

// ((raw x gain) >> 15) + offset, clamped to 16 bits: the 16-bit types' calibrated code.
int Q15(int raw, unsigned gain, int offset) {
  const int64_t v = ((static_cast<int64_t>(static_cast<int16_t>(raw)) * gain) >> 15) + offset;
  return static_cast<int>(std::clamp<int64_t>(v, -32768, 32767));
}

// The distance from target to the nearest calibrated code any raw code reaches.
double NearestReachable(double target, unsigned gain, int offset) {
  double best = 1e9;
  for (int raw = -32768; raw <= 32767; ++raw)
    best = std::min(best, std::fabs(Q15(raw, gain, offset) - target));
  return best;
}

// Sets the channels to signals spread over +-0.85 of full scale (step k of 25) and reads
// their calibrated codes (the D4071s's raw codes through the kit's calibration).
void ReadSweep(Device& d, int gain, double fullScale, int channels, int k, int* codes) {
  for (int ch = 0; ch < channels; ++ch)
    d.emu().SetSignal(ch, fullScale * (-0.85 + 1.7 * (k * channels + ch) / (25.0 * channels)) +
                              0.000123 * ch);
  ASSERT_EQ(QZ_ReadAIALLHEX(d.h(), gain, codes, channels), 1);
  if (d.emu().options().model != Model::D4071s) return;
  for (int ch = 0; ch < channels; ++ch)
    ASSERT_EQ(QZ_Calibrate_Data_HEX(d.h(), ch, gain, codes[ch], &codes[ch]), 1);
}

TEST(InverseCalibration, SixteenBitTypesReadTheNearestStep) {
  const CalEntry entries[2] = {{31000, 77, 0}, {34000, -120, 0}};
  for (Model m : {Model::RX5K10, Model::D4071s}) {
    SCOPED_TRACE(nivex::emu::ModelText(m));
    Device d(m, nullptr, [&](Emulator& e) {
      for (int ch = 0; ch < 8; ++ch)
        for (int g = 0; g < 2; ++g) ASSERT_TRUE(e.SetCalibration(ch, g, entries[ch / 4]));
    });
    ASSERT_TRUE(d.ok());
    for (int gain = 0; gain < 2; ++gain) {
      const double scale = gain == 0 ? 6553.6 : 3276.8;  // codes per volt
      for (int k = 0; k < 25; ++k) {
        int codes[8] = {};
        ReadSweep(d, gain, 32768.0 / scale, 8, k, codes);
        for (int ch = 0; ch < 8; ++ch) {
          const CalEntry& e = entries[ch / 4];
          const double target = d.emu().Signal(ch) * scale;
          const double nearest = NearestReachable(target, e.gain, e.offset);
          EXPECT_LE(std::fabs(codes[ch] - target), nearest + 1e-9)
              << "gain " << gain << " channel " << ch << " signal " << d.emu().Signal(ch);
        }
      }
    }
  }
}

TEST(InverseCalibration, Rx5k30ReadsTheNearestStepOnBothSides) {
  struct Range {
    int gain;
    double fullScale;
    unsigned rangeMv;
  };
  const Range ranges[] = {{0, 10.0, 9950}, {2, 2.5, 2530}};
  const unsigned gains[2] = {31000, 34500};
  const int offsets[2] = {90, -150};
  Device d(Model::RX5K30, nullptr, [&](Emulator& e) {
    for (const Range& r : ranges)
      for (int ch = 0; ch < 4; ++ch)
        ASSERT_TRUE(e.SetCalibration(ch, r.gain, {gains[ch / 2], offsets[ch / 2], r.rangeMv}));
  });
  ASSERT_TRUE(d.ok());
  for (const Range& r : ranges) {
    for (int k = 0; k < 25; ++k) {
      int codes[4] = {};
      ReadSweep(d, r.gain, r.fullScale, 4, k, codes);
      for (int ch = 0; ch < 4; ++ch) {
        // Calibrated codes are volts / full scale x 2^31; one raw step is gain / 128 of them,
        // scaled by range / full scale. Single-precision arithmetic adds up to 2^9.
        const double target = d.emu().Signal(ch) / r.fullScale * 2147483648.0;
        const double step = gains[ch / 2] / 128.0 * (r.rangeMv / 1000.0) / r.fullScale;
        EXPECT_LE(std::fabs(codes[ch] - target), step / 2 + 512.0)
            << "gain " << r.gain << " channel " << ch << " signal " << d.emu().Signal(ch);
      }
    }
  }
}

}  // namespace

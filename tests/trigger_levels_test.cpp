// Analog trigger levels against module replies: RXBN500 levels read back as set whatever the
// channel's calibration, the disabled patterns of the read-back, and how far the read-back
// clears its arrays.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>

#include "nivex.h"
#include "tests/common/DeviceFixture.h"

namespace {

using nivex::emu::CalEntry;
using nivex::emu::Emulator;
using nivex::emu::Model;
using nivex::test::Device;
using nivex::test::FailsWith;

TEST(TriggerLevels, Rxbn500LevelsReadBackAsSetUnderAnyCalibration) {
  struct Case {
    unsigned gainMilli;
    int offset;
  } const cases[] = {{10000, 5000}, {10000, -5000}, {9876, 1234}, {10500, -43210}, {10000, 0}};
  const float levels[][2] = {{1.0f, 0.0f}, {4.2f, -2.5f}, {-6.75f, 0.125f}};
  for (const Case& c : cases) {
    Device d(Model::RXBN500, nullptr,
             [&](Emulator& e) { e.SetCalibration(0, 0, CalEntry{c.gainMilli, c.offset, 0}); });
    ASSERT_TRUE(d.ok());
    ASSERT_EQ(QZ_SetAIScanParam(d.h(), 1, 0, 6, 1000, 100, 0, 0), 1);
    // One code of this channel in volts: the gain over full scale.
    const double step = c.gainMilli / 1000.0 / 8388607.0;
    for (const auto& level : levels) {
      char en[1] = {1};
      float hi[1] = {level[0]}, lo[1] = {level[1]};
      ASSERT_EQ(QZ_SetAIAnalogTriggerParam(d.h(), 1, en, hi, lo, 1, 40, 60), 1);
      int type = 0;
      float gotHi[1] = {}, gotLo[1] = {};
      unsigned pre = 0, post = 0, reserved = 0;
      ASSERT_EQ(QZ_GetAIAnalogTriggerParam(d.h(), &type, en, gotHi, gotLo, 1, &pre, &post,
                                           &reserved),
                1);
      EXPECT_NEAR(gotHi[0], level[0], step) << c.gainMilli << " " << c.offset;
      EXPECT_NEAR(gotLo[0], level[1], step) << c.gainMilli << " " << c.offset;
    }
  }
}

TEST(TriggerLevels, DisabledPatternsOfTheReadBack) {
  // The pair (max, min) is off under every type; its swap (min, max) only under type 3.
  struct Case {
    Model model;
    const char* maxMin;
    const char* minMax;
  } const cases[] = {{Model::RX5K10, "!0100H7FFFL8000", "!0100H8000L7FFF"},
                     {Model::RX5K30, "!0100H7FFFFFL800000", "!0100H800000L7FFFFF"},
                     {Model::RXBN500, "!0100H7FFFFFL800000", "!0100H800000L7FFFFF"}};
  for (const Case& c : cases) {
    Device d(c.model);
    ASSERT_TRUE(d.ok());
    for (int type = 0; type <= 3; ++type) {
      for (const bool swapped : {false, true}) {
        char mode[32];
        std::snprintf(mode, sizeof(mode), "!01XM%dL00000040R00000060", type);
        d.Reply("~01XM", mode);
        d.Reply("~01XC0", swapped ? c.minMax : c.maxMin);
        int t = -1;
        char en[1] = {9};
        float hi[1] = {-1.0f}, lo[1] = {-1.0f};
        unsigned pre = 0, post = 0, reserved = 0;
        ASSERT_EQ(QZ_GetAIAnalogTriggerParam(d.h(), &t, en, hi, lo, 1, &pre, &post, &reserved),
                  1);
        EXPECT_EQ(t, type);
        const bool off = !swapped || type == 3;
        EXPECT_EQ(en[0], off ? 0 : 1) << nivex::emu::ModelText(c.model) << " type " << type
                                      << (swapped ? " swapped" : "");
        if (off) {
          EXPECT_EQ(hi[0], 0.0f);
          EXPECT_EQ(lo[0], 0.0f);
        }
      }
    }
  }
}

// n beyond the inputs: the outputs cleared, but no more entries than the type has (an
// unknown handle: than any type has, the D4071s's 64), and nothing in arrays not given.
TEST(TriggerLevels, RefusedReadBackClearsNoMoreEntriesThanTheTypeHas) {
  constexpr int kSize = 70;
  struct Case {
    Model model;
    bool valid;
    int ai;
    int error;
  } const cases[] = {{Model::RX5K10, true, 8, QZ_ERR_INVALID_VALUE},
                     {Model::RXBN500, true, 4, QZ_ERR_INVALID_VALUE},
                     {Model::D4071s, true, 64, QZ_ERR_INVALID_VALUE},
                     {Model::RX5K10, false, 64, QZ_ERR_INVALID_HANDLE}};
  for (const Case& c : cases) {
    Device d(c.model);
    ASSERT_TRUE(d.ok());
    int junk = 0;
    void* h = c.valid ? d.h() : &junk;
    for (const int n : {c.ai + 1, INT_MAX}) {
      char en[kSize];
      float hi[kSize], lo[kSize];
      for (int i = 0; i < kSize; ++i) en[i] = 1, hi[i] = lo[i] = 2.0f;
      int t = 5;
      unsigned pre = 5, post = 5, reserved = 5;
      EXPECT_TRUE(FailsWith(QZ_GetAIAnalogTriggerParam(h, &t, en, hi, lo, n, &pre, &post, &reserved),
                            c.error));
      EXPECT_EQ(t + static_cast<int>(pre + post + reserved), 0);
      for (int i = 0; i < kSize; ++i) {
        const bool cleared = i < c.ai;
        EXPECT_EQ(en[i], cleared ? 0 : 1) << i;
        EXPECT_EQ(hi[i], cleared ? 0.0f : 2.0f) << i;
        EXPECT_EQ(lo[i], cleared ? 0.0f : 2.0f) << i;
      }
      // Null arrays: nothing to clear, and no time spent on it.
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(QZ_GetAIAnalogTriggerParam(h, &t, nullptr, nullptr, nullptr, n, &pre, &post,
                                           &reserved),
                0);
      const auto spent = std::chrono::steady_clock::now() - start;
      EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(spent).count(), 250);
    }
  }
}

}  // namespace

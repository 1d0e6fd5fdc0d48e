// The sample-rate search of the 24-bit modules: the reference table of requested rates,
// commands and actual rates, the guard rows, and a sweep that every choice is a nearest
// candidate named by a real triple.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "drivers/highspeed/HighSpeedScan.h"

namespace {

using nivex::RateCandidate;
using nivex::SampleRate_FloattoCommand_MAX_FMOD;
using nivex::SampleRate_FloattoCommand_MIN_FMOD;

struct Row {
  int rate;
  const char* maxCommand;
  const char* minCommand;
  int minResult;
};

const Row kTable[] = {
    {20, "~01R14144096", "~01R14144096", 20},
    {21, "~01R14144096", "~01R14144096", 20},
    {25, "~01R12144096", "~01R14124096", 23},
    {100, "~01R04104096", "~01R04104096", 100},
    {1000, "~01R02024096", "~01R02024096", 1000},
    {10000, "~01R02020400", "~01R02020400", 10240},
    {12345, "~01R02140048", "~01R14020048", 12190},
    {100000, "~01R02020048", "~01R02020048", 85333},
    {127999, "~01R02020032", "~01R02020032", 128000},
    // Guards: the top, above it, and rates at or below the floor.
    {128000, "~01R02020032", "~01R02020032", 128000},
    {128001, "~01R02020032", "~01R02020032", 128000},
    {1000000, "~01R02020032", "~01R02020032", 128000},
    {1, "~01R14144096", "~01R14144096", 20},
    {0, "~01R14144096", "~01R14144096", 20},
    {-5, "~01R14144096", "~01R14144096", 20},
    // Equal candidates named differently by the two loop orders.
    {50000, "~01R02020096", "~01R06020032", 42666},
};

TEST(RateSearch, ReferenceTable) {
  for (const Row& r : kTable) {
    char maxCmd[nivex::kRateCommandSize] = "unset";
    char minCmd[nivex::kRateCommandSize] = "unset";
    SampleRate_FloattoCommand_MAX_FMOD(r.rate, maxCmd);
    const int actual = SampleRate_FloattoCommand_MIN_FMOD(r.rate, minCmd);
    EXPECT_STREQ(maxCmd, r.maxCommand) << "rate " << r.rate;
    EXPECT_STREQ(minCmd, r.minCommand) << "rate " << r.rate;
    EXPECT_EQ(actual, r.minResult) << "rate " << r.rate;
  }
}

// The candidate a command names, or -1 when the text names no real triple.
float CandidateOf(const char* command) {
  int a = 0, b = 0, c = 0;
  if (std::sscanf(command, "~01R%2d%2d%4d", &a, &b, &c) != 3) return -1.0f;
  const float r = RateCandidate(a, b, c);
  return r > 0.0f ? r : -1.0f;
}

TEST(RateSearch, EveryChoiceIsANearestCandidate) {
  // All candidate values, to find the true nearest for each rate.
  std::vector<float> all;
  for (int a = 2; a <= 14; a += 2)
    for (int b = 2; b <= 14; b += 2)
      for (int c : {32, 48, 64, 96, 128, 192, 200, 256, 384, 400, 512, 768, 800, 1024, 2048, 4096})
        all.push_back(RateCandidate(a, b, c));
  for (int rate = 21; rate <= 128000; rate += 37) {
    double best = 1e30;
    for (float v : all) best = std::min(best, std::fabs(static_cast<double>(v) - rate));
    char maxCmd[nivex::kRateCommandSize], minCmd[nivex::kRateCommandSize];
    SampleRate_FloattoCommand_MAX_FMOD(rate, maxCmd);
    const int actual = SampleRate_FloattoCommand_MIN_FMOD(rate, minCmd);
    const float maxR = CandidateOf(maxCmd), minR = CandidateOf(minCmd);
    ASSERT_GT(maxR, 0.0f) << maxCmd;
    ASSERT_GT(minR, 0.0f) << minCmd;
    // Both name the same frequency, a nearest one (within float rounding of the distance).
    EXPECT_EQ(maxR, minR) << "rate " << rate;
    EXPECT_NEAR(std::fabs(static_cast<double>(minR) - rate), best, 0.01) << "rate " << rate;
    EXPECT_EQ(actual, static_cast<int>(minR)) << "rate " << rate;
  }
}

TEST(RateSearch, CandidateOfUnknownFactorsIsZero) {
  EXPECT_EQ(RateCandidate(3, 2, 32), 0.0f);
  EXPECT_EQ(RateCandidate(2, 2, 33), 0.0f);
  EXPECT_EQ(RateCandidate(0, 0, 0), 0.0f);
  EXPECT_EQ(RateCandidate(2, 2, 32), 128000.0f);
}

}  // namespace

// The software filter hooks (RXBN500 filters; the other high-speed types take every call and
// change nothing) and the exported filter functions.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

#include "drivers/highspeed/RXBN500_Class.h"
#include "nivex.h"
#include "tests/common/DeviceFixture.h"
#include "tests/common/ScanFixture.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::RXBN500;

// An order-4 Butterworth low-pass (two second-order sections), written from its formulas; or
// the high-pass of the same cut-off.
struct RefLowPass {
  double A[2], d1[2], d2[2], w1[2] = {}, w2[2] = {}, sign = 1;
  RefLowPass(double fs, double fc, bool high = false) : sign(high ? -1 : 1) {
    const double pi = 3.14159265358979323846, a = std::tan(pi * fc / fs), a2 = a * a;
    for (int i = 0; i < 2; ++i) {
      const double r = std::sin(pi * (2 * i + 1) / 8.0), s = a2 + 2 * a * r + 1;
      A[i] = (high ? 1 : a2) / s, d1[i] = 2 * (1 - a2) / s, d2[i] = -(a2 - 2 * a * r + 1) / s;
    }
  }
  float operator()(float x) {
    double u = x;
    for (int i = 0; i < 2; ++i) {
      const double w0 = d1[i] * w1[i] + d2[i] * w2[i] + u;
      u = A[i] * (w0 + sign * 2 * w1[i] + w2[i]);
      w2[i] = w1[i], w1[i] = w0;
    }
    return static_cast<float>(u);
  }
  // A raw word: the sign-extended 24-bit code over full scale, filtered, times full scale
  // truncated and held in range, back in the low 3 bytes.
  uint32_t Word(uint32_t w) {
    const float y = (*this)(static_cast<float>(static_cast<int32_t>(w << 8) >> 8) / 8388607.0f);
    const double v = std::fmax(-8388608.0, std::fmin(8388607.0, std::trunc(8388607.0f * y)));
    return static_cast<uint32_t>(static_cast<int32_t>(v)) & 0xFFFFFFu;
  }
};

// Channel k's cut-off: distinct, so a sample given to another channel's filter shows.
float Cutoff(int k) { return 40.0f + 60.0f * k; }

TEST(FilterHooks, ChannelWalkOfVoltsAndWordsOverChannelCounts) {
  // The channel counts of the last run started (1 before the first); not a later setup's.
  for (unsigned short c : {1, 3, 4, 2}) {
    nivex::test::Device d(nivex::emu::Model::RXBN500);
    ASSERT_TRUE(d.ok());
    if (c != 1) {
      ASSERT_EQ(QZ_SetAIScanParam(d.h(), c, 0, 0, 1000, 0, 0, 0), 1);
      ASSERT_EQ(QZ_StartAIScan(d.h()) + QZ_SetAIScanParam(d.h(), 1, 0, 0, 1000, 0, 0, 0), 2);
    }
    RXBN500& m = d.As<RXBN500>();
    std::vector<RefLowPass> ref;
    for (int k = 0; k < 4; ++k) {
      m.Init_Software_Filter(k, 4, 1000);
      m.Set_LowPassFilter(k, 1, Cutoff(k));
      ref.emplace_back(1000.0, Cutoff(k));
    }
    unsigned total = 0, clamped = 0;
    for (int pass = 0; pass < 2; ++pass, total = 0, m.RestartFilterPhase())  // from channel 0
    for (unsigned n : {4u, 2u, 0u, 7u, 1u, 13u, 40u, 40u, 40u}) {
      // Volts and words in turn share the phase; one entry more must stay untouched.
      std::vector<float> x(n + 1, 99.0f), wantX;
      std::vector<uint32_t> w(n + 1, 0x123), wantW;
      for (unsigned i = 0; i < n; ++i) {
        x[i] = std::sin(0.3f * (total + i));
        w[i] = (total + i) / 24 % 2 ? 0x800000 : 0x7FFFFF;  // full-scale steps overshoot
      }
      wantX = x, wantW = w;
      const bool words = total % 2;
      for (unsigned i = 0; i < n && c != 0; ++i) {
        RefLowPass* f = (total + i) % c < 4 ? &ref[(total + i) % c] : nullptr;
        if (f && words) wantW[i] = f->Word(w[i]), clamped += wantW[i] == 0x7FFFFF;
        if (f && !words) wantX[i] = (*f)(x[i]);
      }
      EXPECT_EQ(words ? m.Filter_DataHEX(n, w.data()) : m.Filter_Data(n, x.data()), 1);
      EXPECT_EQ(w, wantW) << c << " " << total;
      for (unsigned i = 0; i <= n; ++i) EXPECT_FLOAT_EQ(x[i], wantX[i]) << c << " " << total + i;
      total += n;
    }
    EXPECT_TRUE(c == 0 || clamped > 0) << c;
  }
}

TEST(FilterHooks, EnableOrdersChannelsAndUndesignedFilters) {
  nivex::test::Device d(nivex::emu::Model::RXBN500);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 1, 0, 0, 1000, 0, 0, 0), 1);
  RXBN500& m = d.As<RXBN500>();
  // Only enable 1 filters.
  for (int enable : {0, 1, 2, -1}) {
    m.Init_Software_Filter(0, 4, 1000);
    m.Set_HighPassFilter(0, enable, 50.0f);
    float x[2] = {1.0f, 1.0f};
    m.Filter_Data(2, x);
    EXPECT_EQ(x[0] != 1.0f, enable == 1) << enable;
  }
  // Ignored orders and channels change nothing, the phase included: channels 2 and 0 next.
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 3, 0, 0, 1000, 0, 0, 0) + QZ_StartAIScan(d.h()), 2);
  m.Filter_Data(2, std::vector<float>(2).data());
  m.Set_BandPassFilter(0, 0, 10.0f, 20.0f);
  for (int order : {7, -4, 16386}) m.Init_Software_Filter(0, order, 2000);
  for (int ch : {-1, 4}) m.Init_Software_Filter(ch, 8, 2000), m.Set_LowPassFilter(ch, 1, 1.0f);
  float y[2] = {0.5f, 0.5f};
  m.Set_HighPassFilter(0, 1, 50.0f), m.Filter_Data(2, y);
  EXPECT_TRUE(y[0] == 0.5f && std::fabs(y[1] - RefLowPass(1000.0, 50.0, true)(0.5f)) < 1e-6f);
  // An accepted order restarts the phase and keeps enable and type, and the filter passes
  // its samples unchanged until a design takes: none for order 6 or a cut-off at fs / 2.
  m.Set_LowPassFilter(0, 1, 100.0f);
  for (int order : {16384, 0, 6, 4}) {
    m.Init_Software_Filter(0, order, 2000);
    if (order != 16384) m.Set_LowPassFilter(0, 1, order == 6 ? 100.0f : 1000.0f);
    float x = 0.25f;
    uint32_t w = 0x800001;
    m.Filter_Data(1, &x);
    m.RestartFilterPhase();
    m.Filter_DataHEX(1, &w);
    EXPECT_TRUE(x == 0.25f && w == 0x800001) << order;
  }
  // Order 4 at 2000/s designs, and the order restarted the phase.
  m.Init_Software_Filter(0, 4, 2000), m.Set_LowPassFilter(0, 1, 100.0f), m.Filter_Data(1, y);
  EXPECT_FLOAT_EQ(y[0], RefLowPass(2000.0, 100.0)(0.5f));
}

TEST(FilterHooks, EverySampleTakesItsChannelsFilterAfterClearsAndNewParameters) {
  // Every input holds a steady level of its own and only channel 0 has a filter (a high-pass):
  // a sample of channels 1-3 reads back as its level, one of channel 0 as the high-pass of
  // channel 0's samples so far. Clears and a new channel count during the run leave that so.
  using namespace nivex::test;
  Device d(nivex::emu::Model::RXBN500, nullptr, SetLevels);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 4, 0, 0, 1000, 0, 0, 0), 1);
  QZ_Init_Software_Filter(d.h(), 0, 4, 1000);
  QZ_Set_HighPassFilter(d.h(), 0, 1, 5.0f);
  RefLowPass ref(1000.0, 5.0, true);
  ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
  int wrong = 0;
  // Reads of n samples, clears (0) and a new channel count of 2 (9 reads 9 after it).
  for (unsigned n : {3u, 0u, 40u, 5u, 0u, 40u, 2u, 0u, 40u, 9u, 40u, 0u, 40u}) {
    if (n == 0) {
      QZ_ClearAIBuffer(d.h());
      continue;
    }
    if (n == 9) {
      ASSERT_EQ(QZ_SetAIScanParam(d.h(), 2, 0, 0, 1000, 0, 0, 0), 1);
    }
    ASSERT_TRUE(WaitUntil([&] { return RingSize(d.h()) >= n; }, 5000));
    std::vector<float> v(n);
    ASSERT_EQ(QZ_GetAIBuffer(d.h(), v.data(), n), static_cast<int>(n));
    int first = -1;  // the channel of v[0], from the first sample that reads as a level
    for (int i = 0; i < static_cast<int>(n) && first < 0; ++i) {
      for (int k = 1; k < 4; ++k)
        if (std::fabs(v[i] - Level(k)) < 1e-3) first = ((k - i) % 4 + 4) % 4;
    }
    ASSERT_GE(first, 0) << n;
    for (unsigned i = 0; i < n; ++i) {
      const int ch = static_cast<int>((first + i) % 4);
      const float want = ch == 0 ? ref(static_cast<float>(Level(0))) : static_cast<float>(Level(ch));
      wrong += std::fabs(v[i] - want) > 1e-4f;
    }
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
}

TEST(FilterHooks, BufferReadsThroughTheFiltersWhileAnotherThreadSetsTheScan) {
  nivex::test::Device d(nivex::emu::Model::RXBN500);
  ASSERT_TRUE(d.ok());
  QZ_Init_Software_Filter(d.h(), 0, 4, 1000), QZ_Set_LowPassFilter(d.h(), 0, 1, 50.0f);
  std::atomic<bool> done{false};
  std::thread reader([&] { for (float v[16]; !done;) QZ_GetAIBuffer(d.h(), v, 16); });
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(QZ_SetAIScanParam(d.h(), 1 + i % 4, 0, 0, 500, 0, 0, 0));
  done = true;
  reader.join();
}

TEST(FilterFunctions, HandleChecksAndResultsPerType) {
  using nivex::emu::Model;
  nivex::test::Device bn(Model::RXBN500), k10(Model::RX5K10), slot(Model::D4071s);
  ASSERT_TRUE(bn.ok() && k10.ok() && slot.ok());
  int junk = 0;
  struct Case {
    void* h;
    int result, error;
  } cases[] = {{nullptr, 0, QZ_ERR_INVALID_HANDLE}, {&junk, 0, QZ_ERR_INVALID_HANDLE},
               {k10.h(), 1, 0x17002}, {slot.h(), 1, QZ_ERR_NOT_IMPLEMENTED}, {bn.h(), 1, 0x17002}};
  for (const Case& k : cases) {
    QZ_SetLastError(0x17002);  // a type that has the operation leaves the error alone
    const std::vector<int> got{QZ_Init_Software_Filter(k.h, 0, 8, 1000),
                               QZ_Set_LowPassFilter(k.h, 0, 1, 100.0f),
                               QZ_Set_HighPassFilter(k.h, 0, 1, 100.0f),
                               QZ_Set_BandPassFilter(k.h, 0, 1, 100.0f, 200.0f),
                               QZ_Set_BandStopFilter(k.h, 0, 1, 100.0f, 200.0f)};
    EXPECT_EQ(got, std::vector<int>(5, k.result)) << k.h;
    EXPECT_EQ(QZ_GetLastError(), k.error) << k.h;
  }
  nivex::Filter_cls ref(8, 1000.0f);  // what the calls left: the band-stop of order 8
  float x = 0.5f;
  ref.SetBandStopFilter(100.0f, 200.0f), bn.As<RXBN500>().Filter_Data(1, &x);
  EXPECT_EQ(x, ref.GetBandStopFilter(0.5f));
  EXPECT_TRUE(bn.Take().empty() && k10.Take().empty());  // the filters are the host's
}

}  // namespace

// The software filter hooks of the high-speed drivers (RXBN500 filters, the others take every
// call and change nothing) and the exported filter functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "drivers/highspeed/RX5K10_Class.h"
#include "drivers/highspeed/RX5K30_Class.h"
#include "drivers/highspeed/RXBN500_Class.h"
#include "nivex.h"
#include "tests/common/DeviceFixture.h"

namespace {

using nivex::RXBN500;
using nivex::WRXMODULE;

constexpr double kPi = 3.14159265358979323846;
constexpr float kFs = 1000.0f;

// An order-4 Butterworth low-pass (two second-order sections), written from its formulas.
struct RefLowPass {
  double A[2], d1[2], d2[2], w1[2] = {}, w2[2] = {};
  RefLowPass(double fs, double fc) {
    const double a = std::tan(kPi * fc / fs), a2 = a * a;
    for (int i = 0; i < 2; ++i) {
      const double r = std::sin(kPi * (2 * i + 1) / 8.0), s = a2 + 2 * a * r + 1;
      A[i] = a2 / s, d1[i] = 2 * (1 - a2) / s, d2[i] = -(a2 - 2 * a * r + 1) / s;
    }
  }
  float operator()(float x) {
    double u = x;
    for (int i = 0; i < 2; ++i) {
      const double w0 = d1[i] * w1[i] + d2[i] * w2[i] + u;
      u = A[i] * (w0 + 2 * w1[i] + w2[i]);
      w2[i] = w1[i], w1[i] = w0;
    }
    return static_cast<float>(u);
  }
};

// A 24-bit word through a low-pass as the hex path defines it: the sign-extended code over
// full scale, filtered, times full scale truncated, held in range, back in the low 3 bytes.
uint32_t RefHexFilter(RefLowPass& f, uint32_t word) {
  const int32_t code = static_cast<int32_t>(word << 8) >> 8;
  const float y = f(static_cast<float>(code) / 8388607.0f);
  const double v = std::trunc(static_cast<double>(8388607.0f * y));
  return static_cast<uint32_t>(static_cast<int32_t>(std::fmax(-8388608.0, std::fmin(8388607.0, v)))) &
         0xFFFFFFu;
}

// Cut-off of channel k's filter: distinct per channel, so a sample given to the wrong
// channel's filter shows.
float Cutoff(int k) { return 40.0f + 60.0f * k; }

// An RXBN500 object (no connection) with a low-pass of order 4 on each of its four filters.
struct Bn {
  RXBN500 m{"10.0.0.9", 9999, 10010, WRXMODULE[3]};
  explicit Bn(unsigned short channels) {
    m.channelCount = channels;
    for (int k = 0; k < 4; ++k) {
      m.Init_Software_Filter(k, 4, static_cast<int>(kFs));
      m.Set_LowPassFilter(k, 1, Cutoff(k));
    }
  }
};

TEST(FilterHooks, ChannelWalkOverEveryChannelCount) {
  for (unsigned short c : {0, 1, 3, 4, 5, 8, 9}) {
    Bn bn(c);
    std::vector<RefLowPass> ref;
    for (int k = 0; k < 4; ++k) ref.emplace_back(kFs, Cutoff(k));
    unsigned total = 0;
    for (unsigned n : {4u, 2u, 7u, 0u, 1u, 13u}) {
      std::vector<float> x(n + 1, 99.0f);  // one more: nothing past n is touched
      for (unsigned i = 0; i < n; ++i) x[i] = std::sin(0.3f * (total + i)) + 0.1f * i;
      std::vector<float> want = x;
      for (unsigned i = 0; i < n && c != 0; ++i)
        if ((total + i) % c < 4) want[i] = ref[(total + i) % c](x[i]);
      EXPECT_EQ(bn.m.Filter_Data(n, x.data()), 1);
      for (unsigned i = 0; i <= n; ++i) EXPECT_FLOAT_EQ(x[i], want[i]) << c << " " << total + i;
      total += n;
      EXPECT_EQ(bn.m.filterPhase, c ? total % c : 0u) << c;
    }
  }
}

TEST(FilterHooks, OnlyEnableOneFilters) {
  struct Case {
    int enable;
    bool designs, filters;
  } cases[] = {{0, false, false}, {1, true, true}, {2, true, false}, {-1, true, false}};
  for (const Case& k : cases) {
    RXBN500 m("10.0.0.9", 9999, 10010, WRXMODULE[3]);
    m.channelCount = 1;
    m.Init_Software_Filter(0, 4, 1000);
    EXPECT_EQ(m.Set_HighPassFilter(0, k.enable, 50.0f), 1);
    EXPECT_EQ(m.filter[0].enable, k.enable);
    EXPECT_EQ(m.filter[0].type, k.designs ? 1 : -1) << k.enable;
    float x[3] = {1.0f, 1.0f, 1.0f};
    m.Filter_Data(3, x);
    EXPECT_EQ(x[0] != 1.0f, k.filters) << k.enable;
  }
  // Enable 0 after a design disables the channel and keeps the design.
  RXBN500 m("10.0.0.9", 9999, 10010, WRXMODULE[3]);
  m.Init_Software_Filter(2, 8, 1000);
  m.Set_BandStopFilter(2, 1, 100.0f, 200.0f);
  m.Set_BandPassFilter(2, 0, 10.0f, 20.0f);
  EXPECT_TRUE(m.filter[2].enable == 0 && m.filter[2].type == 3 && m.filter[2].f1 == 200.0);
}

TEST(FilterHooks, InitOrdersChannelsAndUndesignedFilters) {
  Bn bn(3);
  float x[2] = {0.5f, 0.5f};
  bn.m.Filter_Data(2, x);
  // Ignored orders and channels change nothing, the phase included.
  for (int order : {7, -4, 16386}) bn.m.Init_Software_Filter(1, order, 2000);
  for (int ch : {-1, 4}) {
    bn.m.Init_Software_Filter(ch, 8, 2000);
    bn.m.Set_LowPassFilter(ch, 0, 10.0f);
  }
  EXPECT_EQ(bn.m.filter[1].order, 4);
  EXPECT_EQ(bn.m.filterPhase, 2u);
  // An accepted order restarts the phase; enable and type stay, and the channel passes its
  // samples unchanged until it is designed again.
  for (int order : {16384, 0, 6}) {
    bn.m.Filter_Data(1, x);
    bn.m.Init_Software_Filter(0, order, 2000);
    EXPECT_TRUE(bn.m.filterPhase == 0 && bn.m.filter[0].order == order &&
                bn.m.filter[0].fs == 2000.0f && bn.m.filter[0].enable == 1 &&
                bn.m.filter[0].type == 0)
        << order;
    float y[3] = {0.25f, -3.0f, 7.5f};
    uint32_t w[3] = {0x800000, 0x7FFFFF, 0xFFFFFE};
    bn.m.Filter_Data(1, y);
    bn.m.RestartFilterPhase();
    bn.m.Filter_DataHEX(1, w);
    EXPECT_TRUE(y[0] == 0.25f && w[0] == 0x800000) << order;
  }
  // A design its order or frequencies do not allow leaves the channel passing through.
  bn.m.Set_LowPassFilter(0, 1, 10.0f);  // order 6
  bn.m.Init_Software_Filter(0, 4, 2000);
  bn.m.Set_LowPassFilter(0, 1, 1000.0f);  // at fs / 2
  bn.m.RestartFilterPhase();
  float z = 0.75f;
  bn.m.Filter_Data(1, &z);
  EXPECT_EQ(z, 0.75f);
}

TEST(FilterHooks, HexWordsOfFilteredAndUnfilteredChannels) {
  Bn bn(4);
  bn.m.Set_LowPassFilter(1, 0, 0.0f);
  bn.m.Set_LowPassFilter(3, 0, 0.0f);
  RefLowPass ref[2] = {{kFs, Cutoff(0)}, {kFs, Cutoff(2)}};
  // Full-scale steps of both signs overshoot and are held at the range's ends.
  const uint32_t codes[] = {0x7FFFFF, 0x800000, 0xFFFFFE, 0x000001, 0x400000, 0xC00000};
  std::vector<uint32_t> words, want;
  for (int i = 0; i < 600; ++i) {
    const uint32_t w = codes[(i / 4 / 25) % 6] ^ (i % 4 == 2 ? 0x000100 : 0);
    words.push_back(w);
    want.push_back(i % 2 ? w : RefHexFilter(ref[(i % 4) / 2], w));
  }
  for (size_t at = 0; at < words.size(); at += 37)
    bn.m.Filter_DataHEX(static_cast<unsigned>(std::min<size_t>(37, words.size() - at)), &words[at]);
  EXPECT_EQ(words, want);
  EXPECT_NE(std::count(want.begin(), want.end(), 0x7FFFFFu), 0);
  EXPECT_NE(std::count(want.begin(), want.end(), 0x800000u), 0);
}

TEST(FilterHooks, TypesWithoutFiltersChangeNothing) {
  nivex::RX5K10 k10("10.0.0.9", 9999, 10010, WRXMODULE[0]);
  nivex::RX5K30 k30("10.0.0.9", 9999, 10010, WRXMODULE[1]);
  for (nivex::HighSpeedModel* m : {static_cast<nivex::HighSpeedModel*>(&k10),
                                   static_cast<nivex::HighSpeedModel*>(&k30)}) {
    float v[2] = {1.5f, -2.5f};
    unsigned int c[2] = {0x123456, 0xFFFFFE};
    QZ_SetLastError(0x17002);
    const int all = m->Init_Software_Filter(0, 4, 1000) + m->Set_LowPassFilter(0, 1, 10) +
                    m->Set_HighPassFilter(0, 1, 10) + m->Set_BandPassFilter(0, 1, 10, 20) +
                    m->Set_BandStopFilter(0, 1, 10, 20) + m->Filter_Data(2, v) +
                    m->Filter_DataHEX(2, c);
    EXPECT_EQ(all, 7);
    EXPECT_TRUE(v[0] == 1.5f && v[1] == -2.5f && c[0] == 0x123456 && c[1] == 0xFFFFFE);
    EXPECT_EQ(QZ_GetLastError(), 0x17002);
  }
}

TEST(FilterFunctions, HandleChecksAndResults) {
  using nivex::emu::Model;
  nivex::test::Device bn(Model::RXBN500), k10(Model::RX5K10), slot(Model::D4071s);
  ASSERT_TRUE(bn.ok() && k10.ok() && slot.ok());
  int junk = 0;
  // Each call: result and last error for a handle.
  auto calls = [](void* h) {
    return std::vector<int>{QZ_Init_Software_Filter(h, 0, 8, 1000),
                            QZ_Set_LowPassFilter(h, 0, 1, 100.0f),
                            QZ_Set_HighPassFilter(h, 0, 1, 100.0f),
                            QZ_Set_BandPassFilter(h, 0, 1, 100.0f, 200.0f),
                            QZ_Set_BandStopFilter(h, 0, 2, 100.0f, 200.0f)};
  };
  struct Case {
    void* h;
    int result, error;
  } cases[] = {{nullptr, 0, QZ_ERR_INVALID_HANDLE}, {&junk, 0, QZ_ERR_INVALID_HANDLE},
               {k10.h(), 1, 0}, {slot.h(), 1, QZ_ERR_NOT_IMPLEMENTED}, {bn.h(), 1, 0}};
  for (const Case& k : cases) {
    QZ_ClearLastError();
    EXPECT_EQ(calls(k.h), std::vector<int>(5, k.result)) << k.h;
    EXPECT_EQ(QZ_GetLastError(), k.error) << k.h;
  }
  const RXBN500& m = bn.As<RXBN500>();
  EXPECT_TRUE(m.filter[0].order == 8 && m.filter[0].enable == 2 && m.filter[0].type == 3);
  EXPECT_TRUE(bn.Take().empty());  // the filters are the host's
}

}  // namespace

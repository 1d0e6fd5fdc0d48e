#include "framework/filter.h"
#include "framework/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <vector>

using nivex::FFT_cls;
using nivex::Filter_cls;

namespace {

constexpr double kPi = 3.14159265358979323846;
using FilterRun = float (Filter_cls::*)(float);

// Output after feeding a constant 1.0 for n samples.
double Settle(Filter_cls& f, FilterRun run, int n = 4000) {
  float y = 0;
  for (int i = 0; i < n; ++i) y = (f.*run)(1.0f);
  return y;
}

// Gain of the filter for a tone of frequency hz, measured by a least-squares
// fit of sine and cosine over the samples after the filter has settled.
double Gain(Filter_cls& f, FilterRun run, double hz, double fs = 1000.0) {
  const int settle = 3000, measure = 4000;
  double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
  for (int i = 0; i < settle + measure; ++i) {
    double ph = 2 * kPi * hz * i / fs;
    double y = (f.*run)(static_cast<float>(std::sin(ph)));
    if (i < settle) continue;
    double sn = std::sin(ph), cs = std::cos(ph);
    ss += sn * sn;
    sc += sn * cs;
    cc += cs * cs;
    ys += y * sn;
    yc += y * cs;
  }
  double det = ss * cc - sc * sc;
  double p = (ys * cc - yc * sc) / det, q = (yc * ss - ys * sc) / det;
  return std::sqrt(p * p + q * q);
}

std::vector<float> Impulse(Filter_cls& f, FilterRun run, int n = 64) {
  std::vector<float> out;
  for (int i = 0; i < n; ++i) out.push_back((f.*run)(i == 0 ? 1.0f : 0.0f));
  return out;
}

}  // namespace

TEST(Filter, DesignNeedsAnOrderThatIsAPositiveMultipleOfFour) {
  Filter_cls six(6, 1000);
  six.SetLowPassFilter(100);
  six.SetBandPassFilter(200, 100);
  EXPECT_EQ(six.type, -1);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(six.A[i], 0.0);

  // Order 0 (the owner's filters before it sets an order): no design, and the
  // samples pass through instead of being replaced by 0.
  Filter_cls none(0, 0);
  none.SetLowPassFilter(100);
  none.SetBandStopFilter(100, 200);
  EXPECT_EQ(none.type, -1);
  EXPECT_FLOAT_EQ(none.GetLowPassFilter(0.75f), 0.75f);
  EXPECT_FLOAT_EQ(none.GetBandStopFilter(-2.5f), -2.5f);

  Filter_cls neg(-8, 1000);  // taken as order 0
  EXPECT_EQ(neg.order, 0);
  EXPECT_FLOAT_EQ(neg.GetHighPassFilter(1.5f), 1.5f);

  // Edges outside (0, fs/2), equal band edges and a zero rate are refused.
  Filter_cls f(4, 1000);
  f.SetLowPassFilter(500);
  f.SetLowPassFilter(0);
  f.SetBandPassFilter(100, 100);
  f.SetBandStopFilter(100, 600);
  EXPECT_EQ(f.type, -1);
  Filter_cls zeroRate(4, 0);
  zeroRate.SetLowPassFilter(10);
  EXPECT_EQ(zeroRate.type, -1);
}

TEST(Filter, DcGainOfEachDesign) {
  Filter_cls lp(4, 1000), hp(4, 1000), bp(4, 1000), bs(4, 1000);
  lp.SetLowPassFilter(100);
  hp.SetHighPassFilter(100);
  bp.SetBandPassFilter(200, 100);
  bs.SetBandStopFilter(200, 100);
  EXPECT_EQ(lp.type, 0);
  EXPECT_EQ(hp.type, 1);
  EXPECT_EQ(bp.type, 2);
  EXPECT_EQ(bs.type, 3);
  EXPECT_NEAR(Settle(lp, &Filter_cls::GetLowPassFilter), 1.0, 1e-5);
  EXPECT_NEAR(Settle(hp, &Filter_cls::GetHighPassFilter), 0.0, 1e-5);
  EXPECT_NEAR(Settle(bp, &Filter_cls::GetBandPassFilter), 0.0, 1e-5);
  EXPECT_NEAR(Settle(bs, &Filter_cls::GetBandStopFilter), 1.0, 1e-5);
}

TEST(Filter, ToneResponse) {
  const double half = std::sqrt(0.5);
  for (int order : {4, 8}) {
    SCOPED_TRACE(order);
    Filter_cls lp(order, 1000), hp(order, 1000);
    lp.SetLowPassFilter(100);
    hp.SetHighPassFilter(100);
    EXPECT_NEAR(Gain(lp, &Filter_cls::GetLowPassFilter, 100), half, 1e-3);  // -3 dB at fc
    EXPECT_NEAR(Gain(hp, &Filter_cls::GetHighPassFilter, 100), half, 1e-3);
    EXPECT_GT(Gain(lp, &Filter_cls::GetLowPassFilter, 20), 0.99);
    EXPECT_LT(Gain(lp, &Filter_cls::GetLowPassFilter, 300), 0.05);
    EXPECT_GT(Gain(hp, &Filter_cls::GetHighPassFilter, 300), 0.99);
    EXPECT_LT(Gain(hp, &Filter_cls::GetHighPassFilter, 20), 0.05);

    Filter_cls bp(order, 1000), bs(order, 1000);
    bp.SetBandPassFilter(200, 100);
    bs.SetBandStopFilter(200, 100);
    EXPECT_GT(Gain(bp, &Filter_cls::GetBandPassFilter, 150), 0.95);
    EXPECT_LT(Gain(bp, &Filter_cls::GetBandPassFilter, 20), 0.1);
    EXPECT_LT(Gain(bp, &Filter_cls::GetBandPassFilter, 400), 0.1);
    EXPECT_LT(Gain(bs, &Filter_cls::GetBandStopFilter, 150), 0.05);
    EXPECT_GT(Gain(bs, &Filter_cls::GetBandStopFilter, 20), 0.95);
    EXPECT_GT(Gain(bs, &Filter_cls::GetBandStopFilter, 400), 0.95);
  }
}

TEST(Filter, BandEdgesInEitherOrderGiveTheSameStableFilter) {
  for (bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "band-stop" : "band-pass");
    FilterRun run = stop ? &Filter_cls::GetBandStopFilter : &Filter_cls::GetBandPassFilter;
    Filter_cls hiLo(4, 1000), loHi(4, 1000);
    if (stop) {
      hiLo.SetBandStopFilter(200, 100);
      loHi.SetBandStopFilter(100, 200);
    } else {
      hiLo.SetBandPassFilter(200, 100);
      loHi.SetBandPassFilter(100, 200);
    }
    EXPECT_EQ(loHi.f1, 200);
    EXPECT_GT(loHi.b, 0);
    std::vector<float> a = Impulse(hiLo, run, 5000), b = Impulse(loHi, run, 5000);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(std::isfinite(b.back()));
    EXPECT_LT(std::fabs(b.back()), 1e-6);
  }
}

TEST(Filter, RedesignAndResize) {
  // A band design clears the delay lines: a second design gives the same
  // impulse response as the first.
  Filter_cls bp(8, 1000);
  bp.SetBandPassFilter(200, 100);
  std::vector<float> first = Impulse(bp, &Filter_cls::GetBandPassFilter);
  for (int i = 0; i < 10; ++i) bp.GetBandPassFilter(3.0f);
  bp.SetBandPassFilter(200, 100);
  EXPECT_EQ(Impulse(bp, &Filter_cls::GetBandPassFilter), first);

  // After a resize the old type stays, but samples pass through until the
  // filter is designed for its new order.
  Filter_cls lp(4, 1000);
  lp.SetLowPassFilter(100);
  lp.Resize(8, 2000);
  EXPECT_EQ(lp.type, 0);
  EXPECT_EQ(lp.order, 8);
  EXPECT_FLOAT_EQ(lp.GetLowPassFilter(0.5f), 0.5f);
  lp.SetLowPassFilter(200);
  EXPECT_NEAR(Gain(lp, &Filter_cls::GetLowPassFilter, 200, 2000), std::sqrt(0.5), 1e-3);
}

// ---------------------------------------------------------------- transform

TEST(Spectrum, KnownSignals) {
  auto f = std::make_unique<FFT_cls>(8);
  float ones[8] = {1, 1, 1, 1, 1, 1, 1, 1}, out[8];
  EXPECT_EQ(f->Input_Data_Arr(ones), 8);
  f->fft();
  EXPECT_EQ(f->output(out), 8);
  EXPECT_FLOAT_EQ(out[0], 8.0f);
  for (int k = 1; k < 8; ++k) EXPECT_NEAR(out[k], 0.0f, 1e-6);

  auto g = std::make_unique<FFT_cls>(4);
  float in4[4] = {1, 0, -1, 0}, out4[4];
  g->Input_Data_Arr(in4);
  g->fft();
  g->output(out4);
  const float want4[4] = {0, 2, 0, 2};
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(out4[k], want4[k], 1e-6);

  // A cosine at bin 3 lands in bins 3 and N-3; Parseval holds for a mixed signal.
  const int n = 64;
  auto h = std::make_unique<FFT_cls>(n);
  std::vector<float> cosine(n), amplitude(n);
  for (int i = 0; i < n; ++i) cosine[i] = static_cast<float>(std::cos(2 * kPi * 3 * i / n));
  h->Input_Data_Arr(cosine.data());
  h->fft();
  h->output(amplitude.data());
  for (int k = 0; k < n; ++k) EXPECT_NEAR(amplitude[k], (k == 3 || k == n - 3) ? n / 2.0 : 0.0, 1e-4) << k;

  const int big = 4096;
  auto p = std::make_unique<FFT_cls>(big);
  std::vector<float> sig(big);
  double energy = 0;
  for (int i = 0; i < big; ++i) {
    sig[i] = static_cast<float>(std::sin(0.37 * i) + 0.5 * std::cos(1.9 * i) + (i % 7) * 0.1);
    energy += double(sig[i]) * sig[i];
  }
  p->Input_Data_Arr(sig.data());
  p->fft();
  double spectral = 0;
  for (int k = 0; k < big; ++k) spectral += p->x[k].real * p->x[k].real + p->x[k].imag * p->x[k].imag;
  EXPECT_NEAR(spectral / big, energy, energy * 1e-9);
}

TEST(Spectrum, InvalidSizesAreRefused) {
  for (int n : {0, 1, 6, 5000, 8192, -4}) {
    SCOPED_TRACE(n);
    auto f = std::make_unique<FFT_cls>(n);
    EXPECT_EQ(f->N, 0);
    std::vector<float> in(8, 1.0f), out(8, -7.0f);
    EXPECT_EQ(f->Input_Data_Arr(in.data()), 0);
    f->fft();
    EXPECT_EQ(f->output(out.data()), 0);
    EXPECT_EQ(out[0], -7.0f);
  }
}

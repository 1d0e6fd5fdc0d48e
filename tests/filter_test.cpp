// Software filters (designs, tone response, refused designs) and the spectrum transform.
#include "framework/filter.h"
#include "framework/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

using nivex::FFT_cls;
using nivex::Filter_cls;

namespace {

constexpr double kPi = 3.14159265358979323846;
using FilterRun = float (Filter_cls::*)(float);

// Output after feeding a constant 1.0 for 4000 samples.
double Settle(Filter_cls& f, FilterRun run) {
  float y = 0;
  for (int i = 0; i < 4000; ++i) y = (f.*run)(1.0f);
  return y;
}

// Gain of the filter for a tone of frequency hz, measured by a least-squares fit of sine and
// cosine over the samples after the filter has settled.
double Gain(Filter_cls& f, FilterRun run, double hz, double fs = 1000.0) {
  const int settle = 3000, measure = 4000;
  double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
  for (int i = 0; i < settle + measure; ++i) {
    const double ph = 2 * kPi * hz * i / fs;
    const double y = (f.*run)(static_cast<float>(std::sin(ph)));
    if (i < settle) continue;
    const double sn = std::sin(ph), cs = std::cos(ph);
    ss += sn * sn;
    sc += sn * cs;
    cc += cs * cs;
    ys += y * sn;
    yc += y * cs;
  }
  const double det = ss * cc - sc * sc;
  const double p = (ys * cc - yc * sc) / det, q = (yc * ss - ys * sc) / det;
  return std::sqrt(p * p + q * q);
}

std::vector<float> Impulse(Filter_cls& f, FilterRun run, int n = 64) {
  std::vector<float> out;
  for (int i = 0; i < n; ++i) out.push_back((f.*run)(i == 0 ? 1.0f : 0.0f));
  return out;
}

TEST(Filter, RefusedDesignsAndUndesignedFiltersPassSamplesThrough) {
  Filter_cls six(6, 1000);  // not a multiple of four
  six.SetLowPassFilter(100);
  six.SetBandPassFilter(200, 100);
  EXPECT_EQ(six.type, -1);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(six.A[i], 0.0);

  // Order 0 (the owner's filters before it sets an order): no design, and the samples pass
  // through instead of being replaced by 0. A negative order is taken as 0.
  Filter_cls none(0, 0), neg(-8, 1000);
  none.SetLowPassFilter(100);
  none.SetBandStopFilter(100, 200);
  EXPECT_EQ(none.type, -1);
  EXPECT_FLOAT_EQ(none.GetLowPassFilter(0.75f), 0.75f);
  EXPECT_FLOAT_EQ(none.GetBandStopFilter(-2.5f), -2.5f);
  EXPECT_EQ(neg.order, 0);
  EXPECT_FLOAT_EQ(neg.GetHighPassFilter(1.5f), 1.5f);

  // Edges outside (0, fs/2), equal band edges and a zero rate are refused.
  Filter_cls f(4, 1000), zeroRate(4, 0);
  f.SetLowPassFilter(500);
  f.SetLowPassFilter(0);
  f.SetBandPassFilter(100, 100);
  f.SetBandStopFilter(100, 600);
  zeroRate.SetLowPassFilter(10);
  EXPECT_EQ(f.type + zeroRate.type, -2);
}

TEST(Filter, DcGainAndToneResponseOfEachDesign) {
  const struct {
    const char* name;
    void (*design)(Filter_cls&);
    FilterRun run;
    double dc;
    std::vector<double> passHz;
    double passMin;
    std::vector<double> stopHz;
    double stopMax;
    bool corner100;  // -3 dB at 100 Hz
  } designs[] = {
      {"low-pass", [](Filter_cls& f) { f.SetLowPassFilter(100); }, &Filter_cls::GetLowPassFilter, 1.0,
       {20}, 0.99, {300}, 0.05, true},
      {"high-pass", [](Filter_cls& f) { f.SetHighPassFilter(100); }, &Filter_cls::GetHighPassFilter, 0.0,
       {300}, 0.99, {20}, 0.05, true},
      {"band-pass", [](Filter_cls& f) { f.SetBandPassFilter(200, 100); }, &Filter_cls::GetBandPassFilter,
       0.0, {150}, 0.95, {20, 400}, 0.1, false},
      {"band-stop", [](Filter_cls& f) { f.SetBandStopFilter(200, 100); }, &Filter_cls::GetBandStopFilter,
       1.0, {20, 400}, 0.95, {150}, 0.05, false},
  };
  for (const auto& d : designs) {
    for (int order : {4, 8}) {
      SCOPED_TRACE(std::string(d.name) + " order " + std::to_string(order));
      auto fresh = [&] {
        auto f = std::make_unique<Filter_cls>(order, 1000);
        d.design(*f);
        return f;
      };
      EXPECT_NEAR(Settle(*fresh(), d.run), d.dc, 1e-5);
      for (double hz : d.passHz) EXPECT_GT(Gain(*fresh(), d.run, hz), d.passMin) << hz;
      for (double hz : d.stopHz) EXPECT_LT(Gain(*fresh(), d.run, hz), d.stopMax) << hz;
      if (d.corner100) {
        EXPECT_NEAR(Gain(*fresh(), d.run, 100), std::sqrt(0.5), 1e-3);
      }
    }
  }
}

TEST(Filter, BandEdgesInEitherOrderGiveTheSameStableFilter) {
  for (bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "band-stop" : "band-pass");
    const FilterRun run = stop ? &Filter_cls::GetBandStopFilter : &Filter_cls::GetBandPassFilter;
    const auto design = stop ? &Filter_cls::SetBandStopFilter : &Filter_cls::SetBandPassFilter;
    Filter_cls hiLo(4, 1000), loHi(4, 1000);
    (hiLo.*design)(200, 100);
    (loHi.*design)(100, 200);
    const std::vector<float> a = Impulse(hiLo, run, 5000), b = Impulse(loHi, run, 5000);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(std::isfinite(b.back()));
    EXPECT_LT(std::fabs(b.back()), 1e-6);
  }
}

TEST(Filter, RedesignAndResize) {
  // A band design clears the delay lines: a second design gives the same impulse response.
  Filter_cls bp(8, 1000);
  bp.SetBandPassFilter(200, 100);
  const std::vector<float> first = Impulse(bp, &Filter_cls::GetBandPassFilter);
  for (int i = 0; i < 10; ++i) bp.GetBandPassFilter(3.0f);
  bp.SetBandPassFilter(200, 100);
  EXPECT_EQ(Impulse(bp, &Filter_cls::GetBandPassFilter), first);

  // After a resize samples pass through until the filter is designed for its new order.
  Filter_cls lp(4, 1000);
  lp.SetLowPassFilter(100);
  lp.Resize(8, 2000);
  EXPECT_EQ(lp.type, 0);
  EXPECT_FLOAT_EQ(lp.GetLowPassFilter(0.5f), 0.5f);
  lp.SetLowPassFilter(200);
  EXPECT_NEAR(Gain(lp, &Filter_cls::GetLowPassFilter, 200, 2000), std::sqrt(0.5), 1e-3);
}

// ---------------------------------------------------------------- transform

// Amplitudes of the transform of in (a power-of-two size).
std::vector<float> Amplitudes(const std::vector<float>& in) {
  auto f = std::make_unique<FFT_cls>(static_cast<int>(in.size()));
  std::vector<float> out(in.size());
  EXPECT_EQ(f->Input_Data_Arr(in.data()), static_cast<int>(in.size()));
  f->fft();
  EXPECT_EQ(f->output(out.data()), static_cast<int>(in.size()));
  return out;
}

TEST(Spectrum, KnownSignals) {
  const std::vector<float> ones = Amplitudes(std::vector<float>(8, 1.0f));
  for (int k = 0; k < 8; ++k) EXPECT_NEAR(ones[k], k == 0 ? 8.0f : 0.0f, 1e-6) << k;
  const std::vector<float> alt = Amplitudes({1, 0, -1, 0});
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(alt[k], k % 2 == 1 ? 2.0f : 0.0f, 1e-6) << k;

  // A cosine at bin 3 lands in bins 3 and N-3.
  const int n = 64;
  std::vector<float> cosine(n);
  for (int i = 0; i < n; ++i) cosine[i] = static_cast<float>(std::cos(2 * kPi * 3 * i / n));
  const std::vector<float> amplitude = Amplitudes(cosine);
  for (int k = 0; k < n; ++k) EXPECT_NEAR(amplitude[k], (k == 3 || k == n - 3) ? n / 2.0 : 0.0, 1e-4) << k;

  // Parseval holds for a mixed signal.
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

}  // namespace

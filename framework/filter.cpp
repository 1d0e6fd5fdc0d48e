#include "framework/filter.h"

#include <cmath>
#include <utility>

namespace nivex {

namespace {
constexpr double kPi = 3.14159265358979323846;
}  // namespace

Filter_cls::Filter_cls(int n, float sampleRate) : order(n < 0 ? 0 : n), fs(sampleRate) {
  Allocate();
}

Filter_cls::~Filter_cls() { Release(); }

void Filter_cls::Allocate() {
  double** arrays[] = {&A, &d1, &d2, &d3, &d4, &w0, &w1, &w2, &w3, &w4};
  for (double** p : arrays) *p = order > 0 ? new double[order]() : nullptr;
}

void Filter_cls::Release() {
  double** arrays[] = {&A, &d1, &d2, &d3, &d4, &w0, &w1, &w2, &w3, &w4};
  for (double** p : arrays) {
    delete[] * p;
    *p = nullptr;
  }
}

void Filter_cls::Resize(int n, float sampleRate) {
  Release();
  order = n < 0 ? 0 : n;
  fs = sampleRate;
  Allocate();
  designed_ = false;
}

bool Filter_cls::DesignAllowed(double lo, double hi) const {
  if (order <= 0 || order % 4 != 0) return false;
  if (!(fs > 0)) return false;
  double nyq = fs / 2.0;
  return lo > 0 && hi < nyq && lo <= hi;  // false for NaN too
}

// ---------------------------------------------------------------- designs

void Filter_cls::DesignSecondOrder(float fc, bool highPass) {
  if (!DesignAllowed(fc, fc)) return;
  const int n = order, m = n / 2;
  s = fs;
  f1 = fc;
  a = std::tan(kPi * f1 / s);
  a2 = a * a;
  for (int i = 0; i < m; ++i) {
    r = std::sin(kPi * (2.0 * i + 1.0) / (4.0 * n / 2.0));
    s = a2 + 2.0 * a * r + 1.0;
    A[i] = highPass ? 1.0 / s : a2 / s;
    d1[i] = 2.0 * (1.0 - a2) / s;
    d2[i] = -(a2 - 2.0 * a * r + 1.0) / s;
  }
  type = highPass ? 1 : 0;
  designed_ = true;  // the delay lines are kept
}

void Filter_cls::DesignBand(float lo, float hi, bool stop) {
  // The design is stable only with the upper edge first.
  double e1 = lo, e2 = hi;
  if (e1 < e2) std::swap(e1, e2);
  if (!(e1 != e2) || !DesignAllowed(e2, e1)) return;
  const int n = order, m = n / 4;
  s = fs;
  f1 = e1;
  f2 = e2;
  a = std::cos(kPi * (f1 + f2) / s) / std::cos(kPi * (f1 - f2) / s);
  a2 = a * a;
  b = std::tan(kPi * (f1 - f2) / s);
  b2 = b * b;
  for (int i = 0; i < m; ++i) {
    r = std::sin(kPi * (2.0 * i + 1.0) / (4.0 * m));
    s = b2 + 2.0 * b * r + 1.0;
    A[i] = stop ? 1.0 / s : b2 / s;
    d1[i] = 4.0 * a * (1.0 + b * r) / s;
    d2[i] = 2.0 * (b2 - 2.0 * a2 - 1.0) / s;
    d3[i] = 4.0 * a * (1.0 - b * r) / s;
    d4[i] = -(b2 - 2.0 * b * r + 1.0) / s;
  }
  if (stop) {
    r = 4.0 * a;
    s = 4.0 * a2 + 2.0;
  }
  for (int i = 0; i < n; ++i) w0[i] = w1[i] = w2[i] = w3[i] = w4[i] = 0.0;
  type = stop ? 3 : 2;
  designed_ = true;
}

void Filter_cls::SetLowPassFilter(float fc) { DesignSecondOrder(fc, false); }
void Filter_cls::SetHighPassFilter(float fc) { DesignSecondOrder(fc, true); }
void Filter_cls::SetBandPassFilter(float e1, float e2) { DesignBand(e1, e2, false); }
void Filter_cls::SetBandStopFilter(float e1, float e2) { DesignBand(e1, e2, true); }

// ---------------------------------------------------------------- filtering

float Filter_cls::RunSecondOrder(float x, bool highPass) {
  const int m = order / 2;
  if (!designed_ || m == 0) return x;
  const double k = highPass ? -2.0 : 2.0;
  double u = x;
  for (int i = 0; i < m; ++i) {
    w0[i] = d1[i] * w1[i] + d2[i] * w2[i] + u;
    u = A[i] * (w0[i] + k * w1[i] + w2[i]);
    w2[i] = w1[i];
    w1[i] = w0[i];
  }
  return static_cast<float>(u);
}

float Filter_cls::RunBand(float x, bool stop) {
  const int m = order / 4;
  if (!designed_ || m == 0) return x;
  double u = x;
  for (int i = 0; i < m; ++i) {
    w0[i] = d1[i] * w1[i] + d2[i] * w2[i] + d3[i] * w3[i] + d4[i] * w4[i] + u;
    if (stop)
      u = A[i] * (w0[i] - r * w1[i] + s * w2[i] - r * w3[i] + w4[i]);
    else
      u = A[i] * (w0[i] - 2.0 * w2[i] + w4[i]);
    w4[i] = w3[i];
    w3[i] = w2[i];
    w2[i] = w1[i];
    w1[i] = w0[i];
  }
  return static_cast<float>(u);
}

float Filter_cls::GetLowPassFilter(float x) { return RunSecondOrder(x, false); }
float Filter_cls::GetHighPassFilter(float x) { return RunSecondOrder(x, true); }
float Filter_cls::GetBandPassFilter(float x) { return RunBand(x, false); }
float Filter_cls::GetBandStopFilter(float x) { return RunBand(x, true); }

}  // namespace nivex

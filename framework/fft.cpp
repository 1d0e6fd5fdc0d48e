#include "framework/fft.h"

#include <cmath>

namespace nivex {

namespace {
constexpr double kPi = 3.14159265358979323846;

bool ValidSize(int n) { return n >= 2 && n <= FFT_cls::kCapacity && (n & (n - 1)) == 0; }
}  // namespace

FFT_cls::FFT_cls(int n) : x(), W(), N(ValidSize(n) ? n : 0) { initW(); }

int FFT_cls::Log2N() const {
  int bits = 0;
  while ((1 << bits) < N) ++bits;
  return bits;
}

void FFT_cls::initW() {
  for (int k = 0; k < N; ++k) {
    W[k].real = std::cos(2.0 * kPi * k / N);
    W[k].imag = -std::sin(2.0 * kPi * k / N);
  }
}

int FFT_cls::Input_Data_Arr(const float* in) {
  if (in == nullptr) return 0;
  for (int k = 0; k < N; ++k) x[k] = complex{in[k], 0.0};
  return N;
}

void FFT_cls::change() {
  const int bits = Log2N();
  for (unsigned short k = 0; k < N; ++k) {
    unsigned mirror = 0;
    for (int b = 0; b < bits; ++b)
      if (k & (1u << b)) mirror |= 1u << (bits - 1 - b);
    if (mirror > k) {
      complex t = x[k];
      x[k] = x[mirror];
      x[mirror] = t;
    }
  }
}

void FFT_cls::fft() {
  if (N == 0) return;
  change();
  const int stages = Log2N();
  for (int l = 0; l < stages; ++l) {
    const int m = 1 << l;
    for (int j = 0; j < N; j += 2 * m) {
      for (int k = 0; k < m; ++k) {
        complex t, u = x[j + k];
        mul(x[j + k + m], W[(N * k / 2) / m], &t);
        add(u, t, &x[j + k]);
        sub(u, t, &x[j + k + m]);
      }
    }
  }
}

int FFT_cls::output(float* out) const {
  if (out == nullptr) return 0;
  for (int k = 0; k < N; ++k) out[k] = static_cast<float>(x[k].real);
  return N;
}

void FFT_cls::add(complex p, complex q, complex* out) {
  out->real = p.real + q.real;
  out->imag = p.imag + q.imag;
}

void FFT_cls::mul(complex p, complex q, complex* out) {
  out->real = p.real * q.real - p.imag * q.imag;
  out->imag = p.real * q.imag + p.imag * q.real;
}

void FFT_cls::sub(complex p, complex q, complex* out) {
  out->real = p.real - q.real;
  out->imag = p.imag - q.imag;
}

}  // namespace nivex

// Radix-2 fast Fourier transform of a block of real samples (in place, no
// scaling). The object is about 128 KiB: allocate it on the heap, not on a
// small thread stack.
#pragma once

namespace nivex {

struct complex {
  double real;
  double imag;
};

class FFT_cls {
 public:
  static constexpr int kCapacity = 4096;

  complex x[kCapacity];  // working block
  complex W[kCapacity];  // twiddle factors
  // Transform size: a power of two from 2 to 4096. Any other size given to the
  // constructor is refused: N is then 0 and every operation returns 0 and
  // touches nothing.
  int N;

  explicit FFT_cls(int n);

  void initW();
  int Input_Data_Arr(const float* in);  // x[k] = in[k] + 0i; returns N
  void change();                        // bit-reversal permutation of x
  void fft();                           // forward transform of x in place
  int output(float* out) const;         // real parts of x; returns N

  static void add(complex p, complex q, complex* out);
  static void mul(complex p, complex q, complex* out);
  static void sub(complex p, complex q, complex* out);

 private:
  int Log2N() const;
};

}  // namespace nivex

// Per-channel software filters: Butterworth low-pass, high-pass, band-pass and
// band-stop designs (bilinear transform), run one sample at a time as a
// cascade of second-order (low/high-pass) or fourth-order (band) sections.
#pragma once

namespace nivex {

class Filter_cls {
 public:
  int enable = 0;  // set and read by the owner only
  int type = -1;   // -1 none, 0 low-pass, 1 high-pass, 2 band-pass, 3 band-stop
  int order = 0;   // N; designs need a positive multiple of 4
  float fs = 0;    // sample rate in Hz

  // Design values (scratch during a design; band-stop keeps r = 4a, s = 4a^2 + 2).
  double s = 0, f1 = 0, f2 = 0, a = 0, a2 = 0, b = 0, b2 = 0, r = 0;

  // Per-section coefficients and delay lines (w0 newest, w4 oldest); each
  // array has `order` entries.
  double* A = nullptr;
  double *d1 = nullptr, *d2 = nullptr, *d3 = nullptr, *d4 = nullptr;
  double *w0 = nullptr, *w1 = nullptr, *w2 = nullptr, *w3 = nullptr, *w4 = nullptr;

  // A negative order is taken as 0 (no design possible, samples pass through).
  Filter_cls(int order, float sampleRate);
  ~Filter_cls();
  Filter_cls(const Filter_cls&) = delete;
  Filter_cls& operator=(const Filter_cls&) = delete;

  // Gives the filter a new order and sample rate: the arrays are replaced by
  // zeroed arrays of the new order. enable and type stay as they were; until
  // the next design the Get operations pass samples through unchanged.
  void Resize(int order, float sampleRate);

  // Designs. Each does nothing at all unless the order is a positive multiple
  // of 4, the sample rate is positive and every edge lies strictly between 0
  // and fs/2 (band edges must differ; given in either order).
  void SetLowPassFilter(float fc);
  void SetHighPassFilter(float fc);
  void SetBandPassFilter(float f1, float f2);
  void SetBandStopFilter(float f1, float f2);

  // Filter one sample. A filter that has not been designed for its current
  // arrays returns the sample unchanged. No allocation.
  float GetLowPassFilter(float x);
  float GetHighPassFilter(float x);
  float GetBandPassFilter(float x);
  float GetBandStopFilter(float x);

 private:
  void Allocate();
  void Release();
  bool DesignAllowed(double lo, double hi) const;
  void DesignSecondOrder(float fc, bool highPass);
  void DesignBand(float f1, float f2, bool stop);
  float RunSecondOrder(float x, bool highPass);
  float RunBand(float x, bool stop);

  bool designed_ = false;
};

}  // namespace nivex

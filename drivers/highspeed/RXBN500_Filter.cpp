// RXBN500: the software filters over the samples read from the host ring, one per analog
// input, with the filter phase that tells which input a sample came from.
#include <cmath>
#include <cstdint>

#include "drivers/highspeed/RXBN500_Class.h"
#include "support/utility.h"

namespace nivex {

namespace {

// Full scale of a 24-bit code.
constexpr float kFullScale = 8388607.0f;

// A filter runs on its channel's samples only with enable exactly 1 and a type; one that has
// no design for its current order and rate gives its samples back unchanged.
bool Active(const Filter_cls& f) { return f.enable == 1 && f.type >= 0 && f.type <= 3; }

float Run(Filter_cls& f, float x) {
  switch (f.type) {
    case 0: return f.GetLowPassFilter(x);
    case 1: return f.GetHighPassFilter(x);
    case 2: return f.GetBandPassFilter(x);
    case 3: return f.GetBandStopFilter(x);
    default: return x;
  }
}

// The word of a filtered code: trunc(8388607 y) within the 24-bit range, as two's complement
// in the low 3 bytes. A result that is not a number leaves the word as it was.
void StoreCode(float y, unsigned int* word) {
  const float v = kFullScale * y;
  if (std::isnan(v)) return;
  int32_t code;
  if (v >= kFullScale) code = 8388607;
  else if (v <= -8388608.0f) code = -8388608;
  else code = static_cast<int32_t>(v);
  *word = static_cast<uint32_t>(code) & 0xFFFFFFu;
}

// The channels of the last ring read on this thread, for the filter hook that follows it:
// reads and filter hooks on other threads or other devices never change it.
struct ReadChannels {
  const RXBN500* device = nullptr;
  unsigned first = 0;
  unsigned channels = 0;
};
thread_local ReadChannels lastRead;

}  // namespace

void RXBN500::NoteReadChannels(unsigned first, unsigned channels) {
  lastRead = {this, first, channels};
}

Filter_cls* RXBN500::FilterOf(int channel) {
  return channel >= 0 && channel < kFilters ? &filter[channel] : nullptr;
}

int RXBN500::Init_Software_Filter(int channel, int order, int rate) {
  if (order < 0 || order % 2 != 0 || order > kMaxFilterOrder) return 1;
  std::lock_guard<std::mutex> lock(filterMutex_);
  Filter_cls* f = FilterOf(channel);
  if (f == nullptr) return 1;
  f->Resize(order, static_cast<float>(rate));
  filterPhase = 0;
  return 1;
}

template <class Design>
int RXBN500::SetFilter(int channel, int enable, Design design) {
  std::lock_guard<std::mutex> lock(filterMutex_);
  Filter_cls* f = FilterOf(channel);
  if (f == nullptr) return 1;
  f->enable = enable;
  if (enable != 0) design(*f);
  return 1;
}

int RXBN500::Set_LowPassFilter(int channel, int enable, float cutoff) {
  return SetFilter(channel, enable, [&](Filter_cls& f) { f.SetLowPassFilter(cutoff); });
}

int RXBN500::Set_HighPassFilter(int channel, int enable, float cutoff) {
  return SetFilter(channel, enable, [&](Filter_cls& f) { f.SetHighPassFilter(cutoff); });
}

int RXBN500::Set_BandPassFilter(int channel, int enable, float f1, float f2) {
  return SetFilter(channel, enable, [&](Filter_cls& f) { f.SetBandPassFilter(f1, f2); });
}

int RXBN500::Set_BandStopFilter(int channel, int enable, float f1, float f2) {
  return SetFilter(channel, enable, [&](Filter_cls& f) { f.SetBandStopFilter(f1, f2); });
}

template <class Apply>
void RXBN500::WalkChannels(unsigned int count, Apply apply) {
  // Right after a ring read on this thread the samples are those of the read: its first
  // sample's channel as the ring gave it, over the run's channel count. Otherwise the walk goes
  // on from the filter phase over the last run's channel count, read under the read lock its
  // start holds: a scan setup on another thread reaches the next run only.
  unsigned int channels = run_.channels, start = filterPhase;
  if (lastRead.device == this) {
    channels = lastRead.channels;
    start = lastRead.first;
    lastRead.device = nullptr;
  }
  if (channels == 0) return;
  // Stepped one sample at a time, so neither the channel nor the phase can leave
  // 0..channels-1, whatever the count or a phase left by another channel count.
  unsigned int ch = start % channels;
  for (unsigned int i = 0; i < count; ++i) {
    if (ch < static_cast<unsigned int>(kFilters) && Active(filter[ch])) apply(i, filter[ch]);
    if (++ch == channels) ch = 0;
  }
  filterPhase = ch;
}

int RXBN500::Filter_Data(unsigned int count, float* samples) {
  if (samples == nullptr) return 1;
  std::lock_guard<std::mutex> lock(filterMutex_);
  WalkChannels(count, [&](unsigned int i, Filter_cls& f) { samples[i] = Run(f, samples[i]); });
  return 1;
}

int RXBN500::Filter_DataHEX(unsigned int count, unsigned int* codes) {
  if (codes == nullptr) return 1;
  std::lock_guard<std::mutex> lock(filterMutex_);
  WalkChannels(count, [&](unsigned int i, Filter_cls& f) {
    const float x = static_cast<float>(SignExtend(codes[i] & 0xFFFFFFu, 24)) / kFullScale;
    StoreCode(Run(f, x), &codes[i]);
  });
  return 1;
}

void RXBN500::RestartFilterPhase() {
  std::lock_guard<std::mutex> lock(filterMutex_);
  filterPhase = 0;
}

}  // namespace nivex

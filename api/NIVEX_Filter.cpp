// The exported functions of the software filters: a filter's order and rate, and the four
// designs with their enable. The filters run on the samples of the buffer reads.
#include "api/NIVEX_Frame.h"
#include "framework/RXMODEL_Class.h"
#include "nivex.h"

using nivex::MODEL;
using nivex::api::WithDeviceAlways1;

QZ_API int QZ_Init_Software_Filter(void* handle, int channel, int order, int rate) {
  return WithDeviceAlways1(handle, [&](MODEL& d) { d.Init_Software_Filter(channel, order, rate); });
}

QZ_API int QZ_Set_LowPassFilter(void* handle, int channel, int enable, float cutoff) {
  return WithDeviceAlways1(handle, [&](MODEL& d) { d.Set_LowPassFilter(channel, enable, cutoff); });
}

QZ_API int QZ_Set_HighPassFilter(void* handle, int channel, int enable, float cutoff) {
  return WithDeviceAlways1(handle,
                           [&](MODEL& d) { d.Set_HighPassFilter(channel, enable, cutoff); });
}

QZ_API int QZ_Set_BandPassFilter(void* handle, int channel, int enable, float f1, float f2) {
  return WithDeviceAlways1(handle,
                           [&](MODEL& d) { d.Set_BandPassFilter(channel, enable, f1, f2); });
}

QZ_API int QZ_Set_BandStopFilter(void* handle, int channel, int enable, float f1, float f2) {
  return WithDeviceAlways1(handle,
                           [&](MODEL& d) { d.Set_BandStopFilter(channel, enable, f1, f2); });
}

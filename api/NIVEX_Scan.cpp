// The exported functions of the scan setup: scan parameters, analog and delay triggers and
// the sync-in frame layout.
#include <algorithm>
#include <climits>

#include "api/NIVEX_Frame.h"
#include "framework/RXMODEL_Class.h"
#include "nivex.h"
#include "support/FaultText.h"

namespace nivex::api {
namespace {

// A setting narrowed to the 16 bits the operations take. A value that does not fit is held
// at the nearest end, where every operation refuses it with its own range error, instead of
// wrapping to a small value that would pass.
short Narrow(int v) {
  if (v > SHRT_MAX) return SHRT_MAX;
  if (v < SHRT_MIN) return SHRT_MIN;
  return static_cast<short>(v);
}

template <class T>
void Clear(T* p) {
  if (p != nullptr) *p = T{};
}

// The most analog inputs of any module type: as many per-channel entries as an unknown
// handle's caller can have meant.
int MostInputs() {
  int most = 0;
  for (const nivex::WRXmodule& row : nivex::WRXMODULE)
    if (row.AI > most) most = row.AI;
  return most;
}

}  // namespace
}  // namespace nivex::api

using nivex::MODEL;
using nivex::api::BadArgument;
using nivex::api::Clear;
using nivex::api::MostInputs;
using nivex::api::Narrow;
using nivex::api::WithDevice;

QZ_API int QZ_SetAIScanParam(void* handle, int channels, int gain, int trigger, int rate,
                             unsigned int target, int transferMode, int ackMode) {
  return WithDevice(handle, [&](MODEL& d) {
    return d.SetScanParam(Narrow(channels), Narrow(gain), Narrow(trigger), rate, target,
                          Narrow(transferMode), Narrow(ackMode));
  });
}

QZ_API int QZ_GetAIScanParam(void* handle, unsigned short* channels, unsigned short* gain,
                             unsigned short* trigger, unsigned int* rate, unsigned int* target,
                             unsigned short* transferMode, unsigned short* ackMode) {
  return WithDevice(
      handle,
      [&] {
        Clear(channels), Clear(gain), Clear(trigger), Clear(rate), Clear(target);
        Clear(transferMode), Clear(ackMode);
      },
      [&](MODEL& d) {
        if (channels == nullptr || gain == nullptr || trigger == nullptr || rate == nullptr ||
            target == nullptr || transferMode == nullptr || ackMode == nullptr)
          return BadArgument();
        short c = 0, g = 0, t = 0, m = 0, a = 0;
        int r = 0;
        unsigned int n = 0;
        const int result = d.GetScanParam(&c, &g, &t, &r, &n, &m, &a);
        *channels = static_cast<unsigned short>(c);
        *gain = static_cast<unsigned short>(g);
        *trigger = static_cast<unsigned short>(t);
        *rate = static_cast<unsigned int>(r);
        *target = n;
        *transferMode = static_cast<unsigned short>(m);
        *ackMode = static_cast<unsigned short>(a);
        return result;
      });
}

QZ_API int QZ_SetAIAnalogTriggerParam(void* handle, int type, char* enable, float* high,
                                      float* low, int n, unsigned int pre, unsigned int post) {
  return WithDevice(handle, [&](MODEL& d) {
    return d.SetAIAnalogTriggerParam(type, enable, high, low, n, pre, post);
  });
}

QZ_API int QZ_GetAIAnalogTriggerParam(void* handle, int* type, char* enable, float* high,
                                      float* low, int n, unsigned int* pre, unsigned int* post,
                                      unsigned int* reserved) {
  Clear(reserved);
  return WithDevice(
      handle,
      [&] {
        Clear(type), Clear(pre), Clear(post);
        // Only the arrays given, and no more entries than any type has.
        const int entries = std::min(n, MostInputs());
        if (enable != nullptr) std::fill_n(enable, std::max(entries, 0), '\0');
        if (high != nullptr) std::fill_n(high, std::max(entries, 0), 0.0f);
        if (low != nullptr) std::fill_n(low, std::max(entries, 0), 0.0f);
      },
      [&](MODEL& d) { return d.GetAIAnalogTriggerParam(type, enable, high, low, n, pre, post); });
}

QZ_API int QZ_SetAIDelayTriggerParam(void* handle, unsigned int delay, unsigned int /*reserved*/) {
  return WithDevice(handle, [&](MODEL& d) { return d.SetAIDelayTriggerParam(delay); });
}

QZ_API int QZ_GetAIDelayTriggerParam(void* handle, unsigned int* delay, unsigned int* reserved) {
  Clear(reserved);
  return WithDevice(
      handle, [&] { Clear(delay); },
      [&](MODEL& d) {
        if (delay == nullptr) return BadArgument();
        return d.GetAIDelayTriggerParam(delay);
      });
}

QZ_API int QZ_SetSyncInScanParam(void* handle, unsigned int headerKind, unsigned short* counts,
                                 unsigned short* types, unsigned short itemCount,
                                 unsigned short option, unsigned int reserved) {
  if (itemCount >= 8) return BadArgument();
  return WithDevice(handle, [&](MODEL& d) {
    const int result = d.SetSyncInScanParam(headerKind, counts, types, itemCount, option, reserved);
    // The sync mode follows the layout the module accepted.
    if (result == 1) d.KeepSyncMode(option);
    return result;
  });
}

QZ_API int QZ_GetSyncInScanParam(void* handle, unsigned int* headerKind, unsigned short* counts,
                                 unsigned short* types, unsigned short capacity,
                                 unsigned short* itemCount, unsigned int* option,
                                 unsigned int* reserved) {
  if (capacity >= 8) return BadArgument();
  return WithDevice(
      handle,
      [&] {
        Clear(headerKind), Clear(counts), Clear(types), Clear(itemCount), Clear(option);
        Clear(reserved);
      },
      [&](MODEL& d) {
        return d.GetSyncInScanParam(headerKind, counts, types, capacity, itemCount, option,
                                    reserved);
      });
}

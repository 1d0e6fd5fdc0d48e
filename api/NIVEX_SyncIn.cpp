// The exported functions of the sync-in frame stream (RX5K10): how many whole frames wait in
// the host ring, the three readers that take frames out of it and spread each frame's items
// into the caller's arrays, and the ring's clear and totals under their sync-in names.
//
// A reader takes whole frames only: a frame that has not fully arrived stays in the ring for
// the next read. It takes them a block at a time through a scratch buffer of its own, so a
// large frame count costs no more memory than a small one, and it checks the frame layout
// before it takes anything, so a layout it cannot walk loses no data.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "api/NIVEX_Frame.h"
#include "framework/RXMODEL_Class.h"
#include "framework/RXMODEL_SyncInFrame.h"
#include "nivex.h"
#include "support/FaultText.h"

namespace nivex::api {
namespace {

constexpr size_t kScratchBytes = 64 * 1024;  // frames taken from the ring per block
constexpr unsigned kHighestItemType = 11;

// How a reader lays out what it unpacks.
enum class Layout {
  PerFrame,    // arrayX[f] per frame; 16-bit items as 16-bit values
  PerFrameDW,  // arrayX[f] per frame; 16-bit items in 32-bit slots, analog codes in volts
  Flat,        // one 32-bit array per target, element k of frame f at f x count + k
};

// Where a reader's items go. perFrame and flat are indexed by target: 0 = array1 .. 4 = array5.
struct Targets {
  unsigned int* headers = nullptr;
  void** perFrame[5] = {};
  unsigned int* flat[5] = {};
};

bool HasHeader(unsigned int kind) { return kind >= 1 && kind <= 3; }

// The target (0-4) of an item type in a layout; -1 when the layout skips the type.
int TargetOf(Layout layout, unsigned type) {
  switch (type) {
    case 0: return layout == Layout::PerFrameDW ? 0 : -1;  // analog codes, as volts
    case 1: return 0;
    case 2: case 4: return 3;
    case 3: case 5: return 4;
    case 6: return layout == Layout::Flat ? -1 : 1;
    case 7: return layout == Layout::Flat ? -1 : 2;
    default: return -1;  // 8-11
  }
}

bool Is32(unsigned type) { return type == 4 || type == 5 || type == 10 || type == 11; }
bool IsBits(unsigned type) { return type >= 6 && type <= 8; }

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// 1 when the items of def walk to exactly its frame size (4 header bytes for header kinds
// 1-3, then each item's bytes); 0 with 0x17003 for an item type above 11 or any other walk.
int WalksToFrameSize(const SyncInFrameDef& def, unsigned size) {
  if (def.itemCount > SyncInFrameDef::kMaxItems) return Fail(QZ_ERR_DEVICE_RESPONSE);
  uint64_t walked = HasHeader(def.headerKind) ? 4 : 0;
  for (unsigned i = 0; i < def.itemCount; ++i) {
    if (def.types[i] > kHighestItemType) return Fail(QZ_ERR_DEVICE_RESPONSE);
    walked += SyncInFrameDef::ItemSize(def.types[i], def.counts[i]);
  }
  return walked == size ? 1 : Fail(QZ_ERR_DEVICE_RESPONSE);
}

// Stores the n elements of one item (its bytes at src) at dst, as the layout has them.
void StoreItem(MODEL& d, Layout layout, unsigned type, unsigned n, const uint8_t* src, void* dst) {
  if (IsBits(type)) {
    std::memcpy(dst, src, SyncInFrameDef::ItemSize(static_cast<unsigned short>(type),
                                                   static_cast<unsigned short>(n)));
  } else if (Is32(type)) {
    unsigned int* out = static_cast<unsigned int*>(dst);
    for (unsigned k = 0; k < n; ++k) out[k] = Le32(src + 4 * k);
  } else if (layout == Layout::PerFrame) {
    unsigned short* out = static_cast<unsigned short*>(dst);
    for (unsigned k = 0; k < n; ++k) out[k] = Le16(src + 2 * k);
  } else if (type == 0) {
    // Element k is the code of input k: an element past the module's inputs cannot be
    // converted and its slot stays as it was.
    float* out = static_cast<float*>(dst);
    for (unsigned k = 0; k < n; ++k)
      d.Calibrate_Hex2Float(static_cast<int16_t>(Le16(src + 2 * k)), static_cast<int>(k),
                            d.GainCode(), &out[k]);
  } else {
    // The low half of each 32-bit slot; the upper half keeps what the caller put there.
    unsigned int* out = static_cast<unsigned int*>(dst);
    for (unsigned k = 0; k < n; ++k) out[k] = (out[k] & 0xFFFF0000u) | Le16(src + 2 * k);
  }
}

// Spreads frame f (its bytes at p) into the targets. A null target array, or a null entry
// f of a per-frame array, skips the item.
void UnpackFrame(MODEL& d, Layout layout, const Targets& t, const SyncInFrameDef& def,
                 const uint8_t* p, size_t f) {
  if (HasHeader(def.headerKind)) {
    if (t.headers != nullptr) t.headers[f] = Le32(p);
    p += 4;
  }
  for (unsigned i = 0; i < def.itemCount; ++i) {
    const unsigned type = def.types[i], n = def.counts[i];
    const int target = TargetOf(layout, type);
    void* dst = nullptr;
    if (target >= 0 && layout == Layout::Flat) {
      if (t.flat[target] != nullptr) dst = t.flat[target] + f * n;
    } else if (target >= 0 && t.perFrame[target] != nullptr) {
      dst = t.perFrame[target][f];
    }
    if (dst != nullptr) StoreItem(d, layout, type, n, p, dst);
    p += SyncInFrameDef::ItemSize(def.types[i], def.counts[i]);
  }
}

// The readers' common course: up to frameCount whole frames out of the ring, unpacked in
// order; the number of frames unpacked.
int ReadFrames(void* handle, Layout layout, const Targets& t, unsigned int frameCount) {
  return WithRing(handle, [] {}, [&](MODEL& d) -> int {
    if (frameCount == 0) return BadArgument();
    // A module type without sync-in frames has no frame definition.
    if (d.SyncInFrame() == nullptr) return Fail(QZ_ERR_NOT_IMPLEMENTED);
    const SyncInFrameDef& def = *d.SyncInFrame();
    const unsigned size = def.GetTotalSize();
    if (size == 0 || size > INT_MAX) return 0;
    if (!WalksToFrameSize(def, size)) return 0;

    const size_t wanted = std::min<size_t>(frameCount, INT_MAX);
    const size_t block = std::min(wanted, std::max<size_t>(1, kScratchBytes / size));
    std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[block * size]);
    if (!scratch) return Fail(QZ_ERR_BUFFER_ALLOC);
    size_t done = 0;
    while (done < wanted) {
      const size_t ask = std::min(wanted - done, block);
      const int got = d.AD_ReadData(reinterpret_cast<char*>(scratch.get()),
                                    static_cast<unsigned int>(ask), static_cast<int>(size));
      if (got <= 0) break;
      for (size_t i = 0; i < static_cast<size_t>(got); ++i)
        UnpackFrame(d, layout, t, def, scratch.get() + i * size, done + i);
      done += static_cast<size_t>(got);
      if (static_cast<size_t>(got) < ask) break;
    }
    return static_cast<int>(done);
  });
}

Targets PerFrameTargets(unsigned int* headers, void** array1, void** array2, void** array3,
                        void** array4, void** array5) {
  Targets t;
  t.headers = headers;
  void** arrays[5] = {array1, array2, array3, array4, array5};
  std::copy(arrays, arrays + 5, t.perFrame);
  return t;
}

}  // namespace
}  // namespace nivex::api

using nivex::MODEL;
namespace api = nivex::api;

extern "C" {

QZ_API int QZ_GetSyncInBufferStatus(void* handle, unsigned short* status, unsigned int* frames) {
  return api::WithRing(handle, [] {}, [&](MODEL& d) -> int {
    if (status == nullptr || frames == nullptr) return api::BadArgument();
    if (d.SyncInFrame() == nullptr) return nivex::Fail(QZ_ERR_NOT_IMPLEMENTED);
    const unsigned size = d.SyncInFrame()->GetTotalSize();
    if (size == 0) return 0;
    *status = d.AD_BufferStatus();
    // The ring counts the frame stream in 16-bit units; a partial frame is not counted.
    const uint64_t units = *status != 0 ? d.Get_ADSize() : d.GetDAQSampleCnt();
    *frames = static_cast<unsigned int>(units * 2 / size);
    return 1;
  });
}

QZ_API int QZ_GetSyncInBuffer(void* handle, unsigned int* headers, void** array1, void** array2,
                              void** array3, void** array4, void** array5, void* /*reserved1*/,
                              void* /*reserved2*/, unsigned int frameCount) {
  return api::ReadFrames(handle, api::Layout::PerFrame,
                         api::PerFrameTargets(headers, array1, array2, array3, array4, array5),
                         frameCount);
}

QZ_API int QZ_GetSyncInBufferDW(void* handle, unsigned int* headers, void** array1, void** array2,
                                void** array3, void** array4, void** array5, void* /*reserved1*/,
                                void* /*reserved2*/, unsigned int frameCount) {
  return api::ReadFrames(handle, api::Layout::PerFrameDW,
                         api::PerFrameTargets(headers, array1, array2, array3, array4, array5),
                         frameCount);
}

QZ_API int QZ_GetSyncInBufferLV(void* handle, unsigned int* headers, unsigned int* array1,
                                void* /*reserved2*/, void* /*reserved3*/, unsigned int* array4,
                                unsigned int* array5, void* /*reserved6*/, void* /*reserved7*/,
                                unsigned int frameCount) {
  api::Targets t;
  t.headers = headers;
  t.flat[0] = array1;
  t.flat[3] = array4;
  t.flat[4] = array5;
  return api::ReadFrames(handle, api::Layout::Flat, t, frameCount);
}

QZ_API int QZ_ClearSyncInBuffer(void* handle) { return QZ_ClearAIBuffer(handle); }

QZ_API int QZ_GetSyncInTotalSamplingStatus(void* handle, unsigned int* total,
                                           unsigned int* status) {
  return QZ_GetTotalSamplingStatus(handle, total, status);
}

}  // extern "C"

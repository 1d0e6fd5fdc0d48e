// The sync-in buffer functions against the emulator's frame stream: whole frames in the three
// reader layouts while the stream pauses inside frames, a partial frame and a clear inside a
// frame, and the handles and layouts that have no frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "framework/RXMODEL_SyncInFrame.h"
#include "nivex.h"
#include "tests/common/ScanFixture.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace nivex::test;
using nivex::emu::Model;

constexpr uint32_t kUntouched = 0xAAAAAAAAu;
enum Reader { kPlain, kDW, kLV };
// The array (0 = array1 .. 4 = array5) each item type 0-7 goes to, per reader; -1: not kept.
constexpr int kTarget[3][8] = {{-1, 0, 3, 4, 3, 4, 1, 2}, {0, 0, 3, 4, 3, 4, 1, 2},
                               {-1, 0, 3, 4, 3, 4, -1, -1}};

struct Item {
  unsigned short type, count;
};
struct Layout {
  unsigned header;
  std::vector<Item> items;
  bool bySetup;  // else sent to the module and given to the kit without the setup's checks
  bool split;    // the module sends in pieces of 1-7 bytes
};

unsigned ItemBytes(const Item& it) {
  return it.type <= 3 ? 2u * it.count : it.type <= 5 ? 4u * it.count : (it.count + 7u) / 8u;
}
unsigned FrameBytes(const Layout& l) {
  unsigned n = l.header >= 1 && l.header <= 3 ? 4 : 0;
  for (const Item& it : l.items) n += ItemBytes(it);
  return n;
}
uint32_t Le(const std::string& s, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes; i-- > 0;) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

// The arrays of one read of `frames` frames: per target, frames x stride words (stride: the
// largest count and a guard word), all kUntouched. holes: array5 NULL and array4[0] NULL.
struct Buffers {
  Buffers(const Layout& l, unsigned frames, bool holesWanted) : holes(holesWanted) {
    for (const Item& it : l.items) stride = std::max<size_t>(stride, it.count + 1u);
    headers.assign(frames + 1, kUntouched);
    for (int t = 0; t < 5; ++t) {
      words[t].assign(frames * stride + 1, kUntouched);
      for (unsigned f = 0; f < frames; ++f) ptrs[t].push_back(&words[t][f * stride]);
    }
    if (holes) ptrs[3][0] = nullptr;
  }
  bool holes;
  size_t stride = 1;
  std::vector<uint32_t> headers, words[5];
  std::vector<void*> ptrs[5];
};

int Read(void* h, Reader r, Buffers* b, unsigned frames) {
  void** p[5];
  for (int t = 0; t < 5; ++t) p[t] = b->ptrs[t].data();
  if (b->holes) p[4] = nullptr;
  if (r == kLV)
    return QZ_GetSyncInBufferLV(h, b->headers.data(), b->words[0].data(), nullptr, nullptr,
                                b->words[3].data(), b->holes ? nullptr : b->words[4].data(),
                                nullptr, nullptr, frames);
  auto fn = r == kPlain ? QZ_GetSyncInBuffer : QZ_GetSyncInBufferDW;
  return fn(h, b->headers.data(), p[0], p[1], p[2], p[3], p[4], nullptr, nullptr, frames);
}

// What reader r keeps of frame f (its bytes as the module sent them), written into e.
void Expect(Reader r, const Layout& l, const std::string& frame, unsigned f, Buffers* e) {
  size_t at = 0;
  if (l.header >= 1 && l.header <= 3) e->headers[f] = Le(frame, 0, 4), at = 4;
  for (const Item& it : l.items) {
    const int t = kTarget[r][it.type];
    const bool skipped = t < 0 || (e->holes && (t == 4 || (t == 3 && f == 0 && r != kLV)));
    uint8_t* base = skipped ? nullptr
                            : reinterpret_cast<uint8_t*>(e->words[t].data()) +
                                  4 * f * (r == kLV ? it.count : e->stride);
    for (unsigned k = 0; base && k < it.count; ++k) {
      if (it.type >= 6) {
        if (k % 8 == 0) base[k / 8] = static_cast<uint8_t>(frame[at + k / 8]);
      } else if (it.type >= 4) {
        const uint32_t v = Le(frame, at + 4 * k, 4);
        std::memcpy(base + 4 * k, &v, 4);
      } else if (r == kPlain) {
        const uint16_t v = static_cast<uint16_t>(Le(frame, at + 2 * k, 2));
        std::memcpy(base + 2 * k, &v, 2);
      } else if (it.type == 0) {  // volts of input k; no input k: left
        const float v = static_cast<float>(Level(static_cast<int>(k)));
        if (k < 8) std::memcpy(base + 4 * k, &v, 4);
      } else {
        uint32_t w;
        std::memcpy(&w, base + 4 * k, 4);
        w = (w & 0xFFFF0000u) | Le(frame, at + 2 * k, 2);
        std::memcpy(base + 4 * k, &w, 4);
      }
    }
    at += ItemBytes(it);
  }
}

// The words of got and e agree; the volts of a DW read (array1 of a layout with type 0) to
// within 2 mV.
int Mismatches(Reader r, const Layout& l, const Buffers& e, const Buffers& got) {
  const bool volts = r == kDW && std::any_of(l.items.begin(), l.items.end(),
                                             [](const Item& it) { return it.type == 0; });
  int wrong = e.headers != got.headers;
  for (int t = 0; t < 5; ++t)
    for (size_t i = 0; i < e.words[t].size(); ++i) {
      const uint32_t a = e.words[t][i], b = got.words[t][i];
      float fa, fb;
      std::memcpy(&fa, &a, 4), std::memcpy(&fb, &b, 4);
      wrong += a != b && !(volts && t == 0 && a != kUntouched && std::fabs(fa - fb) < 0.002f);
    }
  return wrong;
}

void StartSyncIn(Device& d, const Layout& l) {
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 2, 0, 0, 500, 0, 0, 0), 1);
  std::vector<unsigned short> types, counts;
  std::string cmd = "~01SIH" + std::to_string(l.header) + "O01T";
  char hex[16];
  std::snprintf(hex, sizeof hex, "%02zX", l.items.size());
  cmd += hex;
  for (const Item& it : l.items) {
    types.push_back(it.type), counts.push_back(it.count);
    std::snprintf(hex, sizeof hex, "%02X%02X", it.type, it.count);
    cmd += hex;
  }
  const auto n = static_cast<unsigned short>(types.size());
  if (l.bySetup) {
    ASSERT_EQ(QZ_SetSyncInScanParam(d.h(), l.header, counts.data(), types.data(), n, 1, 0), 1);
  } else {
    char reply[QZ_REPLY_SIZE];
    ASSERT_EQ(QZ_SendRecv(d.h(), cmd.c_str(), reply, 1000), 1);
    ASSERT_EQ(d.model().syncInFrame->SetLayout(l.header, types.data(), counts.data(), n, 1), 1);
  }
  Stream(d, [&](nivex::emu::StreamSettings& s) { s.splitPauseMs = l.split ? 0 : -1; });
  ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
}

unsigned StatusFrames(void* h) {
  unsigned short status = 0;
  unsigned int frames = 0;
  EXPECT_EQ(QZ_GetSyncInBufferStatus(h, &status, &frames), 1);
  return frames;
}

TEST(SyncInBuffer, ReadersTakeWholeFramesAsTheModuleSentThem) {
  const Layout kLayouts[] = {
      {1, {{0, 10}, {4, 2}}, true, true},                   // volts of inputs 0-7, 32-bit values
      {0, {{1, 4}, {2, 3}, {5, 1}}, true, true},            // no header; 16- and 32-bit items
      {2, {{3, 3}, {6, 10}, {1, 1}, {7, 3}}, false, true},  // bit items, 15-byte frames
      // The largest items the setup takes, two to a target: the later one stands.
      {3, {{4, 255}, {2, 255}, {5, 255}, {3, 255}, {1, 255}, {4, 255}, {5, 255}}, true, false},
  };
  for (const Layout& l : kLayouts) {
    SCOPED_TRACE("frame of " + std::to_string(FrameBytes(l)) + " bytes");
    Device d(Model::RX5K10, nullptr, SetLevels);
    ASSERT_TRUE(d.ok());
    StartSyncIn(d, l);
    const unsigned size = FrameBytes(l);
    unsigned next = 0;
    const long long t0 = NowMs();
    for (unsigned call = 0; next < 12 && NowMs() - t0 < 10000; ++call) {
      const Reader r = static_cast<Reader>(call % 3);
      const unsigned ask = 1 + call % 4;
      const unsigned present = StatusFrames(d.h());
      Buffers got(l, ask, call % 5 == 4), e(l, ask, call % 5 == 4);
      const int n = Read(d.h(), r, &got, ask);
      ASSERT_GE(n, static_cast<int>(std::min(ask, present)));
      ASSERT_LE(n, static_cast<int>(ask));
      const std::string sent = Streamer(d).Sent();
      ASSERT_GE(sent.size(), (next + n) * size);
      for (unsigned f = 0; f < static_cast<unsigned>(n); ++f)
        Expect(r, l, sent.substr((next + f) * size, size), f, &e);
      EXPECT_EQ(Mismatches(r, l, e, got), 0) << "reader " << r << " frames " << next << "+" << n;
      if (l.header && n > 0) {
        EXPECT_EQ(got.headers[0], next);  // the emulator's frame index
      }
      next += static_cast<unsigned>(n);
      if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_GE(next, 12u);
    EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
  }
}

TEST(SyncInBuffer, APartialFrameWaitsAndAClearSkipsToTheNextFrame) {
  const Layout l{2, {{1, 4}, {4, 1}}, true, false};  // 16-byte frames
  Device d(Model::RX5K10, nullptr, SetLevels);
  ASSERT_TRUE(d.ok());
  Stream(d, [](nivex::emu::StreamSettings& s) { s.silenceAfterBytes = 56; });  // 3.5 frames
  StartSyncIn(d, l);
  ASSERT_TRUE(WaitUntil([&] { return RingSize(d.h()) == 28; }, 5000));
  EXPECT_EQ(StatusFrames(d.h()), 3u);
  Buffers b(l, 10, false);
  EXPECT_EQ(Read(d.h(), kLV, &b, 10), 3);
  EXPECT_EQ(RingSize(d.h()), 4u);  // the half frame stays
  EXPECT_EQ(StatusFrames(d.h()), 0u);

  // Frames 3, 4 and 14 bytes of frame 5 arrive; frame 3 is read, then the ring is cleared.
  Stream(d, [](nivex::emu::StreamSettings& s) { s.silenceAfterBytes = 94; });
  ASSERT_TRUE(WaitUntil([&] { return RingSize(d.h()) == 23; }, 5000));
  Buffers one(l, 1, false), e(l, 1, false);
  ASSERT_EQ(Read(d.h(), kPlain, &one, 1), 1);
  Expect(kPlain, l, Streamer(d).Sent().substr(3 * 16, 16), 0, &e);
  EXPECT_EQ(Mismatches(kPlain, l, e, one), 0);
  EXPECT_EQ(QZ_ClearSyncInBuffer(d.h()), 1);

  // The rest of frame 5 is not a frame: the next read starts with frame 6.
  Stream(d, [](nivex::emu::StreamSettings& s) { s.silenceAfterBytes = s.kNever; });
  Buffers next(l, 2, false), e2(l, 2, false);
  ASSERT_TRUE(WaitUntil([&] { return StatusFrames(d.h()) >= 3; }, 5000));
  ASSERT_EQ(Read(d.h(), kDW, &next, 2), 2);
  for (unsigned f = 0; f < 2; ++f)
    Expect(kDW, l, Streamer(d).Sent().substr((6 + f) * 16, 16), f, &e2);
  EXPECT_EQ(Mismatches(kDW, l, e2, next), 0);
  EXPECT_EQ(next.headers[0], 6u);
  EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
}

TEST(SyncInBuffer, HandlesAndLayoutsWithoutFramesFailCleanly) {
  unsigned int headers[2] = {kUntouched, kUntouched}, flat[2] = {kUntouched, kUntouched};
  void* perFrame[2] = {flat, flat};
  unsigned short status = 7;
  unsigned int frames = 9;
  auto all = [&](void* h, unsigned count) {
    return std::vector<int>{
        QZ_GetSyncInBufferStatus(h, &status, &frames),
        QZ_GetSyncInBuffer(h, headers, perFrame, perFrame, perFrame, perFrame, perFrame, nullptr,
                           nullptr, count),
        QZ_GetSyncInBufferDW(h, headers, perFrame, perFrame, perFrame, perFrame, perFrame,
                             nullptr, nullptr, count),
        QZ_GetSyncInBufferLV(h, headers, flat, nullptr, nullptr, flat, flat, nullptr, nullptr,
                             count)};
  };
  auto failsWith = [&](void* h, int code) {
    for (int r : all(h, 2)) EXPECT_TRUE(FailsWith(r, code));
  };
  int junk = 0;
  failsWith(&junk, QZ_ERR_INVALID_HANDLE);
  for (Model m : {Model::RX5K30, Model::D4071s}) {  // no frame definition
    Device d(m);
    ASSERT_TRUE(d.ok());
    failsWith(d.h(), QZ_ERR_NOT_IMPLEMENTED);
  }
  Device k(Model::RX5K10);
  ASSERT_TRUE(k.ok());
  QZ_ClearLastError();
  for (int r : all(k.h(), 2)) EXPECT_EQ(r, 0);  // no layout yet: frames of 0 bytes
  EXPECT_EQ(QZ_GetLastError(), 0);
  EXPECT_TRUE(FailsWith(QZ_GetSyncInBufferLV(k.h(), headers, flat, nullptr, nullptr, flat, flat,
                                             nullptr, nullptr, 0),
                        QZ_ERR_INVALID_ARGUMENT));
  const unsigned short type = 12, count = 1;  // a type no reader knows
  ASSERT_EQ(k.model().syncInFrame->SetLayout(1, &type, &count, 1, 0), 1);
  EXPECT_TRUE(FailsWith(QZ_GetSyncInBufferLV(k.h(), headers, flat, nullptr, nullptr, flat, flat,
                                             nullptr, nullptr, 2),
                        QZ_ERR_DEVICE_RESPONSE));
  EXPECT_EQ(status, 7);
  EXPECT_EQ(frames, 9u);
  EXPECT_EQ(headers[0], kUntouched);
  EXPECT_EQ(flat[0], kUntouched);
}

}  // namespace

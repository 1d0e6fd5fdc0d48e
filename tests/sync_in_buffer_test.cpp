// The sync-in buffer functions against the emulator's frame stream: the three reader layouts
// while the stream pauses inside frames, a partial frame and a clear inside a frame, and the
// handles and layouts without frames.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "framework/RXMODEL_SyncInFrame.h"
#include "nivex.h"
#include "tests/common/ScanFixture.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace nivex::test;
using nivex::emu::Model;
using nivex::emu::StreamSettings;

constexpr uint32_t kUntouched = 0xAAAAAAAAu;
enum Reader { kPlain, kDW, kLV };
// The array (0 = array1 .. 4 = array5) of item types 0-7 per reader; -1: not kept.
constexpr int kTarget[3][8] = {{-1, 0, 3, 4, 3, 4, 1, 2}, {0, 0, 3, 4, 3, 4, 1, 2},
                               {-1, 0, 3, 4, 3, 4, -1, -1}};

struct Layout {
  unsigned header;
  std::vector<std::pair<unsigned short, unsigned short>> items;  // (type, count)
  bool bySetup;  // else sent to the module and given to the kit past the setup's checks
  bool split;    // the module sends in pieces of 1-7 bytes
  static unsigned Bytes(unsigned type, unsigned n) {
    return type <= 3 ? 2 * n : type <= 5 ? 4 * n : (n + 7) / 8;
  }
  unsigned Size() const {
    unsigned n = header >= 1 && header <= 3 ? 4 : 0;
    for (auto [t, c] : items) n += Bytes(t, c);
    return n;
  }
};

// One read's arrays, all kUntouched: per target, a row per frame of the largest count and a
// guard word. holes: array5 NULL and array4[0] NULL.
struct Buffers {
  Buffers(const Layout& l, unsigned frames, bool h = false) : holes(h) {
    for (auto [t, c] : l.items) stride = std::max<size_t>(stride, c + 1u);
    headers.assign(frames + 1, kUntouched);
    for (auto& w : words) w.assign(frames * stride + 1, kUntouched);
  }
  uint8_t* Row(int t, size_t f, size_t n) { return reinterpret_cast<uint8_t*>(&words[t][f * n]); }
  bool holes;
  size_t stride = 1;
  std::vector<uint32_t> headers, words[5];
};

int Read(void* h, Reader r, Buffers* b, unsigned frames) {
  std::vector<void*> rows[5];
  void** p[5];
  for (int t = 0; t < 5; ++t) {
    for (unsigned f = 0; f < frames; ++f) rows[t].push_back(b->Row(t, f, b->stride));
    p[t] = rows[t].data();
  }
  if (b->holes) p[4] = nullptr, rows[3][0] = nullptr;
  if (r == kLV)
    return QZ_GetSyncInBufferLV(h, b->headers.data(), b->words[0].data(), nullptr, nullptr,
                                b->words[3].data(), p[4] ? b->words[4].data() : nullptr, nullptr,
                                nullptr, frames);
  auto fn = r == kPlain ? QZ_GetSyncInBuffer : QZ_GetSyncInBufferDW;
  return fn(h, b->headers.data(), p[0], p[1], p[2], p[3], p[4], nullptr, nullptr, frames);
}

uint32_t Le(const std::string& s, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes; i-- > 0;) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

// What reader r keeps of frame f (its bytes as the module sent them), written into e.
void Expect(Reader r, const Layout& l, const std::string& frame, unsigned f, Buffers* e) {
  size_t at = l.header >= 1 && l.header <= 3 ? 4 : 0;
  if (at) e->headers[f] = Le(frame, 0, 4);
  for (auto [type, n] : l.items) {
    const int t = kTarget[r][type];
    uint8_t* row = t < 0 || (e->holes && (t == 4 || (t == 3 && f == 0 && r != kLV)))
                       ? nullptr
                       : e->Row(t, f, r == kLV ? n : e->stride);
    for (unsigned k = 0; row && k < n; ++k) {
      uint32_t v = type >= 6 ? 0 : type >= 4 ? Le(frame, at + 4 * k, 4) : Le(frame, at + 2 * k, 2);
      uint32_t old;
      const float volts = static_cast<float>(Level(static_cast<int>(k)));
      std::memcpy(&old, row + 4 * k, 4);
      if (type >= 6) {
        row[k / 8] = static_cast<uint8_t>(frame[at + k / 8]);
      } else if (r == kPlain && type < 4) {
        std::memcpy(row + 2 * k, &v, 2);
      } else if (type == 0) {  // volts of input k; none past the inputs
        if (k < 8) std::memcpy(row + 4 * k, &volts, 4);
      } else {
        if (type < 4) v |= old & 0xFFFF0000u;  // the low half only
        std::memcpy(row + 4 * k, &v, 4);
      }
    }
    at += Layout::Bytes(type, n);
  }
}

// Checks frames [first, first + n) that reader r read into got against what the module sent;
// volts (DW array1 of a layout with type 0) within 2 mV.
void ExpectRead(Device& d, const Layout& l, Reader r, unsigned first, int n, const Buffers& got) {
  Buffers e(l, static_cast<unsigned>(got.headers.size() - 1), got.holes);
  const std::string sent = Streamer(d).Sent();
  ASSERT_GE(sent.size(), (first + n) * l.Size());
  for (int f = 0; f < n; ++f) Expect(r, l, sent.substr((first + f) * l.Size(), l.Size()), f, &e);
  bool volts = false;
  for (auto [type, c] : l.items) volts |= r == kDW && type == 0;
  int wrong = e.headers != got.headers;
  for (int t = 0; t < 5; ++t)
    for (size_t i = 0; i < e.words[t].size(); ++i) {
      const uint32_t a = e.words[t][i], b = got.words[t][i];
      float fa, fb;
      std::memcpy(&fa, &a, 4), std::memcpy(&fb, &b, 4);
      wrong += a != b && !(volts && t == 0 && a != kUntouched && std::fabs(fa - fb) < 0.002f);
    }
  EXPECT_EQ(wrong, 0) << "reader " << r << " frames " << first << "+" << n;
  if (l.header && n > 0) {
    EXPECT_EQ(got.headers[0], first);  // the emulator's frame index
  }
}

void StartSyncIn(Device& d, const Layout& l) {
  ASSERT_EQ(QZ_SetAIScanParam(d.h(), 2, 0, 0, 500, 0, 0, 0), 1);
  std::vector<unsigned short> types, counts;
  char cmd[80], reply[QZ_REPLY_SIZE];
  int len = std::snprintf(cmd, sizeof cmd, "~01SIH%XO01T%02zX", l.header, l.items.size());
  for (auto [t, c] : l.items) {
    types.push_back(t), counts.push_back(c);
    len += std::snprintf(cmd + len, sizeof cmd - len, "%02X%02X", t, c);
  }
  const auto n = static_cast<unsigned short>(types.size());
  if (l.bySetup) {
    ASSERT_EQ(QZ_SetSyncInScanParam(d.h(), l.header, counts.data(), types.data(), n, 1, 0), 1);
  } else {
    ASSERT_EQ(QZ_SendRecv(d.h(), cmd, reply, 1000), 1);
    ASSERT_EQ(d.model().syncInFrame->SetLayout(l.header, types.data(), counts.data(), n, 1), 1);
  }
  Stream(d, [&](StreamSettings& s) { s.splitPauseMs = l.split ? 0 : -1; });
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
    SCOPED_TRACE("frame of " + std::to_string(l.Size()) + " bytes");
    Device d(Model::RX5K10, nullptr, SetLevels);
    ASSERT_TRUE(d.ok());
    StartSyncIn(d, l);
    unsigned next = 0;
    const long long t0 = NowMs();
    for (unsigned call = 0; next < 12 && NowMs() - t0 < 10000; ++call) {
      const Reader r = static_cast<Reader>(call % 3);
      const unsigned ask = 1 + call % 4, present = StatusFrames(d.h());
      Buffers got(l, ask, call % 5 == 4);
      const int n = Read(d.h(), r, &got, ask);
      ASSERT_TRUE(n >= static_cast<int>(std::min(ask, present)) && n <= static_cast<int>(ask));
      ExpectRead(d, l, r, next, n, got);
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
  auto silentAfter = [&](uint64_t bytes) {
    Stream(d, [&](StreamSettings& s) { s.silenceAfterBytes = bytes; });
  };
  silentAfter(56);  // 3.5 frames
  StartSyncIn(d, l);
  ASSERT_TRUE(WaitUntil([&] { return RingSize(d.h()) == 28; }, 5000));
  EXPECT_EQ(StatusFrames(d.h()), 3u);
  Buffers three(l, 10), one(l, 1), two(l, 2);  // read 10 frames, then 1, then 2
  ASSERT_EQ(Read(d.h(), kLV, &three, 10), 3);
  ExpectRead(d, l, kLV, 0, 3, three);
  EXPECT_EQ(RingSize(d.h()), 4u);  // the half frame stays
  EXPECT_EQ(StatusFrames(d.h()), 0u);

  silentAfter(94);  // frames 3 and 4 and 14 bytes of frame 5: frame 3 is read, the rest cleared
  ASSERT_TRUE(WaitUntil([&] { return RingSize(d.h()) == 23; }, 5000));
  ASSERT_EQ(Read(d.h(), kPlain, &one, 1), 1);
  ExpectRead(d, l, kPlain, 3, 1, one);
  EXPECT_EQ(QZ_ClearSyncInBuffer(d.h()), 1);

  silentAfter(StreamSettings::kNever);  // the rest of frame 5 is not a frame
  ASSERT_TRUE(WaitUntil([&] { return StatusFrames(d.h()) >= 3; }, 5000));
  ASSERT_EQ(Read(d.h(), kDW, &two, 2), 2);
  ExpectRead(d, l, kDW, 6, 2, two);
  EXPECT_EQ(QZ_StopAIScan(d.h()), 1);

  // The frame stream has no count: the first silence ends it, without a time-out.
  QuickTimings quick;
  ASSERT_EQ(QZ_SetConfig(d.h(), 5, 2, 1), 1);  // a silence limit of 50 ms
  silentAfter(32);
  ASSERT_EQ(QZ_StartAIScan(d.h()), 1);
  ASSERT_TRUE(WaitForStatus(d.h(), QZ_BUF_SCAN_ENDED));
  EXPECT_EQ(RingStatus(d.h()), QZ_BUF_DATA | QZ_BUF_SCAN_ENDED);
  EXPECT_EQ(QZ_StopAIScan(d.h()), 1);
}

TEST(SyncInBuffer, TypesAndLayoutsWithoutFramesFailCleanly) {
  unsigned int headers[2] = {kUntouched, kUntouched}, flat[2] = {kUntouched, kUntouched};
  void* rows[2] = {flat, flat};
  unsigned short status = 7;
  unsigned int frames = 9;
  auto all = [&](void* h, unsigned count) {
    return std::vector<int>{
        QZ_GetSyncInBufferStatus(h, &status, &frames),
        QZ_GetSyncInBuffer(h, headers, rows, rows, rows, rows, rows, nullptr, nullptr, count),
        QZ_GetSyncInBufferDW(h, headers, rows, rows, rows, rows, rows, nullptr, nullptr, count),
        QZ_GetSyncInBufferLV(h, headers, flat, nullptr, nullptr, flat, flat, nullptr, nullptr,
                             count)};
  };
  for (Model m : {Model::RX5K30, Model::D4071s}) {  // no frame definition
    Device d(m);
    ASSERT_TRUE(d.ok());
    for (int r : all(d.h(), 2)) EXPECT_TRUE(FailsWith(r, QZ_ERR_NOT_IMPLEMENTED));
  }
  Device k(Model::RX5K10);
  ASSERT_TRUE(k.ok());
  QZ_ClearLastError();
  for (int r : all(k.h(), 2)) EXPECT_EQ(r, 0);  // no layout yet: frames of 0 bytes
  EXPECT_EQ(QZ_GetLastError(), 0);
  EXPECT_TRUE(FailsWith(all(k.h(), 0)[3], QZ_ERR_INVALID_ARGUMENT));
  EXPECT_TRUE(status == 7 && frames == 9 && headers[0] == kUntouched && flat[0] == kUntouched);
}

}  // namespace

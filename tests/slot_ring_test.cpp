// The shared slot ring on its own: the slots' streams joined into frames, partial parts and
// partial availability, the target cap, the status bits, overflow, a slot's stream receiver
// feeding its columns, and a randomised comparison with a plain model of the frame stream.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <random>
#include <vector>

#include "framework/SlotRing.h"
#include "framework/StreamReceiver.h"
#include "framework/WorkerSlot.h"

namespace {

using nivex::SlotRing;
using Bytes = std::vector<uint8_t>;

// Sample i of slot s as two little-endian bytes: s x 1000 + i.
Bytes SlotSamples(int s, int from, int count) {
  Bytes b;
  for (int i = from; i < from + count; ++i) {
    const int v = s * 1000 + i;
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
  }
  return b;
}

// The value the frame stream holds at sample g for slots of the given channels.
int Expected(const std::vector<unsigned short>& ch, uint64_t g) {
  unsigned total = 0;
  for (unsigned short c : ch) total += c;
  uint64_t within = g % total;
  const uint64_t row = g / total;
  for (size_t s = 0; s < ch.size(); ++s) {
    if (within < ch[s]) return static_cast<int>(s * 1000 + row * ch[s] + within);
    within -= ch[s];
  }
  return -1;
}

std::vector<int> ReadValues(SlotRing& r, size_t n) {
  Bytes b(2 * n);
  const size_t got = r.Read(b.data(), n);
  std::vector<int> v;
  for (size_t i = 0; i < got; ++i) v.push_back(b[2 * i] | b[2 * i + 1] << 8);
  return v;
}

TEST(SlotRing, PendingPartsAndPartialFramesAreReadInFrameOrder) {
  const std::vector<unsigned short> ch{8, 8};
  SlotRing r;
  ASSERT_TRUE(r.Allocate(10000, 2, ch.data(), 2, 0));
  Bytes b1 = SlotSamples(1, 0, 24);
  ASSERT_EQ(r.Write(1, b1.data(), 10), SlotRing::kStored);  // 5 samples of its first part
  EXPECT_EQ(r.PendingBytes(1), 6u);
  EXPECT_EQ(r.Readable(), 0u);
  const Bytes b0 = SlotSamples(0, 0, 24);
  ASSERT_EQ(r.Write(0, b0.data(), 48), SlotRing::kStored);  // three rows
  ASSERT_EQ(r.Write(1, b1.data() + 10, 22), SlotRing::kStored);  // the rest of row 0 and row 1
  EXPECT_EQ(r.PendingBytes(1), 0u);
  EXPECT_EQ(r.Readable(), 2u * 16 + 8);  // two frames and slot 0's part of the third
  ASSERT_EQ(r.Write(1, b1.data() + 32, 4), SlotRing::kStored);  // shorter than a part
  EXPECT_EQ(r.PendingBytes(1), 12u);
  EXPECT_EQ(r.UnreadBytes(1), 36u);
  EXPECT_EQ(r.Readable(), 42u);

  std::vector<int> got = ReadValues(r, 20);
  EXPECT_EQ(r.ReadPhase(), 4u);
  EXPECT_EQ(r.Readable(), 22u);  // the rest of frame 1, then whole frame 2 as far as it goes
  EXPECT_EQ(r.UnreadBytes(0), 48u - 2 * 12);
  unsigned first = 99;
  Bytes rest(2 * 40);
  EXPECT_EQ(r.Read(rest.data(), 40, &first), 22u);
  EXPECT_EQ(first, 4u);
  for (size_t i = 0; i < 22; ++i) got.push_back(rest[2 * i] | rest[2 * i + 1] << 8);
  for (size_t g = 0; g < got.size(); ++g) EXPECT_EQ(got[g], Expected(ch, g)) << g;
  EXPECT_EQ(r.TotalRead(), 42u);
}

TEST(SlotRing, TargetCapsTheReadAndStatusBitsFollowTheData) {
  const std::vector<unsigned short> ch{8};
  SlotRing r;
  ASSERT_TRUE(r.Allocate(100000, 2, ch.data(), 1, 1000));
  Bytes none(16);
  EXPECT_EQ(r.Read(none.data(), 8), 0u);  // nothing readable: nothing changes
  EXPECT_EQ(r.Status(), 0);
  const Bytes b = SlotSamples(0, 0, 1100);
  ASSERT_EQ(r.Write(0, b.data(), b.size()), SlotRing::kStored);
  EXPECT_EQ(r.Status(), nivex::kRingData);
  r.AddStatus(4 | 128);
  Bytes out(2 * 1100);
  ASSERT_EQ(r.Read(out.data(), 990), 990u);
  EXPECT_EQ(r.Readable(), 10u);
  EXPECT_EQ(r.Read(out.data(), 50), 10u);
  EXPECT_EQ(r.Readable(), 0u);
  EXPECT_EQ(r.Status(), nivex::kRingData | 4 | 128);  // 100 samples beyond the target remain

  SlotRing e;
  ASSERT_TRUE(e.Allocate(1000, 2, ch.data(), 1, 0));
  ASSERT_EQ(e.Write(0, b.data(), 32), SlotRing::kStored);
  e.AddStatus(4);
  ASSERT_EQ(e.Read(out.data(), 100), 16u);
  EXPECT_EQ(e.Status(), 4);  // emptied: only the data bit goes
  e.Release();
  EXPECT_EQ(e.Write(0, b.data(), 2), SlotRing::kNoColumns);
  EXPECT_EQ(e.Status(), 4);

  const unsigned short none0[2] = {0, 0};
  EXPECT_FALSE(r.Allocate(100, 2, none0, 2, 0));
  EXPECT_TRUE(r.HasStorage());  // a refused allocation keeps the ring
}

TEST(SlotRing, ALapIsAnOverflowAndAPartThatFitsIsNot) {
  const std::vector<unsigned short> ch{8, 8};
  SlotRing r;
  ASSERT_TRUE(r.Allocate(64, 2, ch.data(), 2, 0));  // two frames
  int events = 0;
  nivex::SlotRingSink sink0(r, 0, [&] { ++events; });
  nivex::SlotRingSink sink1(r, 1, [&] { ++events; });
  const Bytes b0 = SlotSamples(0, 0, 40), b1 = SlotSamples(1, 0, 40);
  sink1.Take(b1.data(), 32);  // its second part ends exactly at the reader + capacity
  EXPECT_EQ(events, 0);
  EXPECT_EQ(r.Status() & nivex::kRingOverflow, 0);
  EXPECT_EQ(r.Write(0, b0.data(), 48), SlotRing::kOverflow);  // a third row would lap the reader
  EXPECT_EQ(r.Status() & nivex::kRingOverflow, nivex::kRingOverflow);
  EXPECT_EQ(r.UnreadBytes(0), 32u);
  EXPECT_EQ(ReadValues(r, 16),
            (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007}));
  sink0.Take(b0.data() + 32, 16);  // room again: slot 0's samples 16.. follow on
  EXPECT_EQ(events, 0);
  sink0.Take(b0.data() + 48, 3);  // no room: dropped, and the rest of its sample after it
  EXPECT_EQ(events, 1);
  ASSERT_EQ(ReadValues(r, 16).size(), 16u);
  sink0.Take(b0.data() + 51, 5);  // the dropped sample's last byte is discarded
  sink1.Take(b1.data() + 32, 4);
  EXPECT_EQ(events, 1);
  const std::vector<int> v = ReadValues(r, 16);
  ASSERT_EQ(v.size(), 10u);
  EXPECT_EQ(v[0], 16);
  EXPECT_EQ(v[8], 1016);
  EXPECT_EQ(r.Readable(), 0u);
  EXPECT_EQ(r.UnreadBytes(0), 4u);  // samples 26 and 27, in the next frame
}

TEST(SlotRing, EachSlotsStreamReceiverFeedsItsColumns) {
  const std::vector<unsigned short> ch{12, 0, 8};
  SlotRing r;
  ASSERT_TRUE(r.Allocate(1001, 2, ch.data(), 3, 0));
  nivex::WorkerSlot worker;
  for (int s : {2, 0}) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    const Bytes stream = SlotSamples(s, 0, 20 * ch[static_cast<size_t>(s)]);
    ASSERT_EQ(send(fds[1], stream.data(), stream.size(), 0), static_cast<ssize_t>(stream.size()));
    nivex::StreamReceiver rx(worker);
    nivex::SlotRingSink sink(r, s);
    rx.Begin(fds[0], {2, 7, 0}, &sink);  // 7-byte receives: samples split across them
    while (rx.Received() < stream.size() / 2)
      ASSERT_EQ(rx.Receive(), nivex::StreamReceiver::Outcome::Data);
    close(fds[0]);
    close(fds[1]);
  }
  std::vector<int> got = ReadValues(r, 1000);
  ASSERT_EQ(got.size(), 20u * 20);
  const std::vector<unsigned short> joined{12, 8};  // slot 2 follows slot 0 directly
  for (size_t g = 0; g < got.size(); ++g) {
    const int want = Expected(joined, g);
    EXPECT_EQ(got[g], want >= 1000 ? want + 1000 : want) << g;
  }
}

// A plain model of the frame stream: a map from frame-stream byte to value, filled byte by byte.
struct Model {
  std::vector<unsigned short> ch;
  uint64_t width = 2, capacity = 0, target = 0, frame = 0, read = 0;
  std::vector<uint64_t> offset, next, skip, unread;
  std::map<uint64_t, uint8_t> bytes;
  bool overflow = false;

  uint64_t At(size_t s, uint64_t j) const {
    const uint64_t part = width * ch[s];
    return j / part * frame + offset[s] + j % part;
  }
  size_t SlotAt(uint64_t g) const {
    size_t s = 0;
    while (g % frame >= offset[s] + width * ch[s]) ++s;
    return s;
  }
  int Write(size_t s, const Bytes& b) {
    if (ch[s] == 0) return SlotRing::kNoColumns;
    size_t i = 0;
    for (; i < b.size() && skip[s] > 0; ++i) --skip[s];
    for (; i < b.size(); ++i) {
      const uint64_t g = At(s, next[s]);
      if (g >= read + capacity) break;
      bytes[g] = b[i];
      ++next[s];
      ++unread[s];
    }
    if (i == b.size()) return SlotRing::kStored;
    skip[s] = (width - (b.size() - i) % width) % width;
    overflow = true;
    return SlotRing::kOverflow;
  }
  uint64_t Readable() const {
    uint64_t n = 0;
    while (bytes.count(read + (n + 1) * width - 1) && bytes.count(read + n * width)) ++n;
    if (target) n = std::min(n, target - std::min(target, read / width));
    return n;
  }
  Bytes Read(uint64_t count) {
    Bytes out;
    const uint64_t n = std::min(count, Readable());
    for (uint64_t k = 0; k < n * width; ++k, ++read) {
      out.push_back(bytes.at(read));
      bytes.erase(read);
      --unread[SlotAt(read)];
    }
    return out;
  }
};

TEST(SlotRing, MatchesAPlainModelOfTheFrameStream) {
  std::mt19937 rng(20240611u);
  auto pick = [&](uint64_t lo, uint64_t hi) {
    return std::uniform_int_distribution<uint64_t>(lo, hi)(rng);
  };
  const unsigned short cards[] = {0, 8, 8, 12, 16};
  for (int round = 0; round < 200; ++round) {
    Model m;
    m.width = round % 5 == 4 ? 4 : 2;
    unsigned total = 0;
    for (uint64_t s = 0, n = pick(1, 8); s < n; ++s) {
      m.ch.push_back(cards[pick(0, 4)]);
      m.offset.push_back(m.frame);
      total += m.ch.back();
      m.frame += m.width * m.ch.back();
    }
    if (total == 0) continue;
    const size_t slots = m.ch.size();
    const uint64_t asked = pick(1, 3 * m.frame + 50);  // mostly not a whole number of frames
    m.capacity = std::max(asked, m.frame);
    m.capacity += (m.width - m.capacity % m.width) % m.width;
    m.target = pick(0, 1) ? pick(1, 40 * total) : 0;
    m.next.assign(slots, 0);
    m.skip.assign(slots, 0);
    m.unread.assign(slots, 0);
    SlotRing r;
    ASSERT_TRUE(r.Allocate(asked, static_cast<unsigned>(m.width), m.ch.data(),
                           static_cast<int>(slots), m.target));
    ASSERT_EQ(r.Capacity(), m.capacity);
    std::vector<uint8_t> counter(slots, 0);
    for (int step = 0; step < 300; ++step) {
      SCOPED_TRACE(::testing::Message() << "round " << round << " step " << step);
      if (pick(0, 2) != 0) {
        const size_t s = pick(0, slots - 1);
        Bytes b(pick(0, 2 * m.width * (m.ch[s] + 1) + 3));  // odd sizes, several parts
        for (uint8_t& x : b) x = static_cast<uint8_t>(s * 37 + counter[s]++);
        ASSERT_EQ(r.Write(static_cast<int>(s), b.data(), b.size()), m.Write(s, b));
      } else {
        const uint64_t n = pick(0, 2 * total + 5);
        const uint64_t phase = m.read / m.width % total;
        Bytes got(n * m.width);
        unsigned first = 999;
        got.resize(r.Read(got.data(), n, &first) * m.width);
        ASSERT_EQ(got, m.Read(n));
        ASSERT_EQ(first, phase);
      }
      ASSERT_EQ(r.Readable(), m.Readable());
      ASSERT_EQ(r.Status(), (m.bytes.empty() ? 0 : nivex::kRingData) |
                                (m.overflow ? nivex::kRingOverflow : 0));
      for (size_t s = 0; s < slots; ++s)
        ASSERT_EQ(r.UnreadBytes(static_cast<int>(s)), m.unread[s]) << s;
    }
  }
}

}  // namespace

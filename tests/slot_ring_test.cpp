// The shared slot ring on its own: the slots' streams joined into frames, partial parts and
// partial availability, overflow through the per-slot sinks, and a randomised comparison with a
// plain model of the frame stream (wraps, odd chunks, drops, the target cap, the status bits).
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "framework/SlotRing.h"

namespace {

using nivex::SlotRing;
using Bytes = std::vector<uint8_t>;

// Sample i of slot s as two little-endian bytes: s x 1000 + i.
Bytes SlotSamples(int s, int count) {
  Bytes b;
  for (int v = s * 1000; v < s * 1000 + count; ++v)
    b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)});
  return b;
}

std::vector<int> ReadValues(SlotRing& r, size_t n) {
  Bytes b(2 * n);
  b.resize(2 * r.Read(b.data(), n));
  std::vector<int> v;
  for (size_t i = 0; i < b.size(); i += 2) v.push_back(b[i] | b[i + 1] << 8);
  return v;
}

TEST(SlotRing, PendingPartsAndPartialFrames) {
  const unsigned short ch[] = {8, 8};
  SlotRing r;
  ASSERT_TRUE(r.Allocate(10000, 2, ch, 2, 0));
  const Bytes b0 = SlotSamples(0, 24), b1 = SlotSamples(1, 24);
  ASSERT_EQ(r.Write(1, b1.data(), 10), SlotRing::kStored);  // 5 samples of its first part
  EXPECT_EQ(r.PendingBytes(1), 6u);
  ASSERT_EQ(r.Write(0, b0.data(), 48), SlotRing::kStored);       // three rows
  ASSERT_EQ(r.Write(1, b1.data() + 10, 22), SlotRing::kStored);  // the rest of row 0, row 1
  EXPECT_EQ(r.Readable(), 2u * 16 + 8);  // two frames and slot 0's part of the third
  ASSERT_EQ(r.Write(1, b1.data() + 32, 4), SlotRing::kStored);  // shorter than a part
  EXPECT_EQ(r.PendingBytes(1), 12u);
  EXPECT_EQ(ReadValues(r, 20).back(), 11);  // frame 1 up to channel 3: slot 0 sample 11
  EXPECT_EQ(r.ReadPhase(), 4u);
  EXPECT_EQ(r.Readable(), 22u);  // the rest of frame 1, and frame 2 as far as it goes
  EXPECT_EQ(r.UnreadBytes(1), 36u - 16);
}

TEST(SlotRing, ALapIsAnOverflowAndAPartThatFitsIsNot) {
  const unsigned short ch[] = {8, 8};
  SlotRing r;
  ASSERT_TRUE(r.Allocate(64, 2, ch, 2, 0));  // two frames
  int events = 0;
  nivex::SlotRingSink sink0(r, 0, [&] { ++events; }), sink1(r, 1, [&] { ++events; });
  const Bytes b0 = SlotSamples(0, 40), b1 = SlotSamples(1, 40);
  sink1.Take(b1.data(), 32);  // its second part ends exactly at the reader + capacity
  EXPECT_EQ(r.Status(), nivex::kRingData);
  sink0.Take(b0.data(), 48);  // a third row would lap the reader
  EXPECT_EQ(events, 1);
  EXPECT_EQ(r.Status(), nivex::kRingData | nivex::kRingOverflow);
  EXPECT_EQ(r.UnreadBytes(0), 32u);
  ASSERT_EQ(ReadValues(r, 16).size(), 16u);
  EXPECT_EQ(r.Write(0, b0.data() + 32, 16), SlotRing::kStored);  // room again: samples 16..
  EXPECT_EQ(r.Write(0, b0.data() + 48, 3), SlotRing::kOverflow);
  EXPECT_EQ(r.Write(2, b0.data(), 2), SlotRing::kNoColumns);
}

// A plain model of the frame stream: a map from frame-stream byte to value, filled byte by byte.
struct Model {
  std::vector<unsigned short> ch;
  uint64_t width = 2, capacity = 0, target = 0, frame = 0, read = 0;
  std::vector<uint64_t> offset, next, skip;
  std::map<uint64_t, uint8_t> bytes;
  bool overflow = false;

  uint64_t At(size_t s, uint64_t j) const {
    const uint64_t part = width * ch[s];
    return j / part * frame + offset[s] + j % part;
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
    }
    if (i == b.size()) return SlotRing::kStored;
    skip[s] = (width - (b.size() - i) % width) % width;
    overflow = true;
    return SlotRing::kOverflow;
  }
  uint64_t Readable() const {  // whole samples present from the reader on, up to the target
    uint64_t n = 0;
    while (bytes.count(read + (n + 1) * width - 1) && bytes.count(read + n * width)) ++n;
    return target ? std::min(n, target - std::min(target, read / width)) : n;
  }
  Bytes Read(uint64_t count) {
    Bytes out;
    const uint64_t n = std::min(count, Readable());
    for (uint64_t k = 0; k < n * width; ++k, ++read) {
      out.push_back(bytes.at(read));
      bytes.erase(read);
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
    m.next.assign(slots, 0), m.skip.assign(slots, 0);
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
    }
  }
}

}  // namespace

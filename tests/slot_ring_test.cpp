// The shared slot ring on its own: the slots' streams joined into frames, partial parts and
// partial availability, overflow through the per-slot sinks, and a randomised comparison with a
// plain model of the frame stream (wraps, odd chunks, drops, the target cap, the status bits).
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
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
  // Slot 0's third row went with its frame; its fourth has no room until frame 1 is read.
  EXPECT_EQ(r.Write(0, b0.data() + 48, 3), SlotRing::kOverflow);
  ASSERT_EQ(ReadValues(r, 99).size(), 16u);  // frame 1, then frames 2 and 3 passed over
  EXPECT_EQ(r.Write(0, b0.data() + 64, 16), SlotRing::kStored);  // room again: row 4
  EXPECT_EQ(r.Write(2, b0.data(), 2), SlotRing::kNoColumns);
}

TEST(SlotRing, AfterADropEverySampleStaysInItsChannelsColumn) {
  // Two slots of 8 and 4 channels; each sample's value names its channel (channel x 1000 +
  // row). Slot 0 sends more than fits, with drops of several sizes (slot 1 then laps the
  // reader too); whatever is read must sit in its own channel's column.
  const unsigned short ch[] = {8, 4};
  for (const int dropSamples : {1, 5, 8, 13, 20}) {
    SCOPED_TRACE(dropSamples);
    SlotRing r;
    ASSERT_TRUE(r.Allocate(3 * 24, 2, ch, 2, 0));  // three frames
    auto stream = [](int firstChannel, int channels, int from, int count) {
      Bytes b;
      for (int j = from; j < from + count; ++j) {
        const int v = (firstChannel + j % channels) * 1000 + j / channels;
        b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)});
      }
      return b;
    };
    int sent0 = 0, sent1 = 0;
    std::vector<int> values;
    for (int round = 0; round < 6; ++round) {
      // Slot 0 sends three rows and more: what does not fit is dropped.
      const int n0 = 24 + dropSamples;
      r.Write(0, stream(0, 8, sent0, n0).data(), 2 * static_cast<size_t>(n0));
      sent0 += n0;
      const int n1 = 4 * 3;  // three rows of slot 1
      r.Write(1, stream(8, 4, sent1, n1).data(), 2 * static_cast<size_t>(n1));
      sent1 += n1;
      for (int v : ReadValues(r, 1000)) values.push_back(v);
    }
    ASSERT_NE(r.Status() & nivex::kRingOverflow, 0);
    ASSERT_GT(values.size(), 36u);
    // ... and every frame read must hold one row of both slots.
    int misplaced = 0;
    for (size_t i = 0; i < values.size(); ++i)
      misplaced +=
          values[i] / 1000 != int(i % 12) || values[i] % 1000 != values[i / 12 * 12] % 1000;
    EXPECT_EQ(misplaced, 0);
  }
}

// A plain model of the frame stream: a map from frame-stream byte to value, filled byte by byte.
// Row r of every slot's stream is frame r; a frame that lost a byte for lack of room is dropped.
struct Model {
  std::vector<unsigned short> ch;
  uint64_t width = 2, capacity = 0, target = 0, frame = 0, read = 0;
  std::vector<uint64_t> offset, next;
  std::set<uint64_t> dropped;  // frames
  std::map<uint64_t, uint8_t> bytes;
  bool overflow = false;

  uint64_t At(size_t s, uint64_t j) const {
    const uint64_t part = width * ch[s];
    return j / part * frame + offset[s] + j % part;
  }
  int Write(size_t s, const Bytes& b) {
    if (ch[s] == 0) return SlotRing::kNoColumns;
    for (size_t i = 0; i < b.size(); ++i) {
      const uint64_t g = At(s, next[s]);
      if (g < read || dropped.count(g / frame)) {
        ++next[s];
      } else if (g < read + capacity) {
        bytes[g] = b[i], ++next[s];
      } else {
        for (; i < b.size(); ++i) Drop(At(s, next[s]++) / frame);
        overflow = true;
        return SlotRing::kOverflow;
      }
    }
    return SlotRing::kStored;
  }
  void Drop(uint64_t f) {
    dropped.insert(f);
    bytes.erase(bytes.lower_bound(f * frame), bytes.lower_bound((f + 1) * frame));
  }
  // The frame-stream offsets of the next n readable samples (whole samples present, frames
  // not dropped, up to the target).
  std::vector<uint64_t> Next(uint64_t most) const {
    std::vector<uint64_t> at;
    for (uint64_t p = read; at.size() < most && (!target || p < target * width);) {
      if (dropped.count(p / frame)) {
        p += frame;
      } else if (bytes.count(p) && bytes.count(p + width - 1)) {
        at.push_back(p), p += width;
      } else {
        break;
      }
    }
    return at;
  }
  uint64_t Readable() const { return Next(UINT64_MAX).size(); }
  Bytes Read(uint64_t count) {
    Bytes out;
    for (uint64_t p : Next(count)) {
      for (uint64_t k = p; k < p + width; ++k) out.push_back(bytes.at(k)), bytes.erase(k);
      read = p + width;
    }
    while (!out.empty() && read % frame == 0 && dropped.count(read / frame)) read += frame;
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

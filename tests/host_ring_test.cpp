// The host ring: order across the end of the storage, partial and full room, whole-element
// reads, the channel of each sample across reads, clears and drops, and racing readers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "framework/HostRing.h"

namespace {

using nivex::HostRing;
using nivex::kRingData;
using nivex::kRingOverflow;

// 16-bit samples numbered by their position in the stream.
std::vector<int16_t> Numbered(int first, int count) {
  std::vector<int16_t> v(count);
  for (int i = 0; i < count; ++i) v[i] = static_cast<int16_t>(first + i);
  return v;
}

TEST(HostRing, OrderRoomFlagsAndWholeElements) {
  HostRing ring;
  ASSERT_TRUE(ring.Allocate(10, 2, 2));
  const auto s = Numbered(0, 12);
  int16_t out[8];
  ring.Write(&s[0], 6);
  ASSERT_EQ(ring.Read(out, 2, 2), 2u);
  EXPECT_EQ(ring.Status(), kRingData);  // a partial read leaves the bit
  EXPECT_EQ(ring.Write(&s[3], 6).stored, 6u);  // crosses the end of the storage
  ASSERT_EQ(ring.Read(out + 2, 8, 2), 4u);      // more than is there: what is there
  for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i], i);
  EXPECT_EQ(ring.Status(), 0);  // emptied

  // Partial room fills the ring and drops the rest with the overflow bit; a full ring drops the
  // chunk whole (-1); after a read, writes are taken again.
  ring.Write(&s[6], 6);
  const auto part = ring.Write(&s[9], 6);
  EXPECT_EQ(part.Result(), 0);
  EXPECT_EQ(part.stored, 4u);
  EXPECT_EQ(ring.Status(), kRingData | kRingOverflow);
  EXPECT_EQ(ring.Write(&s[9], 4).Result(), -1);
  ASSERT_EQ(ring.Read(out, 2, 2), 2u);
  EXPECT_EQ(ring.Write(&s[9], 4).stored, 4u);
  EXPECT_TRUE(ring.Status() & kRingOverflow);  // until a clear

  // 5 bytes give 2 two-byte elements; the fifth byte stays for a byte read.
  ASSERT_TRUE(ring.Allocate(16, 4, 4));
  ring.Write(&s[0], 5);
  EXPECT_EQ(ring.Samples(), 1u);
  EXPECT_EQ(ring.Read(out, 9, 2), 2u);
  EXPECT_EQ(ring.Read(out, 9, 1), 1u);
  // Codes: 2-byte samples sign-extended, 4-byte words as they came.
  const uint8_t words[8] = {0x56, 0x34, 0x12, 0xAB, 0xFE, 0xFF, 0x34, 0x12};
  int32_t codes[3];
  ring.Write(words, 8);
  ASSERT_EQ(ring.ReadCodes(codes, 3), 2u);
  EXPECT_EQ(static_cast<uint32_t>(codes[0]), 0xAB123456u);
  ASSERT_TRUE(ring.Allocate(8, 2, 2));
  ring.Write(words + 4, 4);
  ASSERT_EQ(ring.ReadCodes(codes, 3), 2u);
  EXPECT_EQ(codes[0], -2);
  EXPECT_EQ(codes[1], 0x1234);
  // Released: status and size still readable, reads and writes take nothing.
  ring.Write(&s[0], 4);
  ring.Release();
  EXPECT_EQ(ring.Samples(), 2u);
  EXPECT_EQ(ring.Status(), kRingData);
  EXPECT_EQ(ring.Read(out, 1, 2), 0u);
  EXPECT_EQ(ring.Write(&s[0], 4).Result(), -1);
}

// Samples numbered by stream position go through a ring too small for them, in chunks and reads
// of many sizes, raw and as codes, with clears between; every sample read must carry the
// channel of its stream position.
TEST(HostRing, ChannelFollowsTheStreamAcrossDropsReadsAndClears) {
  constexpr int kChannels = 3;
  HostRing ring;
  ASSERT_TRUE(ring.Allocate(26, 2, 2 * kChannels));  // not a multiple of the row
  const int chunks[] = {5, 1, 7, 4, 11, 2, 9, 3, 13, 6, 8};
  const int reads[] = {2, 7, 1, 4, 3, 9, 5};
  int next = 0, last = -1;
  size_t dropped = 0;
  for (int round = 0; round < 60; ++round) {
    const auto chunk = Numbered(next, chunks[round % 11]);
    next += static_cast<int>(chunk.size());
    dropped += ring.Write(chunk.data(), 2 * chunk.size()).dropped;
    if (round % 13 == 12) ring.Clear();
    int16_t raw[16];
    int32_t codes[16];
    unsigned channel = 99;
    size_t got = round % 2 ? ring.ReadCodes(codes, reads[round % 7], &channel)
                           : ring.Read(raw, reads[round % 7], 2, &channel);
    if (round % 2 == 0) std::copy(raw, raw + got, codes);
    for (size_t i = 0; i < got; ++i) {
      EXPECT_GT(codes[i], last);
      EXPECT_EQ(codes[i] % kChannels, static_cast<int>((channel + i) % kChannels)) << codes[i];
      last = codes[i];
    }
  }
  EXPECT_GT(dropped, 0u);
  ASSERT_TRUE(ring.Allocate(8, 2, 4));  // a new run starts at channel 0
  unsigned channel = 99;
  int16_t one;
  ring.Read(&one, 1, 2, &channel);
  EXPECT_EQ(channel, 0u);
}

TEST(HostRing, ReadersAndReleaseRaceTheWriter) {
  HostRing ring;
  ASSERT_TRUE(ring.Allocate(4000, 4, 4));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::vector<int32_t> chunk(97);
    for (int32_t next = 0; next < 200000;) {
      for (auto& v : chunk) v = next++;
      ring.Write(chunk.data(), chunk.size() * 4);
    }
    done = true;
  });
  auto reader = [&] {
    int32_t last = -1, buf[64];
    while (!done) {
      const size_t n = ring.ReadCodes(buf, 64);
      for (size_t i = 0; i < n; ++i) {
        ASSERT_GT(buf[i], last);  // no sample twice, none out of order
        last = buf[i];
      }
    }
  };
  std::thread r1(reader), r2(reader);
  for (int i = 0; i < 50 && !done; ++i) {
    ring.Release();
    std::this_thread::yield();
    ring.Allocate(4000, 4, 4);
  }
  writer.join();
  r1.join();
  r2.join();
}

}  // namespace

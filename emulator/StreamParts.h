// What the emulator's data-port streamers share: the monotonic clock they pace by, the start
// time a module reports, samples as little-endian bytes, the piece sizes of a split stream and
// the tally of the host's acknowledgements.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

namespace nivex::emu {

inline int64_t MonoUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Milliseconds of the system clock since the epoch.
inline int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The start time a module reports for a run that started at wallMs (local time):
// "YYYY/MM/DD hh:mm:ss.mmm".
inline std::string StartTimeText(int64_t wallMs) {
  const time_t secs = static_cast<time_t>(wallMs / 1000);
  tm t{};
  localtime_r(&secs, &t);
  char text[48];
  snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d.%03d", t.tm_year + 1900,
           t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
           static_cast<int>(wallMs % 1000));
  return text;
}

// The raw code of one sample of a run: its input channel, its row (the sample index divided by
// the channel count; sync-in: the frame index) and its instant, the row over the rows per
// second, in seconds since the run began. A signal is sampled at that instant, whenever the
// sample goes out.
using StreamCodeFn = std::function<int32_t(int channel, uint64_t row, double seconds)>;

// Appends the low `bytes` bytes of v, least significant first.
inline void PutLE(std::string* out, uint32_t v, unsigned bytes) {
  for (unsigned i = 0; i < bytes; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// The sizes of the pieces a split stream goes out in, in turn: most cuts fall inside samples.
inline constexpr int kPieces[] = {3, 1, 5, 7, 2, 6, 4};

// The host's acknowledgements on a data connection: 4-byte little-endian counts, arriving in
// receives of any size. Their sum and number are kept; nothing depends on their values.
class AckTally {
 public:
  void Feed(const char* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      part_[fill_++] = static_cast<unsigned char>(bytes[i]);
      if (fill_ < 4) continue;
      sum_ += uint32_t{part_[0]} | uint32_t{part_[1]} << 8 | uint32_t{part_[2]} << 16 |
              uint32_t{part_[3]} << 24;
      ++count_;
      fill_ = 0;
    }
  }
  // A new connection: no count is half read.
  void ClearPartial() { fill_ = 0; }
  // A new run: the sum and the number start again.
  void ClearTotals() { sum_ = count_ = 0; }
  uint64_t Sum() const { return sum_; }
  uint64_t Count() const { return count_; }

 private:
  unsigned char part_[4] = {};
  size_t fill_ = 0;
  uint64_t sum_ = 0;
  uint64_t count_ = 0;
};

}  // namespace nivex::emu

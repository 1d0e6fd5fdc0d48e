// Time helpers: the time-stamp texts on fixed dates, the stopwatch and the wall-clock reading.
#include <gtest/gtest.h>

#include <time.h>

#include <cstring>
#include <string>
#include <thread>

#include "support/Chronum.h"
#include "support/utility.h"

namespace {

using nivex::Chronum;
using nivex::detail::FormatTime;
using nivex::detail::TimeLayout;
using nivex::detail::TimeParts;

std::string Format(const TimeParts& p, TimeLayout layout, bool pad) {
  char out[264];
  FormatTime(p, layout, '-', ' ', ':', pad, out, sizeof(out));
  return out;
}

TEST(TimeText, EveryLayoutPaddedAndPlain) {
  const TimeParts march{2024, 3, 5, 9, 7, 3, 45123};    // 45 ms after 09:07:03
  const TimeParts late{2023, 12, 25, 23, 59, 58, 999999};
  struct Case {
    TimeParts parts;
    TimeLayout layout;
    bool pad;
    const char* want;
  } cases[] = {
      {march, TimeLayout::Day, true, "2024-03-05"},
      {march, TimeLayout::Day, false, "2024-3-5"},
      {march, TimeLayout::Hour, true, "2024-03-05 09"},
      {march, TimeLayout::Hour, false, "2024-3-5 9"},
      {march, TimeLayout::Minute, true, "2024-03-05 09:07"},
      {march, TimeLayout::Minute, false, "2024-3-5 9:7"},
      {march, TimeLayout::Second, true, "2024-03-05 09:07:03"},
      {march, TimeLayout::Second, false, "2024-3-5 9:7:3"},
      {march, TimeLayout::Millisecond, true, "2024-03-05 09:07:03:045"},
      {march, TimeLayout::Millisecond, false, "2024-3-5 9:7:3:45"},
      {late, TimeLayout::Millisecond, true, "2023-12-25 23:59:58:999"},
      {late, TimeLayout::Millisecond, false, "2023-12-25 23:59:58:999"},
      {late, TimeLayout::Day, false, "2023-12-25"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Format(c.parts, c.layout, c.pad), c.want) << c.want;

  char out[32];
  FormatTime(march, TimeLayout::Day, '/', 'x', 'y', true, out, sizeof(out));
  EXPECT_STREQ(out, "2024/03/05");
  FormatTime(march, TimeLayout::Day, '/', 'x', 'y', false, out, sizeof(out));
  EXPECT_STREQ(out, "2024/3/5");
}

TEST(TimeText, SmallBufferIsCutAndTerminated) {
  const TimeParts p{2024, 3, 5, 9, 7, 3, 45000};
  char buf[12];
  memset(buf, 0x55, sizeof(buf));
  FormatTime(p, TimeLayout::Millisecond, '-', ' ', ':', true, buf, 8);
  EXPECT_STREQ(buf, "2024-03");
  for (size_t i = 8; i < sizeof(buf); ++i) EXPECT_EQ(buf[i], 0x55) << i;
}

TEST(TimeText, LiveTextsHaveTheirLayout) {
  Chronum c;
  EXPECT_EQ(strlen(c.text), 0u);  // empty before the first text
  EXPECT_EQ(strlen(c.GetTimeStr_2day('/', true)), 10u);
  EXPECT_EQ(strlen(c.GetTimeStr_2hour('/', '_', true)), 13u);
  EXPECT_EQ(strlen(c.GetTimeStr_2minute('/', '_', '.', true)), 16u);
  EXPECT_EQ(strlen(c.GetTimeStr_2second('/', '_', '.', true)), 19u);
  char* ms = c.GetTimeStr_2ms('/', '_', '.', true);
  EXPECT_EQ(ms, c.text);
  ASSERT_EQ(strlen(ms), 23u);
  EXPECT_EQ(ms[4], '/');
  EXPECT_EQ(ms[10], '_');
  EXPECT_EQ(ms[19], '.');
}

TEST(Stopwatch, StartsAtZeroAndCountsMilliseconds) {
  Chronum c;
  const double first = c.GetGlobalTicks();
  EXPECT_GE(first, 0.0);
  EXPECT_LT(first, 5.0);
  ASSERT_EQ(nivex::msleep(50), 0);
  const double later = c.GetGlobalTicks();
  EXPECT_GE(later, 50.0);
  EXPECT_LT(later, 150.0);
  c.RestGlobalTicks();
  EXPECT_GE(c.GetGlobalTicks(), 0.0);
  EXPECT_LT(c.GetGlobalTicks(), 5.0);

  const double t0 = c.GetTimeTicks();
  EXPECT_NEAR(t0, static_cast<double>(nivex::GetNowMillisecond()), 2.0);
}

TEST(Stopwatch, RestartedByAnotherThread) {
  Chronum c;
  ASSERT_EQ(nivex::msleep(30), 0);
  std::thread worker([&c] { c.RestGlobalTicks(); });
  worker.join();
  EXPECT_LT(c.GetGlobalTicks(), 20.0);
}

TEST(TimeStamp, AgreesWithTheWallClock) {
  Chronum c;
  const time_t before = time(nullptr);
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, us = -1;
  c.GetTimeStamp(&y, &mo, &d, &h, &mi, &s, &us);
  const time_t after = time(nullptr);
  struct tm t {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = -1;
  const time_t stamp = mktime(&t);
  EXPECT_GE(stamp, before - 1);
  EXPECT_LE(stamp, after + 1);
  EXPECT_GE(us, 0);
  EXPECT_LE(us, 999999);
  EXPECT_GE(mo, 1);
  EXPECT_LE(mo, 12);
  // Null outputs are skipped.
  c.GetTimeStamp(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace

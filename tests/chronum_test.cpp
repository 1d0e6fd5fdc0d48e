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

TEST(TimeText, EveryLayoutPaddedAndPlain) {
  const TimeParts march{2024, 3, 5, 9, 7, 3, 45123};  // 45 ms after 09:07:03
  const TimeParts late{2023, 12, 25, 23, 59, 58, 999999};
  const struct {
    TimeParts parts;
    TimeLayout layout;
    bool pad;
    const char* seps;  // date, date-time and time separators
    const char* want;
  } cases[] = {
      {march, TimeLayout::Day, true, "- :", "2024-03-05"},
      {march, TimeLayout::Day, false, "- :", "2024-3-5"},
      {march, TimeLayout::Hour, true, "- :", "2024-03-05 09"},
      {march, TimeLayout::Hour, false, "- :", "2024-3-5 9"},
      {march, TimeLayout::Minute, true, "- :", "2024-03-05 09:07"},
      {march, TimeLayout::Minute, false, "- :", "2024-3-5 9:7"},
      {march, TimeLayout::Second, true, "- :", "2024-03-05 09:07:03"},
      {march, TimeLayout::Second, false, "- :", "2024-3-5 9:7:3"},
      {march, TimeLayout::Millisecond, true, "- :", "2024-03-05 09:07:03:045"},
      {march, TimeLayout::Millisecond, false, "- :", "2024-3-5 9:7:3:45"},
      {march, TimeLayout::Millisecond, true, "/_.", "2024/03/05_09.07.03.045"},
      {march, TimeLayout::Day, false, "/xy", "2024/3/5"},
      {late, TimeLayout::Millisecond, true, "- :", "2023-12-25 23:59:58:999"},
      {late, TimeLayout::Millisecond, false, "- :", "2023-12-25 23:59:58:999"},
  };
  for (const auto& c : cases) {
    char out[264];
    FormatTime(c.parts, c.layout, c.seps[0], c.seps[1], c.seps[2], c.pad, out, sizeof out);
    EXPECT_STREQ(out, c.want);
  }

  // A small buffer gets a cut, terminated text and nothing past its size.
  char buf[12];
  memset(buf, 0x55, sizeof(buf));
  FormatTime(march, TimeLayout::Millisecond, '-', ' ', ':', true, buf, 8);
  EXPECT_STREQ(buf, "2024-03");
  for (size_t i = 8; i < sizeof(buf); ++i) EXPECT_EQ(buf[i], 0x55) << i;
}

TEST(TimeText, LiveTextsHaveTheirLayout) {
  Chronum c;
  EXPECT_EQ(strlen(c.GetTimeStr_2day('/', true)), 10u);
  EXPECT_EQ(strlen(c.GetTimeStr_2hour('/', '_', true)), 13u);
  EXPECT_EQ(strlen(c.GetTimeStr_2minute('/', '_', '.', true)), 16u);
  EXPECT_EQ(strlen(c.GetTimeStr_2second('/', '_', '.', true)), 19u);
  char* ms = c.GetTimeStr_2ms('/', '_', '.', true);
  EXPECT_EQ(ms, c.text);
  ASSERT_EQ(strlen(ms), 23u);
  EXPECT_EQ(std::string() + ms[4] + ms[10] + ms[19], "/_.");
}

TEST(Stopwatch, CountsMillisecondsAndRestartsFromAnyThread) {
  // Upper bounds are generous: a loaded machine (parallel tests, sanitizers) may stall us.
  Chronum c;
  const double first = c.GetGlobalTicks();
  EXPECT_GE(first, 0.0);
  ASSERT_EQ(nivex::msleep(50), 0);
  const double later = c.GetGlobalTicks();
  EXPECT_GE(later, first + 50.0);
  EXPECT_LT(later, 2000.0);
  ASSERT_EQ(nivex::msleep(20), 0);
  std::thread([&c] { c.RestGlobalTicks(); }).join();
  const double restarted = c.GetGlobalTicks();
  EXPECT_GE(restarted, 0.0);
  EXPECT_LT(restarted, later);  // counted from the restart, not from construction
  EXPECT_NEAR(c.GetTimeTicks(), static_cast<double>(nivex::GetNowMillisecond()), 50.0);
}

TEST(TimeStamp, AgreesWithTheWallClock) {
  Chronum c;
  const time_t before = time(nullptr);
  struct tm t {};
  int us = -1;
  c.GetTimeStamp(&t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec, &us);
  const time_t after = time(nullptr);
  EXPECT_GE(t.tm_mon, 1);
  EXPECT_LE(t.tm_mon, 12);
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  t.tm_isdst = -1;
  const time_t stamp = mktime(&t);
  EXPECT_GE(stamp, before - 1);
  EXPECT_LE(stamp, after + 1);
  EXPECT_GE(us, 0);
  EXPECT_LE(us, 999999);
  c.GetTimeStamp(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);  // skipped
}

}  // namespace

// Monotonic millisecond ticks, the stopwatch and the time-stamp texts.
#include "support/Chronum.h"

#include <sys/time.h>
#include <time.h>

#include <cstdio>

namespace nivex {

int64_t GetNowMillisecond() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

namespace detail {

char* FormatTime(const TimeParts& p, TimeLayout layout, char dateSep, char dateTimeSep,
                 char timeSep, bool pad, char* out, size_t size) {
  if (out == nullptr || size == 0) return out;
  const int ms = p.usec / 1000;
  switch (layout) {
    case TimeLayout::Day:
      snprintf(out, size, pad ? "%04d%c%02d%c%02d" : "%d%c%d%c%d", p.year, dateSep, p.month,
               dateSep, p.day);
      break;
    case TimeLayout::Hour:
      snprintf(out, size, pad ? "%04d%c%02d%c%02d%c%02d" : "%d%c%d%c%d%c%d", p.year, dateSep,
               p.month, dateSep, p.day, dateTimeSep, p.hour);
      break;
    case TimeLayout::Minute:
      snprintf(out, size, pad ? "%04d%c%02d%c%02d%c%02d%c%02d" : "%d%c%d%c%d%c%d%c%d", p.year,
               dateSep, p.month, dateSep, p.day, dateTimeSep, p.hour, timeSep, p.minute);
      break;
    case TimeLayout::Second:
      snprintf(out, size,
               pad ? "%04d%c%02d%c%02d%c%02d%c%02d%c%02d" : "%d%c%d%c%d%c%d%c%d%c%d", p.year,
               dateSep, p.month, dateSep, p.day, dateTimeSep, p.hour, timeSep, p.minute,
               timeSep, p.second);
      break;
    case TimeLayout::Millisecond:
      snprintf(out, size,
               pad ? "%04d%c%02d%c%02d%c%02d%c%02d%c%02d%c%03d"
                   : "%d%c%d%c%d%c%d%c%d%c%d%c%d",
               p.year, dateSep, p.month, dateSep, p.day, dateTimeSep, p.hour, timeSep,
               p.minute, timeSep, p.second, timeSep, ms);
      break;
  }
  return out;
}

TimeParts LocalTimeNow() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  time_t secs = tv.tv_sec;
  struct tm lt {};
  localtime_r(&secs, &lt);
  TimeParts p;
  p.year = lt.tm_year + 1900;
  p.month = lt.tm_mon + 1;
  p.day = lt.tm_mday;
  p.hour = lt.tm_hour;
  p.minute = lt.tm_min;
  p.second = lt.tm_sec;
  p.usec = static_cast<int>(tv.tv_usec);
  return p;
}

}  // namespace detail

Chronum::Chronum() : startMs(GetNowMillisecond()) { text[0] = '\0'; }

void Chronum::RestGlobalTicks() { startMs.store(GetNowMillisecond(), std::memory_order_relaxed); }

double Chronum::GetGlobalTicks() {
  return static_cast<double>(GetNowMillisecond() - startMs.load(std::memory_order_relaxed));
}

double Chronum::GetTimeTicks() { return static_cast<double>(GetNowMillisecond()); }

void Chronum::GetTimeStamp(int* year, int* month, int* day, int* hour, int* minute, int* second,
                           int* usec) {
  const detail::TimeParts p = detail::LocalTimeNow();
  if (year) *year = p.year;
  if (month) *month = p.month;
  if (day) *day = p.day;
  if (hour) *hour = p.hour;
  if (minute) *minute = p.minute;
  if (second) *second = p.second;
  if (usec) *usec = p.usec;
}

char* Chronum::GetTimeStr_2day(char dateSep, bool pad) {
  return detail::FormatTime(detail::LocalTimeNow(), detail::TimeLayout::Day, dateSep, ' ', ' ',
                            pad, text, sizeof(text));
}

char* Chronum::GetTimeStr_2hour(char dateSep, char dateTimeSep, bool pad) {
  return detail::FormatTime(detail::LocalTimeNow(), detail::TimeLayout::Hour, dateSep,
                            dateTimeSep, ' ', pad, text, sizeof(text));
}

char* Chronum::GetTimeStr_2minute(char dateSep, char dateTimeSep, char timeSep, bool pad) {
  return detail::FormatTime(detail::LocalTimeNow(), detail::TimeLayout::Minute, dateSep,
                            dateTimeSep, timeSep, pad, text, sizeof(text));
}

char* Chronum::GetTimeStr_2second(char dateSep, char dateTimeSep, char timeSep, bool pad) {
  return detail::FormatTime(detail::LocalTimeNow(), detail::TimeLayout::Second, dateSep,
                            dateTimeSep, timeSep, pad, text, sizeof(text));
}

char* Chronum::GetTimeStr_2ms(char dateSep, char dateTimeSep, char timeSep, bool pad) {
  return detail::FormatTime(detail::LocalTimeNow(), detail::TimeLayout::Millisecond, dateSep,
                            dateTimeSep, timeSep, pad, text, sizeof(text));
}

}  // namespace nivex

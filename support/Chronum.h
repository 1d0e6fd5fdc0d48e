// Millisecond ticks of the monotonic clock, a restartable stopwatch and wall-clock time-stamp texts.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace nivex {

// Milliseconds of the monotonic clock (seconds x 1000 + nanoseconds / 1,000,000).
int64_t GetNowMillisecond();

namespace detail {

// One broken-down local time: year with 4 digits, month 1-12, day 1-31, hour 0-23,
// minute, second, microseconds of the second (0-999999).
struct TimeParts {
  int year;
  int month;
  int day;
  int hour;
  int minute;
  int second;
  int usec;
};

// How much of a time stamp a text shows.
enum class TimeLayout { Day, Hour, Minute, Second, Millisecond };

// Formats parts into out (size bytes, always NUL-terminated when size > 0) and returns out.
// pad true: year 4 digits, the others 2, milliseconds 3; pad false: plain numbers.
char* FormatTime(const TimeParts& parts, TimeLayout layout, char dateSep, char dateTimeSep,
                 char timeSep, bool pad, char* out, size_t size);

// The local time of the wall clock now (gettimeofday split with localtime_r).
TimeParts LocalTimeNow();

}  // namespace detail

class Chronum {
 public:
  Chronum();
  Chronum(const Chronum&) = delete;
  Chronum& operator=(const Chronum&) = delete;

  // Restarts the stopwatch.
  void RestGlobalTicks();
  // Milliseconds since construction or the last restart.
  double GetGlobalTicks();
  // Absolute monotonic milliseconds.
  double GetTimeTicks();
  // Wall-clock local time now; any output may be null.
  void GetTimeStamp(int* year, int* month, int* day, int* hour, int* minute, int* second,
                    int* usec);

  // The time-stamp texts: each writes a fresh time stamp into text and returns text.
  char* GetTimeStr_2day(char dateSep, bool pad);
  char* GetTimeStr_2hour(char dateSep, char dateTimeSep, bool pad);
  char* GetTimeStr_2minute(char dateSep, char dateTimeSep, char timeSep, bool pad);
  char* GetTimeStr_2second(char dateSep, char dateTimeSep, char timeSep, bool pad);
  char* GetTimeStr_2ms(char dateSep, char dateTimeSep, char timeSep, bool pad);

  char text[264];
  // Restarted by a worker while another thread reads it: atomic, relaxed.
  std::atomic<int64_t> startMs;
};

}  // namespace nivex

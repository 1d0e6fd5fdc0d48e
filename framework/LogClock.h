// The one time source the loggers name their files and folders by: the local time of the
// system clock (localtime_r), or a source a test sets in its place. The ".config" name of a run,
// its data files and their sub-folders all take their time from here.
#pragma once

#include <ctime>
#include <functional>

namespace nivex {

// The broken-down local time now (from the test's source when one is set).
struct tm LogClockNow();

// The local time of the system clock now, whatever source is set: for what must not take a
// reading of the test's source.
struct tm SystemClockNow();

// Replaces the source (tests): every later LogClockNow returns what source returns. A null
// source restores the local time.
void SetLogClock(std::function<struct tm()> source);

}  // namespace nivex

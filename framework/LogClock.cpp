#include "framework/LogClock.h"

#include <mutex>
#include <utility>

namespace nivex {
namespace {

std::mutex gMutex;
std::function<struct tm()> gSource;

}  // namespace

struct tm LogClockNow() {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gSource) return gSource();
  }
  return SystemClockNow();
}

struct tm SystemClockNow() {
  const time_t now = time(nullptr);
  struct tm t = {};
  localtime_r(&now, &t);
  return t;
}

void SetLogClock(std::function<struct tm()> source) {
  std::lock_guard<std::mutex> lock(gMutex);
  gSource = std::move(source);
}

}  // namespace nivex

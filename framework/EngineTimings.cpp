#include "framework/EngineTimings.h"

#include <climits>
#include <cmath>
#include <mutex>

namespace nivex {

namespace {
std::mutex gMutex;
EngineTimings gTimings;
}  // namespace

EngineTimings CurrentTimings() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gTimings;
}

void SetTimings(const EngineTimings& timings) {
  std::lock_guard<std::mutex> lock(gMutex);
  gTimings = timings;
}

int TimeoutUnit(uint64_t ringBytes, int rate, int channels) {
  const float num = static_cast<float>(static_cast<double>(ringBytes) * 2.5);
  const float den = static_cast<float>(static_cast<int64_t>(rate) * channels);
  const double unit = den > 0.0f ? std::trunc(static_cast<double>(num / den)) : 1.0;
  if (!(unit >= 1.0)) return 1;
  return unit >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(unit);
}

}  // namespace nivex

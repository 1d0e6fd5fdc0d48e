#include "framework/EngineTimings.h"

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

}  // namespace nivex

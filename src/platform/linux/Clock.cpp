#include "platform/Clock.h"

#include <ctime>

namespace platform {

uint32_t GetTickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

LocalTime GetLocalTime() {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
}

int64_t GetUnixTime() { return static_cast<int64_t>(time(nullptr)); }

}  // namespace platform

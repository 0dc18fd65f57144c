#pragma once
// Time. Callable from any thread.

#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary fixed point (boot), wrapping at 2^32.
uint32_t GetTickCount();

struct LocalTime {
  int year;    // four digits
  int month;   // 1 to 12
  int day;     // 1 to 31
  int hour;    // 0 to 23
  int minute;
  int second;
};
LocalTime GetLocalTime();

// Whole seconds since 1970-01-01 00:00 UTC.
int64_t GetUnixTime();

}  // namespace platform

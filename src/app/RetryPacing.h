#pragma once
// Pacing for a request that is repeated until it succeeds: a growing pause between attempts, and a
// log that records the first failures and then only one line a minute. Without them an outage of
// the server becomes a flood of requests from every running launcher, and a log growing by
// megabytes a second. Pure; one thread.

#include <cstdint>

// The pause before the next attempt after `failures` failures in a row (1 or more): `firstMs`,
// doubling with each further failure up to `maxMs`, then scaled by a factor between 0.5 and 1
// taken from `unitRandom` (0 to 1), so that launchers that failed together spread out.
uint32_t RetryDelayMs(uint32_t failures, double unitRandom, uint32_t firstMs = 1000, uint32_t maxMs = 60000);

// Lets the first `burst` lines through, then one per `intervalMs`; counts what it held back.
class LogThrottle {
 public:
  explicit LogThrottle(uint32_t burst = 5, uint32_t intervalMs = 60000) : m_burst(burst), m_intervalMs(intervalMs) {}

  // Whether a line may be written at `nowMs` (a tick count). When it may, `*heldBack` is the number
  // of lines held back since the last one written.
  bool Admit(uint32_t nowMs, uint32_t* heldBack);
  // After a success: the next failure is a first one again.
  void Reset() { *this = LogThrottle(m_burst, m_intervalMs); }

 private:
  uint32_t m_burst;
  uint32_t m_intervalMs;
  uint32_t m_written = 0;
  uint32_t m_heldBack = 0;
  uint32_t m_lastWrittenMs = 0;
};

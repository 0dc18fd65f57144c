#include "app/RetryPacing.h"

#include <algorithm>

uint32_t RetryDelayMs(uint32_t failures, double unitRandom, uint32_t firstMs, uint32_t maxMs) {
  uint64_t delay = firstMs;
  for (uint32_t i = 1; i < failures && delay < maxMs; ++i) delay *= 2;
  delay = std::min<uint64_t>(delay, maxMs);
  double factor = 0.5 + 0.5 * std::clamp(unitRandom, 0.0, 1.0);
  return static_cast<uint32_t>(static_cast<double>(delay) * factor);
}

bool LogThrottle::Admit(uint32_t nowMs, uint32_t* heldBack) {
  bool admitted = m_written < m_burst || nowMs - m_lastWrittenMs >= m_intervalMs;
  if (!admitted) {
    ++m_heldBack;
    return false;
  }
  *heldBack = m_heldBack;
  m_heldBack = 0;
  ++m_written;
  m_lastWrittenMs = nowMs;
  return true;
}

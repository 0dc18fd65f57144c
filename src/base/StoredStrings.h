#pragma once
// The three strings the movie stores by index (SETCONFIG). Index 0 is the game window's title,
// which the hall's thread reads, so every access takes the lock. Any thread.

#include <mutex>
#include <string>

class StoredStrings {
 public:
  static constexpr int kCount = 3;

  // False, storing nothing, for an index outside 0..kCount-1.
  bool Set(int index, std::string value) {
    if (index < 0 || index >= kCount) return false;
    std::lock_guard<std::mutex> hold(m_lock);
    m_values[index] = std::move(value);
    return true;
  }
  // Empty for an index outside 0..kCount-1.
  std::string Get(int index) const {
    if (index < 0 || index >= kCount) return {};
    std::lock_guard<std::mutex> hold(m_lock);
    return m_values[index];
  }

 private:
  mutable std::mutex m_lock;
  std::string m_values[kCount];
};

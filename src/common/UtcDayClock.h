#pragma once

#include <cstdint>
#include <functional>

// The time as the watchdog and the volume probes keep it: seconds of the
// current UTC day (hour * 3600 + minute * 60 + second of the system time).
// Tests put a clock of their own in place. Thread-safe.
class UtcDayClock {
 public:
  using Source = std::function<uint32_t()>;
  static constexpr uint32_t kSecondsPerDay = 86400;

  static uint32_t now();
  // Replaces where the time comes from (null: the system time); returns the previous source.
  static Source swapSource(Source source);
  // The seconds between two times of day, the shorter way round the clock: a
  // span across midnight (23:59:50 to 00:00:20) is 30 s, not nearly a day,
  // and so is a clock set back by 30 s.
  static uint32_t distance(uint32_t first, uint32_t second);
};

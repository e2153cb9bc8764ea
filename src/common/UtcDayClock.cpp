#include "common/UtcDayClock.h"

#include <algorithm>
#include <chrono>
#include <mutex>

namespace {

std::mutex& sourceMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

UtcDayClock::Source& currentSource() {
  static auto* source = new UtcDayClock::Source;
  return *source;
}

uint32_t systemSecondsOfDay() {
  const auto sinceEpoch =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
  // The epoch begins a UTC day and the system clock counts no leap seconds.
  const int64_t seconds = sinceEpoch.count() % UtcDayClock::kSecondsPerDay;
  return static_cast<uint32_t>(seconds < 0 ? seconds + UtcDayClock::kSecondsPerDay : seconds);
}

}  // namespace

uint32_t UtcDayClock::now() {
  Source source;
  {
    std::lock_guard<std::mutex> guard(sourceMutex());
    source = currentSource();
  }
  return source ? source() : systemSecondsOfDay();
}

UtcDayClock::Source UtcDayClock::swapSource(Source source) {
  std::lock_guard<std::mutex> guard(sourceMutex());
  std::swap(currentSource(), source);
  return source;
}

uint32_t UtcDayClock::distance(uint32_t first, uint32_t second) {
  const uint32_t forward = (second % kSecondsPerDay + kSecondsPerDay - first % kSecondsPerDay) % kSecondsPerDay;
  return std::min(forward, (kSecondsPerDay - forward) % kSecondsPerDay);
}

#pragma once

// What the benchmarks share: timing, CPU time, medians, ratio lines and a
// test image of random bytes.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "sys/posix/UniqueFd.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The CPU time process `pid` (0: this one) has used, all its threads, in seconds; 0 when unknown.
inline double cpuSeconds(pid_t pid) {
  clockid_t clock;
  timespec used{};
  if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &used) != 0) return 0;
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// One line: the median rate of `measured` against that of `baseline`, and
// the median and spread of the rounds' ratios, with the target's verdict.
inline void compare(const char* what, const char* unit, const char* name, const std::vector<double>& measured,
                    const char* baselineName, const std::vector<double>& baseline, double target) {
  std::vector<double> ratios;
  for (size_t i = 0; i < measured.size(); ++i) ratios.push_back(measured[i] / baseline[i]);
  const double ratio = median(ratios);
  std::printf("%-16s %-6s %8.0f %-4s against %-16s %8.0f %-4s ratio %.3f (rounds %.3f to %.3f)", what, name,
              median(measured), unit, baselineName, median(baseline), unit, ratio,
              *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()));
  if (target > 0) std::printf(" target %.2f: %s", target, ratio >= target ? "met" : "NOT met");
  std::printf("\n");
}

// Writes `size` bytes of random data (the same for every run) to `path`.
inline bool makeImage(const std::string& path, uint64_t size) {
  sys::posix::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  std::vector<uint64_t> block(128 * 1024);
  std::mt19937_64 random(42);
  const auto blockBytes = static_cast<ssize_t>(block.size() * sizeof(uint64_t));
  for (uint64_t done = 0; fd.valid() && done < size; done += static_cast<uint64_t>(blockBytes)) {
    for (auto& word : block) word = random();
    if (write(fd.get(), block.data(), static_cast<size_t>(blockBytes)) != blockBytes) return false;
  }
  return fd.valid();
}

}  // namespace bench

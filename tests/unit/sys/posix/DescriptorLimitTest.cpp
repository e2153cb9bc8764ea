#include <sys/resource.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "sys/posix/DescriptorLimit.h"

namespace {

constexpr rlim_t kLowered = 64;

// Lowers the soft limit, raises it again and tells where it ended.
std::string raisedFromLowered() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return "getrlimit failed";
  const rlim_t hard = limit.rlim_max;
  limit.rlim_cur = kLowered;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return "setrlimit failed";
  sys::posix::raiseDescriptorLimit();
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return "getrlimit failed";
  return limit.rlim_cur == hard ? "soft=hard" : "soft=" + std::to_string(limit.rlim_cur);
}

}  // namespace

TEST(DescriptorLimit, SoftLimitIsRaisedToTheHardLimit) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max <= kLowered) GTEST_SKIP() << "the hard limit is too low to lower the soft one under it";
  EXPECT_EXIT(
      {
        std::cerr << raisedFromLowered();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "^soft=hard$");
}

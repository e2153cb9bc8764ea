#include "sys/posix/SpinPolicy.h"

#include <gtest/gtest.h>

#include <string>

using sys::posix::SpinPolicy;

namespace {

// Which of `waits` waits begin awake ('S'), when every spin ends as `won` says.
std::string spinsOver(SpinPolicy& policy, unsigned waits, bool won) {
  std::string spins;
  for (unsigned i = 0; i < waits; ++i) {
    const bool spinning = policy.spinNext();
    spins += spinning ? 'S' : '.';
    if (spinning) policy.spun(won);
  }
  return spins;
}

// `count` waits of which only the last spins.
std::string onlyLast(unsigned count) { return std::string(count - 1, '.') + "S"; }

}  // namespace

TEST(SpinPolicyTest, SpinsWhileSpinsWinAndBacksOffWhileTheyLose) {
  SpinPolicy policy(std::chrono::microseconds(100));
  EXPECT_EQ(spinsOver(policy, 3, true), "SSS") << "it begins awake and stays awake while spins win";
  EXPECT_EQ(spinsOver(policy, 1 + 4 + 16 + 64, false), "S" + onlyLast(4) + onlyLast(16) + onlyLast(64))
      << "each lost spin makes the next four times as far";
  EXPECT_EQ(spinsOver(policy, 256 + 128 + 64, true), onlyLast(256) + onlyLast(128) + onlyLast(64))
      << "each won spin brings the next twice as near";
}

TEST(SpinPolicyTest, WhileSpinsLoseOnlyEveryLongestIntervalSpins) {
  SpinPolicy policy(std::chrono::microseconds(50));
  // Lost spins after 1, 4, 16, 64, 256 and 1024 waits: the interval has reached its longest.
  ASSERT_EQ(spinsOver(policy, 1 + 4 + 16 + 64 + 256 + 1024, false).back(), 'S');
  EXPECT_EQ(spinsOver(policy, 2 * SpinPolicy::kLongestInterval, false),
            onlyLast(SpinPolicy::kLongestInterval) + onlyLast(SpinPolicy::kLongestInterval));
}

#include "sys/posix/SpinPolicy.h"

#include <gtest/gtest.h>

#include <string>

using sys::posix::SpinPolicy;

namespace {

// Which of `waits` waits begin awake, when every wait that begins awake ends as `won` says.
std::string spinsOver(SpinPolicy& policy, unsigned waits, bool won) {
  std::string spins;
  for (unsigned i = 0; i < waits; ++i) {
    const bool spinning = policy.spinNext();
    spins += spinning ? 'S' : '.';
    if (spinning) policy.spun(won);
  }
  return spins;
}

}  // namespace

TEST(SpinPolicyTest, SpinsWhileSpinsWinAndProbesWhileTheyLose) {
  SpinPolicy policy(std::chrono::microseconds(100));
  EXPECT_EQ(spinsOver(policy, 3, true), "SSS") << "it begins awake and stays awake while the event comes";
  const std::string probing = spinsOver(policy, 1 + 2 * SpinPolicy::kProbeEvery, false);
  EXPECT_EQ(probing, "S" + std::string(SpinPolicy::kProbeEvery - 1, '.') + "S" +
                         std::string(SpinPolicy::kProbeEvery - 1, '.') + "S")
      << "after a lost spin, only every " << SpinPolicy::kProbeEvery << "th wait spins";
  EXPECT_EQ(spinsOver(policy, SpinPolicy::kProbeEvery, true), std::string(SpinPolicy::kProbeEvery - 1, '.') + "S");
  EXPECT_EQ(spinsOver(policy, 2, true), "SS") << "a probe that wins makes every wait spin again";
}

#include "common/UtcDayClock.h"

#include <gtest/gtest.h>

TEST(UtcDayClock, DistanceIsTheShorterWayRoundTheClock) {
  struct Case {
    uint32_t first;
    uint32_t second;
    uint32_t distance;
  };
  const Case cases[] = {
      {100, 300, 200},  {100, 301, 201},     {5, 5, 0},
      {86390, 20, 30},  // across midnight
      {20, 86390, 30},  // the clock set back across midnight
      {100, 50, 50},    // the clock set back
      {0, 43200, 43200}, {0, 43201, 43199},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UtcDayClock::distance(c.first, c.second), c.distance) << c.first << " to " << c.second;
  }
}

TEST(UtcDayClock, TellsTheSourcesTimeAndFallsBackToTheSystemsDay) {
  UtcDayClock::Source previous = UtcDayClock::swapSource([] { return 4242u; });
  EXPECT_EQ(UtcDayClock::now(), 4242u);
  UtcDayClock::swapSource(nullptr);
  EXPECT_LT(UtcDayClock::now(), UtcDayClock::kSecondsPerDay);
  UtcDayClock::swapSource(std::move(previous));
}

#include "ProgressDisplay.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>

namespace {

TEST(ProgressDisplay, ShowsNothingWithoutReports) {
  for (bool terminal : {true, false}) {
    std::ostringstream out;
    ProgressDisplay display(out, terminal);
    display.finish();
    EXPECT_EQ(out.str(), "");
  }
}

// Away from a terminal: a line when the part starts, one for each tenth it
// passes (once, however many reports fall in it), and one at its end.
TEST(ProgressDisplay, PlainLinesAtStartEachTenthAndEnd) {
  std::ostringstream out;
  ProgressDisplay display(out, false);
  for (double done : {0.0, 30.0, 99.0, 100.0, 150.0, 420.0, 999.0, 1000.0}) display.update(1, 1000, done);
  display.update(2, 50, 50);
  display.finish();
  EXPECT_EQ(out.str(),
            "Indexing the image, part 1: 0%\n"
            "Indexing the image, part 1: 10%\n"
            "Indexing the image, part 1: 40%\n"
            "Indexing the image, part 1: 90%\n"
            "Indexing the image, part 1: 100%\n"
            "Indexing the image, part 2: 100%\n");
}

// On a terminal one line is redrawn, only when what it shows changes, and
// ended when the display finishes.
TEST(ProgressDisplay, TerminalRedrawsOneLineWithBar) {
  std::ostringstream out;
  ProgressDisplay display(out, true);
  display.update(1, 200, 0);
  display.update(1, 200, 1);  // still 0%
  display.update(1, 200, 100);
  display.update(3, 200, 200);
  display.finish();
  const std::string empty(ProgressDisplay::kBarWidth, '-');
  const std::string half =
      std::string(ProgressDisplay::kBarWidth / 2, '#') + empty.substr(ProgressDisplay::kBarWidth / 2);
  const std::string full(ProgressDisplay::kBarWidth, '#');
  EXPECT_EQ(out.str(), "\rIndexing the image, part 1 [" + empty + "]   0%\x1b[K" + "\rIndexing the image, part 1 [" +
                           half + "]  50%\x1b[K" + "\rIndexing the image, part 3 [" + full + "] 100%\x1b[K\n");
}

TEST(ProgressDisplay, PercentOfOddReports) {
  const double nan = std::nan("");
  const double huge = 18446744073709551615.0;  // 2^64 - 1 sectors, as the service sends it
  const struct {
    double total;
    double processed;
    int percent;
  } cases[] = {
      {0, 0, 0},     {0, 10, 0},           {-5, 1, 0},        {nan, 1, 0},
      {10, nan, 0},  {10, -1, 0},          {3, 1, 33},        {3, 2, 66},
      {10, 20, 100}, {huge, huge / 2, 50}, {huge, huge, 100}, {std::numeric_limits<double>::infinity(), 1, 0},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(ProgressDisplay::percentOf(test.total, test.processed), test.percent)
        << test.total << " " << test.processed;
  }
}

}  // namespace

#pragma once

#include <cstdint>
#include <ostream>

// Shows how far the image provider has indexed the image, from its progress
// reports. On a terminal one line is redrawn with a bar, the percentage and
// the part number; elsewhere a plain line is written when a part starts,
// each time it passes a tenth, and when it ends. Nothing is shown until a
// report comes. Not thread-safe.
class ProgressDisplay {
 public:
  static constexpr int kBarWidth = 30;

  ProgressDisplay(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}

  void update(int32_t part, double totalSectors, double sectorsProcessed);
  // Ends the display: a redrawn line is closed, so that what follows starts
  // on a line of its own.
  void finish();

  // The whole percent of `processed` in `total`, 0 to 100; 0 for a total
  // that is not a positive number.
  static int percentOf(double total, double processed);

 private:
  void draw(int32_t part, int percent);
  void writeLine(int32_t part, int percent);

  std::ostream& out_;
  const bool terminal_;
  bool started_ = false;
  bool lineOpen_ = false;
  int32_t part_ = 0;
  int shownPercent_ = 0;  // terminal: drawn; plain: the last tenth written
};

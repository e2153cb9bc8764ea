#include "ProgressDisplay.h"

#include <cmath>
#include <string>

namespace {

std::string partLabel(int32_t part) { return "Indexing the image, part " + std::to_string(part); }

}  // namespace

int ProgressDisplay::percentOf(double total, double processed) {
  if (!(total > 0) || !(processed > 0)) return 0;
  if (processed >= total) return 100;
  return static_cast<int>(std::floor(processed / total * 100));
}

void ProgressDisplay::update(int32_t part, double totalSectors, double sectorsProcessed) {
  const int percent = percentOf(totalSectors, sectorsProcessed);
  const bool newPart = !started_ || part != part_;
  started_ = true;
  if (terminal_) {
    if (newPart || percent != shownPercent_) draw(part, percent);
  } else if (newPart) {
    writeLine(part, percent);
  } else if (percent / 10 > shownPercent_ / 10) {
    writeLine(part, percent / 10 * 10);
  }
  part_ = part;
}

void ProgressDisplay::draw(int32_t part, int percent) {
  const int filled = percent * kBarWidth / 100;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kBarWidth - filled), '-');
  std::string number = std::to_string(percent);
  number.insert(0, 3 - number.size(), ' ');
  // Clears what a longer line drawn before left at its end.
  out_ << '\r' << partLabel(part) << " [" << bar << "] " << number << "%\x1b[K" << std::flush;
  lineOpen_ = true;
  shownPercent_ = percent;
}

void ProgressDisplay::writeLine(int32_t part, int percent) {
  out_ << partLabel(part) << ": " << percent << "%\n" << std::flush;
  shownPercent_ = percent;
}

void ProgressDisplay::finish() {
  if (lineOpen_) out_ << '\n' << std::flush;
  lineOpen_ = false;
}

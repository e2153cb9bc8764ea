#pragma once

#include <string>
#include <string_view>
#include <vector>

// The names of the directories a disk's volumes are mounted in, one per
// volume. A volume is named by its label where the label can name one
// directory on its own, no other volume of the disk has the same label, and
// it is not the fallback name of another of the disk's volumes; otherwise by
// its fallback name, "volume" and its partition number ("volume2"). So the
// names of one disk's volumes differ from each other.
class VolumeNames {
 public:
  struct Volume {
    int partition;
    std::string label;  // empty when it has none
  };

  // The name of each of `volumes` (partitions of one disk), in their order.
  static std::vector<std::string> of(const std::vector<Volume>& volumes);
  static std::string fallback(int partition) { return "volume" + std::to_string(partition); }
  // Whether `label` can name a directory on its own: not empty, at most
  // NAME_MAX bytes of valid UTF-8 without '/' or control characters, and
  // neither "." nor "..".
  static bool isSafe(std::string_view label);
};

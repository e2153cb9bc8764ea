#include "VolumeNames.h"

#include <limits.h>

#include <algorithm>

#include "common/WideString.h"

namespace {

// C0 and C1 controls and DEL.
bool isControl(char16_t unit) { return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F); }

}  // namespace

std::vector<std::string> VolumeNames::of(const std::vector<Volume>& volumes) {
  std::vector<std::string> names;
  for (const Volume& volume : volumes) {
    const auto sameLabel = [&volume](const Volume& other) { return other.label == volume.label; };
    const auto fallbackOfAnother = [&volume](const Volume& other) {
      return other.partition != volume.partition && fallback(other.partition) == volume.label;
    };
    const bool byLabel = isSafe(volume.label) && std::count_if(volumes.begin(), volumes.end(), sameLabel) == 1 &&
                         std::none_of(volumes.begin(), volumes.end(), fallbackOfAnother);
    names.push_back(byLabel ? volume.label : fallback(volume.partition));
  }
  return names;
}

bool VolumeNames::isSafe(std::string_view label) {
  if (label.empty() || label.size() > NAME_MAX || label == "." || label == "..") return false;
  const std::u16string units = wide::fromUtf8(label);
  // Bytes that are not UTF-8 come back changed.
  if (wide::toUtf8(units) != label) return false;
  return std::none_of(units.begin(), units.end(), [](char16_t unit) { return unit == u'/' || isControl(unit); });
}

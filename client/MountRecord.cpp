#include "MountRecord.h"

#include <algorithm>

#include "common/WideString.h"

namespace {

std::u16string unitsOf(const std::vector<uint8_t>& data) {
  std::u16string units;
  for (size_t i = 0; i + 1 < data.size(); i += 2) units += static_cast<char16_t>(data[i] | data[i + 1] << 8);
  return units;
}

}  // namespace

std::vector<std::string> MountRecord::describe() const {
  std::vector<std::string> lines{"device: " + deviceName};
  if (mountPoints.empty()) lines.emplace_back("mount point: none (the volume is not mounted anywhere)");
  for (const std::string& mountPoint : mountPoints) lines.push_back("mount point: " + mountPoint);
  return lines;
}

std::string MountRecord::decodeString(const std::vector<uint8_t>& data) {
  return wide::toUtf8(wide::untilZero(unitsOf(data)));
}

std::vector<std::string> MountRecord::decodeStrings(const std::vector<uint8_t>& data) {
  const std::u16string units = unitsOf(data);
  std::vector<std::string> strings;
  size_t begin = 0;
  while (begin < units.size()) {
    const size_t end = std::min(units.find(u'\0', begin), units.size());
    if (end == begin) break;
    strings.push_back(wide::toUtf8(std::u16string_view(units).substr(begin, end - begin)));
    begin = end + 1;
  }
  return strings;
}

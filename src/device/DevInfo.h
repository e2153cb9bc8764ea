#pragma once

#include <cstdint>
#include <string>

// The driver's report of its active disk.
struct DevInfo {
  std::u16string connection_tag;
  std::u16string image_path;
  uint64_t volume_size = 0;
  uint32_t sector_size = 0;
};

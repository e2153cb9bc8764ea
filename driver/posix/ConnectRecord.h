#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "device/DriverRecords.h"

// The record of a connect or disconnect request, 1143 bytes packed and
// little-endian: sub-command, connection_tag (51 UTF-16 units),
// image_path (512 units), volume_size, sector_size, mount_flag. Strings end
// at their first zero unit or at the end of their field.
struct ConnectRecord {
  static constexpr size_t kSize = driver_records::kConnectRecordSize;
  static constexpr size_t kTagUnits = driver_records::kTagUnits;
  static constexpr size_t kPathUnits = driver_records::kPathUnits;

  std::u16string connectionTag;
  std::u16string imagePath;
  uint64_t volumeSize = 0;
  uint32_t sectorSize = 0;
  uint8_t mountFlag = 0;  // the service's flag, logged; volumes are mounted whatever it says

  // The record in `bytes`; none unless they are exactly kSize bytes.
  static std::optional<ConnectRecord> parse(std::span<const uint8_t> bytes);

  // Whether the tag ends inside its field, as every tag must.
  bool tagTerminated() const { return connectionTag.size() < kTagUnits; }

  // Writes the tag, the path and the two sizes where a record starting at
  // `record` holds them; the sub-command and mount_flag are left as they are.
  void writeFields(uint8_t* record) const;
};

#include "ConnectRecord.h"

#include "device/DriverRecords.h"

#include <algorithm>

#include "common/LittleEndian.h"

namespace {

constexpr size_t kTagOffset = driver_records::kRecordTag;
constexpr size_t kPathOffset = driver_records::kRecordPath;
constexpr size_t kVolumeSizeOffset = driver_records::kRecordVolumeSize;
constexpr size_t kSectorSizeOffset = driver_records::kRecordSectorSize;
constexpr size_t kMountFlagOffset = driver_records::kRecordMountFlag;

void writeText(uint8_t* at, size_t units, const std::u16string& text) {
  for (size_t i = 0; i < std::min(units, text.size()); ++i) writeLittleEndian(at + 2 * i, 2, text[i]);
}

}  // namespace

std::optional<ConnectRecord> ConnectRecord::parse(std::span<const uint8_t> bytes) {
  if (bytes.size() != kSize) return std::nullopt;
  ConnectRecord record;
  record.connectionTag = readUtf16LittleEndian(bytes.data() + kTagOffset, kTagUnits);
  record.imagePath = readUtf16LittleEndian(bytes.data() + kPathOffset, kPathUnits);
  record.volumeSize = readLittleEndian(bytes.data() + kVolumeSizeOffset, 8);
  record.sectorSize = static_cast<uint32_t>(readLittleEndian(bytes.data() + kSectorSizeOffset, 4));
  record.mountFlag = bytes[kMountFlagOffset];
  return record;
}

void ConnectRecord::writeFields(uint8_t* record) const {
  writeText(record + kTagOffset, kTagUnits, connectionTag);
  writeText(record + kPathOffset, kPathUnits, imagePath);
  writeLittleEndian(record + kVolumeSizeOffset, 8, volumeSize);
  writeLittleEndian(record + kSectorSizeOffset, 4, sectorSize);
}

#include "device/DriverRecords.h"

#include "common/LittleEndian.h"

namespace driver_records {
namespace {

void put(std::vector<uint8_t>& record, size_t at, uint64_t value, size_t size) {
  writeLittleEndian(record.data() + at, size, value);
}

uint64_t get(const uint8_t* bytes, size_t at, size_t size) { return readLittleEndian(bytes + at, size); }

void putText(std::vector<uint8_t>& record, size_t at, std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) put(record, at + 2 * i, text[i], 2);
}

std::u16string getText(const uint8_t* bytes, size_t at, size_t units) {
  return readUtf16LittleEndian(bytes + at, units);
}

}  // namespace

std::vector<uint8_t> makeConnectRecord(uint32_t subCommand, std::u16string_view tag, std::u16string_view path,
                                       uint64_t volumeSize, uint32_t sectorSize, bool mountFlag) {
  std::vector<uint8_t> record(kConnectRecordSize, 0);
  put(record, 0, subCommand, 4);
  putText(record, kRecordTag, tag.substr(0, kMaxTagLength));
  putText(record, kRecordPath, path.substr(0, kMaxPathLength));
  put(record, kRecordVolumeSize, volumeSize, 8);
  put(record, kRecordSectorSize, sectorSize, 4);
  record[kRecordMountFlag] = mountFlag ? 1 : 0;
  return record;
}

uint32_t replyCount(const uint8_t* reply) { return static_cast<uint32_t>(get(reply, 0, 4)); }

DevInfo replyFirstDevice(const uint8_t* reply) {
  DevInfo info;
  info.connection_tag = getText(reply, kReplyEntry + kRecordTag, kTagUnits);
  info.image_path = getText(reply, kReplyEntry + kRecordPath, kPathUnits);
  info.volume_size = get(reply, kReplyEntry + kRecordVolumeSize, 8);
  info.sector_size = static_cast<uint32_t>(get(reply, kReplyEntry + kRecordSectorSize, 4));
  return info;
}

}  // namespace driver_records

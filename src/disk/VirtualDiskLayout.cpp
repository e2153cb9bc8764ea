#include "disk/VirtualDiskLayout.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "common/Crc32.h"
#include "common/LittleEndian.h"
#include "service/DebugLog.h"

namespace {

constexpr uint32_t kMinBlockSize = 512;
constexpr uint32_t kMaxBlockSize = VirtualDiskLayout::kEntryArraySize;

// GPT header fields (byte offsets).
constexpr size_t kHeaderCrc = 16;
constexpr size_t kMyLba = 24;
constexpr size_t kAlternateLba = 32;
constexpr size_t kFirstUsableLba = 40;
constexpr size_t kLastUsableLba = 48;
constexpr size_t kDiskGuid = 56;
constexpr size_t kEntryLba = 72;
constexpr size_t kEntryArrayCrc = 88;

// Partition entry fields.
constexpr size_t kTypeGuid = 0;
constexpr size_t kUniqueGuid = 16;
constexpr size_t kStartingLba = 32;
constexpr size_t kEndingLba = 40;
constexpr size_t kPartitionName = 56;

void put16(uint8_t* at, uint16_t value) {
  for (int i = 0; i < 2; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
void put32(uint8_t* at, uint32_t value) { writeLittleEndian(at, 4, value); }
void put64(uint8_t* at, uint64_t value) { writeLittleEndian(at, 8, value); }
uint64_t get64(const uint8_t* at) { return readLittleEndian(at, 8); }

void sealHeader(uint8_t* header) {
  put32(header + kHeaderCrc, 0);
  put32(header + kHeaderCrc, computeCrc32(0, header, VirtualDiskLayout::kHeaderSize));
}

// The bytes of [offset, offset + count), from offset on, that lie in the area
// at disk bytes [areaStart, areaStart + areaSize): 0 unless offset is inside it.
uint32_t overlap(uint64_t areaStart, uint64_t areaSize, uint64_t offset, uint32_t count) {
  if (offset < areaStart || offset - areaStart >= areaSize) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(count, areaSize - (offset - areaStart)));
}

}  // namespace

VirtualDiskLayout::VirtualDiskLayout() : primaryArea_(1), secondaryArea_(1) {
  primaryArea_.zero();
  secondaryArea_.zero();
}

bool VirtualDiskLayout::canRepresent(uint32_t blockSize, uint64_t imageSize) {
  const bool powerOfTwo = (blockSize & (blockSize - 1)) == 0;
  if (!powerOfTwo || blockSize < kMinBlockSize || blockSize > kMaxBlockSize) return false;
  if (imageSize < blockSize || imageSize % blockSize != 0) return false;
  const uint64_t added = uint64_t{2 * (kEntryArraySize / blockSize + 2) - 1} * blockSize;
  // Room for the areas and for any 32-bit request count beyond the disk's end.
  return imageSize <= std::numeric_limits<uint64_t>::max() - added - std::numeric_limits<uint32_t>::max();
}

bool VirtualDiskLayout::init(uint32_t blockSize, uint64_t imageSize) {
  if (!canRepresent(blockSize, imageSize)) return false;
  blockSize_ = blockSize;
  imageSectors_ = imageSize / blockSize;
  // The entry array's sectors (exact for every block size that divides it)
  // plus the MBR and the header.
  gptPrimarySectorsCount_ = (kEntryArraySize + blockSize - 1) / blockSize + 2;
  debugLog(u"VirtualDiskLayout::init gptPrimarySectorsCount=%u\n", gptPrimarySectorsCount_);
  gptSecondarySectorsCount_ = gptPrimarySectorsCount_ - 1;
  primaryArea_.resize(gptPrimarySectorsCount_ * blockSize);
  primaryArea_.zero();
  secondaryArea_.resize(gptSecondarySectorsCount_ * blockSize);
  secondaryArea_.zero();
  secondaryStart_ = primaryAreaSize() + imageSize;
  initProtectiveMbr();
  initGPT();
  debugLog(u"VirtualDiskLayout::init OK\n");
  return true;
}

void VirtualDiskLayout::initProtectiveMbr() {
  uint8_t* mbr = primaryArea_.data();
  put32(mbr + 440, MBR_DISK_SIGNATURE);
  uint8_t* record = mbr + 446;
  record[0] = 0x00;                                      // not bootable
  record[1] = 0x00, record[2] = 0x02, record[3] = 0x00;  // starting CHS
  record[4] = 0xEE;                                      // GPT protective
  record[5] = 0xFF, record[6] = 0xFF, record[7] = 0xFF;  // ending CHS
  put32(record + 8, 1);
  put32(record + 12, 0xFFFFFFFF);
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
}

void VirtualDiskLayout::initGPT() {
  debugLog(u"VirtualDiskLayout::initGPT primary GPT\n");
  const uint64_t lastLba = gptPrimarySectorsCount_ + imageSectors_ + gptSecondarySectorsCount_ - 1;
  uint8_t* header = primaryArea_.data() + blockSize_;
  std::memcpy(header, "EFI PART", 8);
  put32(header + 8, 0x00010000);
  put32(header + 12, kHeaderSize);
  put64(header + kMyLba, 1);
  put64(header + kAlternateLba, lastLba);
  put64(header + kFirstUsableLba, gptPrimarySectorsCount_);
  put64(header + kLastUsableLba, gptPrimarySectorsCount_ + imageSectors_ - 1);
  VIRTUAL_DISK_GUID.toBytes(header + kDiskGuid);
  put64(header + kEntryLba, 2);
  put32(header + 80, kEntryCount);
  put32(header + 84, kEntrySize);
  initPartitionTable(header);
  sealHeader(header);

  debugLog(u"VirtualDiskLayout::initGPT secondary GPT\n");
  // The secondary area ends with one whole sector after the array copy, so the
  // backup header is the disk's last sector.
  uint8_t* backup = secondaryArea_.data() + kEntryArraySize;
  std::memcpy(backup, header, kHeaderSize);
  put64(backup + kMyLba, lastLba);
  put64(backup + kAlternateLba, 1);
  put64(backup + kEntryLba, lastLba - (gptSecondarySectorsCount_ - 1));
  sealHeader(backup);
}

void VirtualDiskLayout::initPartitionTable(uint8_t* header) {
  debugLog(u"VirtualDiskLayout::initPartitionTable primary partition\n");
  uint8_t* entries = primaryArea_.data() + 2 * blockSize_;
  BASIC_DATA_PARTITION_GUID.toBytes(entries + kTypeGuid);
  VIRTUAL_PARTITION_GUID.toBytes(entries + kUniqueGuid);
  put64(entries + kStartingLba, get64(header + kFirstUsableLba));
  put64(entries + kEndingLba, get64(header + kLastUsableLba));
  const std::u16string_view name = u"VKB PARTITION";
  for (size_t i = 0; i < name.size(); ++i) put16(entries + kPartitionName + 2 * i, name[i]);
  put32(header + kEntryArrayCrc, computeCrc32(0, entries, kEntryArraySize));

  debugLog(u"VirtualDiskLayout::initPartitionTable secondary partition table, it is the same so copy it\n");
  std::memcpy(secondaryArea_.data(), entries, kEntryArraySize);
}

uint32_t VirtualDiskLayout::readPrimary(void* destination, uint64_t offset, uint32_t count) const {
  const uint32_t n = destination ? overlap(0, primaryAreaSize(), offset, count) : 0;
  if (n > 0) std::memcpy(destination, primaryArea_.data() + offset, n);
  return n;
}

uint32_t VirtualDiskLayout::writePrimary(const void* source, uint64_t offset, uint32_t count) {
  const uint32_t n = source ? overlap(0, primaryAreaSize(), offset, count) : 0;
  if (n > 0) std::memcpy(primaryArea_.data() + offset, source, n);
  return n;
}

uint32_t VirtualDiskLayout::readSecondary(void* destination, uint64_t offset, uint32_t count) const {
  const uint32_t n = destination ? overlap(secondaryStart_, secondaryAreaSize(), offset, count) : 0;
  if (n > 0) std::memcpy(destination, secondaryArea_.data() + (offset - secondaryStart_), n);
  return n;
}

uint32_t VirtualDiskLayout::writeSecondary(const void* source, uint64_t offset, uint32_t count) {
  const uint32_t n = source ? overlap(secondaryStart_, secondaryAreaSize(), offset, count) : 0;
  if (n > 0) std::memcpy(secondaryArea_.data() + (offset - secondaryStart_), source, n);
  return n;
}

uint32_t VirtualDiskLayout::imageSpan(uint64_t offset, uint32_t count) const {
  if (offset < primaryAreaSize() || offset >= secondaryStart_) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(count, secondaryStart_ - offset));
}

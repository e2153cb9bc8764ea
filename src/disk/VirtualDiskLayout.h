#pragma once

#include <cstdint>

#include "common/ByteBuffer.h"
#include "common/Guid.h"

// The whole disk built around one volume's image data: in front of it a
// protective MBR, the primary GPT header and the partition entry array; behind
// it a copy of the array and the backup GPT header; one GPT partition covering
// the image data byte for byte. Both areas live in memory only. The layout
// also maps a disk byte range onto its three regions (primary area, image
// data, secondary area). Not thread-safe: the image lock guards it.
class VirtualDiskLayout {
 public:
  static constexpr uint32_t MBR_DISK_SIGNATURE = 0xFFA4B8C3;
  static constexpr Guid VIRTUAL_DISK_GUID{0xB507877D, 0x0C17, 0x4E93, {0x8B, 0x08, 0x0A, 0x19, 0x58, 0x7A, 0x72, 0xDD}};
  static constexpr Guid VIRTUAL_PARTITION_GUID{
      0x90880754, 0xEB48, 0x4430, {0xA0, 0x00, 0x25, 0x91, 0x79, 0x3D, 0x85, 0x5C}};
  static constexpr Guid BASIC_DATA_PARTITION_GUID{
      0xEBD0A0A2, 0xB9E5, 0x4433, {0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7}};
  static constexpr uint32_t kEntryCount = 128;
  static constexpr uint32_t kEntrySize = 128;
  static constexpr uint32_t kEntryArraySize = kEntryCount * kEntrySize;
  static constexpr uint32_t kHeaderSize = 92;

  VirtualDiskLayout();

  // Whether a disk with sectors of `blockSize` bytes around `imageSize` bytes
  // of data can be laid out so that its GPT sector numbers and byte map agree:
  // a power of two from 512 to 16384, a whole number of sectors (at least
  // one), and a disk size that stays far from 64-bit overflow.
  static bool canRepresent(uint32_t blockSize, uint64_t imageSize);

  // Builds both areas for an image of `imageSize` bytes; earlier contents and
  // writes are discarded. False, with the layout unchanged, for a disk that
  // canRepresent refuses.
  bool init(uint32_t blockSize, uint64_t imageSize);

  uint64_t primaryAreaSize() const { return uint64_t{gptPrimarySectorsCount_} * blockSize_; }
  uint64_t secondaryAreaSize() const { return uint64_t{gptSecondarySectorsCount_} * blockSize_; }
  uint64_t addedSize() const { return primaryAreaSize() + secondaryAreaSize(); }

  // Copy between the caller's buffer and an area for the part of
  // [offset, offset + count) that begins inside that area; return the bytes copied.
  uint32_t readPrimary(void* destination, uint64_t offset, uint32_t count) const;
  uint32_t writePrimary(const void* source, uint64_t offset, uint32_t count);
  uint32_t readSecondary(void* destination, uint64_t offset, uint32_t count) const;
  uint32_t writeSecondary(const void* source, uint64_t offset, uint32_t count);
  // The bytes from `offset` on, at most `count`, that lie in the image data.
  uint32_t imageSpan(uint64_t offset, uint32_t count) const;

  uint32_t gptPrimarySectorsCount() const { return gptPrimarySectorsCount_; }
  uint32_t gptSecondarySectorsCount() const { return gptSecondarySectorsCount_; }
  uint32_t blockSize() const { return blockSize_; }
  uint64_t imageSectors() const { return imageSectors_; }
  uint64_t secondaryStart() const { return secondaryStart_; }

 private:
  void initProtectiveMbr();
  void initGPT();
  void initPartitionTable(uint8_t* header);

  uint32_t gptPrimarySectorsCount_ = 0;
  uint32_t gptSecondarySectorsCount_ = 0;
  uint32_t blockSize_ = 0;
  uint64_t imageSectors_ = 0;
  uint64_t secondaryStart_ = 0;
  ByteBuffer primaryArea_;
  ByteBuffer secondaryArea_;
};

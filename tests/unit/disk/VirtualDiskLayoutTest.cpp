#include "disk/VirtualDiskLayout.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <limits>
#include <vector>

#include "common/LittleEndian.h"
#include "service/DebugLog.h"
#include "support/TempDir.h"

namespace {

uint32_t le32(const uint8_t* p) { return static_cast<uint32_t>(readLittleEndian(p, 4)); }
uint64_t le64(const uint8_t* p) { return readLittleEndian(p, 8); }

uint32_t zlibCrc(const uint8_t* data, size_t size) {
  return static_cast<uint32_t>(::crc32(0L, data, static_cast<uInt>(size)));
}

// The CRC of a 92-byte header, computed with its own CRC field zero.
uint32_t headerCrc(const uint8_t* header) {
  std::vector<uint8_t> copy(header, header + 92);
  std::memset(copy.data() + 16, 0, 4);
  return zlibCrc(copy.data(), copy.size());
}

// The whole disk as the three regions give it (the image data is zeros here).
std::vector<uint8_t> wholeDisk(const VirtualDiskLayout& layout, uint64_t imageSize) {
  std::vector<uint8_t> disk(static_cast<size_t>(layout.addedSize() + imageSize), 0);
  layout.readPrimary(disk.data(), 0, static_cast<uint32_t>(layout.primaryAreaSize()));
  const uint64_t start = layout.secondaryStart();
  layout.readSecondary(disk.data() + start, start, static_cast<uint32_t>(disk.size() - start));
  return disk;
}

const uint8_t kBasicDataType[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                    0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
const uint8_t kPartitionGuid[16] = {0x54, 0x07, 0x88, 0x90, 0x48, 0xEB, 0x30, 0x44,
                                    0xA0, 0x00, 0x25, 0x91, 0x79, 0x3D, 0x85, 0x5C};
const uint8_t kDiskGuid[16] = {0x7D, 0x87, 0x07, 0xB5, 0x17, 0x0C, 0x93, 0x4E,
                               0x8B, 0x08, 0x0A, 0x19, 0x58, 0x7A, 0x72, 0xDD};

}  // namespace

TEST(VirtualDiskLayout, WorkedExampleWith512ByteSectors) {
  VirtualDiskLayout layout;
  ASSERT_TRUE(layout.init(512, 1048576));
  EXPECT_EQ(layout.imageSectors(), 2048u);
  EXPECT_EQ(layout.gptPrimarySectorsCount(), 34u);
  EXPECT_EQ(layout.gptSecondarySectorsCount(), 33u);
  EXPECT_EQ(layout.primaryAreaSize(), 34u * 512);
  EXPECT_EQ(layout.addedSize(), 34304u);
  EXPECT_EQ(layout.addedSize() + 1048576, 1082880u);
  EXPECT_EQ(layout.secondaryStart(), 34u * 512 + 1048576);

  const std::vector<uint8_t> disk = wholeDisk(layout, 1048576);
  const uint8_t* header = disk.data() + 512;
  EXPECT_EQ(std::memcmp(header, "EFI PART", 8), 0);
  EXPECT_EQ(le32(header + 8), 0x00010000u);
  EXPECT_EQ(le32(header + 12), 92u);
  EXPECT_EQ(le64(header + 24), 1u);
  EXPECT_EQ(le64(header + 32), 2114u);
  EXPECT_EQ(le64(header + 40), 34u);
  EXPECT_EQ(le64(header + 48), 2081u);
  EXPECT_EQ(std::memcmp(header + 56, kDiskGuid, 16), 0);
  EXPECT_EQ(le64(header + 72), 2u);
  EXPECT_EQ(le32(header + 80), 128u);
  EXPECT_EQ(le32(header + 84), 128u);
  for (size_t i = 92; i < 512; ++i) ASSERT_EQ(header[i], 0) << i;

  const uint8_t* backup = disk.data() + 2114 * 512;
  EXPECT_EQ(std::memcmp(backup, "EFI PART", 8), 0);
  EXPECT_EQ(le64(backup + 24), 2114u);
  EXPECT_EQ(le64(backup + 32), 1u);
  EXPECT_EQ(le64(backup + 72), 2082u);
  // Every other field equals the primary header's.
  EXPECT_EQ(std::memcmp(backup + 40, header + 40, 32), 0);
  EXPECT_EQ(std::memcmp(backup + 80, header + 80, 12), 0);
  EXPECT_EQ(std::memcmp(disk.data() + 2082 * 512, disk.data() + 2 * 512, 16384), 0);
}

TEST(VirtualDiskLayout, ProtectiveMbrBytes) {
  VirtualDiskLayout layout;
  ASSERT_TRUE(layout.init(512, 1048576));
  uint8_t mbr[512];
  ASSERT_EQ(layout.readPrimary(mbr, 0, 512), 512u);
  const uint8_t signature[4] = {0xC3, 0xB8, 0xA4, 0xFF};
  const uint8_t record[16] = {0x00, 0x00, 0x02, 0x00, 0xEE, 0xFF, 0xFF, 0xFF,
                              0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(mbr + 440, signature, 4), 0);
  EXPECT_EQ(std::memcmp(mbr + 446, record, 16), 0);
  EXPECT_EQ(mbr[510], 0x55);
  EXPECT_EQ(mbr[511], 0xAA);
  for (size_t i = 0; i < 512; ++i) {
    const bool named = (i >= 440 && i < 444) || (i >= 446 && i < 462) || i >= 510;
    if (!named) {
      ASSERT_EQ(mbr[i], 0) << i;
    }
  }
}

TEST(VirtualDiskLayout, PartitionEntry) {
  VirtualDiskLayout layout;
  ASSERT_TRUE(layout.init(512, 1048576));
  const std::vector<uint8_t> disk = wholeDisk(layout, 1048576);
  const uint8_t* entry = disk.data() + 1024;
  EXPECT_EQ(std::memcmp(entry, kBasicDataType, 16), 0);
  EXPECT_EQ(std::memcmp(entry + 16, kPartitionGuid, 16), 0);
  EXPECT_EQ(le64(entry + 32), 34u);
  EXPECT_EQ(le64(entry + 40), 2081u);
  EXPECT_EQ(le64(entry + 48), 0u);
  const char16_t name[] = u"VKB PARTITION";
  for (size_t i = 0; i < 36; ++i) {
    const char16_t expected = i < 13 ? name[i] : 0;
    EXPECT_EQ(readLittleEndian(entry + 56 + 2 * i, 2), expected) << i;
  }
  for (size_t i = 128; i < 16384; ++i) ASSERT_EQ(entry[i], 0) << "entries 1 to 127 are empty";
}

// Every sector size the layout supports: the partition starts right after the
// entry array, the backup header is the disk's last sector, and all three CRCs
// verify with zlib.
TEST(VirtualDiskLayout, EverySupportedSectorSize) {
  for (uint32_t b : {512u, 1024u, 2048u, 4096u, 8192u, 16384u}) {
    SCOPED_TRACE(b);
    const uint64_t imageSize = uint64_t{b} * 300;
    VirtualDiskLayout layout;
    ASSERT_TRUE(layout.init(b, imageSize));
    const uint32_t p = 16384 / b + 2;
    EXPECT_EQ(layout.gptPrimarySectorsCount(), p);
    EXPECT_EQ(layout.gptSecondarySectorsCount(), p - 1);

    const std::vector<uint8_t> disk = wholeDisk(layout, imageSize);
    ASSERT_EQ(disk.size() % b, 0u);
    const uint64_t lastLba = disk.size() / b - 1;
    const uint8_t* header = disk.data() + b;
    const uint8_t* backup = disk.data() + lastLba * b;
    const uint8_t* entries = disk.data() + 2 * b;
    const uint8_t* backupEntries = disk.data() + le64(backup + 72) * b;

    EXPECT_EQ(le64(header + 32), lastLba);
    EXPECT_EQ(le64(header + 40), p);
    EXPECT_EQ(le64(header + 48), p + 300 - 1);
    EXPECT_EQ(le64(entries + 32), p);
    EXPECT_EQ(le64(entries + 40), p + 300 - 1);
    EXPECT_EQ(le64(backup + 24), lastLba);
    EXPECT_EQ(le64(backup + 72), p + 300u);
    EXPECT_EQ(le32(header + 88), zlibCrc(entries, 16384));
    EXPECT_EQ(le32(header + 16), headerCrc(header));
    EXPECT_EQ(le32(backup + 16), headerCrc(backup));
    EXPECT_EQ(le32(backup + 88), zlibCrc(backupEntries, 16384));
  }
}

TEST(VirtualDiskLayout, With4096ByteSectorsTheArrayFillsSectors2To5) {
  VirtualDiskLayout layout;
  ASSERT_TRUE(layout.init(4096, 4096 * 1000));
  EXPECT_EQ(layout.gptPrimarySectorsCount(), 6u);
  EXPECT_EQ(layout.gptSecondarySectorsCount(), 5u);
  EXPECT_EQ(layout.primaryAreaSize(), 6u * 4096);
  EXPECT_EQ(layout.addedSize(), 45056u);
  uint8_t entry[128];
  ASSERT_EQ(layout.readPrimary(entry, 2 * 4096, 128), 128u);
  EXPECT_EQ(le64(entry + 32), 6u);
  EXPECT_EQ(le64(entry + 40), 1005u);
}

TEST(VirtualDiskLayout, RefusesWhatItCannotRepresent) {
  struct Case {
    uint32_t blockSize;
    uint64_t imageSize;
    bool representable;
  };
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  const Case cases[] = {
      {512, 512, true},
      {16384, 16384 * 10, true},
      {0, 1048576, false},      // would divide by zero
      {256, 1048576, false},    // header and entry array would overlap
      {520, 520 * 100, false},  // does not divide the entry array
      {1000, 1000 * 100, false},
      {32768, 32768 * 10, false},  // backup header would not be the last sector
      {512, 0, false},             // no partition at all
      {512, 1000, false},          // not a whole number of sectors
      {512, 511, false},
      {512, max - (max % 512), false},  // the disk size would overflow
      {512, (uint64_t{1} << 50), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VirtualDiskLayout::canRepresent(c.blockSize, c.imageSize), c.representable)
        << c.blockSize << " " << c.imageSize;
  }

  VirtualDiskLayout layout;
  ASSERT_TRUE(layout.init(512, 1048576));
  EXPECT_FALSE(layout.init(0, 1048576));
  EXPECT_EQ(layout.blockSize(), 512u) << "a refused init leaves the layout as it was";
  EXPECT_EQ(layout.gptPrimarySectorsCount(), 34u);
}

TEST(VirtualDiskLayout, MapsRangesAcrossRegionBorders) {
  VirtualDiskLayout layout;
  const uint64_t imageSize = 1048576;
  ASSERT_TRUE(layout.init(512, imageSize));
  const uint64_t p = layout.primaryAreaSize();
  const uint64_t s = layout.secondaryStart();
  uint8_t buffer[4096];

  struct Case {
    uint64_t offset;
    uint32_t count;
    uint32_t primary, image, secondary;
  };
  const Case cases[] = {
      {0, 512, 512, 0, 0},
      {p - 100, 300, 100, 0, 0},  // the primary part ends at the area's end
      {p, 300, 0, 300, 0},
      {s - 100, 300, 0, 100, 0},  // the image part ends where the secondary begins
      {s, 300, 0, 0, 300},
      {s + 33 * 512 - 10, 300, 0, 0, 10},
      {s + 33 * 512, 300, 0, 0, 0},  // just past the disk's end
      {s + (uint64_t{1} << 32), 512, 0, 0, 0},
      {s + (uint64_t{1} << 32) + 1024, 512, 0, 0, 0},
      {std::numeric_limits<uint64_t>::max() - 10, 4096, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    EXPECT_EQ(layout.readPrimary(buffer, c.offset, c.count), c.primary);
    EXPECT_EQ(layout.imageSpan(c.offset, c.count), c.image);
    EXPECT_EQ(layout.readSecondary(buffer, c.offset, c.count), c.secondary);
  }
  EXPECT_EQ(layout.readPrimary(nullptr, 0, 512), 0u);
  EXPECT_EQ(layout.readPrimary(buffer, 0, 0), 0u);
}

TEST(VirtualDiskLayout, EmptyUntilInitialised) {
  VirtualDiskLayout layout;
  uint8_t buffer[512];
  EXPECT_EQ(layout.readPrimary(buffer, 0, 512), 0u);
  EXPECT_EQ(layout.imageSpan(0, 512), 0u);
  EXPECT_EQ(layout.readSecondary(buffer, 0, 512), 0u);
  EXPECT_EQ(layout.writePrimary(buffer, 0, 512), 0u);
}

TEST(VirtualDiskLayout, WritesToTheAreasLastUntilTheNextInit) {
  VirtualDiskLayout layout;
  ASSERT_TRUE(layout.init(512, 1048576));
  uint8_t pattern[512];
  std::memset(pattern, 0x5A, sizeof(pattern));
  ASSERT_EQ(layout.writePrimary(pattern, 0, 512), 512u);
  ASSERT_EQ(layout.writeSecondary(pattern, layout.secondaryStart(), 512), 512u);
  uint8_t back[512];
  layout.readPrimary(back, 0, 512);
  EXPECT_EQ(std::memcmp(back, pattern, 512), 0);
  layout.readSecondary(back, layout.secondaryStart(), 512);
  EXPECT_EQ(std::memcmp(back, pattern, 512), 0);

  ASSERT_TRUE(layout.init(512, 1048576));
  layout.readPrimary(back, 0, 512);
  EXPECT_EQ(back[510], 0x55);
  EXPECT_EQ(back[0], 0);
}

TEST(VirtualDiskLayout, LogsItsSteps) {
  TempDir dir;
  const std::u16string path = dir.file(u"layout.log");
  openDebugLog(path.c_str());
  VirtualDiskLayout layout;
  ASSERT_TRUE(layout.init(512, 1048576));
  closeDebugLog();
  const std::string end = VK_TEXT_LINE_END;
  EXPECT_EQ(readFileBytes(std::filesystem::path(path)),
            end + "VirtualDiskLayout::init gptPrimarySectorsCount=34" + end + "VirtualDiskLayout::initGPT primary GPT" +
                end + "VirtualDiskLayout::initPartitionTable primary partition" + end +
                "VirtualDiskLayout::initPartitionTable secondary partition table, it is the same so copy it" + end +
                "VirtualDiskLayout::initGPT secondary GPT" + end + "VirtualDiskLayout::init OK" + end);
}

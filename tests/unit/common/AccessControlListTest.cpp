#include "common/AccessControlList.h"

#include <gtest/gtest.h>

#include "common/LittleEndian.h"
#include "common/SecurityDescriptor.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes entry(uint8_t tag, uint16_t size = 8) {
  Bytes bytes(size, tag);
  bytes[0] = 1;
  bytes[1] = 0;
  writeLittleEndian(&bytes[2], 2, size);
  return bytes;
}

std::vector<uint8_t> tagsOf(const AccessControlList& list) {
  std::vector<uint8_t> tags;
  for (uint32_t i = 0; i < list.aceCount(); ++i) {
    std::span<const uint8_t> ace;
    EXPECT_EQ(list.getAce(i, ace), 0u);
    tags.push_back(ace[4]);
  }
  return tags;
}

TEST(SidTest, LocalSystemHasItsWellKnownBytes) {
  const Sid sid = Sid::localSystem();
  EXPECT_EQ(sid.bytes(), (Bytes{1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}));
  EXPECT_EQ(sid.length(), 12u);
  EXPECT_EQ(sid.toString(), u"S-1-5-18");
  EXPECT_EQ(Sid(22, {1, 4000000000u}).toString(), u"S-1-22-1-4000000000");
}

TEST(SidTest, ReadsOnlyWholeWellFormedIdentifiers) {
  const Bytes good = Sid(5, {21, 1, 2, 3}).bytes();
  ASSERT_TRUE(Sid::fromBytes(good));
  EXPECT_EQ(*Sid::fromBytes(good), Sid(5, {21, 1, 2, 3}));
  Bytes longer = good;
  longer.push_back(0xAA);
  EXPECT_EQ(*Sid::fromBytes(longer), Sid(5, {21, 1, 2, 3}));
  EXPECT_FALSE(Sid::fromBytes(Bytes(good.begin(), good.end() - 1)));
  Bytes badRevision = good;
  badRevision[0] = 2;
  EXPECT_FALSE(Sid::fromBytes(badRevision));
  Bytes tooMany(8 + 4 * 16, 0);
  tooMany[0] = 1;
  tooMany[1] = 16;
  EXPECT_FALSE(Sid::fromBytes(tooMany));
}

TEST(AccessControlListTest, InitializeChecksSizeAndRevision) {
  AccessControlList list;
  EXPECT_EQ(list.initialize(4, 2), 122u);
  EXPECT_EQ(list.initialize(10, 2), 87u);
  EXPECT_EQ(list.initialize(0x10000, 2), 87u);
  EXPECT_EQ(list.initialize(16, 1), 1305u);
  ASSERT_EQ(list.initialize(32, 2), 0u);
  EXPECT_EQ(list.bytes().size(), 32u);
  const auto size = list.sizeInformation();
  EXPECT_EQ(size.aceCount, 0u);
  EXPECT_EQ(size.bytesInUse, 8u);
  EXPECT_EQ(size.bytesFree, 24u);
}

TEST(AccessControlListTest, AddsEntriesAtTheirIndexAndRefusesWhenFull) {
  AccessControlList list;
  ASSERT_EQ(list.initialize(8 + 4 * 8, 2), 0u);
  ASSERT_EQ(list.addAce(2, AccessControlList::kAppend, entry('a')), 0u);
  ASSERT_EQ(list.addAce(2, 0, entry('b')), 0u);
  ASSERT_EQ(list.addAce(2, 1, entry('c')), 0u);
  ASSERT_EQ(list.addAce(2, 99, entry('d')), 0u);
  EXPECT_EQ(tagsOf(list), (std::vector<uint8_t>{'b', 'c', 'a', 'd'}));
  EXPECT_EQ(list.sizeInformation().bytesFree, 0u);
  EXPECT_EQ(list.addAce(2, 0, entry('e')), 1344u);
  std::span<const uint8_t> ace;
  EXPECT_EQ(list.getAce(4, ace), 87u);
  EXPECT_EQ(tagsOf(list).size(), 4u);
}

TEST(AccessControlListTest, RefusesEntriesThatAreNotWhole) {
  AccessControlList list;
  ASSERT_EQ(list.initialize(64, 2), 0u);
  Bytes cut = entry('a', 12);
  cut.resize(8);
  EXPECT_EQ(list.addAce(2, 0, cut), 87u);
  EXPECT_EQ(list.addAce(2, 0, entry('a', 6)), 87u);
  EXPECT_EQ(list.addAce(7, 0, entry('a')), 87u);
  AccessControlList uninitialized;
  EXPECT_EQ(uninitialized.addAce(2, 0, entry('a')), 1336u);
  EXPECT_EQ(list.aceCount(), 0u);
}

TEST(AccessControlListTest, ReadsOnlyWellFormedLists) {
  const auto make = [](uint8_t revision, uint16_t size, uint16_t count, const std::vector<Bytes>& entries) {
    Bytes bytes(8);
    bytes[0] = revision;
    writeLittleEndian(&bytes[2], 2, size);
    writeLittleEndian(&bytes[4], 2, count);
    for (const Bytes& e : entries) bytes.insert(bytes.end(), e.begin(), e.end());
    return bytes;
  };
  struct Case {
    const char* name;
    Bytes bytes;
    uint32_t error;
  };
  const Case cases[] = {
      {"good", make(2, 24, 2, {entry('a'), entry('b')}), 0},
      {"good with free space", make(4, 32, 1, {entry('a'), Bytes(16, 0)}), 0},
      {"short header", Bytes(6, 0), 1336},
      {"revision 1", make(1, 16, 1, {entry('a')}), 1336},
      {"size beyond the bytes", make(2, 40, 1, {entry('a')}), 1336},
      {"size not aligned", make(2, 18, 1, {entry('a'), Bytes(2, 0)}), 1336},
      {"count beyond the entries", make(2, 16, 2, {entry('a')}), 1336},
      {"entry size zero", make(2, 16, 1, {Bytes(8, 0)}), 1336},
      {"entry past the list", make(2, 16, 1, {entry('a', 12)}), 1336},
  };
  for (const Case& c : cases) {
    AccessControlList list;
    EXPECT_EQ(AccessControlList::fromBytes(c.bytes, list), c.error) << c.name;
  }
}

TEST(SecurityDescriptorTest, WritesTheDaclAloneAndReadsItBack) {
  AccessControlList dacl;
  ASSERT_EQ(dacl.initialize(40, 2), 0u);
  ASSERT_EQ(dacl.addAccessAllowedAce(2, 0x80000000, Sid::localSystem()), 0u);
  SecurityDescriptor written;
  ASSERT_EQ(written.initialize(1), 0u);
  written.setDacl(true, &dacl, false);
  const Bytes bytes = written.toSelfRelative();
  ASSERT_EQ(bytes.size(), 20u + 40u);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 20),
            (Bytes{1, 0, 4, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0}));
  EXPECT_EQ(Bytes(bytes.begin() + 28, bytes.begin() + 48),
            (Bytes{0, 0, 20, 0, 0, 0, 0, 0x80, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}));

  SecurityDescriptor read;
  ASSERT_EQ(SecurityDescriptor::fromSelfRelative(bytes, read), 0u);
  bool present = false;
  bool defaulted = true;
  const AccessControlList* readDacl = nullptr;
  read.getDacl(present, readDacl, defaulted);
  EXPECT_TRUE(present);
  EXPECT_FALSE(defaulted);
  ASSERT_NE(readDacl, nullptr);
  EXPECT_TRUE(std::ranges::equal(readDacl->bytes(), dacl.bytes()));
}

TEST(SecurityDescriptorTest, TellsAbsentNullAndBadDaclsApart) {
  SecurityDescriptor none;
  none.initialize(1);
  SecurityDescriptor nullDacl;
  nullDacl.initialize(1);
  nullDacl.setDacl(true, nullptr, false);
  for (const auto& [descriptor, wantPresent] : {std::pair{&none, false}, std::pair{&nullDacl, true}}) {
    SecurityDescriptor read;
    ASSERT_EQ(SecurityDescriptor::fromSelfRelative(descriptor->toSelfRelative(), read), 0u);
    bool present = !wantPresent;
    bool defaulted = false;
    const AccessControlList placeholder;
    const AccessControlList* dacl = &placeholder;
    read.getDacl(present, dacl, defaulted);
    EXPECT_EQ(present, wantPresent);
    EXPECT_EQ(dacl, nullptr);
  }
  Bytes offsetOutside = nullDacl.toSelfRelative();
  writeLittleEndian(&offsetOutside[16], 4, 400);
  SecurityDescriptor read;
  EXPECT_EQ(SecurityDescriptor::fromSelfRelative(offsetOutside, read), 1338u);
  EXPECT_EQ(SecurityDescriptor::fromSelfRelative(Bytes(12, 0), read), 1338u);
  SecurityDescriptor bad;
  EXPECT_EQ(bad.initialize(2), 1305u);
}

}  // namespace

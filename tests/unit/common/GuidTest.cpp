#include "common/Guid.h"

#include <gtest/gtest.h>

#include "common/WideString.h"

namespace {

std::string text(const Guid& guid) { return wide::toUtf8(guid.toString()); }

}  // namespace

TEST(Guid, FormatsKnownGuids) {
  struct Case {
    Guid guid;
    const char* expected;
  };
  const Case cases[] = {
      // GPT's basic data partition type.
      {{0xEBD0A0A2, 0xB9E5, 0x4433, {0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7}},
       "{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}"},
      // The disk device interface class.
      {{0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}},
       "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"},
      // Leading zeros are kept in every group.
      {{0x00000001, 0x0002, 0x0003, {0, 4, 0, 0, 0, 0, 0, 5}}, "{00000001-0002-0003-0004-000000000005}"},
      {{}, "{00000000-0000-0000-0000-000000000000}"},
      {{0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
       "{ffffffff-ffff-ffff-ffff-ffffffffffff}"},
  };
  for (const auto& c : cases) EXPECT_EQ(text(c.guid), c.expected);
}

TEST(Guid, BytesAreInWindowsOrder) {
  // The basic data partition type as it stands in a GPT partition entry.
  const uint8_t onDisk[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                              0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
  const Guid guid = Guid::fromBytes(onDisk);
  EXPECT_EQ(text(guid), "{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}");
  uint8_t back[16] = {};
  guid.toBytes(back);
  EXPECT_EQ(0, memcmp(back, onDisk, sizeof(onDisk)));
  EXPECT_EQ(Guid::fromBytes(back), guid);
}

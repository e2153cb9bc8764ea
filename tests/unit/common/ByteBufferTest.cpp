#include "common/ByteBuffer.h"

#include <gtest/gtest.h>

TEST(ByteBuffer, EmptyUntilSized) {
  ByteBuffer buffer;
  EXPECT_EQ(buffer.size(), 0u);
  EXPECT_EQ(buffer.data(), nullptr);
}

TEST(ByteBuffer, ZeroSizeStillOwnsOneByte) {
  ByteBuffer buffer(0);
  EXPECT_EQ(buffer.size(), 0u);
  ASSERT_NE(buffer.data(), nullptr);
  buffer.data()[0] = 0x5A;  // the one byte is writable (ASan checks the bound)
  buffer.zero();
  EXPECT_EQ(buffer.data()[0], 0);
}

TEST(ByteBuffer, ResizeReplacesTheBlockAndZeroClearsIt) {
  ByteBuffer buffer(16);
  buffer.data()[15] = 1;
  buffer.resize(4096);
  EXPECT_EQ(buffer.size(), 4096u);
  buffer.zero();
  for (uint32_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer.data()[i], 0) << i;
  buffer.data()[4095] = 7;  // the new size is usable to its last byte
  EXPECT_EQ(buffer.data()[4095], 7);
}

TEST(ByteBuffer, MoveTransfersOwnership) {
  ByteBuffer a(8);
  uint8_t* block = a.data();
  ByteBuffer b(std::move(a));
  EXPECT_EQ(b.data(), block);
  EXPECT_EQ(b.size(), 8u);
}

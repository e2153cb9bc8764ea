// The port message as the system of this build lays it out, against the
// core's 24-byte header: a 64-bit program's header is 40 bytes, with its
// client ids and view size eight bytes wide.
#include <gtest/gtest.h>

#include <cstring>

#include "common/LittleEndian.h"
#include "sys/win32/NativePortMessage.h"

namespace {

using sys::PortMessage;
using sys::win32::NativePortMessage;

// Where the system puts the header's fields, and how wide the client ids
// and the view size are (PORT_MESSAGE of a 32-bit and of a 64-bit program).
struct NativeLayout {
  size_t process, thread, messageId, viewSize, data, width;
};
constexpr NativeLayout kNative =
    sizeof(void*) == 8 ? NativeLayout{8, 16, 24, 32, 40, 8} : NativeLayout{8, 12, 16, 20, 24, 4};
constexpr size_t kDataSize = PortMessage::kSize - PortMessage::kHeaderSize;

uint64_t at(const uint8_t* bytes, size_t offset, size_t size) { return readLittleEndian(bytes + offset, size); }

// A request as the driver's system delivers it: 26 data bytes, the total
// length counting this build's header.
void writeNativeRequest(uint8_t* bytes) {
  writeLittleEndian(bytes + 0, 2, kDataSize);
  writeLittleEndian(bytes + 2, 2, kNative.data + kDataSize);
  writeLittleEndian(bytes + 4, 2, 1);  // a request
  writeLittleEndian(bytes + 6, 2, 0);
  writeLittleEndian(bytes + kNative.process, kNative.width, 0x1234);
  writeLittleEndian(bytes + kNative.thread, kNative.width, 0x5678);
  writeLittleEndian(bytes + kNative.messageId, 4, 0x9ABC);
  writeLittleEndian(bytes + kNative.viewSize, kNative.width, 0x200000);
  for (size_t i = 0; i < kDataSize; ++i) bytes[kNative.data + i] = static_cast<uint8_t>(0xA0 + i);
}

TEST(NativePortMessageTest, TheHeaderIsTheSystemsForThisBuild) {
  EXPECT_EQ(NativePortMessage::kHeaderSize, kNative.data);
  EXPECT_EQ(NativePortMessage::kExtraLength, kNative.data - PortMessage::kHeaderSize);
  // The port's longest message, 34 data bytes, and its header fit.
  EXPECT_GE(NativePortMessage::kBufferSize, kNative.data + 34);
}

TEST(NativePortMessageTest, AReceivedMessageReachesTheCoreInThe24ByteLayout) {
  NativePortMessage native;
  writeNativeRequest(native.bytes());
  PortMessage message;
  native.store(message);
  const uint8_t* bytes = message.bytes.data();
  EXPECT_EQ(at(bytes, 0, 2), kDataSize);
  EXPECT_EQ(at(bytes, 2, 2), PortMessage::kSize) << "the total length counts the core's header";
  EXPECT_EQ(at(bytes, 4, 2), 1u);
  EXPECT_EQ(at(bytes, 8, 4), 0x1234u);
  EXPECT_EQ(at(bytes, 12, 4), 0x5678u);
  EXPECT_EQ(at(bytes, 16, 4), 0x9ABCu);
  EXPECT_EQ(at(bytes, 20, 4), 0x200000u);
  for (size_t i = 0; i < kDataSize; ++i) {
    EXPECT_EQ(bytes[PortMessage::kHeaderSize + i], 0xA0 + i) << "data byte " << i;
  }
}

// The reply goes back with the header as received: what the system gave is
// what it gets back, byte for byte, header and data.
TEST(NativePortMessageTest, AReplyCarriesTheReceivedHeaderBackToTheSystem) {
  NativePortMessage received;
  writeNativeRequest(received.bytes());
  PortMessage message;
  received.store(message);
  NativePortMessage reply;
  reply.load(message);
  EXPECT_EQ(std::memcmp(reply.bytes(), received.bytes(), kNative.data + kDataSize), 0);
}

TEST(NativePortMessageTest, ATotalLengthShorterThanTheHeaderIsNoWrapAround) {
  NativePortMessage native;
  writeNativeRequest(native.bytes());
  writeLittleEndian(native.bytes() + 2, 2, 0);
  PortMessage message;
  native.store(message);
  EXPECT_EQ(at(message.bytes.data(), 2, 2), 0u);
}

}  // namespace

#include "sys/win32/NativePortMessage.h"

#include <windows.h>

#include <cstring>

#include "common/LittleEndian.h"

namespace sys::win32 {
namespace {

// The system's port message header (PORT_MESSAGE) as this build lays it out.
struct NativeHeader {
  USHORT dataLength;
  USHORT totalLength;
  USHORT type;
  USHORT dataInfoOffset;
  HANDLE clientProcess;
  HANDLE clientThread;
  ULONG messageId;
  SIZE_T clientViewSize;
};
static_assert(sizeof(NativeHeader) == NativePortMessage::kHeaderSize);

// The core's header fields, each at its offset in the 24-byte layout.
constexpr size_t kDataLength = 0;
constexpr size_t kTotalLength = 2;
constexpr size_t kType = 4;
constexpr size_t kDataInfoOffset = 6;
constexpr size_t kClientProcess = 8;
constexpr size_t kClientThread = 12;
constexpr size_t kMessageId = 16;
constexpr size_t kClientViewSize = 20;
constexpr size_t kDataSize = PortMessage::kSize - PortMessage::kHeaderSize;

USHORT field16(const PortMessage& message, size_t at) {
  return static_cast<USHORT>(readLittleEndian(message.bytes.data() + at, 2));
}
uint32_t field32(const PortMessage& message, size_t at) {
  return static_cast<uint32_t>(readLittleEndian(message.bytes.data() + at, 4));
}
HANDLE handleOf(uint32_t id) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(id)); }
uint32_t idOf(HANDLE handle) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle)); }

}  // namespace

void NativePortMessage::load(const PortMessage& message) {
  NativeHeader header{};
  header.dataLength = field16(message, kDataLength);
  header.totalLength = static_cast<USHORT>(field16(message, kTotalLength) + kExtraLength);
  header.type = field16(message, kType);
  header.dataInfoOffset = field16(message, kDataInfoOffset);
  header.clientProcess = handleOf(field32(message, kClientProcess));
  header.clientThread = handleOf(field32(message, kClientThread));
  header.messageId = field32(message, kMessageId);
  header.clientViewSize = field32(message, kClientViewSize);
  std::memcpy(bytes_, &header, sizeof(header));
  std::memcpy(bytes_ + kHeaderSize, message.bytes.data() + PortMessage::kHeaderSize, kDataSize);
}

void NativePortMessage::store(PortMessage& message) const {
  NativeHeader header;
  std::memcpy(&header, bytes_, sizeof(header));
  uint8_t* out = message.bytes.data();
  writeLittleEndian(out + kDataLength, 2, header.dataLength);
  writeLittleEndian(out + kTotalLength, 2, header.totalLength >= kExtraLength ? header.totalLength - kExtraLength : 0);
  writeLittleEndian(out + kType, 2, header.type);
  writeLittleEndian(out + kDataInfoOffset, 2, header.dataInfoOffset);
  writeLittleEndian(out + kClientProcess, 4, idOf(header.clientProcess));
  writeLittleEndian(out + kClientThread, 4, idOf(header.clientThread));
  writeLittleEndian(out + kMessageId, 4, header.messageId);
  writeLittleEndian(out + kClientViewSize, 4, static_cast<uint32_t>(header.clientViewSize));
  std::memcpy(out + PortMessage::kHeaderSize, bytes_ + kHeaderSize, kDataSize);
}

}  // namespace sys::win32

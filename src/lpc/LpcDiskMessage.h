#pragma once

#include <cstdint>

#include "common/LittleEndian.h"
#include "sys/Ports.h"

// The driver's sector request and the service's reply, in one 50-byte port
// message: the system's 24-byte header, then op, status, offset, length and
// result, packed and little-endian, then 8 reserved bytes.
class LpcDiskMessage {
 public:
  // The port the driver connects to, the longest message it takes, and the
  // size of each of the two windows of the driver's view (read data at its
  // start, write data from the second).
  static constexpr const char16_t* kPortName = u"\\BaseNamedObjects\\vkvdport32";
  static constexpr uint32_t kMaxMessageLength = 58;
  static constexpr uint32_t kWindowSize = 0x100000;

  static constexpr uint8_t LPC_OP_READ = 3;
  static constexpr uint8_t LPC_OP_WRITE = 4;
  static constexpr uint8_t LPC_STATUS_OK = 0;
  static constexpr uint8_t LPC_STATUS_NO_IMAGE = 1;
  static constexpr uint8_t LPC_STATUS_FAILED = 2;

  static constexpr size_t kOp = 24;
  static constexpr size_t kStatus = 25;
  static constexpr size_t kOffset = 26;
  static constexpr size_t kLength = 34;
  static constexpr size_t kResult = 38;

  sys::PortMessage& message() { return message_; }
  const sys::PortMessage& message() const { return message_; }
  void clear() { message_ = {}; }

  uint8_t op() const { return message_.bytes[kOp]; }
  uint8_t status() const { return message_.bytes[kStatus]; }
  uint64_t offset() const { return get(kOffset, 8); }
  uint32_t length() const { return static_cast<uint32_t>(get(kLength, 4)); }
  uint32_t result() const { return static_cast<uint32_t>(get(kResult, 4)); }

  void setOp(uint8_t op) { message_.bytes[kOp] = op; }
  void setStatus(uint8_t status) { message_.bytes[kStatus] = status; }
  void setOffset(uint64_t offset) { put(kOffset, 8, offset); }
  void setLength(uint32_t length) { put(kLength, 4, length); }
  void setResult(uint32_t result) { put(kResult, 4, result); }

 private:
  uint64_t get(size_t at, size_t size) const { return readLittleEndian(message_.bytes.data() + at, size); }
  void put(size_t at, size_t size, uint64_t value) { writeLittleEndian(message_.bytes.data() + at, size, value); }

  sys::PortMessage message_;
};

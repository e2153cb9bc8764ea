#pragma once

#include <cstdint>

#include "sys/Ports.h"

// The driver's sector request and the service's reply, in one 50-byte port
// message: the system's 24-byte header, then op, status, offset, length and
// result, packed and little-endian, then 8 reserved bytes.
class LpcDiskMessage {
 public:
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
  uint64_t get(size_t at, size_t size) const {
    uint64_t value = 0;
    for (size_t i = size; i-- > 0;) value = (value << 8) | message_.bytes[at + i];
    return value;
  }
  void put(size_t at, size_t size, uint64_t value) {
    for (size_t i = 0; i < size; ++i) message_.bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }

  sys::PortMessage message_;
};

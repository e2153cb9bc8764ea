#pragma once

#include <cstddef>
#include <cstdint>

#include "sys/Ports.h"

namespace sys::win32 {

// A port message as the system of this build reads and writes it. The core
// speaks the 32-bit program's layout (a 24-byte header); a 64-bit program's
// header holds its client ids and view size pointer-wide and is 40 bytes.
// The data after the header is the same in both, and so is every value
// that the driver and the service exchange: ids and the view size fit in
// 32 bits.
class NativePortMessage {
 public:
  static constexpr size_t kHeaderSize = sizeof(void*) == 8 ? 40 : 24;
  // How much longer a message is here than in the core's layout.
  static constexpr uint32_t kExtraLength = static_cast<uint32_t>(kHeaderSize - PortMessage::kHeaderSize);
  // The system writes messages up to the port's maximum length: room for the
  // largest port message (the system's most data, header and connection
  // information, rounded up to 16 bytes) stands between it and ours.
  static constexpr size_t kBufferSize =
      ((sizeof(void*) == 8 ? 512 : 256) + kHeaderSize + 16 * sizeof(void*) + 15) & ~size_t{15};

  void load(const PortMessage& message);
  void store(PortMessage& message) const;
  uint8_t* bytes() { return bytes_; }
  const uint8_t* bytes() const { return bytes_; }

 private:
  alignas(8) uint8_t bytes_[kBufferSize] = {};
};

}  // namespace sys::win32

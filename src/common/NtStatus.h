#pragma once

#include <cstdint>

// The NTSTATUS values that the port facility reports on every platform.
// Negative values are failures.
namespace NtStatus {

constexpr int32_t Success = 0;
constexpr int32_t NotImplemented = static_cast<int32_t>(0xC0000002);
constexpr int32_t InvalidHandle = static_cast<int32_t>(0xC0000008);
constexpr int32_t InvalidParameter = static_cast<int32_t>(0xC000000D);
constexpr int32_t NoMemory = static_cast<int32_t>(0xC0000017);
constexpr int32_t AccessDenied = static_cast<int32_t>(0xC0000022);
constexpr int32_t ObjectNameCollision = static_cast<int32_t>(0xC0000035);
constexpr int32_t ObjectPathNotFound = static_cast<int32_t>(0xC000003A);
constexpr int32_t PortDisconnected = static_cast<int32_t>(0xC0000037);
constexpr int32_t PortConnectionRefused = static_cast<int32_t>(0xC0000041);
constexpr int32_t InvalidPortHandle = static_cast<int32_t>(0xC0000042);
constexpr int32_t Cancelled = static_cast<int32_t>(0xC0000120);
constexpr int32_t IoTimeout = static_cast<int32_t>(0xC00000B5);
constexpr int32_t Unsuccessful = static_cast<int32_t>(0xC0000001);

inline bool succeeded(int32_t status) { return status >= 0; }

}  // namespace NtStatus

#pragma once

#include <cstdint>

// The Win32 error codes that the seam and the core report on every platform (the posix
// backend maps errno onto them), so that the core's results and log lines are
// the same everywhere.
namespace WinError {

constexpr uint32_t Success = 0;
constexpr uint32_t InvalidFunction = 1;
constexpr uint32_t InvalidHandle = 6;
constexpr uint32_t InvalidData = 13;
constexpr uint32_t FileNotFound = 2;
constexpr uint32_t PathNotFound = 3;
constexpr uint32_t TooManyOpenFiles = 4;
constexpr uint32_t AccessDenied = 5;
constexpr uint32_t NotEnoughMemory = 8;
constexpr uint32_t NoMoreFiles = 18;
constexpr uint32_t WriteProtect = 19;
constexpr uint32_t GenFailure = 31;
constexpr uint32_t SharingViolation = 32;
constexpr uint32_t NotSupported = 50;
constexpr uint32_t FileExists = 80;
constexpr uint32_t InvalidParameter = 87;
constexpr uint32_t DiskFull = 112;
constexpr uint32_t InsufficientBuffer = 122;
constexpr uint32_t Busy = 170;
constexpr uint32_t InvalidName = 123;
constexpr uint32_t BadPathname = 161;
constexpr uint32_t AlreadyExists = 183;
constexpr uint32_t MoreData = 234;
constexpr uint32_t FilenameExceedsRange = 206;
constexpr uint32_t OperationAborted = 995;
constexpr uint32_t NoAccess = 998;
constexpr uint32_t NotAllAssigned = 1300;
constexpr uint32_t UnknownRevision = 1305;
constexpr uint32_t NoSuchPrivilege = 1313;
constexpr uint32_t PrivilegeNotHeld = 1314;
constexpr uint32_t NoneMapped = 1332;
constexpr uint32_t InvalidAcl = 1336;
constexpr uint32_t InvalidSid = 1337;
constexpr uint32_t InvalidSecurityDescriptor = 1338;
constexpr uint32_t AllottedSpaceExceeded = 1344;
constexpr uint32_t RpcNoCallActive = 1725;
constexpr uint32_t CantResolveFilename = 1921;
constexpr uint32_t Timeout = 1460;
constexpr uint32_t ResourceTypeNotFound = 1813;

}  // namespace WinError

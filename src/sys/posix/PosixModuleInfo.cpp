#include "sys/posix/PosixModuleInfo.h"

#include <limits.h>
#include <unistd.h>

#include <cstring>

#include "common/WideString.h"

namespace sys::posix {
namespace {

constexpr FixedFileInfo kProgramVersion = {
    .signature = FixedFileInfo::kSignature,
    .strucVersion = 0x00010000,
    .fileVersionMS = (VK_VERSION_MAJOR << 16) | VK_VERSION_MINOR,
    .fileVersionLS = (VK_VERSION_PATCH << 16) | VK_VERSION_TWEAK,
    .productVersionMS = (VK_VERSION_MAJOR << 16) | VK_VERSION_MINOR,
    .productVersionLS = (VK_VERSION_PATCH << 16) | VK_VERSION_TWEAK,
    .fileFlagsMask = 0x3F,
    .fileFlags = 0,
    .fileOS = 0,
    .fileType = 1,
    .fileSubtype = 0,
    .fileDateMS = 0,
    .fileDateLS = 0,
};

}  // namespace

std::u16string PosixModuleInfo::programPath() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof(path));
  if (length <= 0 || static_cast<size_t>(length) >= sizeof(path)) return {};
  return wide::fromUtf8(std::string_view(path, static_cast<size_t>(length)));
}

uint32_t PosixModuleInfo::versionDataSize(const std::u16string& path) {
  if (path.empty() || path != programPath()) return 0;
  return sizeof(kProgramVersion);
}

bool PosixModuleInfo::readVersionData(const std::u16string& path, uint8_t* data, uint32_t size) {
  if (size < sizeof(kProgramVersion) || versionDataSize(path) == 0) return false;
  std::memcpy(data, &kProgramVersion, sizeof(kProgramVersion));
  return true;
}

bool PosixModuleInfo::queryRootBlock(const uint8_t* data, uint32_t size, const void** value, uint32_t* length) {
  uint32_t signature = 0;
  if (size < sizeof(FixedFileInfo)) return false;
  std::memcpy(&signature, data, sizeof(signature));
  if (signature != FixedFileInfo::kSignature) return false;
  *value = data;
  *length = sizeof(FixedFileInfo);
  return true;
}

}  // namespace sys::posix

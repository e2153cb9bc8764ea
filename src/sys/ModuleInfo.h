#pragma once

#include <cstdint>
#include <string>

namespace sys {

// The fixed part of a version resource, laid out as Windows' VS_FIXEDFILEINFO.
struct FixedFileInfo {
  static constexpr uint32_t kSignature = 0xFEEF04BD;

  uint32_t signature;
  uint32_t strucVersion;
  uint32_t fileVersionMS;
  uint32_t fileVersionLS;
  uint32_t productVersionMS;
  uint32_t productVersionLS;
  uint32_t fileFlagsMask;
  uint32_t fileFlags;
  uint32_t fileOS;
  uint32_t fileType;
  uint32_t fileSubtype;
  uint32_t fileDateMS;
  uint32_t fileDateLS;
};
static_assert(sizeof(FixedFileInfo) == 52);

// The running program's path and the version data of program files
// (GetModuleFileNameW, GetFileVersionInfoSizeW, GetFileVersionInfoW, VerQueryValueW).
class ModuleInfo {
 public:
  virtual ~ModuleInfo() = default;

  // Full path of the running program; empty when it cannot be found.
  virtual std::u16string programPath() = 0;
  // Size of the version data of `path`; 0 when it has none or cannot be read.
  virtual uint32_t versionDataSize(const std::u16string& path) = 0;
  // Copies the version data of `path` into `data` (at most `size` bytes).
  virtual bool readVersionData(const std::u16string& path, uint8_t* data, uint32_t size) = 0;
  // Finds the fixed file information (root block "\") inside version data;
  // `value` then points into `data`.
  virtual bool queryRootBlock(const uint8_t* data, uint32_t size, const void** value, uint32_t* length) = 0;
};

}  // namespace sys

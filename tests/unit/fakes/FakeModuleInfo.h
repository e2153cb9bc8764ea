#pragma once

#include <cstring>
#include <vector>

#include "sys/ModuleInfo.h"

// A program path and version data scripted by the test, with a switch per step
// to make it fail.
class FakeModuleInfo : public sys::ModuleInfo {
 public:
  std::u16string path = u"C:\\Program Files\\Velkara\\vkbvd_mount_service.exe";
  std::vector<uint8_t> versionData;
  bool readFails = false;
  bool queryFails = false;
  bool queryGivesNull = false;
  uint32_t queryLength = sizeof(sys::FixedFileInfo);

  void setVersions(uint32_t fileMS, uint32_t fileLS, uint32_t productMS, uint32_t productLS) {
    sys::FixedFileInfo info{};
    info.signature = sys::FixedFileInfo::kSignature;
    info.fileVersionMS = fileMS;
    info.fileVersionLS = fileLS;
    info.productVersionMS = productMS;
    info.productVersionLS = productLS;
    versionData.assign(sizeof(info), 0);
    std::memcpy(versionData.data(), &info, sizeof(info));
  }

  std::u16string programPath() override { return path; }
  uint32_t versionDataSize(const std::u16string& file) override {
    return file == path ? static_cast<uint32_t>(versionData.size()) : 0;
  }
  bool readVersionData(const std::u16string& file, uint8_t* data, uint32_t size) override {
    if (readFails || file != path || size < versionData.size()) return false;
    std::memcpy(data, versionData.data(), versionData.size());
    return true;
  }
  bool queryRootBlock(const uint8_t* data, uint32_t, const void** value, uint32_t* length) override {
    if (queryFails) return false;
    *value = queryGivesNull ? nullptr : data;
    *length = queryLength;
    return true;
  }
};

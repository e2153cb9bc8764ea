#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "sys/Security.h"

// Privileges and file security scripted by the test: the open answers
// `openError`, the file's descriptor is `descriptor` (handed out only when the
// buffer holds it, as the system does), and every privilege switch and
// descriptor write is recorded.
class FakeSecurity : public sys::Security {
 public:
  uint32_t openError = 0;
  std::vector<uint8_t> descriptor;
  uint32_t getError = 0;  // returned instead of the descriptor when set
  uint32_t setError = 0;
  std::vector<std::u16string> missingPrivileges;  // answered ERROR_NOT_ALL_ASSIGNED

  std::vector<std::string> privilegeCalls;  // "SeBackupPrivilege on"
  std::vector<uint32_t> getBufferSizes;
  std::vector<std::vector<uint8_t>> written;

  uint32_t adjustProcessPrivilege(const std::u16string& name, bool enable) override {
    const std::lock_guard lock(mutex_);
    privilegeCalls.push_back(std::string(name.begin(), name.end()) + (enable ? " on" : " off"));
    for (const auto& missing : missingPrivileges) {
      if (missing == name) return 1300;
    }
    return 0;
  }
  uint32_t tryOpenForReading(const std::u16string&) override { return openError; }
  uint32_t getFileSecurity(const std::u16string&, uint32_t information, uint8_t* buffer, uint32_t size,
                           uint32_t& needed) override {
    const std::lock_guard lock(mutex_);
    getBufferSizes.push_back(size);
    if (information != kDaclSecurityInformation) return 87;
    if (getError != 0) return getError;
    needed = static_cast<uint32_t>(descriptor.size());
    if (size < needed) return 122;
    std::copy(descriptor.begin(), descriptor.end(), buffer);
    return 0;
  }
  uint32_t setFileSecurity(const std::u16string&, uint32_t information, const uint8_t* bytes, uint32_t size) override {
    const std::lock_guard lock(mutex_);
    if (information != kDaclSecurityInformation) return 87;
    if (setError != 0) return setError;
    written.emplace_back(bytes, bytes + size);
    return 0;
  }

 private:
  std::mutex mutex_;
};

#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sys/Security.h"

// Privileges and file security scripted by the test: the open answers
// `openError`, the file's descriptor is `descriptor` (handed out only when the
// buffer holds it, as the system does), and every privilege switch, with the
// thread that made it, and every descriptor write is recorded.
class FakeSecurity : public sys::Security {
 public:
  uint32_t openError = 0;
  std::vector<uint8_t> descriptor;
  uint32_t getError = 0;  // returned instead of the descriptor when set
  uint32_t setError = 0;
  std::vector<std::u16string> missingPrivileges;  // answered ERROR_NOT_ALL_ASSIGNED
  std::vector<std::u16string> enabledBefore;      // enabling them changes nothing

  std::vector<std::string> privilegeCalls;  // "SeBackupPrivilege on"
  std::vector<std::thread::id> privilegeCallers;
  std::vector<uint32_t> getBufferSizes;
  std::vector<std::vector<uint8_t>> written;

  uint32_t adjustThreadPrivilege(const std::u16string& name, bool enable, bool& changed) override {
    const std::lock_guard lock(mutex_);
    privilegeCalls.push_back(std::string(name.begin(), name.end()) + (enable ? " on" : " off"));
    privilegeCallers.push_back(std::this_thread::get_id());
    changed = false;
    if (std::ranges::count(missingPrivileges, name) != 0) return 1300;
    changed = !enable || std::ranges::count(enabledBefore, name) == 0;
    return 0;
  }
  // The privilege switches that thread `caller` made, in order.
  std::vector<std::string> privilegeCallsOf(std::thread::id caller) {
    const std::lock_guard lock(mutex_);
    std::vector<std::string> calls;
    for (size_t i = 0; i < privilegeCalls.size(); ++i) {
      if (privilegeCallers[i] == caller) calls.push_back(privilegeCalls[i]);
    }
    return calls;
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

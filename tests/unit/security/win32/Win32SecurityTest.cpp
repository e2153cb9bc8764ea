#include "sys/win32/Win32Security.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <vector>

#include "common/SecurityDescriptor.h"
#include "common/Thread.h"
#include "support/TempDir.h"

namespace {

constexpr std::chrono::seconds kBound{10};

// What the system gives for a file is what the portable descriptor reader
// reads, and what the editor writes the system takes.
TEST(Win32SecurityTest, TheSystemsDescriptorsReadAndWriteThroughThePortableFormat) {
  TempDir dir;
  std::ofstream(dir.path() / "image") << "data";
  sys::win32::Win32Security security;
  const std::u16string path = dir.file(u"image");

  uint32_t needed = 0;
  uint8_t small[4] = {};
  EXPECT_NE(security.getFileSecurity(path, 4, small, sizeof small, needed), 0u);
  ASSERT_GT(needed, 20u);
  std::vector<uint8_t> bytes(needed);
  ASSERT_EQ(security.getFileSecurity(path, 4, bytes.data(), needed, needed), 0u);
  SecurityDescriptor descriptor;
  ASSERT_EQ(SecurityDescriptor::fromSelfRelative(bytes, descriptor), 0u);

  AccessControlList dacl;
  ASSERT_EQ(dacl.initialize(64, AccessControlList::kRevision), 0u);
  ASSERT_EQ(dacl.addAccessAllowedAce(AccessControlList::kRevision, 0x80000000, Sid::localSystem()), 0u);
  SecurityDescriptor written;
  written.setDacl(true, &dacl, false);
  const std::vector<uint8_t> out = written.toSelfRelative();
  EXPECT_EQ(security.setFileSecurity(path, 4, out.data(), static_cast<uint32_t>(out.size())), 0u);
}

TEST(Win32SecurityTest, OpenForReadingAndPrivilegesAnswerWithSystemErrors) {
  TempDir dir;
  std::ofstream(dir.path() / "image") << "data";
  sys::win32::Win32Security security;
  EXPECT_EQ(security.tryOpenForReading(dir.file(u"image")), 0u);
  EXPECT_EQ(security.tryOpenForReading(dir.file(u"missing")), 2u);
  bool changed = true;
  EXPECT_EQ(security.adjustThreadPrivilege(u"SeNoSuchPrivilege", true, changed), 1313u);
  EXPECT_FALSE(changed);
}

// Whether SeBackupPrivilege is enabled in the token the calling thread acts with.
bool backupEnabledHere() {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
      !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  LUID backup{};
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::vector<uint8_t> buffer(size);
  bool enabled = false;
  if (LookupPrivilegeValueW(nullptr, L"SeBackupPrivilege", &backup) &&
      GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES& privilege = privileges->Privileges[i];
      if (privilege.Luid.LowPart == backup.LowPart && privilege.Luid.HighPart == backup.HighPart) {
        enabled = (privilege.Attributes & SE_PRIVILEGE_ENABLED) != 0;
      }
    }
  }
  CloseHandle(token);
  return enabled;
}

// A switch reaches the calling thread only: one thread enables the privilege,
// another disables it, and the test's own thread keeps what it had.
TEST(Win32SecurityTest, PrivilegesAreSwitchedForTheCallingThreadOnly) {
  struct Switched {
    uint32_t error = 1;
    bool changed = false;
    bool enabled = false;
    bool changedAgain = true;
  };
  const auto switchOnOtherThread = [](bool enable) {
    auto seen = std::make_shared<Switched>();
    Thread other;
    EXPECT_TRUE(other.start([seen, enable] {
      sys::win32::Win32Security security;
      seen->error = security.adjustThreadPrivilege(u"SeBackupPrivilege", enable, seen->changed);
      seen->enabled = backupEnabledHere();
      security.adjustThreadPrivilege(u"SeBackupPrivilege", enable, seen->changedAgain);
    }));
    EXPECT_TRUE(other.waitFor(kBound));
    return *seen;
  };
  const bool before = backupEnabledHere();
  const Switched on = switchOnOtherThread(true);
  const Switched off = switchOnOtherThread(false);
  EXPECT_EQ(backupEnabledHere(), before);
  EXPECT_EQ(on.error, 0u);
  EXPECT_EQ(on.changed, !before);
  EXPECT_TRUE(on.enabled);
  EXPECT_FALSE(on.changedAgain);
  EXPECT_EQ(off.error, 0u);
  EXPECT_EQ(off.changed, before);
  EXPECT_FALSE(off.enabled);
  EXPECT_FALSE(off.changedAgain);
}

}  // namespace

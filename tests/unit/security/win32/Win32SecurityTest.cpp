#include "sys/win32/Win32Security.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/SecurityDescriptor.h"
#include "support/TempDir.h"

namespace {

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
  EXPECT_EQ(security.adjustProcessPrivilege(u"SeNoSuchPrivilege", true), 1313u);
  EXPECT_EQ(security.adjustProcessPrivilege(u"SeBackupPrivilege", true), 0u);
  EXPECT_EQ(security.adjustProcessPrivilege(u"SeBackupPrivilege", false), 0u);
}

}  // namespace

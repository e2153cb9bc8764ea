#include "security/PrivilegeManager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "common/LittleEndian.h"
#include "common/SecurityDescriptor.h"
#include "common/Thread.h"
#include "fakes/FakeSecurity.h"
#include "support/CapturedLog.h"
#include "sys/ScopedFake.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Calls = std::vector<std::string>;

constexpr std::chrono::seconds kBound{10};

constexpr uint8_t kAllowed = 0;
constexpr uint8_t kDenied = 1;
constexpr uint8_t kAudit = 2;
constexpr uint8_t kAllowedObject = 5;
constexpr uint8_t kInherited = 0x10;
constexpr uint8_t kContainerInherit = 0x02;

// S-1-5-21-1-2-3-<rid>: a domain user.
Bytes userSid(uint32_t rid) {
  Bytes sid{1, 5, 0, 0, 0, 0, 0, 5};
  for (const uint32_t part : {21u, 1u, 2u, 3u, rid}) {
    for (int i = 0; i < 4; ++i) sid.push_back(static_cast<uint8_t>(part >> (8 * i)));
  }
  return sid;
}

// One entry: type, flags, size, mask, SID.
Bytes ace(uint8_t type, uint8_t flags, uint32_t mask, const Bytes& sid) {
  Bytes bytes(8);
  bytes[0] = type;
  bytes[1] = flags;
  writeLittleEndian(&bytes[2], 2, 8 + sid.size());
  writeLittleEndian(&bytes[4], 4, mask);
  bytes.insert(bytes.end(), sid.begin(), sid.end());
  return bytes;
}

Bytes acl(const std::vector<Bytes>& aces) {
  Bytes bytes(8);
  for (const Bytes& entry : aces) bytes.insert(bytes.end(), entry.begin(), entry.end());
  bytes[0] = 2;
  writeLittleEndian(&bytes[2], 2, bytes.size());
  writeLittleEndian(&bytes[4], 2, aces.size());
  return bytes;
}

// A self-relative descriptor as the system gives it: an owner, then the DACL
// (null when `dacl` is empty and `present`).
Bytes descriptor(const Bytes& dacl, bool present = true) {
  const Bytes owner = userSid(500);
  Bytes bytes(20);
  bytes[0] = 1;
  writeLittleEndian(&bytes[2], 2, 0x8000 | (present ? 0x0004 : 0));
  writeLittleEndian(&bytes[4], 4, 20);
  bytes.insert(bytes.end(), owner.begin(), owner.end());
  if (!dacl.empty()) {
    writeLittleEndian(&bytes[16], 4, bytes.size());
    bytes.insert(bytes.end(), dacl.begin(), dacl.end());
  }
  return bytes;
}

// The LocalSystem read entry the service adds.
const Bytes kLocalSystemRead{0, 0, 20, 0, 0, 0, 0, 0x80, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};

// The entries of a written descriptor's DACL.
std::vector<Bytes> writtenEntries(const Bytes& written) {
  SecurityDescriptor read;
  EXPECT_EQ(SecurityDescriptor::fromSelfRelative(written, read), 0u);
  bool present = false;
  bool defaulted = true;
  const AccessControlList* dacl = nullptr;
  read.getDacl(present, dacl, defaulted);
  EXPECT_TRUE(present);
  EXPECT_FALSE(defaulted);
  std::vector<Bytes> entries;
  if (dacl == nullptr) return entries;
  for (uint32_t i = 0; i < dacl->aceCount(); ++i) {
    std::span<const uint8_t> entry;
    EXPECT_EQ(dacl->getAce(i, entry), 0u);
    entries.emplace_back(entry.begin(), entry.end());
  }
  return entries;
}

class PrivilegeManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { PrivilegeManager::resetServicePrivileges(); }
  void TearDown() override {
    security_.missingPrivileges.clear();
    PrivilegeManager::resetServicePrivileges();
  }

  FakeSecurity security_;
  sys::ScopedFake<sys::Security> fake_{security_};
};

TEST_F(PrivilegeManagerTest, AReadableFileNeedsNothingMore) {
  CapturedLog log;
  EXPECT_TRUE(PrivilegeManager::checkImageFileAccess(u"/images/a.vkb"));
  EXPECT_TRUE(security_.privilegeCalls.empty());
  EXPECT_TRUE(security_.getBufferSizes.empty());
  EXPECT_EQ(log.lines(), "");
}

TEST_F(PrivilegeManagerTest, AMissingFileIsReportedWithoutTouchingPrivileges) {
  CapturedLog log;
  security_.openError = 2;
  EXPECT_FALSE(PrivilegeManager::checkImageFileAccess(u"/images/missing.vkb"));
  EXPECT_TRUE(security_.privilegeCalls.empty());
  EXPECT_TRUE(security_.written.empty());
  EXPECT_EQ(log.lines(), "PrivilegeManager::checkImageFileAccess err=0x2\n");
}

TEST_F(PrivilegeManagerTest, ADeniedFileGainsTheLocalSystemEntryAfterTheLeadingDenies) {
  const Bytes denyA = ace(kDenied, 0, 0x1F01FF, userSid(1001));
  const Bytes denyB = ace(kDenied, 0, 0x1F01FF, userSid(1002));
  const Bytes allow = ace(kAllowed, 0, 0x120089, userSid(1003));
  const Bytes inherited = ace(kAllowed, kInherited, 0x1F01FF, userSid(1004));
  security_.descriptor = descriptor(acl({denyA, denyB, allow, inherited}));
  security_.openError = 5;
  CapturedLog log;

  EXPECT_TRUE(PrivilegeManager::checkImageFileAccess(u"/images/a.vkb"));

  EXPECT_EQ(security_.privilegeCalls, (std::vector<std::string>{"SeBackupPrivilege on", "SeRestorePrivilege on"}));
  ASSERT_EQ(security_.written.size(), 1u);
  EXPECT_EQ(writtenEntries(security_.written[0]),
            (std::vector<Bytes>{denyA, denyB, kLocalSystemRead, allow, inherited}));
  // Only the DACL is written: no owner, group or SACL, not protected.
  const Bytes& written = security_.written[0];
  EXPECT_EQ(readLittleEndian(&written[2], 2), 0x8004u);
  EXPECT_EQ(readLittleEndian(&written[4], 4), 0u);
  EXPECT_EQ(readLittleEndian(&written[8], 4), 0u);
  EXPECT_EQ(readLittleEndian(&written[12], 4), 0u);
  EXPECT_EQ(log.lines(),
            "PrivilegeManager::setServicePrivileges SE_BACKUP_NAME OK \n"
            "PrivilegeManager::setServicePrivileges SE_RESTORE_NAME OK \n"
            "PrivilegeManager::checkImageFileAccess denied try to add LocalSystem Account\n"
            "PrivilegeManager::addReadAccessRight copy existing ACL\n"
            "PrivilegeManager::getPositionForAllowedACE allowed pos=2\n"
            "PrivilegeManager::addReadAccessRight OK\n");
}

struct PlacementCase {
  const char* name;
  std::vector<Bytes> entries;
  uint32_t position;
  const char* line;  // the placement's log line; none for an empty DACL
};

TEST_F(PrivilegeManagerTest, TheNewEntryGoesBeforeTheFirstAllowedOrFlaggedEntry) {
  const Bytes deny = ace(kDenied, 0, 0x1F01FF, userSid(1));
  const PlacementCase cases[] = {
      {"only denies", {deny, deny}, 2, "PrivilegeManager::getPositionForAllowedACE all denied ACE pos=2\n"},
      {"empty", {}, 0, nullptr},
      {"explicit with inherit flags first",
       {ace(kAllowed, kContainerInherit, 0x1F01FF, userSid(2)), deny},
       0,
       "PrivilegeManager::getPositionForAllowedACE inherited pos=0\n"},
      {"flagged deny",
       {deny, ace(kDenied, kInherited, 1, userSid(3))},
       1,
       "PrivilegeManager::getPositionForAllowedACE inherited pos=1\n"},
      {"audit passed over, object allow",
       {deny, ace(kAudit, 0, 1, userSid(4)), ace(kAllowedObject, 0, 1, userSid(5))},
       2,
       "PrivilegeManager::getPositionForAllowedACE allowed pos=2\n"},
  };
  for (const PlacementCase& c : cases) {
    security_.descriptor = descriptor(acl(c.entries));
    security_.written.clear();
    CapturedLog log;
    ASSERT_TRUE(PrivilegeManager::addReadAccessRight(u"f")) << c.name;
    ASSERT_EQ(security_.written.size(), 1u) << c.name;
    std::vector<Bytes> expected = c.entries;
    expected.insert(expected.begin() + c.position, kLocalSystemRead);
    EXPECT_EQ(writtenEntries(security_.written[0]), expected) << c.name;
    std::string lines = "PrivilegeManager::addReadAccessRight copy existing ACL\n";
    if (c.line) lines += c.line;
    EXPECT_EQ(log.lines(), lines + "PrivilegeManager::addReadAccessRight OK\n") << c.name;
  }
}

TEST_F(PrivilegeManagerTest, ALongDescriptorIsReadWithASecondLargerCall) {
  std::vector<Bytes> entries;
  for (uint32_t i = 0; i < 40; ++i) entries.push_back(ace(kDenied, 0, 1, userSid(i)));
  security_.descriptor = descriptor(acl(entries));
  ASSERT_GT(security_.descriptor.size(), 1024u);
  ASSERT_TRUE(PrivilegeManager::addReadAccessRight(u"f"));
  EXPECT_EQ(security_.getBufferSizes,
            (std::vector<uint32_t>{1024, static_cast<uint32_t>(security_.descriptor.size())}));
  EXPECT_EQ(writtenEntries(security_.written.at(0)).size(), 41u);
}

TEST_F(PrivilegeManagerTest, AFileWithoutADaclOrWithANullOneIsLeftAlone) {
  for (const bool present : {false, true}) {
    security_.descriptor = descriptor({}, present);
    CapturedLog log;
    EXPECT_FALSE(PrivilegeManager::addReadAccessRight(u"f"));
    EXPECT_TRUE(security_.written.empty());
    EXPECT_EQ(log.lines(), "PrivilegeManager::addReadAccessRight no DACL to extend, file left unchanged\n");
  }
}

struct FailureCase {
  const char* name;
  uint32_t getError;
  uint32_t setError;
  Bytes descriptor;
  std::string lines;
};

TEST_F(PrivilegeManagerTest, EachFailureIsLoggedAndNothingPartialIsWritten) {
  const Bytes good = descriptor(acl({ace(kAllowed, 0, 1, userSid(1))}));
  Bytes cutShort = good;
  cutShort.resize(good.size() - 4);
  const FailureCase cases[] = {
      {"security not readable", 5, 0, good,
       "PrivilegeManager::getFileSecurityDescriptor GetFileSecurity err=0x5\n"
       "PrivilegeManager::addReadAccessRight failed to get file security descriptor\n"},
      {"DACL cut short", 0, 0, cutShort, "PrivilegeManager::addReadAccessRight GetSecurityDescriptorDacl err=0x538\n"},
      {"not a self-relative descriptor", 0, 0, Bytes(20, 0),
       "PrivilegeManager::addReadAccessRight GetSecurityDescriptorDacl err=0x53A\n"},
      {"no room for one more entry", 0, 0, descriptor(acl(std::vector<Bytes>(1820, ace(kDenied, 0, 1, userSid(1))))),
       "PrivilegeManager::addReadAccessRight InitializeAcl err=0x57\n"},
      {"write refused", 0, 5, good,
       "PrivilegeManager::addReadAccessRight copy existing ACL\n"
       "PrivilegeManager::getPositionForAllowedACE allowed pos=0\n"
       "PrivilegeManager::addReadAccessRight SetFileSecurity err=0x5\n"},
  };
  for (const FailureCase& c : cases) {
    security_.getError = c.getError;
    security_.setError = c.setError;
    security_.descriptor = c.descriptor;
    CapturedLog log;
    EXPECT_FALSE(PrivilegeManager::addReadAccessRight(u"f")) << c.name;
    EXPECT_TRUE(security_.written.empty()) << c.name;
    EXPECT_EQ(log.lines(), c.lines) << c.name;
  }
}

TEST_F(PrivilegeManagerTest, PrivilegesAreSwitchedOnOnceAndOffOnlyWhenThisSwitchedThemOn) {
  security_.missingPrivileges = {u"SeRestorePrivilege"};
  CapturedLog log;
  EXPECT_TRUE(PrivilegeManager::setServicePrivileges());
  EXPECT_TRUE(PrivilegeManager::setServicePrivileges());
  EXPECT_EQ(log.lines(), "PrivilegeManager::setServicePrivileges SE_BACKUP_NAME OK \n");
  EXPECT_TRUE(PrivilegeManager::resetServicePrivileges());
  EXPECT_TRUE(PrivilegeManager::resetServicePrivileges());
  EXPECT_EQ(security_.privilegeCalls, (std::vector<std::string>{"SeBackupPrivilege on", "SeRestorePrivilege on",
                                                                "SeRestorePrivilege on", "SeBackupPrivilege off"}));
}

// Runs `body` on a thread of its own; the id of that thread.
std::thread::id runOnOtherThread(std::function<void()> body) {
  auto id = std::make_shared<std::thread::id>();
  Thread other;
  EXPECT_TRUE(other.start([id, body = std::move(body)] {
    *id = std::this_thread::get_id();
    body();
  }));
  return other.waitFor(kBound) ? *id : std::thread::id();
}

// Two threads whose sets and resets interleave: each enables its own
// privileges once and undoes exactly that.
TEST_F(PrivilegeManagerTest, EachThreadSwitchesItsOwnPrivilegesAndAResetUndoesOnlyItsOwn) {
  EXPECT_TRUE(PrivilegeManager::setServicePrivileges());
  const std::thread::id other = runOnOtherThread([] {
    PrivilegeManager::resetServicePrivileges();  // nothing was switched on this thread yet
    PrivilegeManager::setServicePrivileges();
    PrivilegeManager::setServicePrivileges();
    PrivilegeManager::resetServicePrivileges();
  });
  EXPECT_TRUE(PrivilegeManager::resetServicePrivileges());
  const Calls onAndOff{"SeBackupPrivilege on", "SeRestorePrivilege on", "SeBackupPrivilege off",
                       "SeRestorePrivilege off"};
  EXPECT_EQ(security_.privilegeCallsOf(other), onAndOff);
  EXPECT_EQ(security_.privilegeCallsOf(std::this_thread::get_id()), onAndOff);
}

TEST_F(PrivilegeManagerTest, APrivilegeThatWasEnabledBeforeStaysEnabledAfterTheReset) {
  security_.enabledBefore = {u"SeBackupPrivilege"};
  CapturedLog log;
  EXPECT_TRUE(PrivilegeManager::setServicePrivileges());
  EXPECT_TRUE(PrivilegeManager::resetServicePrivileges());
  EXPECT_EQ(log.lines(),
            "PrivilegeManager::setServicePrivileges SE_BACKUP_NAME OK \n"
            "PrivilegeManager::setServicePrivileges SE_RESTORE_NAME OK \n");
  EXPECT_EQ(security_.privilegeCalls,
            (Calls{"SeBackupPrivilege on", "SeRestorePrivilege on", "SeRestorePrivilege off"}));
}

TEST_F(PrivilegeManagerTest, MissingArgumentsOfTheEntryHelpersAreRefused) {
  CapturedLog log;
  AccessControlList list;
  ASSERT_EQ(list.initialize(64, AccessControlList::kRevision), 0u);
  const Sid sid = Sid::localSystem();
  uint32_t position = 7;
  EXPECT_FALSE(PrivilegeManager::getPositionForAllowedACE(nullptr, 1, position));
  EXPECT_EQ(position, 0u);
  EXPECT_FALSE(PrivilegeManager::addAccessAllowedACE(nullptr, 0, 1, &sid));
  EXPECT_FALSE(PrivilegeManager::addAccessAllowedACE(&list, 0, 1, nullptr));
  EXPECT_FALSE(PrivilegeManager::addAccessAllowedACE(&list, 3, 1, &sid));
  EXPECT_EQ(log.lines(),
            "PrivilegeManager::addAccessAllowedACE acl==NULL\n"
            "PrivilegeManager::addAccessAllowedACE sid==NULL\n"
            "PrivilegeManager::getPositionForAllowedACE GetAce err=0x57\n"
            "PrivilegeManager::addAccessAllowedACE err can not find position for allowed ACE\n");
}

}  // namespace

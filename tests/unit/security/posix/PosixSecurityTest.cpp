#include "sys/posix/PosixSecurity.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>

#include "common/LittleEndian.h"
#include "common/SecurityDescriptor.h"
#include "common/Thread.h"
#include "security/Impersonator.h"
#include "security/PrivilegeManager.h"
#include "security/posix/ChildProcess.h"
#include "support/CapturedLog.h"
#include "support/TempDir.h"
#include "sys/posix/DaclTranslation.h"

namespace {

using namespace sys::posix::dacl_translation;
using Tag = AclEntry::Tag;
using Bytes = std::vector<uint8_t>;

constexpr FileIdentity kFile{1000, 100, 0};
constexpr std::chrono::seconds kBound{10};

// A descriptor whose DACL holds the given entries (type, flags, mask, SID).
struct Entry {
  uint8_t type;
  uint8_t flags;
  uint32_t mask;
  Sid sid;
};
Bytes descriptorOf(const std::vector<Entry>& entries) {
  AccessControlList dacl;
  EXPECT_EQ(dacl.initialize(512, 2), 0u);
  for (const Entry& e : entries) {
    const Bytes sid = e.sid.bytes();
    Bytes ace(8);
    ace[0] = e.type;
    ace[1] = e.flags;
    writeLittleEndian(&ace[2], 2, 8 + sid.size());
    writeLittleEndian(&ace[4], 4, e.mask);
    ace.insert(ace.end(), sid.begin(), sid.end());
    EXPECT_EQ(dacl.addAce(2, AccessControlList::kAppend, ace), 0u);
  }
  SecurityDescriptor descriptor;
  descriptor.setDacl(true, &dacl, false);
  return descriptor.toSelfRelative();
}

// The SIDs and masks of a descriptor's DACL, as "S-1-...:mask" texts.
std::vector<std::string> daclOf(const Bytes& bytes) {
  SecurityDescriptor descriptor;
  EXPECT_EQ(SecurityDescriptor::fromSelfRelative(bytes, descriptor), 0u);
  bool present = false;
  bool defaulted = false;
  const AccessControlList* dacl = nullptr;
  descriptor.getDacl(present, dacl, defaulted);
  std::vector<std::string> texts;
  for (uint32_t i = 0; dacl && i < dacl->aceCount(); ++i) {
    std::span<const uint8_t> ace;
    dacl->getAce(i, ace);
    const std::u16string sid = Sid::fromBytes(ace.subspan(8))->toString();
    char mask[16];
    snprintf(mask, sizeof mask, "%X", static_cast<unsigned>(readLittleEndian(&ace[4], 4)));
    texts.push_back(std::string(sid.begin(), sid.end()) + ":" + mask + (ace[0] == 0 && ace[1] == 0 ? "" : " odd"));
  }
  return texts;
}

TEST(DaclTranslationTest, EntriesBecomeAllowedEntriesOfTheirAccountsAndBack) {
  const std::vector<AclEntry> entries{{Tag::Owner, 0, 6},       {Tag::User, 0, 4},    {Tag::User, 2000, 5},
                                      {Tag::OwningGroup, 0, 4}, {Tag::Group, 300, 7}, {Tag::Other, 0, 0}};
  const Bytes descriptor = descriptorFromEntries(entries, kFile);
  EXPECT_EQ(daclOf(descriptor),
            (std::vector<std::string>{"S-1-22-1-1000:12019F", "S-1-5-18:120089", "S-1-22-1-2000:1200A9",
                                      "S-1-22-2-100:120089", "S-1-22-2-300:1201BF", "S-1-1-0:0"}));
  std::vector<AclEntry> back;
  ASSERT_EQ(entriesFromDescriptor(descriptor, kFile, back), 0u);
  EXPECT_EQ(back, entries);
}

TEST(DaclTranslationTest, GenericRightsMapAndEntriesOfOneAccountAddUp) {
  const Bytes descriptor = descriptorOf({
      {0, 0, 0x80000000, Sid::localSystem()},  // GENERIC_READ for the service
      {0, 0, 0x10000000, Sid(22, {2, 300})},   // GENERIC_ALL
      {0, 0, 0x00000002, Sid(22, {2, 300})},   // FILE_WRITE_DATA again
      {0, 0, 0x40000000, Sid(1, {0})},         // GENERIC_WRITE for everyone
      {0, 0, 0x00000020, Sid(22, {1, 1000})},  // FILE_EXECUTE for the owner
      {0, 0, 0x00100000, Sid(22, {2, 100})},   // SYNCHRONIZE alone: nothing
  });
  std::vector<AclEntry> entries;
  ASSERT_EQ(entriesFromDescriptor(descriptor, kFile, entries), 0u);
  EXPECT_EQ(
      entries,
      (std::vector<AclEntry>{
          {Tag::Owner, 0, 1}, {Tag::User, 0, 4}, {Tag::OwningGroup, 0, 0}, {Tag::Group, 300, 7}, {Tag::Other, 0, 2}}));
}

TEST(DaclTranslationTest, WhatPosixCannotHoldIsRefused) {
  struct Case {
    const char* name;
    Bytes descriptor;
    uint32_t error;
  };
  SecurityDescriptor nullDacl;
  nullDacl.setDacl(true, nullptr, false);
  const Case cases[] = {
      {"deny", descriptorOf({{1, 0, 1, Sid(1, {0})}}), 50},
      {"inherit flags", descriptorOf({{0, 0x02, 1, Sid(1, {0})}}), 50},
      {"inherited", descriptorOf({{0, 0x10, 1, Sid(1, {0})}}), 50},
      {"audit", descriptorOf({{2, 0, 1, Sid(1, {0})}}), 50},
      {"Administrators", descriptorOf({{0, 0, 1, Sid(5, {32, 544})}}), 1332},
      {"a unix SID of a third kind", descriptorOf({{0, 0, 1, Sid(22, {3, 5})}}), 1332},
      {"null DACL", nullDacl.toSelfRelative(), 50},
      {"no DACL", SecurityDescriptor().toSelfRelative(), 50},
      {"not a descriptor", Bytes(8, 1), 1338},
  };
  for (const Case& c : cases) {
    std::vector<AclEntry> entries;
    EXPECT_EQ(entriesFromDescriptor(c.descriptor, kFile, entries), c.error) << c.name;
  }
}

// The image check's own lines of a log.
std::string privilegeLines(const std::string& log) {
  std::string lines;
  for (size_t at = 0, end = 0; at < log.size(); at = end + 1) {
    end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    if (log.compare(at, 18, "PrivilegeManager::") == 0) lines += log.substr(at, end - at) + "\n";
  }
  return lines;
}

std::string aclText(const std::filesystem::path& path) {
  acl_t acl = acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
  if (acl == nullptr) return "(none)";
  char* text = acl_to_any_text(acl, nullptr, ',', TEXT_NUMERIC_IDS);
  std::string result = text ? text : "";
  acl_free(text);
  acl_free(acl);
  return result;
}

class PosixSecurityFileTest : public ::testing::Test {
 protected:
  std::filesystem::path makeFile(const char* name, mode_t mode) {
    const std::filesystem::path path = dir_.path() / name;
    std::ofstream(path) << "data";
    chmod(path.c_str(), mode);
    return path;
  }

  TempDir dir_;
  sys::posix::PosixSecurity security_;
};

TEST_F(PosixSecurityFileTest, TheFilesAclIsReadAsADaclAndWrittenBack) {
  const auto path = makeFile("image", 0640);
  const std::u16string name = dir_.file(u"image");
  uint32_t needed = 0;
  Bytes small(8);
  EXPECT_EQ(security_.getFileSecurity(name, 4, small.data(), 8, needed), 122u);
  ASSERT_GT(needed, 20u);
  Bytes descriptor(needed);
  ASSERT_EQ(security_.getFileSecurity(name, 4, descriptor.data(), needed, needed), 0u);
  EXPECT_EQ(descriptor.size(), needed);
  EXPECT_EQ(security_.getFileSecurity(name, 1, descriptor.data(), needed, needed), 50u);

  // A named group, written as its allowed entry, lands in the ACL with a mask.
  const Bytes more = descriptorOf({{0, 0, 0x120116 | 0x120089, Sid(22, {1, getuid()})},
                                   {0, 0, 0x120089, Sid(22, {2, getgid()})},
                                   {0, 0, 0x120089, Sid(22, {2, 4321})}});
  ASSERT_EQ(security_.setFileSecurity(name, 4, more.data(), static_cast<uint32_t>(more.size())), 0u);
  EXPECT_EQ(aclText(path), "user::rw-,group::r--,group:4321:r--,mask::r--,other::---");
  EXPECT_EQ(security_.setFileSecurity(dir_.file(u"missing"), 4, more.data(), static_cast<uint32_t>(more.size())), 2u);
}

// The mask limits the group class, and a named entry for the owner, which
// POSIX never consults, is not shown.
TEST_F(PosixSecurityFileTest, WhatIsShownIsWhatTakesEffect) {
  const auto path = makeFile("masked", 0600);
  const std::string text = "u::rw-,u:" + std::to_string(geteuid()) + ":rwx,u:4321:rwx,g::rwx,m::r--,o::---";
  acl_t acl = acl_from_text(text.c_str());
  ASSERT_NE(acl, nullptr);
  ASSERT_EQ(acl_set_file(path.c_str(), ACL_TYPE_ACCESS, acl), 0);
  acl_free(acl);
  Bytes descriptor(1024);
  uint32_t needed = 0;
  ASSERT_EQ(security_.getFileSecurity(dir_.file(u"masked"), 4, descriptor.data(), 1024, needed), 0u);
  descriptor.resize(needed);
  // The file belongs to the account the test runs as: the service's own.
  const std::string owner = "S-1-5-18";
  EXPECT_EQ(daclOf(descriptor),
            (std::vector<std::string>{owner + ":12019F", "S-1-22-1-4321:120089",
                                      "S-1-22-2-" + std::to_string(getgid()) + ":120089", "S-1-1-0:0"}));
}

TEST_F(PosixSecurityFileTest, OpenForReadingReportsWhyItFails) {
  makeFile("readable", 0644);
  EXPECT_EQ(security_.tryOpenForReading(dir_.file(u"readable")), 0u);
  EXPECT_EQ(security_.tryOpenForReading(dir_.file(u"missing")), 2u);
  ASSERT_EQ(mkfifo((dir_.path() / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(security_.tryOpenForReading(dir_.file(u"fifo")), 0u);  // without waiting for a writer
}

// The calling thread's capabilities.
__user_cap_data_struct capabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  syscall(SYS_capget, &header, data);
  return data[0];
}

TEST(PosixPrivilegeTest, PrivilegesSwitchCapabilitiesThatArePermitted) {
  if ((capabilities().permitted & (1u << CAP_DAC_READ_SEARCH)) == 0) GTEST_SKIP() << "needs CAP_DAC_READ_SEARCH";
  sys::posix::PosixSecurity security;
  struct Seen {
    bool offCleared = false, onSet = false;
    uint32_t unknown = 0, missing = 0;
  };
  auto seen = std::make_shared<Seen>();
  Thread worker;  // capabilities belong to a thread: the test's own stay as they are
  ASSERT_TRUE(worker.start([seen, &security] {
    const uint32_t bit = 1u << CAP_DAC_READ_SEARCH;
    seen->offCleared =
        security.adjustProcessPrivilege(u"SeBackupPrivilege", false) == 0 && (capabilities().effective & bit) == 0;
    seen->onSet =
        security.adjustProcessPrivilege(u"SeBackupPrivilege", true) == 0 && (capabilities().effective & bit) != 0;
    seen->unknown = security.adjustProcessPrivilege(u"SeTcbPrivilege", true);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    syscall(SYS_capget, &header, data);
    data[0].permitted &= ~(1u << CAP_DAC_OVERRIDE);
    data[0].effective &= ~(1u << CAP_DAC_OVERRIDE);
    syscall(SYS_capset, &header, data);
    seen->missing = security.adjustProcessPrivilege(u"SeRestorePrivilege", true);
  }));
  ASSERT_TRUE(worker.waitFor(kBound));
  EXPECT_TRUE(seen->offCleared);
  EXPECT_TRUE(seen->onSet);
  EXPECT_EQ(seen->unknown, 1313u);
  EXPECT_EQ(seen->missing, 1300u);
}

// As root: the image check made while impersonating a user, against files of
// that user, of another one and of root.
class ImageAccessAsRootTest : public ::testing::Test {
 protected:
  static constexpr ChildProcess::User kUser{12345, 12345, 23456};

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "acting as another user takes root";
    std::filesystem::permissions(dir_.path(), std::filesystem::perms(0755));
    child_.emplace(kUser);
    ASSERT_TRUE(child_->running());
    ASSERT_TRUE(impersonator_->logonAsProcess(static_cast<uint32_t>(child_->pid())));
  }
  void TearDown() override { PrivilegeManager::resetServicePrivileges(); }

  std::filesystem::path makeFile(const char* name, uid_t owner, mode_t mode) {
    const std::filesystem::path path = dir_.path() / name;
    std::ofstream(path) << "data";
    EXPECT_EQ(chown(path.c_str(), owner, owner), 0);
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
  }

  // checkImageFileAccess on a thread that acts as the user; also whether
  // that thread could then open the file itself.
  std::pair<bool, bool> checkAsUser(const std::u16string& path) {
    struct Result {
      bool checked = false, opens = false, impersonated = false;
    };
    auto result = std::make_shared<Result>();
    Thread worker;
    auto impersonator = impersonator_;
    EXPECT_TRUE(worker.start([result, impersonator, path] {
      result->impersonated = impersonator->impersonateToUser();
      result->checked = PrivilegeManager::checkImageFileAccess(path);
      const int fd = open(std::string(path.begin(), path.end()).c_str(), O_RDONLY | O_CLOEXEC);
      result->opens = fd >= 0;
      if (fd >= 0) close(fd);
      impersonator->resetImpersonation();
    }));
    EXPECT_TRUE(worker.waitFor(kBound));
    EXPECT_TRUE(result->impersonated);
    return {result->checked, result->opens};
  }

  TempDir dir_;
  std::optional<ChildProcess> child_;
  std::shared_ptr<Impersonator> impersonator_ = std::make_shared<Impersonator>();
};

TEST_F(ImageAccessAsRootTest, AReadableFileIsAcceptedAsItIs) {
  const auto path = makeFile("readable", 0, 0644);
  CapturedLog log;
  EXPECT_EQ(checkAsUser(dir_.file(u"readable")), std::pair(true, true));
  EXPECT_EQ(privilegeLines(log.lines()), "");
  EXPECT_EQ(aclText(path), "user::rw-,group::r--,other::r--");
}

TEST_F(ImageAccessAsRootTest, AMissingFileIsReportedWithItsError) {
  CapturedLog log;
  EXPECT_EQ(checkAsUser(dir_.file(u"missing")), std::pair(false, false));
  EXPECT_EQ(privilegeLines(log.lines()), "PrivilegeManager::checkImageFileAccess err=0x2\n");
}

TEST_F(ImageAccessAsRootTest, AnUnreadableFileOfTheUserGainsReadAccessForTheService) {
  const auto path = makeFile("own", kUser.uid, 0200);
  CapturedLog log;
  // The service's account gains read access; the user itself still may not
  // read, since the privileges never reach a thread acting as a client.
  EXPECT_EQ(checkAsUser(dir_.file(u"own")), std::pair(true, false));
  EXPECT_EQ(aclText(path), "user::-w-,user:0:r--,group::---,mask::r--,other::---");
  const std::string lines = privilegeLines(log.lines());
  EXPECT_TRUE(
      lines.ends_with("PrivilegeManager::checkImageFileAccess denied try to add LocalSystem Account\n"
                      "PrivilegeManager::addReadAccessRight copy existing ACL\n"
                      "PrivilegeManager::getPositionForAllowedACE allowed pos=0\n"
                      "PrivilegeManager::addReadAccessRight OK\n"))
      << lines;
}

TEST_F(ImageAccessAsRootTest, AFileOfAnotherUserCannotBeChanged) {
  const auto path = makeFile("foreign", 23456, 0200);
  CapturedLog log;
  EXPECT_EQ(checkAsUser(dir_.file(u"foreign")), std::pair(false, false));
  EXPECT_EQ(aclText(path), "user::-w-,group::---,other::---");
  EXPECT_TRUE(privilegeLines(log.lines()).ends_with("PrivilegeManager::addReadAccessRight SetFileSecurity err=0x5\n"));
}

}  // namespace

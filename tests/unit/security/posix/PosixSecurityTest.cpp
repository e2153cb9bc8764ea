#include "sys/posix/PosixSecurity.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/openat2.h>
#include <sys/acl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "common/Event.h"
#include "common/LittleEndian.h"
#include "common/SecurityDescriptor.h"
#include "common/Thread.h"
#include "common/WideString.h"
#include "security/Impersonator.h"
#include "security/PrivilegeManager.h"
#include "security/posix/ChildProcess.h"
#include "support/CapturedLog.h"
#include "support/TempDir.h"
#include "sys/posix/DaclTranslation.h"
#include "sys/posix/ErrnoMapping.h"
#include "sys/posix/UniqueFd.h"

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
  Bytes descriptor;
  ASSERT_EQ(descriptorFromEntries(entries, kFile, descriptor), 0u);
  EXPECT_EQ(daclOf(descriptor),
            (std::vector<std::string>{"S-1-22-1-1000:12019F", "S-1-5-18:120089", "S-1-22-1-2000:1200A9",
                                      "S-1-22-2-100:120089", "S-1-22-2-300:1201BF", "S-1-1-0:0"}));
  std::vector<AclEntry> back;
  ASSERT_EQ(entriesFromDescriptor(descriptor, kFile, back), 0u);
  EXPECT_EQ(back, entries);
}

// Named users of 24-byte entries: 2730 of them fill a DACL to 0xFFF8 bytes,
// one more would pass the largest size an ACL can have, 0xFFFC.
TEST(DaclTranslationTest, ADaclLargerThanAnAclCanBeIsRefused) {
  struct Case {
    uint32_t users;
    uint32_t error;
  };
  for (const Case c : {Case{2730, 0}, Case{2731, 87}, Case{5000, 87}}) {
    std::vector<AclEntry> entries;
    for (uint32_t i = 0; i < c.users; ++i) entries.push_back({Tag::User, 100000 + i, 4});
    Bytes descriptor;
    EXPECT_EQ(descriptorFromEntries(entries, kFile, descriptor), c.error) << c.users;
    EXPECT_EQ(descriptor.empty() ? 0 : daclOf(descriptor).size(), c.error == 0 ? c.users : 0) << c.users;
  }
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

// A descriptor that gives the test's own user every right and group 4321 read.
Bytes descriptorAddingAGroup() {
  return descriptorOf({{0, 0, 0x120116 | 0x120089, Sid(22, {1, getuid()})}, {0, 0, 0x120089, Sid(22, {2, 4321})}});
}

// The image may be reached through a symbolic link, as its own open follows
// one; its ACL is neither read nor written through one.
TEST_F(PosixSecurityFileTest, AnAclIsNotReachedThroughASymbolicLink) {
  const auto path = makeFile("image", 0640);
  std::filesystem::create_symlink(path, dir_.path() / "link");
  const std::string before = aclText(path);
  const uint32_t refused = sys::posix::winErrorFromErrno(ELOOP);
  const std::u16string link = dir_.file(u"link");
  EXPECT_EQ(security_.tryOpenForReading(link), 0u);
  Bytes descriptor(1024);
  uint32_t needed = 1;
  EXPECT_EQ(security_.getFileSecurity(link, 4, descriptor.data(), 1024, needed), refused);
  EXPECT_EQ(needed, 0u);
  const Bytes more = descriptorAddingAGroup();
  EXPECT_EQ(security_.setFileSecurity(link, 4, more.data(), static_cast<uint32_t>(more.size())), refused);
  EXPECT_EQ(aclText(path), before);
}

// Whether the kernel can open a path refusing magic links (openat2, Linux 5.6).
bool kernelRefusesMagicLinks() {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_MAGICLINKS;
  return sys::posix::UniqueFd(static_cast<int>(syscall(SYS_openat2, AT_FDCWD, "/", &how, sizeof how))).valid();
}

// A path through a process's entries in /proc reaches a file with the rights
// of that process, not by the path: it is refused, and the file's ACL is
// neither read nor written through it.
TEST_F(PosixSecurityFileTest, APathThroughAProcessIsRefused) {
  if (!kernelRefusesMagicLinks()) GTEST_SKIP() << "the kernel has no openat2";
  const auto path = makeFile("image", 0640);
  const std::string before = aclText(path);
  const uint32_t refused = sys::posix::winErrorFromErrno(ELOOP);
  const sys::posix::UniqueFd dir(open(dir_.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(dir.valid());
  const std::u16string throughFd = wide::fromUtf8("/proc/self/fd/" + std::to_string(dir.get()) + "/image");
  for (const std::u16string& through : {u"/proc/self/root" + dir_.file(u"image"), throughFd}) {
    const std::string name = wide::toUtf8(through);
    ASSERT_EQ(readFileBytes(name), "data") << name;
    EXPECT_EQ(security_.tryOpenForReading(through), refused) << name;
    Bytes descriptor(1024);
    uint32_t needed = 1;
    EXPECT_EQ(security_.getFileSecurity(through, 4, descriptor.data(), 1024, needed), refused) << name;
    const Bytes more = descriptorAddingAGroup();
    EXPECT_EQ(security_.setFileSecurity(through, 4, more.data(), static_cast<uint32_t>(more.size())), refused) << name;
  }
  EXPECT_EQ(aclText(path), before);
}

// Exit codes of the check below, which runs in a child process of its own
// because it leaves the test's session.
enum TerminalOutcome { kNotControlling = 0, kNoSession = 10, kNotOpened = 11, kControlling = 12 };

// Opens `terminal` as an image in a session of its own without a controlling
// terminal, as a daemon runs, and tells whether the terminal became its one.
int openTerminalAsImageInANewSession(const std::u16string& terminal) {
  if (setsid() < 0) return kNoSession;
  if (sys::posix::PosixSecurity().tryOpenForReading(terminal) != 0) return kNotOpened;
  const sys::posix::UniqueFd controlling(open("/dev/tty", O_RDWR | O_CLOEXEC));
  return !controlling.valid() && errno == ENXIO ? kNotControlling : kControlling;
}

TEST(PosixSecurityDeathTest, ATerminalNamedAsTheImageNeverBecomesTheControllingTerminal) {
  const sys::posix::UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(master.valid());
  char name[64] = {};
  ASSERT_EQ(grantpt(master.get()), 0);
  ASSERT_EQ(unlockpt(master.get()), 0);
  ASSERT_EQ(ptsname_r(master.get(), name, sizeof name), 0);
  const std::u16string terminal = wide::fromUtf8(name);
  EXPECT_EXIT(_exit(openTerminalAsImageInANewSession(terminal)), ::testing::ExitedWithCode(kNotControlling), "");
}

// The calling thread's capabilities.
__user_cap_data_struct capabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  syscall(SYS_capget, &header, data);
  return data[0];
}

constexpr uint32_t kDacCapabilities = (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_DAC_OVERRIDE);

// Which of CAP_DAC_READ_SEARCH and CAP_DAC_OVERRIDE the calling thread has in effect.
uint32_t dacCapabilities() { return capabilities().effective & kDacCapabilities; }

// Takes both out of the calling thread's effective set.
bool dropDacCapabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[0].effective &= ~kDacCapabilities;
  return syscall(SYS_capset, &header, data) == 0;
}

TEST(PosixPrivilegeTest, PrivilegesSwitchCapabilitiesThatArePermitted) {
  if ((capabilities().permitted & (1u << CAP_DAC_READ_SEARCH)) == 0) GTEST_SKIP() << "needs CAP_DAC_READ_SEARCH";
  sys::posix::PosixSecurity security;
  // What a switch answers and whether the capability is then in effect.
  struct Switched {
    uint32_t error;
    bool changed;
    bool inEffect;
    bool operator==(const Switched&) const = default;
  };
  struct Seen {
    std::vector<Switched> backup;
    uint32_t unknown = 0, missing = 0;
  };
  auto seen = std::make_shared<Seen>();
  Thread worker;  // capabilities belong to a thread: the test's own stay as they are
  ASSERT_TRUE(worker.start([seen, &security] {
    if (!dropDacCapabilities()) return;
    for (const bool enable : {true, true, false, false}) {
      bool changed = false;
      const uint32_t error = security.adjustThreadPrivilege(u"SeBackupPrivilege", enable, changed);
      seen->backup.push_back({error, changed, (capabilities().effective & (1u << CAP_DAC_READ_SEARCH)) != 0});
    }
    bool changed = false;
    seen->unknown = security.adjustThreadPrivilege(u"SeTcbPrivilege", true, changed);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    syscall(SYS_capget, &header, data);
    data[0].permitted &= ~(1u << CAP_DAC_OVERRIDE);
    data[0].effective &= ~(1u << CAP_DAC_OVERRIDE);
    syscall(SYS_capset, &header, data);
    seen->missing = security.adjustThreadPrivilege(u"SeRestorePrivilege", true, changed);
  }));
  ASSERT_TRUE(worker.waitFor(kBound));
  EXPECT_EQ(seen->backup,
            (std::vector<Switched>{{0, true, true}, {0, false, true}, {0, true, false}, {0, false, false}}));
  EXPECT_EQ(seen->unknown, 1313u);
  EXPECT_EQ(seen->missing, 1300u);
}

// As root, whose threads start with both capabilities in effect: a set
// reaches the calling thread only, and a reset undoes what a set enabled on
// its own thread and nothing more.
TEST(PosixPrivilegeTest, PrivilegeManagerSwitchesTheCallingThreadOnly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root's capabilities";
  struct Seen {
    Event otherReady{Event::Reset::Manual};
    Event setterEnabled{Event::Reset::Manual};
    Event otherReset{Event::Reset::Manual};
    uint32_t setterAfterSet = 0, setterAfterOtherReset = 0, setterAfterOwnReset = ~0u;
    uint32_t otherAfterSet = ~0u, otherAfterOwnReset = ~0u;
    uint32_t untouchedAfterSetAndReset = 0;
  };
  auto seen = std::make_shared<Seen>();
  Thread other;
  ASSERT_TRUE(other.start([seen] {
    if (!dropDacCapabilities()) return;
    seen->otherReady.set();
    if (!seen->setterEnabled.wait(kBound)) return;
    seen->otherAfterSet = dacCapabilities();
    PrivilegeManager::resetServicePrivileges();
    seen->otherAfterOwnReset = dacCapabilities();
    seen->otherReset.set();
  }));
  ASSERT_TRUE(seen->otherReady.wait(kBound));
  Thread setter;
  ASSERT_TRUE(setter.start([seen] {
    if (!dropDacCapabilities()) return;
    PrivilegeManager::setServicePrivileges();
    seen->setterAfterSet = dacCapabilities();
    seen->setterEnabled.set();
    if (!seen->otherReset.wait(kBound)) return;
    seen->setterAfterOtherReset = dacCapabilities();
    PrivilegeManager::resetServicePrivileges();
    seen->setterAfterOwnReset = dacCapabilities();
  }));
  ASSERT_TRUE(setter.waitFor(kBound));
  ASSERT_TRUE(other.waitFor(kBound));
  Thread untouched;  // keeps root's capabilities: a set finds them in effect, and the reset leaves them
  ASSERT_TRUE(untouched.start([seen] {
    PrivilegeManager::setServicePrivileges();
    PrivilegeManager::resetServicePrivileges();
    seen->untouchedAfterSetAndReset = dacCapabilities();
  }));
  ASSERT_TRUE(untouched.waitFor(kBound));

  EXPECT_EQ(seen->setterAfterSet, kDacCapabilities);
  EXPECT_EQ(seen->otherAfterSet, 0u);
  EXPECT_EQ(seen->otherAfterOwnReset, 0u);
  EXPECT_EQ(seen->setterAfterOtherReset, kDacCapabilities);
  EXPECT_EQ(seen->setterAfterOwnReset, 0u);
  EXPECT_EQ(seen->untouchedAfterSetAndReset, kDacCapabilities);
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

// Nothing is switched for a thread that acts as the user, and nothing is
// recorded that a reset, once the thread is itself again, would undo.
TEST_F(ImageAccessAsRootTest, AThreadActingAsTheUserGainsNoPrivileges) {
  struct Seen {
    bool impersonated = false, reverted = false;
    uint32_t asUser = ~0u, afterReset = 0;
  };
  auto seen = std::make_shared<Seen>();
  auto impersonator = impersonator_;
  CapturedLog log;
  Thread worker;
  ASSERT_TRUE(worker.start([seen, impersonator] {
    seen->impersonated = impersonator->impersonateToUser();
    PrivilegeManager::setServicePrivileges();
    seen->asUser = dacCapabilities();
    seen->reverted = impersonator->resetImpersonation();
    PrivilegeManager::resetServicePrivileges();
    seen->afterReset = dacCapabilities();
  }));
  ASSERT_TRUE(worker.waitFor(kBound));
  EXPECT_TRUE(seen->impersonated);
  EXPECT_TRUE(seen->reverted);
  EXPECT_EQ(seen->asUser, 0u);
  EXPECT_EQ(seen->afterReset, kDacCapabilities);  // root's own, given back on reverting
  EXPECT_EQ(privilegeLines(log.lines()), "");
}

// A tmpfs in a directory of the test's own, unmounted at the end; it holds
// ACLs of thousands of entries, where ext4 holds a few hundred.
class ScopedTmpfs {
 public:
  explicit ScopedTmpfs(const std::filesystem::path& path) : path_(path) {
    std::filesystem::create_directory(path_);
    mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=4m,mode=0700") == 0;
  }
  ~ScopedTmpfs() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  ScopedTmpfs(const ScopedTmpfs&) = delete;
  ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;

  bool mounted() const { return mounted_; }

 private:
  std::filesystem::path path_;
  bool mounted_ = false;
};

TEST_F(PosixSecurityFileTest, AnAclTooLargeForADaclIsAnErrorAndTheFileIsLeftAsItIs) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs takes root";
  const ScopedTmpfs tmpfs(dir_.path() / "tmpfs");
  if (!tmpfs.mounted()) GTEST_SKIP() << "no tmpfs could be mounted";
  const auto path = makeFile("tmpfs/image", 0600);
  std::string text = "u::rw-,g::---,m::r--,o::---";
  for (uint32_t uid = 100000; uid < 103000; ++uid) text += ",u:" + std::to_string(uid) + ":r--";
  acl_t acl = acl_from_text(text.c_str());
  ASSERT_NE(acl, nullptr);
  ASSERT_EQ(acl_set_file(path.c_str(), ACL_TYPE_ACCESS, acl), 0) << strerror(errno);
  acl_free(acl);
  const std::string before = aclText(path);

  Bytes descriptor(1024);
  uint32_t needed = 1;
  EXPECT_EQ(security_.getFileSecurity(dir_.file(u"tmpfs/image"), 4, descriptor.data(), 1024, needed), 87u);
  EXPECT_EQ(needed, 0u);
  CapturedLog log;
  EXPECT_FALSE(PrivilegeManager::addReadAccessRight(dir_.file(u"tmpfs/image")));
  EXPECT_EQ(log.lines(),
            "PrivilegeManager::getFileSecurityDescriptor GetFileSecurity err=0x57\n"
            "PrivilegeManager::addReadAccessRight failed to get file security descriptor\n");
  EXPECT_EQ(aclText(path), before);
}

}  // namespace

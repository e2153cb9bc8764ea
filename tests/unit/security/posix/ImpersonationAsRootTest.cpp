#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <vector>

#include "common/Event.h"
#include "common/Thread.h"
#include "security/Impersonator.h"
#include "security/posix/ChildProcess.h"
#include "support/TempDir.h"
#include "sys/posix/PosixTokens.h"

namespace {

constexpr ChildProcess::User kUser{12345, 12345, 23456};
constexpr std::chrono::seconds kBound{10};
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kPrivilegeNotHeld = 1314;

// The calling thread's file-system uid and gid: an invalid id changes nothing
// and answers the current one.
long threadFsuid() { return syscall(SYS_setfsuid, -1); }
long threadFsgid() { return syscall(SYS_setfsgid, -1); }

// The calling thread's groups (the system call reads the thread's own).
std::vector<gid_t> threadGroups() {
  std::vector<gid_t> groups(static_cast<size_t>(syscall(SYS_getgroups, 0, nullptr)));
  groups.resize(static_cast<size_t>(syscall(SYS_getgroups, groups.size(), groups.data())));
  std::sort(groups.begin(), groups.end());
  return groups;
}

bool canOpen(const std::filesystem::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

// Which of the test's files the calling thread can open.
struct Access {
  bool userFile = false;
  bool groupFile = false;
  bool rootFile = false;
  friend bool operator==(const Access&, const Access&) = default;
};

// A user's child process and three files: one only that user may read, one
// only its supplementary group may read, one only root may read.
class ImpersonationAsRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "acting as another user on one thread takes root (CAP_SETUID, CAP_SETGID)";
    std::filesystem::permissions(dir_.path(), std::filesystem::perms(0755));
    ASSERT_TRUE(makeFile(userFile_, kUser.uid, kUser.gid, 0400));
    ASSERT_TRUE(makeFile(groupFile_, 0, kUser.group, 0040));
    ASSERT_TRUE(makeFile(rootFile_, 0, 0, 0400));
    child_.emplace(kUser);
    ASSERT_TRUE(child_->running());
  }

  static bool makeFile(const std::filesystem::path& path, uid_t owner, gid_t group, mode_t mode) {
    std::ofstream(path) << "data";
    return chown(path.c_str(), owner, group) == 0 && chmod(path.c_str(), mode) == 0;
  }
  Access access() const { return {canOpen(userFile_), canOpen(groupFile_), canOpen(rootFile_)}; }

  TempDir dir_;
  const std::filesystem::path userFile_ = dir_.path() / "user-only";
  const std::filesystem::path groupFile_ = dir_.path() / "group-only";
  const std::filesystem::path rootFile_ = dir_.path() / "root-only";
  std::optional<ChildProcess> child_;
};

TEST_F(ImpersonationAsRootTest, OnlyTheImpersonatingThreadActsAsTheUser) {
  const std::vector<gid_t> ownGroups = threadGroups();
  auto impersonator = std::make_shared<Impersonator>();
  ASSERT_TRUE(impersonator->logonAsProcess(static_cast<uint32_t>(child_->pid())));

  struct Seen {
    Event switched{Event::Reset::Manual};
    Event checked{Event::Reset::Manual};
    bool impersonated = false;
    Access asUser;
    long fsuid = -1;
    long fsgid = -1;
    std::vector<gid_t> groups;
    bool reset = false;
    Access afterReset;
    long fsuidAfterReset = -1;
    std::vector<gid_t> groupsAfterReset;
  };
  auto seen = std::make_shared<Seen>();
  Thread worker;
  ASSERT_TRUE(worker.start([impersonator, seen, this] {
    seen->impersonated = impersonator->impersonateToUser();
    seen->asUser = access();
    seen->fsuid = threadFsuid();
    seen->fsgid = threadFsgid();
    seen->groups = threadGroups();
    seen->switched.set();
    seen->checked.wait(kBound);
    seen->reset = impersonator->resetImpersonation();
    seen->afterReset = access();
    seen->fsuidAfterReset = threadFsuid();
    seen->groupsAfterReset = threadGroups();
  }));
  ASSERT_TRUE(seen->switched.wait(kBound));
  const Access meanwhile = access();
  const long fsuidMeanwhile = threadFsuid();
  const std::vector<gid_t> groupsMeanwhile = threadGroups();
  seen->checked.set();
  ASSERT_TRUE(worker.waitFor(kBound));

  EXPECT_TRUE(seen->impersonated);
  EXPECT_EQ(seen->asUser, (Access{true, true, false}));
  EXPECT_EQ(seen->fsuid, 12345);
  EXPECT_EQ(seen->fsgid, 12345);
  EXPECT_EQ(seen->groups, std::vector<gid_t>{23456});

  EXPECT_EQ(meanwhile, (Access{true, true, true}));
  EXPECT_EQ(fsuidMeanwhile, 0);
  EXPECT_EQ(groupsMeanwhile, ownGroups);

  EXPECT_TRUE(seen->reset);
  EXPECT_EQ(seen->afterReset, (Access{true, true, true}));
  EXPECT_EQ(seen->fsuidAfterReset, 0);
  EXPECT_EQ(seen->groupsAfterReset, ownGroups);
}

// Drops CAP_SETUID from the calling process, which then has a single thread.
bool dropSetuidCapability() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[0].effective &= ~(1u << CAP_SETUID);
  return syscall(SYS_capset, &header, data) == 0;
}

// Exit codes of the checks below, which run in a child process of their own
// because they take privileges away from it.
enum Outcome { kAsExpected = 0, kSetupFailed = 10, kUnexpectedError = 11, kIdentityChanged = 12 };

// Impersonates `pid`'s user with what privileges the process has left and
// checks that it fails with `expected` and leaves the thread as it was.
int impersonateAndExpect(pid_t pid, uint32_t expected) {
  const long fsuid = threadFsuid();
  const long fsgid = threadFsgid();
  const std::vector<gid_t> groups = threadGroups();
  sys::posix::PosixTokens tokens;
  sys::Tokens::Handle process = 0;
  sys::Tokens::Handle token = 0;
  if (tokens.openProcess(static_cast<uint32_t>(pid), process) != 0 || tokens.openProcessToken(process, token) != 0) {
    return kSetupFailed;
  }
  if (tokens.impersonateLoggedOnUser(token) != expected) return kUnexpectedError;
  if (threadFsuid() != fsuid || threadFsgid() != fsgid || threadGroups() != groups) return kIdentityChanged;
  return kAsExpected;
}

using ImpersonationAsRootDeathTest = ImpersonationAsRootTest;

// Without the privilege to set groups (which differ: root has not the user's
// group) nothing is changed.
TEST_F(ImpersonationAsRootDeathTest, UnprivilegedProcessIsRefused) {
  const pid_t root = getpid();
  EXPECT_EXIT(
      {
        const bool dropped = setgroups(1, &kUser.group) == 0 && setgid(kUser.gid) == 0 && setuid(kUser.uid) == 0;
        _exit(dropped ? impersonateAndExpect(root, kPrivilegeNotHeld) : kSetupFailed);
      },
      ::testing::ExitedWithCode(kAsExpected), "");
}

// Groups and gid are taken, the uid is not: the thread is given its own
// identity back rather than left half switched.
TEST_F(ImpersonationAsRootDeathTest, HalfTakenIdentityIsUndone) {
  const pid_t user = child_->pid();
  EXPECT_EXIT(_exit(dropSetuidCapability() ? impersonateAndExpect(user, kAccessDenied) : kSetupFailed),
              ::testing::ExitedWithCode(kAsExpected), "");
}

}  // namespace

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Event.h"
#include "common/Thread.h"
#include "security/Impersonator.h"
#include "security/posix/ChildProcess.h"
#include "support/TempDir.h"
#include "sys/posix/PosixTokens.h"

namespace {

constexpr ChildProcess::User kUser{12345, 12345, 23456};
constexpr ChildProcess::User kOtherUser{12346, 12346, 12346};
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

// The calling thread's capability sets.
struct Capabilities {
  std::array<uint32_t, 2> effective{};
  std::array<uint32_t, 2> permitted{};
  std::array<uint32_t, 2> inheritable{};
  friend bool operator==(const Capabilities&, const Capabilities&) = default;
};

Capabilities threadCapabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  syscall(SYS_capget, &header, data);
  return {{data[0].effective, data[1].effective},
          {data[0].permitted, data[1].permitted},
          {data[0].inheritable, data[1].inheritable}};
}

// Takes `capability` out of the calling thread's effective set.
bool dropFromEffective(int capability) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[capability / 32].effective &= ~(1u << (capability % 32));
  return syscall(SYS_capset, &header, data) == 0;
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

// As root, whose threads may follow the /proc/PID/cwd of another user's
// process (CAP_SYS_PTRACE) into a directory closed to everyone else: a thread
// acting as the user may not, as the user's own processes may not.
TEST_F(ImpersonationAsRootTest, AThreadActingAsTheUserCannotReachThroughAnotherUsersProcess) {
  const std::filesystem::path closed = dir_.path() / "closed";
  const std::filesystem::path inside = closed / "inside";
  ASSERT_TRUE(std::filesystem::create_directories(inside));
  ASSERT_TRUE(makeFile(inside / "secret", kOtherUser.uid, kOtherUser.gid, 0644));
  ASSERT_EQ(chown(inside.c_str(), kOtherUser.uid, kOtherUser.gid), 0);
  ASSERT_EQ(chown(closed.c_str(), kOtherUser.uid, kOtherUser.gid), 0);
  ASSERT_EQ(chmod(closed.c_str(), 0700), 0);
  ChildProcess other(kOtherUser, inside.c_str());
  ASSERT_TRUE(other.running());
  const std::filesystem::path throughProcess = "/proc/" + std::to_string(other.pid()) + "/cwd/secret";
  ASSERT_TRUE(canOpen(throughProcess)) << "root reaches the file through the process";

  auto impersonator = std::make_shared<Impersonator>();
  ASSERT_TRUE(impersonator->logonAsProcess(static_cast<uint32_t>(child_->pid())));
  struct Seen {
    bool impersonated = false;
    bool opened = true;
    int error = 0;
  };
  auto seen = std::make_shared<Seen>();
  Thread worker;
  ASSERT_TRUE(worker.start([impersonator, seen, throughProcess] {
    seen->impersonated = impersonator->impersonateToUser();
    const int fd = open(throughProcess.c_str(), O_RDONLY | O_CLOEXEC);
    seen->error = errno;
    seen->opened = fd >= 0;
    if (fd >= 0) close(fd);
    impersonator->resetImpersonation();
  }));
  ASSERT_TRUE(worker.waitFor(kBound));
  EXPECT_TRUE(seen->impersonated);
  EXPECT_FALSE(seen->opened);
  EXPECT_EQ(seen->error, EACCES);
}

// A thread acting as the user has no capabilities in effect, however often it
// began to, and afterwards exactly those it had: here without
// CAP_DAC_OVERRIDE, which the kernel itself would put back in effect when the
// thread's file uid is root's again.
TEST_F(ImpersonationAsRootTest, ActingAsTheUserTakesEveryCapabilityOutOfEffectUntilReverted) {
  auto impersonator = std::make_shared<Impersonator>();
  ASSERT_TRUE(impersonator->logonAsProcess(static_cast<uint32_t>(child_->pid())));
  struct Seen {
    bool dropped = false;
    bool impersonated = false;
    bool impersonatedAgain = false;
    bool reset = false;
    Capabilities before;
    Capabilities asUser;
    Capabilities asUserAgain;
    Capabilities after;
  };
  auto seen = std::make_shared<Seen>();
  Thread worker;
  ASSERT_TRUE(worker.start([impersonator, seen] {
    seen->dropped = dropFromEffective(CAP_DAC_OVERRIDE);
    seen->before = threadCapabilities();
    seen->impersonated = impersonator->impersonateToUser();
    seen->asUser = threadCapabilities();
    seen->impersonatedAgain = impersonator->impersonateToUser();
    seen->asUserAgain = threadCapabilities();
    seen->reset = impersonator->resetImpersonation();
    seen->after = threadCapabilities();
  }));
  ASSERT_TRUE(worker.waitFor(kBound));
  ASSERT_TRUE(seen->dropped);
  EXPECT_TRUE(seen->impersonated);
  EXPECT_TRUE(seen->impersonatedAgain);
  EXPECT_TRUE(seen->reset);
  EXPECT_NE(seen->before.effective, (std::array<uint32_t, 2>{0, 0}));
  Capabilities noneInEffect = seen->before;
  noneInEffect.effective = {0, 0};
  EXPECT_EQ(seen->asUser, noneInEffect);
  EXPECT_EQ(seen->asUserAgain, noneInEffect);
  EXPECT_EQ(seen->after, seen->before);
}

// For what the service keeps for itself (the port's socket), a thread acting
// as the user acts as the process for a while, and then as the user again,
// still with no capabilities in effect.
TEST_F(ImpersonationAsRootTest, OwnFileIdentityLastsWhileItsGuardLives) {
  auto impersonator = std::make_shared<Impersonator>();
  ASSERT_TRUE(impersonator->logonAsProcess(static_cast<uint32_t>(child_->pid())));
  struct Seen {
    bool impersonated = false;
    long fsuidMeanwhile = -1;
    Access meanwhile;
    long fsuidAfter = -1;
    long fsgidAfter = -1;
    Access after;
    std::array<uint32_t, 2> effectiveAfter{~0u, ~0u};
  };
  auto seen = std::make_shared<Seen>();
  Thread worker;
  ASSERT_TRUE(worker.start([impersonator, seen, this] {
    seen->impersonated = impersonator->impersonateToUser();
    {
      const sys::posix::ScopedOwnFileIdentity own;
      seen->fsuidMeanwhile = threadFsuid();
      seen->meanwhile = access();
    }
    seen->fsuidAfter = threadFsuid();
    seen->fsgidAfter = threadFsgid();
    seen->after = access();
    seen->effectiveAfter = threadCapabilities().effective;
    impersonator->resetImpersonation();
  }));
  ASSERT_TRUE(worker.waitFor(kBound));
  EXPECT_TRUE(seen->impersonated);
  EXPECT_EQ(seen->fsuidMeanwhile, 0);
  EXPECT_EQ(seen->meanwhile, (Access{true, true, true}));
  EXPECT_EQ(seen->fsuidAfter, 12345);
  EXPECT_EQ(seen->fsgidAfter, 12345);
  EXPECT_EQ(seen->after, (Access{true, true, false}));
  EXPECT_EQ(seen->effectiveAfter, (std::array<uint32_t, 2>{0, 0}));
}

// Makes every capset of the calling process, which has a single thread, fail
// with EPERM.
bool refuseCapabilityChanges() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_capset, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
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
  EXPECT_EXIT(_exit(dropFromEffective(CAP_SETUID) ? impersonateAndExpect(user, kAccessDenied) : kSetupFailed),
              ::testing::ExitedWithCode(kAsExpected), "");
}

// A thread acts as the user only without its capabilities: when they cannot
// be taken out of effect, it stays itself.
TEST_F(ImpersonationAsRootDeathTest, CapabilitiesThatCannotBeGivenUpFailTheImpersonation) {
  const pid_t user = child_->pid();
  EXPECT_EXIT(_exit(refuseCapabilityChanges() ? impersonateAndExpect(user, kAccessDenied) : kSetupFailed),
              ::testing::ExitedWithCode(kAsExpected), "");
}

}  // namespace

#include "sys/posix/PosixTokens.h"

#include <gtest/gtest.h>
#include <linux/sched.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Thread.h"
#include "security/posix/ChildProcess.h"
#include "sys/posix/ScopedCallContext.h"

namespace {

using sys::posix::Identity;
using sys::posix::parseProcessStatus;
using sys::posix::PosixTokens;
using sys::posix::ScopedCallContext;
using sys::posix::userSid;

constexpr uint32_t kInvalidHandle = 6;
constexpr uint32_t kInvalidParameter = 87;
constexpr int32_t kNoCallActive = 1725;
constexpr uid_t kOtherUid = 12345;

// A process of user `uid` made with the pid `pid` (clone3 with set_tid, which
// takes root), such as the next process that reuses a pid. Killed and reaped
// when the guard goes.
class ProcessWithPid {
 public:
  ProcessWithPid(pid_t pid, uid_t uid) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return;
    clone_args args{};
    args.exit_signal = SIGCHLD;
    args.set_tid = reinterpret_cast<uintptr_t>(&pid);
    args.set_tid_size = 1;
    pid_ = static_cast<pid_t>(syscall(SYS_clone3, &args, sizeof(args)));
    if (pid_ == 0) runChild(uid, ready[1]);
    close(ready[1]);
    pollfd wait{ready[0], POLLIN, 0};
    char byte = 0;
    running_ = pid_ == pid && poll(&wait, 1, 10000) == 1 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
  }
  ~ProcessWithPid() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);  // a killed child ends at once
  }
  ProcessWithPid(const ProcessWithPid&) = delete;
  ProcessWithPid& operator=(const ProcessWithPid&) = delete;

  bool running() const { return running_; }

 private:
  // Raw system calls only: the C library does not know this process.
  [[noreturn]] static void runChild(uid_t uid, int ready) {
    const char byte = 1;
    if (syscall(SYS_setgroups, 0, nullptr) == 0 && syscall(SYS_setgid, uid) == 0 && syscall(SYS_setuid, uid) == 0 &&
        write(ready, &byte, 1) == 1) {
      while (true) pause();
    }
    _exit(1);
  }

  pid_t pid_ = -1;
  bool running_ = false;
};

// The token of process `pid`; 0 when it cannot be taken.
sys::Tokens::Handle tokenOf(PosixTokens& tokens, pid_t pid) {
  sys::Tokens::Handle process = 0;
  if (tokens.openProcess(static_cast<uint32_t>(pid), process) != 0) return 0;
  sys::Tokens::Handle token = 0;
  tokens.openProcessToken(process, token);
  tokens.closeHandle(process);
  return token;
}

// `count` groups numbered from 1, as the "Groups:" line shows them.
std::string groupsLine(size_t count) {
  std::string line = "Groups:\t";
  for (size_t i = 1; i <= count; ++i) line += std::to_string(i) + " ";
  return line + "\n";
}

TEST(ProcessStatusTest, TakesTheRealIdsAndTheGroups) {
  struct Case {
    const char* name;
    std::string text;
    Identity identity;
  };
  const Case cases[] = {
      {"as the kernel writes it",
       "Name:\tbash\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t812\nNgid:\t0\nPid:\t812\nPPid:\t1\n"
       "Uid:\t1000\t1001\t1002\t1003\nGid:\t100\t101\t102\t103\nFDSize:\t256\nGroups:\t4 24 27 \n"
       "NStgid:\t812\nVmPeak:\t   8780 kB\n",
       {1000, 100, {4, 24, 27}}},
      {"no groups, no line end at the end", "Uid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\nGroups:", {0, 0, {}}},
      {"lines in any order", "Groups:\t7\nGid:\t5\t5\t5\t5\nUid:\t9\t9\t9\t9\n", {9, 5, {7}}},
      {"highest id", "Uid:\t4294967294\t0\t0\t0\nGid:\t0\t0\t0\t0\nGroups:\t\n", {4294967294u, 0, {}}},
  };
  for (const auto& c : cases) {
    Identity identity{1, 2, {3}};
    EXPECT_TRUE(parseProcessStatus(c.text, identity)) << c.name;
    EXPECT_EQ(identity, c.identity) << c.name;
  }

  Identity many;
  ASSERT_TRUE(parseProcessStatus("Uid:\t1\t1\t1\t1\nGid:\t1\t1\t1\t1\n" + groupsLine(65536), many));
  EXPECT_EQ(many.groups.size(), 65536u);
  EXPECT_EQ(many.groups.back(), 65536u);
}

TEST(ProcessStatusTest, RefusesMalformedText) {
  const std::string uid = "Uid:\t1\t1\t1\t1\n";
  const std::string gid = "Gid:\t1\t1\t1\t1\n";
  const std::string groups = "Groups:\t1\n";
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"empty", ""},
      {"no Uid line", gid + groups},
      {"no Gid line", uid + groups},
      {"no Groups line", uid + gid},
      {"three uids", "Uid:\t1\t1\t1\n" + gid + groups},
      {"five gids", uid + "Gid:\t1\t1\t1\t1\t1\n" + groups},
      {"no uids", "Uid:\n" + gid + groups},
      {"repeated Uid line", uid + uid + gid + groups},
      {"repeated Groups line", uid + gid + groups + groups},
      {"letters", "Uid:\tabc\t1\t1\t1\n" + gid + groups},
      {"negative", "Uid:\t-1\t1\t1\t1\n" + gid + groups},
      {"plus sign", uid + gid + "Groups:\t+1\n"},
      {"hexadecimal", uid + "Gid:\t0x10\t1\t1\t1\n" + groups},
      {"the kernel's no-change id", uid + "Gid:\t4294967295\t1\t1\t1\n" + groups},
      {"beyond 32 bits", "Uid:\t4294967296\t1\t1\t1\n" + gid + groups},
      {"far beyond 64 bits", "Uid:\t1\t1\t1\t" + std::string(400, '9') + "\n" + gid + groups},
      {"comma-separated groups", uid + gid + "Groups:\t1,2\n"},
      {"carriage return", uid + gid + "Groups:\t1\r\n"},
      {"zero byte inside a number", uid + gid + std::string("Groups:\t1\0002\n", 11)},
      {"more groups than the kernel allows", uid + gid + groupsLine(65537)},
  };
  for (const auto& c : cases) {
    Identity identity{1, 2, {3}};
    EXPECT_FALSE(parseProcessStatus(c.text, identity)) << c.name;
    EXPECT_EQ(identity, (Identity{1, 2, {3}})) << c.name;
  }
}

// The kernel's own text of this process parses to this process's identity.
TEST(ProcessStatusTest, ReadsThisProcess) {
  std::ifstream in("/proc/self/status");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Identity identity;
  ASSERT_TRUE(parseProcessStatus(text, identity));
  EXPECT_EQ(identity.uid, getuid());
  EXPECT_EQ(identity.gid, getgid());
  std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr)));
  groups.resize(static_cast<size_t>(getgroups(static_cast<int>(groups.size()), groups.data())));
  std::sort(groups.begin(), groups.end());
  std::sort(identity.groups.begin(), identity.groups.end());
  EXPECT_EQ(identity.groups, groups);
}

TEST(PosixTokensTest, MissingProcessIsAnInvalidParameter) {
  PosixTokens tokens;
  for (const uint32_t pid : {0u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    sys::Tokens::Handle process = 99;
    EXPECT_EQ(tokens.openProcess(pid, process), kInvalidParameter) << pid;
    EXPECT_EQ(process, 0u) << pid;
  }
}

TEST(PosixTokensTest, TakesTheTokenOfARunningProcessAndActsAsItsUser) {
  PosixTokens tokens;
  ChildProcess child;
  ASSERT_TRUE(child.running());
  sys::Tokens::Handle process = 0;
  ASSERT_EQ(tokens.openProcess(static_cast<uint32_t>(child.pid()), process), 0u);
  sys::Tokens::Handle token = 0;
  ASSERT_EQ(tokens.openProcessToken(process, token), 0u);
  EXPECT_NE(token, 0u);
  EXPECT_NE(token, process);
  tokens.closeHandle(process);
  // The child is this test's own user, which any process may act as.
  EXPECT_EQ(tokens.impersonateLoggedOnUser(token), 0u);
  EXPECT_EQ(tokens.revertToSelf(), 0u);
  tokens.closeHandle(token);
}

// A process handle names the process it was opened for, not whichever
// process later gets its pid: as root, the pid is handed at once to a process
// of another user.
TEST(PosixTokensTest, ProcessHandleOutlivesItsProcessWithoutNamingAnother) {
  PosixTokens tokens;
  ChildProcess child;
  ASSERT_TRUE(child.running());
  const pid_t pid = child.pid();
  sys::Tokens::Handle process = 0;
  ASSERT_EQ(tokens.openProcess(static_cast<uint32_t>(pid), process), 0u);
  child.end();
  std::optional<ProcessWithPid> successor;
  if (geteuid() == 0) {
    successor.emplace(pid, kOtherUid);
    ASSERT_TRUE(successor->running()) << "the pid could not be reused";
  }
  sys::Tokens::Handle token = 99;
  EXPECT_EQ(tokens.openProcessToken(process, token), kInvalidParameter);
  EXPECT_EQ(token, 0u);
  tokens.closeHandle(process);

  if (successor) {
    // Opened afresh, the pid names the other user's process.
    ASSERT_EQ(tokens.openProcess(static_cast<uint32_t>(pid), process), 0u);
    ASSERT_EQ(tokens.openProcessToken(process, token), 0u);
    bool same = false;
    EXPECT_EQ(tokens.isTokenUser(token, userSid(kOtherUid), same), 0u);
    EXPECT_TRUE(same);
    tokens.closeHandle(process);
    tokens.closeHandle(token);
  }
}

// A caller whose call arrived, then ended, and whose pid a root process took
// before the mount opened the caller's process: the process opened is the
// caller as its call brought it, never root. Another pid is opened afresh.
TEST(PosixTokensTest, TheCallersPidGivesTheIdentityItsCallBrought) {
  if (geteuid() != 0) GTEST_SKIP() << "a process of another user, and a chosen pid, need root";
  PosixTokens tokens;
  ChildProcess caller(ChildProcess::User{kOtherUid, kOtherUid, kOtherUid});
  ASSERT_TRUE(caller.running());
  const pid_t pid = caller.pid();
  const std::optional<Identity> arrived = sys::posix::readProcessIdentity(static_cast<uint32_t>(pid));
  ASSERT_TRUE(arrived);
  ASSERT_EQ(arrived->uid, kOtherUid);
  const ScopedCallContext call(static_cast<uint32_t>(pid), arrived);
  caller.end();
  const ProcessWithPid successor(pid, 0);
  ASSERT_TRUE(successor.running()) << "the pid could not be reused";

  const sys::Tokens::Handle token = tokenOf(tokens, pid);
  ASSERT_NE(token, 0u);
  bool same = false;
  EXPECT_EQ(tokens.isTokenUser(token, userSid(kOtherUid), same), 0u);
  EXPECT_TRUE(same) << "the caller's identity, not that of the process that holds its pid now";
  tokens.closeHandle(token);
  const sys::Tokens::Handle own = tokenOf(tokens, getpid());
  EXPECT_EQ(tokens.isTokenUser(own, userSid(0), same), 0u);
  EXPECT_TRUE(same);
  tokens.closeHandle(own);
}

TEST(PosixTokensTest, UsersAreNamedAsFileDaclsNameThem) {
  EXPECT_EQ(userSid(geteuid()), Sid::localSystem());
  EXPECT_EQ(userSid(kOtherUid).toString(), u"S-1-22-1-12345");
}

// A token is that of its process's user and of no other, so that a caller can
// refuse the token of another user's process.
TEST(PosixTokensTest, TokenUserIsThatOfItsProcess) {
  if (geteuid() != 0) GTEST_SKIP() << "a process of another user takes root";
  PosixTokens tokens;
  ChildProcess other(ChildProcess::User{kOtherUid, kOtherUid, kOtherUid});
  ASSERT_TRUE(other.running());
  const sys::Tokens::Handle otherToken = tokenOf(tokens, other.pid());
  const sys::Tokens::Handle ownToken = tokenOf(tokens, getpid());
  ASSERT_NE(otherToken, 0u);
  ASSERT_NE(ownToken, 0u);
  struct Case {
    const char* name;
    sys::Tokens::Handle token;
    Sid user;
    bool same;
  };
  const Case cases[] = {
      {"another user's process, that user", otherToken, Sid(22, {1, kOtherUid}), true},
      {"another user's process, the service", otherToken, Sid::localSystem(), false},
      {"another user's process, a third user", otherToken, Sid(22, {1, kOtherUid + 1}), false},
      {"another user's process, its group", otherToken, Sid(22, {2, kOtherUid}), false},
      {"the service's process, the service", ownToken, Sid::localSystem(), true},
      {"the service's process, another user", ownToken, Sid(22, {1, kOtherUid}), false},
  };
  for (const auto& c : cases) {
    bool same = !c.same;
    EXPECT_EQ(tokens.isTokenUser(c.token, c.user, same), 0u) << c.name;
    EXPECT_EQ(same, c.same) << c.name;
  }
  tokens.closeHandle(otherToken);
  tokens.closeHandle(ownToken);
}

// A token names its user as file DACLs do; only root's is an administrator's.
TEST(PosixTokensTest, TokenUserAndAdministratorAreThoseOfItsProcess) {
  PosixTokens tokens;
  std::optional<ChildProcess> other;
  if (geteuid() == 0) other.emplace(ChildProcess::User{kOtherUid, kOtherUid, kOtherUid});
  struct Case {
    const char* name;
    pid_t pid;
    Sid user;
    bool administrator;
  };
  std::vector<Case> cases{{"the service's own process", getpid(), userSid(getuid()), getuid() == 0}};
  if (other) {
    ASSERT_TRUE(other->running());
    cases.push_back({"another user's process", other->pid(), Sid(22, {1, kOtherUid}), false});
  }
  for (const auto& c : cases) {
    const sys::Tokens::Handle token = tokenOf(tokens, c.pid);
    ASSERT_NE(token, 0u) << c.name;
    std::optional<Sid> user;
    EXPECT_EQ(tokens.tokenUser(token, user), 0u) << c.name;
    EXPECT_EQ(user, c.user) << c.name;
    bool administrator = !c.administrator;
    EXPECT_EQ(tokens.isTokenAdministrator(token, administrator), 0u) << c.name;
    EXPECT_EQ(administrator, c.administrator) << c.name;
    tokens.closeHandle(token);
  }
}

TEST(PosixTokensTest, UnknownClosedAndWrongKindHandlesAreInvalid) {
  PosixTokens tokens;
  sys::Tokens::Handle process = 0;
  ASSERT_EQ(tokens.openProcess(static_cast<uint32_t>(getpid()), process), 0u);
  sys::Tokens::Handle token = 0;
  ASSERT_EQ(tokens.openProcessToken(process, token), 0u);
  sys::Tokens::Handle closedProcess = 0;
  ASSERT_EQ(tokens.openProcess(static_cast<uint32_t>(getpid()), closedProcess), 0u);
  tokens.closeHandle(closedProcess);
  tokens.closeHandle(closedProcess);  // a second close does nothing

  sys::Tokens::Handle out = 99;
  for (const sys::Tokens::Handle notAProcess :
       {sys::Tokens::Handle{0}, sys::Tokens::Handle{12345}, token, closedProcess}) {
    EXPECT_EQ(tokens.openProcessToken(notAProcess, out), kInvalidHandle) << notAProcess;
    EXPECT_EQ(out, 0u);
  }
  tokens.closeHandle(token);
  for (const sys::Tokens::Handle notAToken : {sys::Tokens::Handle{0}, sys::Tokens::Handle{12345}, process, token}) {
    EXPECT_EQ(tokens.impersonateLoggedOnUser(notAToken), kInvalidHandle) << notAToken;
    bool same = true;
    EXPECT_EQ(tokens.isTokenUser(notAToken, userSid(geteuid()), same), kInvalidHandle) << notAToken;
    EXPECT_FALSE(same) << notAToken;
    std::optional<Sid> user = Sid::localSystem();
    EXPECT_EQ(tokens.tokenUser(notAToken, user), kInvalidHandle) << notAToken;
    EXPECT_FALSE(user) << notAToken;
    bool administrator = true;
    EXPECT_EQ(tokens.isTokenAdministrator(notAToken, administrator), kInvalidHandle) << notAToken;
    EXPECT_FALSE(administrator) << notAToken;
  }
  tokens.closeHandle(process);
}

TEST(PosixTokensTest, ThreadIdsAreTheKernelsAndDifferPerThread) {
  PosixTokens tokens;
  EXPECT_EQ(tokens.currentThreadId(), static_cast<uint32_t>(gettid()));
  auto other = std::make_shared<uint32_t>(0);
  Thread thread;
  ASSERT_TRUE(thread.start([other] {
    PosixTokens own;
    *other = own.currentThreadId();
  }));
  ASSERT_TRUE(thread.waitFor(std::chrono::seconds(10)));
  EXPECT_NE(*other, 0u);
  EXPECT_NE(*other, tokens.currentThreadId());
}

TEST(PosixTokensTest, ClientPidIsThatOfTheCallTheThreadServes) {
  PosixTokens tokens;
  uint32_t pid = 99;
  EXPECT_EQ(tokens.localClientPid(pid), kNoCallActive);
  EXPECT_EQ(pid, 0u);
  {
    const ScopedCallContext call(4321, Identity{1000, 100, {}});
    EXPECT_EQ(tokens.localClientPid(pid), 0);
    EXPECT_EQ(pid, 4321u);
    {
      const ScopedCallContext nested(77, Identity{1001, 100, {}});
      EXPECT_EQ(tokens.localClientPid(pid), 0);
      EXPECT_EQ(pid, 77u);
      const ScopedCallContext withoutIdentity(78, std::nullopt);
      EXPECT_EQ(tokens.localClientPid(pid), kNoCallActive) << "a caller whose identity was not taken is no client";
    }
    EXPECT_EQ(tokens.localClientPid(pid), 0);
    EXPECT_EQ(pid, 4321u);

    struct Seen {
      int32_t status = 0;
      uint32_t pid = 99;
    };
    auto seen = std::make_shared<Seen>();
    Thread other;
    ASSERT_TRUE(other.start([seen] {
      PosixTokens own;
      seen->status = own.localClientPid(seen->pid);
    }));
    ASSERT_TRUE(other.waitFor(std::chrono::seconds(10)));
    EXPECT_EQ(seen->status, kNoCallActive);
    EXPECT_EQ(seen->pid, 0u);
  }
  EXPECT_EQ(tokens.localClientPid(pid), kNoCallActive);
  EXPECT_EQ(pid, 0u);
}

// Reverting a thread that acts as itself changes nothing and needs no privilege.
TEST(PosixTokensTest, RevertingAThreadThatActsAsItselfSucceeds) {
  PosixTokens tokens;
  const long fsuid = syscall(SYS_setfsuid, -1);  // an invalid id changes nothing and answers the current one
  EXPECT_EQ(tokens.revertToSelf(), 0u);
  EXPECT_EQ(syscall(SYS_setfsuid, -1), fsuid);
  EXPECT_EQ(fsuid, static_cast<long>(geteuid()));
}

}  // namespace

#include "com/posix/BusCaller.h"

#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>

namespace {

constexpr uint32_t kOtherUid = 12345;

// A child process that waits, run as user `uid` when it is given, until it is ended.
class WaitingChild {
 public:
  explicit WaitingChild(int uid = -1) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      if (uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(uid)) != 0 ||
                       setuid(static_cast<uid_t>(uid)) != 0)) {
        _exit(1);
      }
      const char byte = 1;
      if (write(ready[1], &byte, 1) != 1) _exit(1);
      pause();
      _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    // The child tells once it runs as `uid`; a child that could not switch ends, and the pipe with it.
    started_ = pid_ > 0 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
  }
  ~WaitingChild() { end(); }
  WaitingChild(const WaitingChild&) = delete;
  WaitingChild& operator=(const WaitingChild&) = delete;

  bool started() const { return started_; }
  uint32_t pid() const { return static_cast<uint32_t>(pid_); }
  void end() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool started_ = false;
};

}  // namespace

// The caller's process stands for the client only while its user is the
// user the bus saw: a pid that names nothing, or another user's process,
// never lends an identity.
TEST(BusCallerTest, AProcessStandsForTheCallerOnlyWhileTheCallersUserRunsIt) {
  const auto self = static_cast<uint32_t>(getpid());
  const auto user = static_cast<uint32_t>(getuid());
  const std::optional<sys::posix::Identity> own = BusCaller::identityOf(self, user);
  ASSERT_TRUE(own);
  EXPECT_EQ(own->uid, user);
  EXPECT_EQ(own->gid, getgid());
  EXPECT_FALSE(BusCaller::identityOf(self, user + 1));
  EXPECT_FALSE(BusCaller::identityOf(0, user));

  WaitingChild gone;
  ASSERT_TRUE(gone.started());
  const uint32_t gonepid = gone.pid();
  EXPECT_TRUE(BusCaller::identityOf(gonepid, user));
  gone.end();
  EXPECT_FALSE(BusCaller::identityOf(gonepid, user));
}

TEST(BusCallerTest, AnotherUsersProcessDoesNotStandForTheCaller) {
  if (geteuid() != 0) GTEST_SKIP() << "running a process as another user needs root";
  WaitingChild other(static_cast<int>(kOtherUid));
  ASSERT_TRUE(other.started());
  EXPECT_TRUE(BusCaller::identityOf(other.pid(), kOtherUid));
  EXPECT_FALSE(BusCaller::identityOf(other.pid(), static_cast<uint32_t>(getuid())));
}

#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <thread>

// A child process that waits until it is ended, which the guard does at the
// latest when it goes away. It runs as the test's own user, or as another
// user (uid, gid and one supplementary group; that takes root), in the
// test's working directory or in one it is given.
class ChildProcess {
 public:
  struct User {
    uid_t uid;
    gid_t gid;
    gid_t group;
  };

  explicit ChildProcess(std::optional<User> user = std::nullopt, const char* directory = nullptr) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) runChild(user, directory, ready[1]);
    close(ready[1]);
    pollfd wait{ready[0], POLLIN, 0};
    char byte = 0;
    running_ = pid_ > 0 && poll(&wait, 1, 10000) == 1 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
  }
  ~ChildProcess() { end(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // True once the child runs (as the user, when one was given).
  bool running() const { return running_; }
  pid_t pid() const { return pid_; }

  // Kills and reaps the child. A killed child ends at once; the wait is bounded all the same.
  void end() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    for (int i = 0; i < 1000 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
  }

 private:
  // Only system calls here: the parent has other threads.
  [[noreturn]] static void runChild(const std::optional<User>& user, const char* directory, int ready) {
    const bool switched =
        !user || (setgroups(1, &user->group) == 0 && setgid(user->gid) == 0 && setuid(user->uid) == 0);
    const bool moved = directory == nullptr || chdir(directory) == 0;
    const char byte = 1;
    if (switched && moved && write(ready, &byte, 1) == 1) {
      while (true) pause();
    }
    _exit(1);
  }

  pid_t pid_ = -1;
  bool running_ = false;
};

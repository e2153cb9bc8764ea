#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

// vkvd in a process of its own, started with a runtime directory and a log
// (as another user when `uid` is given), stopped with SIGTERM; one that
// does not stop in time is killed. It mounts the volumes of its disk in
// `mountDir` when that is given, and mounts none otherwise.
class VkvdProcess {
 public:
  // `options` are further options of vkvd's own.
  VkvdProcess(const std::filesystem::path& runtimeDir, const std::filesystem::path& log, int uid = -1,
              const std::filesystem::path& mountDir = {}, const std::vector<std::string>& options = {});
  ~VkvdProcess();
  VkvdProcess(const VkvdProcess&) = delete;
  VkvdProcess& operator=(const VkvdProcess&) = delete;

  // Waits for vkvd to serve its interface; the socket's path, empty when
  // vkvd ended or did not serve in time.
  std::string waitForInterface();

  // Sends SIGTERM and waits for the exit; the exit code, -1 when vkvd did
  // not end in time or ended by a signal.
  int stop();
  // Waits for vkvd to end by itself; its exit code, or -1 as for stop().
  int exitCode();
  // Ends vkvd with SIGKILL, as a crash would: it cleans nothing up. False
  // when it did not end in time.
  bool crash();

  // Its process id; 0 once it ended.
  pid_t pid() const { return pid_ > 0 ? pid_ : 0; }

 private:
  pid_t pid_ = -1;
};

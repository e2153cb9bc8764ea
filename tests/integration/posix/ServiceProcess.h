#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

// vkbvd-service in a process of its own, on the bus at `busAddress`, with
// its runtime and state directories, its debug log ("-log") and its
// standard error (the journal's part) in files. Stopped with SIGTERM; one
// that does not stop in time is killed.
class ServiceProcess {
 public:
  struct Setup {
    std::string busAddress;
    std::filesystem::path runtimeDir;
    std::filesystem::path stateDir;
    std::filesystem::path debugLog;
    std::filesystem::path errorLog;
  };

  explicit ServiceProcess(const Setup& setup);
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Sends SIGTERM and waits for the exit; the exit code, -1 when it did not
  // end in time or ended by a signal.
  int stop();
  pid_t pid() const { return pid_ > 0 ? pid_ : 0; }

 private:
  pid_t pid_ = -1;
};

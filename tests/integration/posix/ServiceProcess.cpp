#include "ServiceProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr auto kStopWait = 60s;
constexpr auto kPollInterval = 10ms;

}  // namespace

ServiceProcess::ServiceProcess(const Setup& setup) {
  pid_ = fork();
  if (pid_ != 0) return;
  setenv("DBUS_SYSTEM_BUS_ADDRESS", setup.busAddress.c_str(), 1);
  setenv("VKBVD_RUNTIME_DIR", setup.runtimeDir.c_str(), 1);
  setenv("VKBVD_STATE_DIR", setup.stateDir.c_str(), 1);
  const int errors = open(setup.errorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (errors >= 0) dup2(errors, STDERR_FILENO);
  execl(VKBVD_SERVICE_PROGRAM, VKBVD_SERVICE_PROGRAM, "-log", setup.debugLog.c_str(), static_cast<char*>(nullptr));
  _exit(127);
}

ServiceProcess::~ServiceProcess() {
  if (pid_ <= 0) return;
  stop();
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

int ServiceProcess::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  for (auto waited = 0ms; waited < kStopWait; waited += kPollInterval) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  return -1;
}

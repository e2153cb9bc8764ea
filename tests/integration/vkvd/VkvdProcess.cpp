#include "VkvdProcess.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "ControlClient.h"
#include "support/ExecAs.h"
#include "sys/posix/DeviceProtocol.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr auto kStartWait = 20s;
constexpr auto kStopWait = 30s;
constexpr auto kPollInterval = 10ms;

}  // namespace

VkvdProcess::VkvdProcess(const fs::path& runtimeDir, const fs::path& log, int uid, const fs::path& mountDir,
                         const std::vector<std::string>& options) {
  std::vector<std::string> arguments = {VKVD_PROGRAM, "--runtime-dir", runtimeDir, "--log", log, "--foreground"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  if (mountDir.empty()) {
    arguments.push_back("--no-mount");
  } else {
    arguments.insert(arguments.end(), {"--mount-dir", mountDir});
  }
  std::vector<char*> argv;
  for (auto& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) execAs(argv.data(), uid);
}

VkvdProcess::~VkvdProcess() {
  if (pid_ <= 0) return;
  stop();
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::string VkvdProcess::waitForInterface() {
  const fs::path directory = sys::posix::device_protocol::interfaceClassDirectory(wire::kInterfaceClass);
  for (auto waited = 0ms; pid_ > 0 && waited < kStartWait; waited += kPollInterval) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(directory, error)) {
      if (entry.is_socket() && ControlClient(entry.path()).connected()) return entry.path();
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = 0;
    std::this_thread::sleep_for(kPollInterval);
  }
  return {};
}

int VkvdProcess::stop() {
  if (pid_ > 0) kill(pid_, SIGTERM);
  return exitCode();
}

bool VkvdProcess::crash() {
  if (pid_ > 0) kill(pid_, SIGKILL);
  exitCode();
  return pid_ <= 0;
}

int VkvdProcess::exitCode() {
  if (pid_ <= 0) return -1;
  int status = 0;
  for (auto waited = 0ms; waited < kStopWait; waited += kPollInterval) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = 0;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  return -1;
}

#include "PrivateBus.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "sys/posix/UniqueFd.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr auto kStartWait = 20s;
constexpr auto kStopWait = 10s;
constexpr auto kPollInterval = 10ms;

fs::path packagedPolicy() { return fs::path(VK_PACKAGING_DIR) / "com.velkara.MountService.conf"; }

// The packaged policy's rules for the group vkbvd, given to `user`.
std::string callerPolicy(const std::string& user) {
  if (user.empty()) return {};
  std::ifstream in(packagedPolicy());
  const std::string shipped((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string groupStart = "<policy group=\"vkbvd\">";
  const size_t start = shipped.find(groupStart);
  const size_t end = shipped.find("</policy>", start);
  if (start == std::string::npos || end == std::string::npos) return {};
  return "<policy user=\"" + user + "\">" + shipped.substr(start + groupStart.size(), end - start - groupStart.size()) +
         "</policy>\n";
}

std::string configuration(const fs::path& socket, const std::string& extraCaller) {
  return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=)" +
         socket.string() + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
  <policy user="root">
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Monitoring"/>
  </policy>
  <include>)" +
         packagedPolicy().string() + "</include>\n" +
         callerPolicy(extraCaller) + "</busconfig>\n";
}

}  // namespace

PrivateBus::PrivateBus(const fs::path& directory, const std::string& extraCaller) {
  const fs::path socket = directory / "bus";
  const fs::path config = directory / "bus.conf";
  std::ofstream(config) << configuration(socket, extraCaller);
  const std::string log = (directory / "bus.log").string();
  pid_ = fork();
  if (pid_ == 0) {
    const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output >= 0) {
      dup2(output, STDOUT_FILENO);
      dup2(output, STDERR_FILENO);
    }
    const std::string configOption = "--config-file=" + config.string();
    execlp("dbus-daemon", "dbus-daemon", configOption.c_str(), "--nofork", static_cast<char*>(nullptr));
    _exit(127);
  }
  for (auto waited = 0ms; pid_ > 0 && waited < kStartWait; waited += kPollInterval) {
    if (accepts(socket)) {
      address_ = "unix:path=" + socket.string();
      return;
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    std::this_thread::sleep_for(kPollInterval);
  }
}

PrivateBus::~PrivateBus() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (auto waited = 0ms; waited < kStopWait; waited += kPollInterval) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(kPollInterval);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

bool PrivateBus::accepts(const fs::path& socket) const {
  const sys::posix::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket.c_str(), sizeof(address.sun_path) - 1);
  return fd.valid() && connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

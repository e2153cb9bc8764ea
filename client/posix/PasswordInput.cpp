#include "PasswordInput.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

#include "sys/posix/UniqueFd.h"

namespace {

using Result = PasswordInput::Result;

Result failed(std::string& error, std::string text) {
  error = std::move(text);
  return Result::Failed;
}

void writeText(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<size_t>(written);
  }
}

// Turns the terminal's echo off (the line end still shows) for its scope.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) tcsetattr(fd_, TCSANOW, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

  bool active() const { return active_; }

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

Result PasswordInput::fromFile(const std::string& path, std::string& password, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return failed(error, "cannot read the password file " + path + ": " + std::strerror(errno));
  password.clear();
  std::getline(file, password);
  if (file.bad()) return failed(error, "cannot read the password file " + path);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return Result::Read;
}

Result PasswordInput::fromTerminal(const std::string& prompt, InterruptSignals& interrupts, std::string& password,
                                   std::string& error) {
  const sys::posix::UniqueFd terminal(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!terminal.valid()) return failed(error, "there is no terminal to ask for the password on");
  writeText(terminal.get(), prompt);
  const EchoOff echoOff(terminal.get());
  if (!echoOff.active()) return failed(error, "cannot turn the terminal's echo off to ask for the password");
  password.clear();
  const auto deadline = std::chrono::steady_clock::now() + PasswordInput::kTypingWait;
  while (true) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return failed(error, "no password was typed in time");
    pollfd entries[] = {{terminal.get(), POLLIN, 0}, {interrupts.fd(), POLLIN, 0}};
    if (poll(entries, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
      return failed(error, "cannot read the password from the terminal");
    }
    if (entries[1].revents != 0 && interrupts.take()) {
      writeText(terminal.get(), "\n");
      return Result::Interrupted;
    }
    if (entries[0].revents == 0) continue;
    char buffer[256];
    const ssize_t got = read(terminal.get(), buffer, sizeof(buffer));
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return failed(error, "no password was typed");
    password.append(buffer, static_cast<size_t>(got));
    if (password.back() == '\n') break;
  }
  password.pop_back();
  return Result::Read;
}

#include "DriverLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

#include "common/LogFormatter.h"

std::shared_ptr<DriverLog> DriverLog::open(const std::string& path) {
  sys::posix::UniqueFd fd(path.empty() ? fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0)
                                       : ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640));
  if (!fd.valid()) return nullptr;
  return std::make_shared<DriverLog>(std::move(fd));
}

void DriverLog::line(const char* format, ...) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[64];
  size_t used = std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(stamp + used, sizeof(stamp) - used, ".%03d ", static_cast<int>(millis));
  char message[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof(message), format, args);  // a longer message is cut
  va_end(args);
  // A client's string (an image path) never begins a line of its own.
  const std::string text = stamp + escapeControls(message) + "\n";
  [[maybe_unused]] const ssize_t ignored = ::write(fd_.get(), text.data(), text.size());
}

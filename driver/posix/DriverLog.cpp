#include "DriverLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

std::shared_ptr<DriverLog> DriverLog::open(const std::string& path) {
  sys::posix::UniqueFd fd(path.empty() ? fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0)
                                       : ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640));
  if (!fd.valid()) return nullptr;
  return std::make_shared<DriverLog>(std::move(fd));
}

namespace {

// The message as it may stand in one line: control characters (a newline in
// an image path a client chose) are written as escapes, never raw.
std::string escapeControls(const char* message) {
  std::string out;
  for (const char* at = message; *at; ++at) {
    const auto c = static_cast<unsigned char>(*at);
    if (c >= 0x20 && c != 0x7F) {
      out.push_back(*at);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
      out += escaped;
    }
  }
  return out;
}

}  // namespace

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
  const std::string text = stamp + escapeControls(message) + "\n";
  [[maybe_unused]] const ssize_t ignored = ::write(fd_.get(), text.data(), text.size());
}

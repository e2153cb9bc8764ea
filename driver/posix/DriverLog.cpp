#include "DriverLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>

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
  char text[1024];
  size_t used = std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  used += static_cast<size_t>(std::snprintf(text + used, sizeof(text) - used, ".%03d ", static_cast<int>(millis)));
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(text + used, sizeof(text) - used, format, args);
  va_end(args);
  // A message longer than the line is cut; the line end is always there.
  used = written < 0 ? used : std::min(used + static_cast<size_t>(written), sizeof(text) - 2);
  text[used++] = '\n';
  [[maybe_unused]] const ssize_t ignored = ::write(fd_.get(), text, used);
}

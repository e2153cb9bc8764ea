#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/WideString.h"
#include "provider/LogFile.h"
#include "provider/posix/NamedFile.h"

namespace vsimgpvd {
namespace {

// Owns its descriptor; line ends are already '\n' here, so text is written as it stands.
class PosixLogFile final : public LogFile {
 public:
  explicit PosixLogFile(const std::string& path)
      : fd_(openNamedFile(AT_FDCWD, path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOFOLLOW,
                          S_IRUSR | S_IWUSR)) {}
  ~PosixLogFile() override {
    if (fd_ >= 0) close(fd_);
  }
  PosixLogFile(const PosixLogFile&) = delete;
  PosixLogFile& operator=(const PosixLogFile&) = delete;

  bool isOpen() const { return fd_ >= 0; }

  // A log is only ever a regular file: not a device, terminal, FIFO or socket.
  bool isRegularFile() const {
    struct stat status {};
    return fstat(fd_, &status) == 0 && S_ISREG(status.st_mode);
  }

  bool append(std::string_view text) override {
    while (!text.empty()) {
      const ssize_t written = write(fd_, text.data(), text.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return false;
      text.remove_prefix(static_cast<size_t>(written));
    }
    return true;
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<LogFile> openLogFile(const std::u16string& path) {
  auto file = std::make_unique<PosixLogFile>(wide::toUtf8(path));
  if (!file->isOpen() || !file->isRegularFile()) return nullptr;
  return file;
}

}  // namespace vsimgpvd

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/WideString.h"
#include "provider/LogFile.h"

namespace vsimgpvd {
namespace {

// Line ends are already '\n' here, so text is written as it stands.
class PosixLogFile final : public LogFile {
 public:
  // O_NONBLOCK keeps a FIFO from blocking the open; regular files ignore it.
  explicit PosixLogFile(const std::string& path)
      : fd_(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, S_IRUSR | S_IWUSR)) {}
  ~PosixLogFile() override {
    if (fd_ >= 0) close(fd_);
  }
  PosixLogFile(const PosixLogFile&) = delete;
  PosixLogFile& operator=(const PosixLogFile&) = delete;

  bool isOpen() const { return fd_ >= 0; }

  void append(std::string_view text) override {
    while (!text.empty()) {
      const ssize_t written = ::write(fd_, text.data(), text.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return;
      text.remove_prefix(static_cast<size_t>(written));
    }
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<LogFile> openLogFile(const std::u16string& path) {
  auto file = std::make_unique<PosixLogFile>(wide::toUtf8(path));
  if (!file->isOpen()) return nullptr;
  return file;
}

}  // namespace vsimgpvd

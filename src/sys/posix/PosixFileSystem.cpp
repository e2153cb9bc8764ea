#include "sys/posix/PosixFileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/WideString.h"
#include "common/WinError.h"
#include "sys/posix/ErrnoMapping.h"

namespace sys::posix {
namespace {

// Line ends are already '\n' here, so text is written as it stands.
class PosixTextFile final : public TextFile {
 public:
  explicit PosixTextFile(int fd) : fd_(fd) {}
  ~PosixTextFile() override { close(fd_); }
  PosixTextFile(const PosixTextFile&) = delete;
  PosixTextFile& operator=(const PosixTextFile&) = delete;

  bool write(std::string_view text) override {
    while (!text.empty()) {
      const ssize_t written = ::write(fd_, text.data(), text.size());
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

std::unique_ptr<TextFile> PosixFileSystem::openTextFile(const std::u16string& path, OpenMode mode, uint32_t& error) {
  const std::string native = wide::toUtf8(path);
  if (native.empty() || native.find('\0') != std::string::npos) {
    error = WinError::InvalidName;
    return nullptr;
  }
  const bool truncate = mode == OpenMode::Truncate;
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | (truncate ? O_TRUNC : O_APPEND);
  const int fd = open(native.c_str(), flags, S_IRUSR | S_IWUSR);
  if (fd < 0) {
    error = winErrorFromErrno(errno);
    return nullptr;
  }
  if (truncate) fchmod(fd, S_IRUSR | S_IWUSR);  // an existing file keeps its mode otherwise
  error = WinError::Success;
  return std::make_unique<PosixTextFile>(fd);
}

}  // namespace sys::posix

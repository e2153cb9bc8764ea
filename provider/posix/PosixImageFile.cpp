#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/WideString.h"
#include "provider/ImageFile.h"

namespace vsimgpvd {
namespace {

// Owns its descriptor from the open on; a temp file is also unlinked at close.
class PosixImageFile final : public ImageFile {
 public:
  PosixImageFile(std::string path, int flags, bool temporary)
      : fd_(open(path.c_str(), flags | O_CLOEXEC, S_IRUSR | S_IWUSR)), error_(fd_ < 0 ? errno : 0) {
    if (fd_ >= 0 && temporary) removeOnClose_ = std::move(path);
  }
  ~PosixImageFile() override {
    if (fd_ < 0) return;
    close(fd_);
    if (!removeOnClose_.empty()) unlink(removeOnClose_.c_str());
  }
  PosixImageFile(const PosixImageFile&) = delete;
  PosixImageFile& operator=(const PosixImageFile&) = delete;

  int fd() const { return fd_; }
  // The errno of a failed open, 0 when open.
  int error() const { return error_; }

  uint32_t readAt(void* destination, uint64_t offset, uint32_t count) override {
    auto* bytes = static_cast<char*>(destination);
    uint32_t done = 0;
    while (done < count) {
      const ssize_t got = pread(fd_, bytes + done, count - done, static_cast<off_t>(offset + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += static_cast<uint32_t>(got);
    }
    return done;
  }

  uint32_t writeAt(const void* source, uint64_t offset, uint32_t count) override {
    const auto* bytes = static_cast<const char*>(source);
    uint32_t done = 0;
    while (done < count) {
      const ssize_t put = pwrite(fd_, bytes + done, count - done, static_cast<off_t>(offset + done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) break;
      done += static_cast<uint32_t>(put);
    }
    return done;
  }

 private:
  int fd_;
  int error_;
  std::string removeOnClose_;
};

InitCode initCodeFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return kImageNotFound;
    case ENOMEM: return kOutOfMemory;
    case EISDIR:
    case ENXIO: return kUnknownFormat;
    default: return kImageUnreadable;
  }
}

}  // namespace

InitCode openImageFile(const std::u16string& path, std::unique_ptr<ImageFile>& file, uint64_t& size) {
  // O_NONBLOCK keeps a FIFO from blocking the open; regular files ignore it.
  auto opened = std::make_unique<PosixImageFile>(wide::toUtf8(path), O_RDONLY | O_NONBLOCK, false);
  if (opened->fd() < 0) return initCodeFromErrno(opened->error());
  struct stat status {};
  if (fstat(opened->fd(), &status) != 0) return kImageUnreadable;
  if (!S_ISREG(status.st_mode)) return kUnknownFormat;
  size = static_cast<uint64_t>(status.st_size);
  file = std::move(opened);
  return kOpened;
}

std::unique_ptr<ImageFile> createTempFile(const std::u16string& path) {
  auto file = std::make_unique<PosixImageFile>(wide::toUtf8(path), O_RDWR | O_CREAT | O_EXCL, true);
  if (file->fd() < 0) return nullptr;
  return file;
}

bool pathExists(const std::u16string& path) {
  struct stat status {};
  return stat(wide::toUtf8(path).c_str(), &status) == 0;
}

}  // namespace vsimgpvd

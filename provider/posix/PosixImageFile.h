#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "provider/ImageFile.h"
#include "provider/posix/NamedFile.h"

namespace vsimgpvd {

// A file without a name in `directory`; where the file system refuses that,
// one with a new name, unlinked at once. -1 on failure.
int openUnnamed(const std::string& directory);

// Owns its descriptor from the open on.
class PosixImageFile final : public ImageFile {
 public:
  // `path`, as the caller named it, relative to `directory` (or AT_FDCWD).
  PosixImageFile(int directory, const std::string& path, int flags)
      : fd_(openNamedFile(directory, path.c_str(), flags, S_IRUSR | S_IWUSR)), error_(fd_ < 0 ? errno : 0) {}
  // A temp file without a name in `directory`.
  struct Unnamed {};
  PosixImageFile(Unnamed, const std::string& directory) : fd_(openUnnamed(directory)), error_(fd_ < 0 ? errno : 0) {}
  // Takes over `fd`, an open descriptor.
  struct Adopted {};
  PosixImageFile(Adopted, int fd) : fd_(fd), error_(0) {}
  ~PosixImageFile() override {
    if (fd_ >= 0) close(fd_);
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

  // Device, inode, size and the times of the last change of data and of status.
  std::string identity() const override;
  // Its device and inode.
  std::string fileKey() const override;

 private:
  int fd_;
  int error_;
};

}  // namespace vsimgpvd

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "common/WideString.h"
#include "provider/ImageFile.h"
#include "provider/posix/NamedFile.h"

namespace vsimgpvd {
namespace {

// $TMPDIR when set, then the usual places.
std::vector<std::string> tempDirectories() {
  std::vector<std::string> directories;
  const char* configured = std::getenv("TMPDIR");
  if (configured && *configured) directories.emplace_back(configured);
  directories.emplace_back("/var/tmp");
  directories.emplace_back("/tmp");
  return directories;
}

// A file without a name in `directory`; where the file system refuses that,
// one with a new name, unlinked at once. -1 on failure.
int openUnnamed(const std::string& directory) {
  const int fd = open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd >= 0) return fd;
  std::string name = directory + "/vsimgpvd-XXXXXX";
  const int named = mkostemp(name.data(), O_CLOEXEC);
  if (named >= 0) unlink(name.c_str());
  return named;
}

// Owns its descriptor from the open on.
class PosixImageFile final : public ImageFile {
 public:
  // `path`, as the caller named it, relative to `directory` (or AT_FDCWD).
  PosixImageFile(int directory, const std::string& path, int flags)
      : fd_(openNamedFile(directory, path.c_str(), flags, S_IRUSR | S_IWUSR)), error_(fd_ < 0 ? errno : 0) {}
  // A temp file without a name in `directory`.
  struct Unnamed {};
  PosixImageFile(Unnamed, const std::string& directory) : fd_(openUnnamed(directory)), error_(fd_ < 0 ? errno : 0) {}
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

 private:
  int fd_;
  int error_;
};

// Owns the descriptor of a directory that the caller named, for creating a file in it.
class NamedDirectory {
 public:
  explicit NamedDirectory(const std::string& path) : fd_(openNamedFile(AT_FDCWD, path.c_str(), O_PATH | O_DIRECTORY)) {}
  ~NamedDirectory() {
    if (fd_ >= 0) close(fd_);
  }
  NamedDirectory(const NamedDirectory&) = delete;
  NamedDirectory& operator=(const NamedDirectory&) = delete;

  int fd() const { return fd_; }

 private:
  int fd_;
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

// The descriptors the process holds open; 0 without /proc to tell.
uint64_t openDescriptorCount() {
  DIR* listing = opendir("/proc/self/fd");
  if (!listing) return 0;
  uint64_t count = 0;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(listing);
  // Less the listing's own.
  return count - 1;
}

}  // namespace

InitCode openImageFile(const std::u16string& path, std::unique_ptr<ImageFile>& file, uint64_t& size) {
  // O_NONBLOCK keeps a FIFO from blocking the open; regular files ignore it.
  auto opened = std::make_unique<PosixImageFile>(AT_FDCWD, wide::toUtf8(path), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  if (opened->fd() < 0) return initCodeFromErrno(opened->error());
  struct stat status {};
  if (fstat(opened->fd(), &status) != 0) return kImageUnreadable;
  if (!S_ISREG(status.st_mode)) return kUnknownFormat;
  size = static_cast<uint64_t>(status.st_size);
  file = std::move(opened);
  return kOpened;
}

// Created in the directory held open, and its name removed there at once,
// so that no name of the caller's is ever followed again.
std::unique_ptr<ImageFile> createTempFile(const std::u16string& path) {
  const std::string native = wide::toUtf8(path);
  const size_t slash = native.rfind('/');
  const std::string name = slash == std::string::npos ? native : native.substr(slash + 1);
  if (name.empty()) return nullptr;
  const NamedDirectory directory(slash == std::string::npos ? "." : native.substr(0, slash + 1));
  if (directory.fd() < 0) return nullptr;
  auto file = std::make_unique<PosixImageFile>(directory.fd(), name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW);
  if (file->fd() < 0) return nullptr;
  if (unlinkat(directory.fd(), name.c_str(), 0) != 0) return nullptr;
  return file;
}

std::unique_ptr<ImageFile> createUnnamedTempFile() {
  for (const std::string& directory : tempDirectories()) {
    auto file = std::make_unique<PosixImageFile>(PosixImageFile::Unnamed{}, directory);
    if (file->fd() >= 0) return file;
  }
  return nullptr;
}

bool pathExists(const std::u16string& path) {
  struct stat status {};
  return stat(wide::toUtf8(path).c_str(), &status) == 0;
}

bool canHoldOpen(uint32_t count) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
  return openDescriptorCount() + count + kReservedDescriptors <= limit.rlim_cur;
}

}  // namespace vsimgpvd

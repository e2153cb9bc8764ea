#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "common/LittleEndian.h"
#include "common/WideString.h"
#include "provider/ImageFile.h"
#include "provider/posix/NamedFile.h"
#include "provider/posix/PosixImageFile.h"

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

}  // namespace

int openUnnamed(const std::string& directory) {
  const int fd = open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd >= 0) return fd;
  std::string name = directory + "/vsimgpvd-XXXXXX";
  const int named = mkostemp(name.data(), O_CLOEXEC);
  if (named >= 0) unlink(name.c_str());
  return named;
}

std::string PosixImageFile::fileKey() const {
  struct stat status {};
  if (fstat(fd_, &status) != 0) return {};
  std::string bytes(16, '\0');
  writeLittleEndian(reinterpret_cast<uint8_t*>(bytes.data()), 8, static_cast<uint64_t>(status.st_dev));
  writeLittleEndian(reinterpret_cast<uint8_t*>(bytes.data()) + 8, 8, static_cast<uint64_t>(status.st_ino));
  return bytes;
}

std::string PosixImageFile::identity() const {
  struct stat status {};
  if (fstat(fd_, &status) != 0) return {};
  const uint64_t fields[] = {static_cast<uint64_t>(status.st_dev),          static_cast<uint64_t>(status.st_ino),
                             static_cast<uint64_t>(status.st_size),         static_cast<uint64_t>(status.st_mtim.tv_sec),
                             static_cast<uint64_t>(status.st_mtim.tv_nsec), static_cast<uint64_t>(status.st_ctim.tv_sec),
                             static_cast<uint64_t>(status.st_ctim.tv_nsec)};
  std::string bytes(sizeof(fields), '\0');
  for (size_t i = 0; i < std::size(fields); ++i) {
    writeLittleEndian(reinterpret_cast<uint8_t*>(bytes.data()) + 8 * i, 8, fields[i]);
  }
  return bytes;
}

namespace {

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

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "provider/ImageFile.h"
#include "provider/posix/PosixImageFile.h"

namespace vsimgpvd {
namespace {

#ifdef SYS_setfsuid32
constexpr long kSetfsuid = SYS_setfsuid32;
#else
constexpr long kSetfsuid = SYS_setfsuid;
#endif

// Where the store lies: $VSIMGPVD_INDEX_DIR when set, else the system's.
std::string storePath() {
  const char* configured = std::getenv("VSIMGPVD_INDEX_DIR");
  return configured && *configured ? configured : "/var/cache/vkbvd/index";
}

// The user files are made for: the file-system user of this thread.
uid_t fileUser() { return static_cast<uid_t>(syscall(kSetfsuid, -1)); }

// A name of `name` that is the calling user's alone.
std::string userFileName(const std::string& name) { return name + "-" + std::to_string(fileUser()); }

// Every user may add files, none may list them, and only its owner may
// remove or rename a file (the sticky bit).
constexpr mode_t kStoreMode = S_ISVTX | S_IRWXU | S_IWGRP | S_IXGRP | S_IWOTH | S_IXOTH;

// Owns the store directory's descriptor, held only when the directory can
// be trusted: a directory itself (not a link), the calling user's or
// root's, and sticky when others may write in it. Made when missing and
// the caller may (root, before any user has come).
class StoreDirectory {
 public:
  StoreDirectory() {
    const std::string path = storePath();
    fd_ = open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd_ < 0 && errno == ENOENT && fileUser() == 0) {
      mkdir(path.substr(0, path.rfind('/')).c_str(), S_IRWXU | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH);
      if (mkdir(path.c_str(), S_IRWXU) == 0) chmod(path.c_str(), kStoreMode);
      fd_ = open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    struct stat status {};
    if (fd_ >= 0 && (fstat(fd_, &status) != 0 || !trusted(status))) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~StoreDirectory() {
    if (fd_ >= 0) close(fd_);
  }
  StoreDirectory(const StoreDirectory&) = delete;
  StoreDirectory& operator=(const StoreDirectory&) = delete;

  int fd() const { return fd_; }

 private:
  static bool trusted(const struct stat& status) {
    if (!S_ISDIR(status.st_mode)) return false;
    if (status.st_uid != 0 && status.st_uid != fileUser()) return false;
    return (status.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (status.st_mode & S_ISVTX) != 0;
  }

  int fd_ = -1;
};

}  // namespace

std::unique_ptr<ImageFile> openStoredIndex(const std::string& name) {
  const StoreDirectory store;
  if (store.fd() < 0) return nullptr;
  const int fd = openat(store.fd(), userFileName(name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  auto file = std::make_unique<PosixImageFile>(PosixImageFile::Adopted{}, fd);
  struct stat status {};
  // A file with another name elsewhere (a hard link) may be changed through that name.
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != fileUser() ||
      (status.st_mode & (S_IRWXG | S_IRWXO)) != 0 || status.st_nlink != 1) {
    return nullptr;
  }
  return file;
}

std::unique_ptr<ImageFile> createIndexFile() {
  const StoreDirectory store;
  if (store.fd() >= 0) {
    const int fd = openat(store.fd(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd >= 0) {
      fchmod(fd, S_IRUSR | S_IWUSR);
      return std::make_unique<PosixImageFile>(PosixImageFile::Adopted{}, fd);
    }
  }
  return createUnnamedTempFile();
}

// Linked under a passing name first, then renamed over the old file, so
// that a reader finds the old file or the new one whole.
bool publishIndexFile(ImageFile& file, const std::string& name) {
  auto* posixFile = dynamic_cast<PosixImageFile*>(&file);
  const StoreDirectory store;
  if (!posixFile || store.fd() < 0) return false;
  static std::atomic<uint32_t> serial{0};
  const std::string finalName = userFileName(name);
  const std::string passingName = finalName + ".new." + std::to_string(getpid()) + "." + std::to_string(++serial);
  const std::string self = "/proc/self/fd/" + std::to_string(posixFile->fd());
  if (linkat(AT_FDCWD, self.c_str(), store.fd(), passingName.c_str(), AT_SYMLINK_FOLLOW) != 0) return false;
  if (renameat(store.fd(), passingName.c_str(), store.fd(), finalName.c_str()) == 0) return true;
  unlinkat(store.fd(), passingName.c_str(), 0);
  return false;
}

}  // namespace vsimgpvd

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
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

// Whether a directory may hold what root makes in it: root's, and changed
// by nobody else (unless sticky, as /tmp).
bool onlyRootChanges(int directory) {
  struct stat status {};
  return fstat(directory, &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == 0 &&
         ((status.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (status.st_mode & S_ISVTX) != 0);
}

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Makes the directory `name` in `directory`, its mode set through its own
// descriptor (whatever the umask), unless another user could change
// `directory`: nothing is made below such a directory, nor through a link
// put in the way.
void makeDirectoryIn(int directory, const std::string& name, mode_t mode) {
  if (!onlyRootChanges(directory) || mkdirat(directory, name.c_str(), S_IRWXU) != 0) return;
  const int made = openat(directory, name.c_str(), kDirectoryFlags);
  if (made < 0) return;
  fchmod(made, mode);
  close(made);
}

// Makes the store at `path`, and its parent when that is missing (a
// directory of root's that all may enter).
void makeStore(const std::filesystem::path& path) {
  const std::filesystem::path parent = path.parent_path();
  int parentFd = open(parent.c_str(), kDirectoryFlags);
  if (parentFd < 0 && errno == ENOENT) {
    const int grandparent = open(parent.parent_path().c_str(), kDirectoryFlags);
    if (grandparent < 0) return;
    makeDirectoryIn(grandparent, parent.filename(), S_IRWXU | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH);
    parentFd = openat(grandparent, parent.filename().c_str(), kDirectoryFlags);
    close(grandparent);
  }
  if (parentFd < 0) return;
  makeDirectoryIn(parentFd, path.filename(), kStoreMode);
  close(parentFd);
}

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
      makeStore(path);
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

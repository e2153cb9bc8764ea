#include "sys/posix/PrivateDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace sys::posix {
namespace {

constexpr mode_t kOthersWrite = S_IWGRP | S_IWOTH;
constexpr mode_t kOthersAccess = S_IRWXG | S_IRWXO;

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Makes each missing directory above `path`, mode 0700.
void makeDirectoriesAbove(const std::string& path) {
  for (size_t end = path.find('/', 1); end != std::string::npos; end = path.find('/', end + 1)) {
    mkdir(path.substr(0, end).c_str(), S_IRWXU);
  }
}

// `path` as the directory above it and its own name; false when it has no
// name of its own ("/", "..").
bool split(std::string path, std::string& parent, std::string& name) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    parent = ".";
    name = path;
  } else {
    parent = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
  }
  return !name.empty() && name != "." && name != "..";
}

// `path` without symbolic links or dots; empty with errno set when it cannot be resolved.
std::string realPathOf(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : std::string();
}

}  // namespace

PrivateDirectory::PrivateDirectory(const std::string& path, Readers readers, Missing missing) {
  open(path, readers, missing);
}

bool PrivateDirectory::open(const std::string& path, Readers readers, Missing missing) {
  std::string parent, name;
  if (!split(path, parent, name)) return fail(EINVAL, "it names no directory of its own");
  if (missing == Missing::Make) makeDirectoriesAbove(path);
  UniqueFd parentFd;
  if (!openParent(parent, parentFd)) return false;
  if (missing == Missing::Make && mkdirat(parentFd.get(), name.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
    return failWithErrno("cannot make it");
  }
  fd_ = UniqueFd(openat(parentFd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd_.valid()) {
    const int error = errno;
    struct stat status {};
    if (fstatat(parentFd.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode)) {
      return fail(EACCES, "it is a symbolic link");
    }
    return fail(error, std::string("cannot open it: ") + std::strerror(error));
  }
  path_ += (path_ == "/" ? "" : "/") + name;
  return check(readers);
}

// Opens the directory above, each directory on its way checked; path_ is
// its path without symbolic links.
bool PrivateDirectory::openParent(const std::string& parent, UniqueFd& parentFd) {
  path_ = realPathOf(parent);
  if (path_.empty()) return failWithErrno("cannot open " + parent);
  UniqueFd fd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return failWithErrno("cannot open /");
  if (!checkParent(fd.get(), "/")) return false;
  for (size_t begin = 1; begin < path_.size();) {
    const size_t end = std::min(path_.find('/', begin), path_.size());
    const std::string walked = path_.substr(0, end);
    UniqueFd next(
        openat(fd.get(), path_.substr(begin, end - begin).c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) return failWithErrno("cannot open " + walked + " above it");
    if (!checkParent(next.get(), walked)) return false;
    fd = std::move(next);
    begin = end + 1;
  }
  parentFd = std::move(fd);
  return true;
}

// A directory above may be changed by root, by this user, or, when it is
// sticky, by each user for the entries of their own alone.
bool PrivateDirectory::checkParent(int fd, const std::string& path) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return failWithErrno("cannot look at " + path + " above it");
  if (status.st_uid != 0 && status.st_uid != geteuid()) {
    return fail(EACCES, path + " above it belongs to user " + std::to_string(status.st_uid));
  }
  if ((status.st_mode & kOthersWrite) != 0 && (status.st_mode & S_ISVTX) == 0) {
    return fail(EACCES, path + " above it lets other users change it (mode " + octal(status.st_mode) + ")");
  }
  return true;
}

bool PrivateDirectory::check(Readers readers) {
  struct stat status {};
  if (fstat(fd_.get(), &status) != 0) return failWithErrno("cannot look at it");
  // Root's directory that every user reads is as safe to read as one's own.
  const bool trustedOwner = status.st_uid == geteuid() || (readers == Readers::Everyone && status.st_uid == 0);
  if (!trustedOwner) return fail(EACCES, "it belongs to user " + std::to_string(status.st_uid));
  if ((status.st_mode & kOthersWrite) != 0) {
    return fail(EACCES, "its mode " + octal(status.st_mode) + " lets other users change it");
  }
  if (readers == Readers::OwnerOnly && (status.st_mode & kOthersAccess) != 0) {
    return fail(EACCES, "its mode " + octal(status.st_mode) + " lets other users in");
  }
  return true;
}

bool PrivateDirectory::failWithErrno(const std::string& what) {
  const int error = errno;
  return fail(error, what + ": " + std::strerror(error));
}

bool PrivateDirectory::fail(int error, std::string refusal) {
  fd_.reset();
  path_.clear();
  error_ = error;
  refusal_ = std::move(refusal);
  return false;
}

}  // namespace sys::posix

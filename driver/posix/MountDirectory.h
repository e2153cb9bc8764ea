#pragma once

#include <memory>
#include <string>

#include "DriverLog.h"
#include "sys/posix/PrivateDirectory.h"
#include "sys/posix/UniqueFd.h"

// The directory vkvd mounts its disk's volumes in, one directory per volume,
// as Windows gives a new volume its drive letter. Users reach their volumes
// through it, so everyone may enter it; only vkvd's user (root) may change
// it or any directory above it, so that nobody else can put anything in it
// or move it away. Mount points in it are made, opened and removed through
// its descriptor and follow no symbolic link.
class MountDirectory {
 public:
  static constexpr const char* kDefaultPath = "/run/vkbvd-volumes";

  // Opens the directory `path`, made (mode 0755) when missing; null, with
  // the reason logged, when it is refused.
  static std::unique_ptr<MountDirectory> open(const std::string& path, DriverLog& log);

  // Its path without symbolic links.
  const std::string& path() const { return directory_.path(); }
  std::string pathOf(const std::string& name) const { return path() + "/" + name; }

  // Makes the directory `name` in it and opens it; invalid with `error`
  // (an errno; EEXIST when anything has that name already).
  sys::posix::UniqueFd makeMountPoint(const std::string& name, int& error) const;
  // Removes the directory `name`; 0 or an errno.
  int removeMountPoint(const std::string& name) const;

 private:
  explicit MountDirectory(sys::posix::PrivateDirectory directory) : directory_(std::move(directory)) {}

  sys::posix::PrivateDirectory directory_;
};

#pragma once

#include <memory>
#include <string>

#include "DriverLog.h"
#include "sys/posix/PrivateDirectory.h"
#include "sys/posix/UniqueFd.h"

// Where vkvd keeps what it publishes: the runtime directory the service and
// the driver share ($VKBVD_RUNTIME_DIR, or /run/vkbvd), checked as the
// service checks it (this user's, closed to others), and the interface,
// identity and mount-point directories below it. Everything vkvd does in it
// goes through the directory's descriptor and follows no symbolic link, so
// that nothing it makes, removes, mounts or unmounts can lie elsewhere.
class RuntimeDirectory {
 public:
  // The mount point of the disk's file system, below the runtime directory.
  static constexpr const char* kDiskMountPoint = "disk";

  // Opens the runtime directory, made when missing; null, with the reason
  // logged, when it is refused.
  static std::unique_ptr<RuntimeDirectory> open(DriverLog& log);

  int fd() const { return directory_.fd(); }
  // Its path without symbolic links, for what takes a path alone (a
  // socket's address, a mount point to unmount).
  const std::string& path() const { return directory_.path(); }

  // Opens the directory `relative` below it ("interfaces/{GUID}"), making
  // each missing part (mode 0700) when `missing` says so; invalid with
  // `error` (an errno; ENOTDIR for a part that is a symbolic link) otherwise.
  sys::posix::UniqueFd openSubdirectory(const std::string& relative, sys::posix::PrivateDirectory::Missing missing,
                                        int& error) const;

 private:
  explicit RuntimeDirectory(sys::posix::PrivateDirectory directory) : directory_(std::move(directory)) {}

  sys::posix::PrivateDirectory directory_;
};

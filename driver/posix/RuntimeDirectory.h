#pragma once

#include <string>

// Where vkvd keeps what it publishes: the runtime directory the service and
// the driver share ($VKBVD_RUNTIME_DIR, or /run/vkbvd), its interface,
// identity and mount-point directories below it, all closed to others.
class RuntimeDirectory {
 public:
  // Makes `path` and every missing directory above it, mode 0700; 0 or an errno.
  static int makeDirectories(const std::string& path);

  // The mount point of the disk's file system.
  static std::string diskMountPoint();

  // The directory that holds `path`.
  static std::string parentOf(const std::string& path);
};

#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "DriverLog.h"
#include "sys/posix/UniqueFd.h"

// The directory vkvd mounts its disk's volumes in, as Windows gives a new
// volume its drive letter: in a directory of the user the disk is for
// (`DIR/UID`, that user's own, mode 0700), one directory per volume, so that
// only that user and root reach the volumes. For a user other than root only
// file systems of the listed types are mounted: the kernel parses what the
// user's image holds. Everyone may enter the mount
// directory itself; only vkvd's user (root) may change it or any directory
// above it, so that nobody else can put anything in it or move it away.
// Mount points are made, opened and removed through descriptors and follow
// no symbolic link.
class MountDirectory {
 public:
  static constexpr const char* kDefaultPath = "/run/vkbvd-volumes";
  // The file system types mounted for users other than root, unless vkvd is told others.
  static constexpr const char* kDefaultUserTypes = "ext2,ext3,ext4,xfs,btrfs,vfat,exfat,ntfs,ntfs3";

  // Opens the directory `path`, made (mode 0755) when missing, in which the
  // volumes of users other than root are mounted when their type is one of
  // `userTypes`; null, with the reason logged, when it is refused.
  static std::unique_ptr<MountDirectory> open(const std::string& path, std::set<std::string> userTypes,
                                              DriverLog& log);
  // The types of a comma-separated list ("ext4,xfs"); empty names are left out.
  static std::set<std::string> typesOf(const std::string& list);

  // The directory of user `uid` in it, made when missing, and made the
  // user's own with mode 0700 whatever it was; null, with the reason
  // logged, when it is not a directory or cannot be made so. This directory
  // outlives it.
  std::unique_ptr<MountDirectory> userDirectory(uid_t uid, DriverLog& log) const;

  // Whether a file system of `type` is mounted here.
  bool mounts(const std::string& type) const { return !allowedTypes_ || allowedTypes_->contains(type); }

  // Its path without symbolic links.
  const std::string& path() const { return path_; }
  std::string pathOf(const std::string& name) const { return path_ + "/" + name; }

  // Makes the directory `name` in it and opens it; invalid with `error`
  // (an errno; EEXIST when anything has that name already).
  sys::posix::UniqueFd makeMountPoint(const std::string& name, int& error) const;
  // Removes the directory `name`; 0 or an errno.
  int removeMountPoint(const std::string& name) const;
  // Removes a user's directory once nothing is in it; otherwise it stays.
  void removeIfEmpty() const;

 private:
  MountDirectory(std::string path, sys::posix::UniqueFd fd, std::optional<std::set<std::string>> allowedTypes,
                 const MountDirectory* parent = nullptr, std::string name = {})
      : path_(std::move(path)),
        fd_(std::move(fd)),
        allowedTypes_(std::move(allowedTypes)),
        parent_(parent),
        name_(std::move(name)) {}

  std::string path_;
  sys::posix::UniqueFd fd_;
  // The types mounted: in the mount directory itself those for users other
  // than root; none for root's directory, where every type is mounted.
  std::optional<std::set<std::string>> allowedTypes_;
  const MountDirectory* parent_;  // a user's directory's: the mount directory (which outlives it), and its name there
  std::string name_;
};

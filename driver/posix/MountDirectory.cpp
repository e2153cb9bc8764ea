#include "MountDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sys/posix/PrivateDirectory.h"

using sys::posix::PrivateDirectory;
using sys::posix::UniqueFd;

namespace {

constexpr mode_t kMode = 0755;
constexpr mode_t kUserMode = 0700;

}  // namespace

std::set<std::string> MountDirectory::typesOf(const std::string& list) {
  std::set<std::string> types;
  size_t begin = 0;
  while (begin <= list.size()) {
    const size_t end = std::min(list.find(',', begin), list.size());
    if (end > begin) types.insert(list.substr(begin, end - begin));
    begin = end + 1;
  }
  return types;
}

std::unique_ptr<MountDirectory> MountDirectory::open(const std::string& path, std::set<std::string> userTypes,
                                                     DriverLog& log) {
  // Only the directory itself is made: one whose parent is missing is most
  // likely a mistyped path.
  const bool made = mkdir(path.c_str(), kMode) == 0;
  PrivateDirectory directory(path, PrivateDirectory::Readers::Everyone, PrivateDirectory::Missing::Fail);
  if (!directory.valid()) {
    log.line("the mount directory %s is refused: %s", path.c_str(), directory.refusal().c_str());
    return nullptr;
  }
  // Whatever the umask took away.
  if (made) fchmod(directory.fd(), kMode);
  UniqueFd fd(fcntl(directory.fd(), F_DUPFD_CLOEXEC, 0));
  if (!fd.valid()) {
    log.line("the mount directory %s cannot be held open: %s", path.c_str(), std::strerror(errno));
    return nullptr;
  }
  return std::unique_ptr<MountDirectory>(new MountDirectory(directory.path(), std::move(fd), std::move(userTypes)));
}

std::unique_ptr<MountDirectory> MountDirectory::userDirectory(uid_t uid, DriverLog& log) const {
  const std::string name = std::to_string(uid);
  const std::string path = pathOf(name);
  // Only root may change the mount directory: whatever has the name, root made it.
  if (mkdirat(fd_.get(), name.c_str(), kUserMode) != 0 && errno != EEXIST) {
    log.line("cannot make the user's directory %s: %s; its volumes are not mounted", path.c_str(),
             std::strerror(errno));
    return nullptr;
  }
  UniqueFd fd(openat(fd_.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  const gid_t rootGroup = 0;
  if (!fd.valid() || fchown(fd.get(), uid, rootGroup) != 0 || fchmod(fd.get(), kUserMode) != 0) {
    log.line("cannot make %s the user's own directory: %s; its volumes are not mounted", path.c_str(),
             std::strerror(errno));
    return nullptr;
  }
  std::optional<std::set<std::string>> allowed = uid == 0 ? std::nullopt : allowedTypes_;
  return std::unique_ptr<MountDirectory>(new MountDirectory(path, std::move(fd), std::move(allowed), this, name));
}

UniqueFd MountDirectory::makeMountPoint(const std::string& name, int& error) const {
  if (mkdirat(fd_.get(), name.c_str(), kMode) != 0) {
    error = errno;
    return {};
  }
  UniqueFd point(openat(fd_.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!point.valid()) {
    error = errno;
    unlinkat(fd_.get(), name.c_str(), AT_REMOVEDIR);
  }
  return point;
}

int MountDirectory::removeMountPoint(const std::string& name) const {
  return unlinkat(fd_.get(), name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

void MountDirectory::removeIfEmpty() const {
  if (parent_) parent_->removeMountPoint(name_);
}

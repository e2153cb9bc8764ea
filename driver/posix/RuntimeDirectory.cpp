#include "RuntimeDirectory.h"

#include <sys/stat.h>

#include <cerrno>

#include "sys/posix/PortProtocol.h"

int RuntimeDirectory::makeDirectories(const std::string& path) {
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string part = path.substr(0, end);
    if (!part.empty() && mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    if (end == std::string::npos) break;
  }
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return errno;
  return S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
}

std::string RuntimeDirectory::diskMountPoint() { return sys::posix::port_protocol::runtimeDirectory() + "/disk"; }

std::string RuntimeDirectory::parentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

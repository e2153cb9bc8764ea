#include "RuntimeDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "sys/posix/PortProtocol.h"

using sys::posix::PrivateDirectory;
using sys::posix::UniqueFd;

std::unique_ptr<RuntimeDirectory> RuntimeDirectory::open(DriverLog& log) {
  PrivateDirectory directory = sys::posix::port_protocol::openRuntimeDirectory(PrivateDirectory::Missing::Make);
  if (!directory.valid()) {
    log.line("the runtime directory %s is refused: %s", sys::posix::port_protocol::runtimeDirectory().c_str(),
             directory.refusal().c_str());
    return nullptr;
  }
  return std::unique_ptr<RuntimeDirectory>(new RuntimeDirectory(std::move(directory)));
}

UniqueFd RuntimeDirectory::openSubdirectory(const std::string& relative, PrivateDirectory::Missing missing,
                                            int& error) const {
  UniqueFd current;
  for (size_t begin = 0; begin < relative.size();) {
    const size_t end = std::min(relative.find('/', begin), relative.size());
    const std::string name = relative.substr(begin, end - begin);
    const int parent = current.valid() ? current.get() : fd();
    if (missing == PrivateDirectory::Missing::Make && mkdirat(parent, name.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
      error = errno;
      return {};
    }
    UniqueFd next(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      error = errno;
      return {};
    }
    current = std::move(next);
    begin = end + 1;
  }
  return current;
}

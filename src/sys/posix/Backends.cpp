#include "sys/Backends.h"

#include "sys/posix/PosixFileSystem.h"
#include "sys/posix/PosixModuleInfo.h"

namespace sys::backend {

ModuleInfo& moduleInfo() {
  static posix::PosixModuleInfo instance;
  return instance;
}

FileSystem& fileSystem() {
  static posix::PosixFileSystem instance;
  return instance;
}

}  // namespace sys::backend

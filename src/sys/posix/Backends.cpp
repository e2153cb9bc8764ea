#include "sys/Backends.h"

#include "sys/posix/PosixDeviceInterfaces.h"
#include "sys/posix/PosixDeviceIo.h"
#include "sys/posix/PosixFileSystem.h"
#include "sys/posix/PosixModuleInfo.h"
#include "sys/posix/PosixPorts.h"
#include "sys/posix/PosixTokens.h"

namespace sys::backend {

ModuleInfo& moduleInfo() {
  static posix::PosixModuleInfo instance;
  return instance;
}

FileSystem& fileSystem() {
  static posix::PosixFileSystem instance;
  return instance;
}

Ports& ports() {
  static posix::PosixPorts instance;
  return instance;
}

Tokens& tokens() {
  static posix::PosixTokens instance;
  return instance;
}

DeviceInterfaces& deviceInterfaces() {
  static posix::PosixDeviceInterfaces instance;
  return instance;
}

DeviceIo& deviceIo() {
  static posix::PosixDeviceIo instance;
  return instance;
}

}  // namespace sys::backend

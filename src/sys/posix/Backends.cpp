#include "sys/Backends.h"

#include "sys/posix/PosixCommandLine.h"
#include "sys/posix/PosixDeviceInterfaces.h"
#include "sys/posix/PosixDeviceIo.h"
#include "sys/posix/PosixFileSystem.h"
#include "sys/posix/PosixModuleInfo.h"
#include "sys/posix/PosixPorts.h"
#include "sys/posix/PosixRegistry.h"
#include "sys/posix/PosixSecurity.h"
#include "sys/posix/PosixTokens.h"
#include "sys/posix/PosixVolumes.h"

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

Volumes& volumes() {
  static posix::PosixVolumes instance;
  return instance;
}

CommandLine& commandLine() {
  static posix::PosixCommandLine instance;
  return instance;
}

Security& security() {
  static posix::PosixSecurity instance;
  return instance;
}

Registry& registry() {
  static posix::PosixRegistry instance;
  return instance;
}

}  // namespace sys::backend

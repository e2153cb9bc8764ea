#include "sys/Backends.h"

#include "sys/posix/PosixCommandLine.h"
#include "sys/posix/PosixDeviceInterfaces.h"
#include "sys/posix/PosixDeviceIo.h"
#include "sys/posix/PosixDeviceNotifications.h"
#include "sys/posix/PosixFileSystem.h"
#include "sys/posix/PosixModuleInfo.h"
#include "sys/posix/PosixPorts.h"
#include "sys/posix/PosixRegistry.h"
#include "sys/posix/PosixSecurity.h"
#include "sys/posix/PosixTokens.h"
#include "sys/posix/PosixVolumes.h"

namespace sys::backend {

// Each backend is made on first use and never destroyed: threads that the
// service abandoned (a driver request past its bound, a probe) may still call
// it while the process exits.

ModuleInfo& moduleInfo() {
  static auto* instance = new posix::PosixModuleInfo;
  return *instance;
}

FileSystem& fileSystem() {
  static auto* instance = new posix::PosixFileSystem;
  return *instance;
}

Ports& ports() {
  static auto* instance = new posix::PosixPorts;
  return *instance;
}

Tokens& tokens() {
  static auto* instance = new posix::PosixTokens;
  return *instance;
}

DeviceInterfaces& deviceInterfaces() {
  static auto* instance = new posix::PosixDeviceInterfaces;
  return *instance;
}

DeviceIo& deviceIo() {
  static auto* instance = new posix::PosixDeviceIo;
  return *instance;
}

DeviceNotifications& deviceNotifications() {
  static auto* instance = new posix::PosixDeviceNotifications;
  return *instance;
}

Volumes& volumes() {
  static auto* instance = new posix::PosixVolumes;
  return *instance;
}

CommandLine& commandLine() {
  static auto* instance = new posix::PosixCommandLine;
  return *instance;
}

Security& security() {
  static auto* instance = new posix::PosixSecurity;
  return *instance;
}

Registry& registry() {
  static auto* instance = new posix::PosixRegistry;
  return *instance;
}

}  // namespace sys::backend

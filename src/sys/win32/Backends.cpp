#include "sys/Backends.h"

#include "sys/win32/Win32CommandLine.h"
#include "sys/win32/Win32DeviceInterfaces.h"
#include "sys/win32/Win32DeviceIo.h"
#include "sys/win32/Win32DeviceNotifications.h"
#include "sys/win32/Win32FileSystem.h"
#include "sys/win32/Win32ModuleInfo.h"
#include "sys/win32/Win32Ports.h"
#include "sys/win32/Win32Registry.h"
#include "sys/win32/Win32Security.h"
#include "sys/win32/Win32Tokens.h"
#include "sys/win32/Win32Volumes.h"

namespace sys::backend {

// Each backend is made on first use and never destroyed: threads that the
// service abandoned (a driver request past its bound, a probe) may still call
// it while the process exits.

ModuleInfo& moduleInfo() {
  static auto* instance = new win32::Win32ModuleInfo;
  return *instance;
}

FileSystem& fileSystem() {
  static auto* instance = new win32::Win32FileSystem;
  return *instance;
}

Ports& ports() {
  static auto* instance = new win32::Win32Ports;
  return *instance;
}

Tokens& tokens() {
  static auto* instance = new win32::Win32Tokens;
  return *instance;
}

DeviceInterfaces& deviceInterfaces() {
  static auto* instance = new win32::Win32DeviceInterfaces;
  return *instance;
}

DeviceIo& deviceIo() {
  static auto* instance = new win32::Win32DeviceIo;
  return *instance;
}

DeviceNotifications& deviceNotifications() {
  static auto* instance = new win32::Win32DeviceNotifications;
  return *instance;
}

Volumes& volumes() {
  static auto* instance = new win32::Win32Volumes;
  return *instance;
}

CommandLine& commandLine() {
  static auto* instance = new win32::Win32CommandLine;
  return *instance;
}

Security& security() {
  static auto* instance = new win32::Win32Security;
  return *instance;
}

Registry& registry() {
  static auto* instance = new win32::Win32Registry;
  return *instance;
}

}  // namespace sys::backend

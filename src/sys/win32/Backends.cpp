#include "sys/Backends.h"

#include "sys/win32/Win32CommandLine.h"
#include "sys/win32/Win32DeviceInterfaces.h"
#include "sys/win32/Win32DeviceIo.h"
#include "sys/win32/Win32FileSystem.h"
#include "sys/win32/Win32ModuleInfo.h"
#include "sys/win32/Win32Ports.h"
#include "sys/win32/Win32Registry.h"
#include "sys/win32/Win32Security.h"
#include "sys/win32/Win32Tokens.h"
#include "sys/win32/Win32Volumes.h"

namespace sys::backend {

ModuleInfo& moduleInfo() {
  static win32::Win32ModuleInfo instance;
  return instance;
}

FileSystem& fileSystem() {
  static win32::Win32FileSystem instance;
  return instance;
}

Ports& ports() {
  static win32::Win32Ports instance;
  return instance;
}

Tokens& tokens() {
  static win32::Win32Tokens instance;
  return instance;
}

DeviceInterfaces& deviceInterfaces() {
  static win32::Win32DeviceInterfaces instance;
  return instance;
}

DeviceIo& deviceIo() {
  static win32::Win32DeviceIo instance;
  return instance;
}

Volumes& volumes() {
  static win32::Win32Volumes instance;
  return instance;
}

CommandLine& commandLine() {
  static win32::Win32CommandLine instance;
  return instance;
}

Security& security() {
  static win32::Win32Security instance;
  return instance;
}

Registry& registry() {
  static win32::Win32Registry instance;
  return instance;
}

}  // namespace sys::backend

#include "sys/Backends.h"

#include "sys/win32/Win32FileSystem.h"
#include "sys/win32/Win32ModuleInfo.h"
#include "sys/win32/Win32Ports.h"
#include "sys/win32/Win32Tokens.h"

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

}  // namespace sys::backend

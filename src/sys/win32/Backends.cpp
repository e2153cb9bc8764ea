#include "sys/Backends.h"

#include "sys/win32/Win32FileSystem.h"
#include "sys/win32/Win32ModuleInfo.h"

namespace sys::backend {

ModuleInfo& moduleInfo() {
  static win32::Win32ModuleInfo instance;
  return instance;
}

FileSystem& fileSystem() {
  static win32::Win32FileSystem instance;
  return instance;
}

}  // namespace sys::backend

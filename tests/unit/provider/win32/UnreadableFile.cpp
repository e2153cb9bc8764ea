#include "UnreadableFile.h"

#include <windows.h>

UnreadableFile::UnreadableFile(const std::filesystem::path& path) {
  // Opened with no sharing, so every other open fails with a sharing violation.
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  undo_ = [handle] { CloseHandle(handle); };
  active_ = true;
}

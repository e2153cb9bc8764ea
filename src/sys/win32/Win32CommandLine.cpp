#include "sys/win32/Win32CommandLine.h"

#include <windows.h>

// Needs the declarations of windows.h.
#include <shellapi.h>

#include "common/WideString.h"

namespace sys::win32 {

bool Win32CommandLine::split(const std::u16string& line, std::vector<std::u16string>& arguments) {
  const std::wstring text = wide::toWchar(line);
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(text.c_str(), &count);
  if (argv == nullptr) return false;
  arguments.clear();
  for (int i = 0; i < count; ++i) arguments.push_back(wide::fromWchar(argv[i]));
  LocalFree(argv);
  return true;
}

}  // namespace sys::win32

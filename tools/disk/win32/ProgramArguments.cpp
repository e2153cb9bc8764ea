#include "ProgramArguments.h"

#include <windows.h>
// windows.h first
#include <shellapi.h>

#include "common/WideString.h"

// The narrow argv holds the ANSI code page's approximation; the wide command
// line holds the real paths.
std::vector<std::u16string> programArguments(int, char**) {
  std::vector<std::u16string> arguments;
  int count = 0;
  LPWSTR* wideArgs = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wideArgs) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(wide::fromWchar(wideArgs[i]));
  LocalFree(wideArgs);
  return arguments;
}

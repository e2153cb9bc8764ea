#include "service/win32/MessageReporter.h"

#include <windows.h>

#include <cstdio>

#include "service/win32/ServiceStrings.h"

namespace MessageReporter {

namespace {

bool personCanAnswer() {
  if (GetConsoleWindow()) return false;
  USEROBJECTFLAGS flags{};
  const HWINSTA station = GetProcessWindowStation();
  return station && GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), nullptr) &&
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

void show(const std::wstring& text) {
  const std::wstring name = ServiceStrings::serviceName();
  std::fwprintf(stderr, L"%ls: %ls\n", name.c_str(), text.c_str());
  std::fflush(stderr);
  if (personCanAnswer()) MessageBoxW(nullptr, text.c_str(), name.c_str(), MB_OK);
}

}  // namespace MessageReporter

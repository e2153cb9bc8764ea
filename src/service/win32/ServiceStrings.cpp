#include "service/win32/ServiceStrings.h"

#include <windows.h>

namespace ServiceStrings {

namespace {

constexpr int kBufferSize = 512;

}  // namespace

bool loadString(unsigned id, std::wstring& text) {
  wchar_t buffer[kBufferSize];
  const int length = LoadStringW(GetModuleHandleW(nullptr), id, buffer, kBufferSize);
  if (length < 1 || length >= kBufferSize) return false;
  text.assign(buffer, static_cast<size_t>(length));
  return true;
}

std::wstring serviceName() {
  std::wstring name;
  return loadString(kServiceName, name) ? name : L"Velkara Mount Service";
}

}  // namespace ServiceStrings

#include "service/win32/ServiceStrings.h"

#include "service/App.h"

namespace ServiceStrings {

std::wstring serviceName() {
  std::u16string name;
  if (!App::loadString(kServiceName, name)) return L"Velkara Mount Service";
  return std::wstring(reinterpret_cast<const wchar_t*>(name.c_str()), name.size());
}

}  // namespace ServiceStrings

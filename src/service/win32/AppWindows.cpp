// The service's Windows-only operations: its string resources and its
// description in the service control manager.
#include "service/App.h"

#include <windows.h>

#include "service/DebugLog.h"
#include "service/win32/ScmHandle.h"

namespace {

constexpr int kStringBufferSize = 512;
// The rights the description needs on the manager and on the service.
constexpr DWORD kAllAccess = 0xF003F;

const wchar_t* wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

}  // namespace

bool App::loadString(unsigned id, std::u16string& text) {
  wchar_t buffer[kStringBufferSize];
  const int length = LoadStringW(GetModuleHandleW(nullptr), id, buffer, kStringBufferSize);
  if (length < 1 || length >= kStringBufferSize) return false;
  text.assign(reinterpret_cast<const char16_t*>(buffer), static_cast<size_t>(length));
  return true;
}

void App::setServiceDescription(const std::u16string& serviceName, const std::u16string& description) {
  const ScmHandle manager(OpenSCManagerW(nullptr, nullptr, kAllAccess));
  if (!manager) {
    debugLog(u"App::setServiceDescription error OpenSCManager\n");
    return;
  }
  debugLog(u"App::setServiceDescription service name=%s\n", serviceName.c_str());
  const ScmHandle service(OpenServiceW(manager.get(), wide(serviceName), kAllAccess));
  if (!service) {
    debugLog(u"App::setServiceDescription error OpenService=%d\n", static_cast<int>(GetLastError()));
    return;
  }
  std::wstring text(wide(description));
  SERVICE_DESCRIPTIONW info{text.data()};
  if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &info)) {
    debugLog(u"App::setServiceDescription error ChangeServiceConfig2=%d\n", static_cast<int>(GetLastError()));
  }
}

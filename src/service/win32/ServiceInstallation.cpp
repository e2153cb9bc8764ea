#include "service/win32/ServiceInstallation.h"

#include "service/win32/MessageReporter.h"
#include "service/win32/ScmHandle.h"

namespace {

constexpr wchar_t kDependencies[] = L"RPCSS\0";

}  // namespace

HRESULT ServiceInstallation::uninstall() const {
  const ScmHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    MessageReporter::show(L"Could not open Service Manager");
    return E_FAIL;
  }
  const ScmHandle probe(OpenServiceW(manager.get(), name_.c_str(), SERVICE_QUERY_CONFIG));
  if (!probe) return S_OK;  // not installed
  const ScmHandle service(OpenServiceW(manager.get(), name_.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) {
    MessageReporter::show(L"Could not open service");
    return E_FAIL;
  }
  if (!stop(service.get())) MessageReporter::show(L"Could not stop service");
  if (!DeleteService(service.get())) {
    MessageReporter::show(L"Could not delete service");
    return E_FAIL;
  }
  return S_OK;
}

bool ServiceInstallation::stop(SC_HANDLE service) {
  SERVICE_STATUS status{};
  if (ControlService(service, SERVICE_CONTROL_STOP, &status)) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_SERVICE_NOT_ACTIVE) return true;
  return error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && QueryServiceStatus(service, &status) &&
         status.dwCurrentState == SERVICE_STOP_PENDING;
}

HRESULT ServiceInstallation::install(const std::wstring& programPath) const {
  const ScmHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    MessageReporter::show(L"Could not open Service Manager");
    return E_FAIL;
  }
  if (ScmHandle(OpenServiceW(manager.get(), name_.c_str(), SERVICE_QUERY_CONFIG))) return S_OK;
  const std::wstring command = L"\"" + programPath + L"\"";
  const ScmHandle service(CreateServiceW(manager.get(), name_.c_str(), name_.c_str(), SERVICE_ALL_ACCESS,
                                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                             command.c_str(), nullptr, nullptr, kDependencies, nullptr, nullptr));
  if (!service) {
    MessageReporter::show(L"Could not start service");
    return E_FAIL;
  }
  return S_OK;
}

#include "service/win32/Registrar.h"

#include "service/App.h"
#include "service/win32/ClassRegistration.h"
#include "service/win32/RegistryKey.h"
#include "service/win32/ServiceInstallation.h"
#include "service/win32/ServiceStrings.h"

namespace {

const std::wstring kAppIdKey = std::wstring(L"AppID\\") + ClassRegistration::kAppId;
constexpr wchar_t kLocalService[] = L"LocalService";

HRESULT fromError(LSTATUS error) { return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error); }

ClassRegistration::Scope scopeOf(ServiceCommand command) {
  return command == ServiceCommand::RegServerPerUser || command == ServiceCommand::UnregServerPerUser
             ? ClassRegistration::Scope::CurrentUser
             : ClassRegistration::Scope::Machine;
}

// The AppID key, made when missing, without its "LocalService".
LSTATUS openAppIdWithoutService(RegistryKey& appId) {
  const LSTATUS result = RegistryKey::create(HKEY_CLASSES_ROOT, kAppIdKey, appId);
  if (result != ERROR_SUCCESS) return result;
  const LSTATUS removed = appId.deleteValue(kLocalService);
  return removed == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : removed;
}

}  // namespace

HRESULT Registrar::run(ServiceCommand command) const {
  switch (command) {
    case ServiceCommand::RegServer:
    case ServiceCommand::Service:
    case ServiceCommand::RegServerPerUser:
      return registerServer(command);
    case ServiceCommand::UnregServer:
    case ServiceCommand::UnregServerPerUser:
      return unregisterServer(command);
    case ServiceCommand::Serve:
      break;
  }
  return E_INVALIDARG;
}

HRESULT Registrar::registerServer(ServiceCommand command) const {
  const HRESULT appId = registerAppId(command == ServiceCommand::Service);
  setServiceDescription();  // its failures change nothing
  if (FAILED(appId)) return appId;
  return ClassRegistration(programPath_, scopeOf(command)).registerClass();
}

HRESULT Registrar::unregisterServer(ServiceCommand command) const {
  const HRESULT classes = ClassRegistration(programPath_, scopeOf(command)).unregisterClass();
  if (FAILED(classes)) return classes;
  const HRESULT service = ServiceInstallation(serviceName_).uninstall();
  if (FAILED(service)) return service;
  RegistryKey appId;
  const LSTATUS opened = RegistryKey::open(HKEY_CLASSES_ROOT, kAppIdKey, KEY_SET_VALUE, appId);
  if (opened == ERROR_FILE_NOT_FOUND) return S_OK;
  if (opened != ERROR_SUCCESS) return fromError(opened);
  const LSTATUS removed = appId.deleteValue(kLocalService);
  return removed == ERROR_FILE_NOT_FOUND ? S_OK : fromError(removed);
}

HRESULT Registrar::registerAppId(bool asService) const {
  // Without the program's own path, the service and the class would name no program.
  if (programPath_.empty()) return HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);
  const ServiceInstallation installation(serviceName_);
  const HRESULT removed = installation.uninstall();
  if (FAILED(removed)) return removed;
  RegistryKey appId;
  const LSTATUS opened = openAppIdWithoutService(appId);
  if (opened != ERROR_SUCCESS) return fromError(opened);
  if (!asService) return S_OK;
  const LSTATUS written = appId.setString(kLocalService, serviceName_);
  if (written != ERROR_SUCCESS) return fromError(written);
  return installation.install(programPath_);
}

void Registrar::setServiceDescription() const {
  std::u16string name, description;
  if (App::loadString(ServiceStrings::kServiceName, name) &&
      App::loadString(ServiceStrings::kServiceDescription, description)) {
    App::setServiceDescription(name, description);
  }
}

#pragma once

#include <windows.h>

#include <string>

#include "service/ServiceCommand.h"

// The registration commands of the program: "RegServer" registers it as a
// plain local server (an installed service is removed first), "Service"
// as a service, "UnregServer" removes what either wrote but the CLSID key,
// and the per-user variants register the class and type library for the
// current user alone. The AppID key holds "LocalService" only for a service.
class Registrar {
 public:
  Registrar(std::wstring programPath, std::wstring serviceName)
      : programPath_(std::move(programPath)), serviceName_(std::move(serviceName)) {}

  // Runs a registration command; its HRESULT is the program's exit code.
  HRESULT run(ServiceCommand command) const;

 private:
  HRESULT registerServer(ServiceCommand command) const;
  HRESULT unregisterServer(ServiceCommand command) const;
  // Removes an installed service and "LocalService"; for a service, writes
  // "LocalService" and installs it.
  HRESULT registerAppId(bool asService) const;
  void setServiceDescription() const;

  std::wstring programPath_;
  std::wstring serviceName_;
};

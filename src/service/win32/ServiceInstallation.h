#pragma once

#include <windows.h>

#include <string>

// The service as the service control manager holds it: installed to run
// this program in a process of its own, started on demand, after RPCSS, as
// LocalSystem; stopped and deleted again. Failures are shown to a person
// (MessageReporter) with the texts a service registration has always used.
class ServiceInstallation {
 public:
  explicit ServiceInstallation(std::wstring name) : name_(std::move(name)) {}

  // Stops and deletes the service when it is installed; S_OK when it is not.
  HRESULT uninstall() const;
  // Installs the service for `programPath`; nothing when a service of the
  // name exists.
  HRESULT install(const std::wstring& programPath) const;
 private:
  // Stops the running service; false when it could not be stopped.
  static bool stop(SC_HANDLE service);

  std::wstring name_;
};

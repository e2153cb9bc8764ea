#pragma once

#include <windows.h>

// The service process on Windows, without ATL: the registration commands,
// then either the service (when the AppID names it as "LocalService") or a
// plain local server of the VirtualDisk class.
//
// As a service, ServiceMain parses the start arguments ("-log PATH"), runs
// App::startup, starts the port thread without impersonation, registers the
// control handler, enters the multithreaded apartment, registers the class
// object suspended, reports running, resumes it and runs the message loop
// until the stop control. The handler takes stop (OnStop: stop pending, the
// loop's end, the port thread stopped, App::shutdown), shutdown, and device
// events for volume detection; other controls are "Bad service request".
// A plain local server ends once it has served and has had no object and no
// lock for a while, as COM servers do.
namespace ServiceModule {

// The whole process after its start; the exit code.
int main();
// Serves the class as a plain local server in the multithreaded apartment
// until the process has served and been idle; an HRESULT.
HRESULT runLocalServer();
// The control handler; always NO_ERROR.
DWORD WINAPI handler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

}  // namespace ServiceModule

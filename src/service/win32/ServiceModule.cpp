// The core's headers before the system's, whose macros would rename their members.
#include "com/OptionMap.h"
#include "common/WideString.h"
#include "device/TimerTask.h"
#include "lpc/LpcThread.h"
#include "service/App.h"
#include "service/DebugLog.h"
#include "service/ServiceCommand.h"
#include "volume/VolumeDeviceNotificator.h"

#include "service/win32/ServiceModule.h"

#include "com/win32/ComClassFactory.h"
#include "com/win32/ComServerLocks.h"

#include <objbase.h>
#include <shellapi.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "service/win32/ClassRegistration.h"
#include "service/win32/EventLog.h"
#include "service/win32/Registrar.h"
#include "service/win32/RegistryKey.h"
#include "service/win32/ServiceStrings.h"
#include "vkbvd_mount_service.h"

namespace ServiceModule {

namespace {

using std::chrono::steady_clock;

constexpr size_t kMaxLocalService = 260;
// How long a plain local server stays without objects and locks before it ends.
constexpr auto kIdleEnd = std::chrono::seconds(5);
constexpr DWORD kLoopPoll = 500;  // ms

// The process's service state.
struct Module {
  std::wstring name = ServiceStrings::serviceName();
  // Shutdown too, so that the service ends in order when the system does.
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN,
                        0, 0, 0, 0};
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  bool comInitialized = false;
  std::atomic<DWORD> mainThreadId{0};
  // Set by the stop control: the loop ends even when the quit message came
  // before its thread had a queue.
  std::atomic<bool> stopRequested{false};
  LpcThread port;  // not started until ServiceMain
  ComClassFactory factory;
};

Module& module() {
  static Module instance;
  return instance;
}

void setState(DWORD state) {
  Module& m = module();
  m.status.dwCurrentState = state;
  if (m.statusHandle) SetServiceStatus(m.statusHandle, &m.status);
}

std::wstring programPath() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) return std::wstring(path.data(), length);
    path.resize(path.size() * 2);
  }
}

std::vector<std::wstring> commandLineWords() {
  int count = 0;
  LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::wstring> result;
  if (!words) return result;
  for (int at = 1; at < count; ++at) result.emplace_back(words[at]);
  LocalFree(words);
  return result;
}

// Whether a plain local server has served and has had nothing to keep it
// for kIdleEnd; `idleSince` keeps the start of the idle time.
bool idleLongEnough(steady_clock::time_point& idleSince) {
  if (ComServerLocks::uses() == 0 || ComServerLocks::count() > 0) {
    idleSince = steady_clock::time_point{};
    return false;
  }
  if (idleSince == steady_clock::time_point{}) idleSince = steady_clock::now();
  return steady_clock::now() - idleSince >= kIdleEnd;
}

// Serves until WM_QUIT comes or a stop is asked for (or, for a plain local
// server, it has been idle).
void messageLoop(bool endWhenIdle) {
  steady_clock::time_point idleSince{};
  while (!module().stopRequested) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, kLoopPoll, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) return;
      DispatchMessageW(&message);
    }
    if (endWhenIdle && idleLongEnough(idleSince)) return;
  }
}

// The class object registered, the loop run, the class object revoked.
HRESULT run(bool serviceMode) {
  Module& m = module();
  if (serviceMode) setState(SERVICE_RUNNING);
  MSG message;
  PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // the queue, before anyone posts to it
  m.mainThreadId = GetCurrentThreadId();
  if (serviceMode) {
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                         EOAC_NONE, nullptr);
  }
  DWORD cookie = 0;
  HRESULT result = CoRegisterClassObject(CLSID_VirtualDisk, &m.factory, CLSCTX_LOCAL_SERVER,
                                         REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie);
  if (FAILED(result)) return result;
  if (serviceMode) {
    EventLog::report(L"Service started/resumed");
    setState(SERVICE_RUNNING);
  }
  result = CoResumeClassObjects();
  if (SUCCEEDED(result)) messageLoop(!serviceMode);
  CoRevokeClassObject(cookie);
  return result;
}

void frameworkServiceMain() {
  Module& m = module();
  m.status.dwCurrentState = SERVICE_START_PENDING;
  m.statusHandle = RegisterServiceCtrlHandlerExW(m.name.c_str(), handler, nullptr);
  if (!m.statusHandle) {
    EventLog::report(L"Handler not installed");
    return;
  }
  setState(SERVICE_START_PENDING);
  const HRESULT initialized = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(initialized) && (initialized != RPC_E_CHANGED_MODE || !GetModuleHandleW(L"Mscoree.dll"))) return;
  m.comInitialized = SUCCEEDED(initialized);
  VolumeDeviceNotificator::setServiceHandle(reinterpret_cast<uintptr_t>(m.statusHandle));
  m.status.dwWin32ExitCode = static_cast<DWORD>(run(true));
  if (m.comInitialized) CoUninitialize();
  setState(SERVICE_STOPPED);
  EventLog::report(L"Service stopped");
}

void WINAPI serviceMain(DWORD count, LPWSTR* arguments) {
  std::vector<std::u16string> words;
  for (DWORD at = 0; at < count; ++at) words.emplace_back(reinterpret_cast<const char16_t*>(arguments[at]));
  const OptionMap options(words, u'-', 0);
  App::startup(options);
  if (!module().port.start(nullptr)) debugLog(u"ServiceMain: error LpcThread not started\n");
  debugLog(u"ServiceMain: started OK\n");
  frameworkServiceMain();
}

void onStop() {
  Module& m = module();
  setState(SERVICE_STOP_PENDING);
  App::stopMounts();
  m.stopRequested = true;
  PostThreadMessageW(m.mainThreadId, WM_QUIT, 0, 0);
  m.port.stop();
  debugLog(u"ServiceMain: OnStop OK\n");
  App::shutdown();
}

void onShutdown() {
  App::stopMounts();
  module().port.stop();
  debugLog(u"ServiceMain: OnShutdown OK\n");
  App::shutdown();
}

// The registration commands, or the service, or a plain local server.
int entry() {
  std::vector<std::string> words;
  for (const std::wstring& word : commandLineWords()) {
    words.push_back(wide::toUtf8(std::u16string(reinterpret_cast<const char16_t*>(word.c_str()))));
  }
  const ServiceCommand command = parseServiceCommand(words);
  Module& m = module();
  if (command != ServiceCommand::Serve) return Registrar(programPath(), m.name).run(command);

  RegistryKey appId;
  const LSTATUS opened = RegistryKey::open(
      HKEY_CLASSES_ROOT, std::wstring(L"AppID\\") + ClassRegistration::kAppId, KEY_READ, appId);
  if (opened != ERROR_SUCCESS) return static_cast<int>(opened);
  std::wstring localService;
  if (appId.getString(L"LocalService", kMaxLocalService, localService) == ERROR_SUCCESS) {
    SERVICE_TABLE_ENTRYW table[] = {{m.name.data(), serviceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) return static_cast<int>(GetLastError());
    return static_cast<int>(m.status.dwWin32ExitCode);
  }
  EventLog::setToConsole(true);
  return runLocalServer();
}

}  // namespace

HRESULT runLocalServer() {
  const HRESULT initialized = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(initialized)) return initialized;
  const HRESULT result = run(false);
  CoUninitialize();
  return result;
}

int main() {
  TimerTask::start();  // the watchdog runs from the process's start
  const int exitCode = entry();
  TimerTask::stop();
  return exitCode;
}

DWORD WINAPI handler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      onStop();
      break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_INTERROGATE:
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      onShutdown();
      break;
    case SERVICE_CONTROL_DEVICEEVENT:
      VolumeDeviceNotificator::processDevice(eventType, static_cast<const uint8_t*>(eventData));
      break;
    default:
      EventLog::report(L"Bad service request");
      break;
  }
  return NO_ERROR;
}

}  // namespace ServiceModule

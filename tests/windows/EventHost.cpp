// A stand-in for the service in the test of events across processes, since
// Wine has no driver: the same class object and COM object, served as a
// plain local server, over the platform's fakes: a driver that makes and
// holds one disk, and an image whose provider reports progress as it opens.
//
//   vkbvd_event_host -RegServer | -UnregServer   registers the class for this program, or removes it
//   vkbvd_event_host [-Embedding]                 serves, as COM starts it
//
// The seam and its fakes come before the system's headers, whose macros
// would rename their members.
#include "fakes/MountingFakes.h"
#include "lpc/LpcThread.h"
#include "volume/VolumeDeviceNotificator.h"

#include "service/win32/ServiceModule.h"

#include <shellapi.h>

#include <string>

#include "service/win32/ClassRegistration.h"

namespace {

const std::u16string kDriverPath = u"\\\\?\\root#vkvd#0000#{aaa4747f-f023-430c-80c1-6dbda4ec699d}";
constexpr uint32_t kClientPid = 4242;
constexpr sys::DeviceNotifications::ServiceHandle kService = 0x5E;

std::wstring programPath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, length);
}

// Every platform facility a mount touches, and the port a mount restarts.
struct Fakes : MountingPlatform {
  Fakes() : MountingPlatform(kDriverPath, kClientPid) { VolumeDeviceNotificator::setServiceHandle(kService); }

  LpcThread port;
};

bool hasOption(const wchar_t* name) {
  int count = 0;
  LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
  bool found = false;
  for (int at = 1; words && at < count; ++at) {
    found = found || ((words[at][0] == L'-' || words[at][0] == L'/') && lstrcmpiW(words[at] + 1, name) == 0);
  }
  LocalFree(words);
  return found;
}

}  // namespace

int main() {
  const ClassRegistration registration(programPath(), ClassRegistration::Scope::Machine);
  if (hasOption(L"RegServer")) return registration.registerClass();
  if (hasOption(L"UnregServer")) return registration.unregisterClass();
  const Fakes fakes;
  return ServiceModule::runLocalServer();
}

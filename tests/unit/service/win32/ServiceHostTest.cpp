// The Windows service host's own parts: the control handler's table, and
// what the registration commands write to and remove from the registry and
// the service control manager (read back through the system's API).
//
// The platform seam and its fakes come before the system's headers, whose
// macros would rename their members.
#include "fakes/FakeDeviceNotifications.h"
#include "fakes/FakeRegistry.h"
#include "support/CapturedLog.h"
#include "sys/ScopedFake.h"

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com/win32/TypeLibraryPlatform.h"
#include "service/win32/ClassRegistration.h"
#include "service/win32/EventLog.h"
#include "service/win32/Registrar.h"
#include "service/win32/RegistryKey.h"
#include "service/win32/ServiceModule.h"
#include "vkbvd_mount_service.h"

namespace {

const std::wstring kClassKey = std::wstring(L"CLSID\\") + ClassRegistration::kClsid;
const std::wstring kAppIdKey = std::wstring(L"AppID\\") + ClassRegistration::kAppId;
constexpr wchar_t kServiceName[] = L"Velkara Mount Service";

std::wstring programPath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, length);
}

// The string value `name` of key `path` below `root`; "<missing>" when the
// key or the value is not there.
std::wstring valueOf(HKEY root, const std::wstring& path, const std::wstring& name = L"") {
  RegistryKey key;
  std::wstring value;
  if (RegistryKey::open(root, path, KEY_READ, key) != ERROR_SUCCESS) return L"<missing>";
  return key.getString(name, 1024, value) == ERROR_SUCCESS ? value : L"<missing>";
}

bool keyExists(HKEY root, const std::wstring& path) {
  RegistryKey key;
  return RegistryKey::open(root, path, KEY_READ, key) == ERROR_SUCCESS;
}

bool typeLibraryRegistered() {
  BSTR path = nullptr;
  const bool registered = SUCCEEDED(QueryPathOfRegTypeLib(LIBID_vkbvd_mount_serviceLib, 1, 0, 0x409, &path));
  SysFreeString(path);
  return registered;
}

// The installed service's configuration; empty strings when it is not installed.
struct InstalledService {
  bool installed = false;
  DWORD type = 0;
  DWORD start = 0;
  DWORD errorControl = 0;
  std::wstring command;
  std::wstring account;
};

InstalledService installedService() {
  InstalledService found;
  const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  const SC_HANDLE service = manager ? OpenServiceW(manager, kServiceName, SERVICE_QUERY_CONFIG) : nullptr;
  if (service) {
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
      found = {true, config->dwServiceType, config->dwStartType, config->dwErrorControl,
               config->lpBinaryPathName ? config->lpBinaryPathName : L"",
               config->lpServiceStartName ? config->lpServiceStartName : L""};
    }
    CloseServiceHandle(service);
  }
  if (manager) CloseServiceHandle(manager);
  return found;
}

// Reports that reach the event log, kept by the test.
class CapturedReports {
 public:
  CapturedReports() {
    previous_ = EventLog::swapTarget([this](const std::wstring& text) { reports.push_back(text); });
  }
  ~CapturedReports() { EventLog::swapTarget(previous_); }
  CapturedReports(const CapturedReports&) = delete;
  CapturedReports& operator=(const CapturedReports&) = delete;

  std::vector<std::wstring> reports;

 private:
  std::function<void(const std::wstring&)> previous_;
};

}  // namespace

// Stop and shutdown end the service in order; device events go to volume
// detection; pause, continue and interrogate do nothing; every other control
// is a bad service request.
TEST(ServiceControlHandler, TakesEachControlAsTheServiceDefinesIt) {
  FakeRegistry registry;
  FakeDeviceNotifications notifications;
  const sys::ScopedFake<sys::Registry> registryFake(registry);
  const sys::ScopedFake<sys::DeviceNotifications> notificationsFake(notifications);
  struct Case {
    DWORD control;
    DWORD eventType;
    std::vector<std::string> lines;  // in this order, the last the log's last
    std::vector<std::wstring> reports;
  };
  const Case cases[] = {
      {SERVICE_CONTROL_PAUSE, 0, {}, {}},
      {SERVICE_CONTROL_CONTINUE, 0, {}, {}},
      {SERVICE_CONTROL_INTERROGATE, 0, {}, {}},
      {SERVICE_CONTROL_PARAMCHANGE, 0, {}, {L"Bad service request"}},
      {200, 0, {}, {L"Bad service request"}},
      {SERVICE_CONTROL_DEVICEEVENT, 0x1234, {"DeviceNotificator::processDevice unknown event_type=1234"}, {}},
      {SERVICE_CONTROL_STOP, 0, {"ServiceMain: OnStop OK", "VolumeDeviceNotificator::drop", "App::shutdown OK"}, {}},
      {SERVICE_CONTROL_SHUTDOWN, 0, {"ServiceMain: OnShutdown OK", "App::shutdown OK"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control);
    CapturedLog log;
    CapturedReports reports;
    uint8_t record[32] = {};  // a device event's broadcast record
    EXPECT_EQ(ServiceModule::handler(c.control, c.eventType, record, nullptr), static_cast<DWORD>(NO_ERROR));
    const std::string text = log.lines();
    size_t at = 0;
    for (const std::string& line : c.lines) {
      at = text.find(line + "\n", at);
      ASSERT_NE(at, std::string::npos) << line << "\n" << text;
    }
    const std::string last = c.lines.empty() ? "" : c.lines.back() + "\n";
    EXPECT_TRUE(c.lines.empty() ? text.empty() : text.ends_with(last)) << text;
    EXPECT_EQ(reports.reports, c.reports);
  }
}

class RegistrationTest : public ::testing::Test {
 protected:
  void TearDown() override { Registrar(programPath(), kServiceName).run(ServiceCommand::UnregServer); }
};

// The class's keys and values as clients and COM read them, written anew
// over whatever an earlier registration left; unregistering keeps only the
// CLSID key.
TEST_F(RegistrationTest, TheClassKeysAreWrittenAnewAndRemovedButTheClsidKey) {
  const std::wstring path = programPath();
  const ClassRegistration machine(path, ClassRegistration::Scope::Machine);
  ASSERT_EQ(machine.registerClass(), S_OK);
  RegistryKey stale;
  ASSERT_EQ(RegistryKey::create(HKEY_CLASSES_ROOT, kClassKey + L"\\Stale", stale), ERROR_SUCCESS);
  ASSERT_EQ(machine.registerClass(), S_OK);

  const struct {
    std::wstring path;
    std::wstring name;
    std::wstring value;
  } expected[] = {
      {L"vkbvd_mount_service.VirtualDisk.1", L"", L"VirtualDisk Class"},
      {L"vkbvd_mount_service.VirtualDisk.1\\CLSID", L"", ClassRegistration::kClsid},
      {L"vkbvd_mount_service.VirtualDisk", L"", L"VirtualDisk Class"},
      {L"vkbvd_mount_service.VirtualDisk\\CLSID", L"", ClassRegistration::kClsid},
      {L"vkbvd_mount_service.VirtualDisk\\CurVer", L"", L"vkbvd_mount_service.VirtualDisk.1"},
      {kClassKey, L"", L"VirtualDisk Class"},
      {kClassKey, L"AppID", L"{AD257FCE-D79A-4C90-B9EF-0352E25A2A76}"},
      {kClassKey + L"\\ProgID", L"", L"vkbvd_mount_service.VirtualDisk.1"},
      {kClassKey + L"\\VersionIndependentProgID", L"", L"vkbvd_mount_service.VirtualDisk"},
      {kClassKey + L"\\Programmable", L"", L""},
      {kClassKey + L"\\LocalServer32", L"", L"\"" + path + L"\""},
      {kClassKey + L"\\LocalServer32", L"ServerExecutable", path},
      {kClassKey + L"\\TypeLib", L"", L"{0F2F66C1-9880-4C3E-92BE-8518C112BED1}"},
      {kClassKey + L"\\Version", L"", L"1.0"},
  };
  for (const auto& value : expected) {
    EXPECT_EQ(valueOf(HKEY_CLASSES_ROOT, value.path, value.name), value.value) << value.path << " " << value.name;
  }
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kClassKey + L"\\Stale")) << "the class key is written anew";
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kClassKey + L"\\InprocServer32"));
  EXPECT_EQ(valueOf(HKEY_CLASSES_ROOT, kClassKey + L"\\LocalServer32", L"ThreadingModel"), L"<missing>");
  EXPECT_TRUE(typeLibraryRegistered());
  const std::wstring platformKey =
      std::wstring(L"TypeLib\\") + ClassRegistration::kLibId + L"\\1.0\\409\\" + kTypeLibPlatformKey;
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, platformKey)) << "registered for this build's platform";

  ASSERT_EQ(machine.unregisterClass(), S_OK);
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, L"CLSID"));
  for (const wchar_t* gone : {L"vkbvd_mount_service.VirtualDisk.1", L"vkbvd_mount_service.VirtualDisk"}) {
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, gone)) << gone;
  }
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kClassKey));
  EXPECT_FALSE(typeLibraryRegistered());
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, std::wstring(L"TypeLib\\") + ClassRegistration::kLibId))
      << "nothing of the type library is left";
  EXPECT_EQ(machine.unregisterClass(), S_OK) << "nothing left to remove is no failure";
}

TEST_F(RegistrationTest, PerUserRegistrationWritesTheUsersClasses) {
  const ClassRegistration user(programPath(), ClassRegistration::Scope::CurrentUser);
  ASSERT_EQ(user.registerClass(), S_OK);
  EXPECT_EQ(valueOf(HKEY_CURRENT_USER, L"Software\\Classes\\" + kClassKey + L"\\LocalServer32", L"ServerExecutable"),
            programPath());
  ASSERT_EQ(user.unregisterClass(), S_OK);
  EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, L"Software\\Classes\\" + kClassKey));
}

// A program whose own path cannot be read registers nothing: no service
// whose command is empty, no AppID naming it.
TEST_F(RegistrationTest, WithoutTheProgramsPathNothingIsRegistered) {
  const Registrar registrar(L"", kServiceName);
  EXPECT_EQ(registrar.run(ServiceCommand::Service), HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME));
  EXPECT_FALSE(installedService().installed);
  EXPECT_EQ(valueOf(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"), L"<missing>");
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kClassKey));
}

// "Service" installs the service and names it in the AppID; "RegServer"
// removes both and registers a plain local server; "UnregServer" removes
// the rest.
TEST_F(RegistrationTest, TheAppIdNamesTheServiceOnlyWhileItIsInstalled) {
  const Registrar registrar(programPath(), kServiceName);
  ASSERT_EQ(registrar.run(ServiceCommand::Service), S_OK);
  EXPECT_EQ(valueOf(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"), kServiceName);
  const InstalledService service = installedService();
  ASSERT_TRUE(service.installed);
  EXPECT_EQ(service.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(service.start, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(service.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(service.command, L"\"" + programPath() + L"\"");
  EXPECT_EQ(service.account, L"LocalSystem");
  const std::wstring serviceKey = std::wstring(L"System\\CurrentControlSet\\Services\\") + kServiceName;
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, serviceKey, L"Description"),
            L"Erm\u00f6glicht die Einbindung von Velkara Backup-Festplatten-Abbildern als Laufwerke.");
  // Installed again over itself: the same.
  ASSERT_EQ(registrar.run(ServiceCommand::Service), S_OK);
  EXPECT_TRUE(installedService().installed);

  ASSERT_EQ(registrar.run(ServiceCommand::RegServer), S_OK);
  EXPECT_FALSE(installedService().installed);
  EXPECT_EQ(valueOf(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"), L"<missing>");
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kClassKey));

  ASSERT_EQ(registrar.run(ServiceCommand::Service), S_OK);
  ASSERT_EQ(registrar.run(ServiceCommand::UnregServer), S_OK);
  EXPECT_FALSE(installedService().installed);
  EXPECT_EQ(valueOf(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"), L"<missing>");
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kClassKey));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, L"CLSID"));
}

#include "service/win32/ClassRegistration.h"

#include <oleauto.h>
#include <wrl/client.h>

#include "com/win32/TypeLibraryPlatform.h"
#include "service/win32/RegistryKey.h"
#include "vkbvd_mount_service.h"

// The per-user type library calls, which mingw-w64's headers leave out.
extern "C" HRESULT WINAPI RegisterTypeLibForUser(ITypeLib* library, OLECHAR* path, OLECHAR* helpDirectory);
extern "C" HRESULT WINAPI UnRegisterTypeLibForUser(REFGUID libraryId, WORD major, WORD minor, LCID locale,
                                                   SYSKIND kind);

namespace {

constexpr wchar_t kClassName[] = L"VirtualDisk Class";
constexpr WORD kTypeLibMajor = 1;
constexpr WORD kTypeLibMinor = 0;
constexpr LCID kTypeLibLocale = 0x409;

const std::wstring kClassKey = std::wstring(L"CLSID\\") + ClassRegistration::kClsid;

HRESULT fromError(LSTATUS error) { return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error); }

// Wine's type-library marshaler, which carries the interfaces between
// processes, looks a library up under locale 0 alone; Windows falls back
// from 0x409 to it by itself.
bool underWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

const std::wstring kNeutralTypeLibKey = std::wstring(L"TypeLib\\") + ClassRegistration::kLibId + L"\\1.0\\0";

// Writes key `path` below `root` with its default value `value`.
LSTATUS writeKey(HKEY root, const std::wstring& path, const std::wstring& value) {
  RegistryKey key;
  const LSTATUS result = RegistryKey::create(root, path, key);
  return result == ERROR_SUCCESS ? key.setString(L"", value) : result;
}

// Removes key `path` below `root` with its subtree; a missing key is no failure.
LSTATUS removeTree(HKEY root, const std::wstring& path) {
  const LSTATUS result = RegDeleteTreeW(root, path.c_str());
  if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return result;
  const LSTATUS removed = RegDeleteKeyW(root, path.c_str());
  return removed == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : removed;
}

}  // namespace

HRESULT ClassRegistration::registerClass() const {
  HKEY root = nullptr;
  bool owned = false;
  LSTATUS result = openClassesRoot(root, owned);
  if (result != ERROR_SUCCESS) return fromError(result);
  result = removeTree(root, kClassKey);
  if (result == ERROR_SUCCESS) result = writeKeys(root);
  if (owned) RegCloseKey(root);
  return result == ERROR_SUCCESS ? registerTypeLibrary() : fromError(result);
}

HRESULT ClassRegistration::unregisterClass() const {
  HKEY root = nullptr;
  bool owned = false;
  LSTATUS result = openClassesRoot(root, owned);
  if (result != ERROR_SUCCESS) return fromError(result);
  for (const std::wstring& path : {std::wstring(kProgId), std::wstring(kVersionIndependentProgId), kClassKey}) {
    const LSTATUS removed = removeTree(root, path);
    if (result == ERROR_SUCCESS) result = removed;
  }
  if (owned) RegCloseKey(root);
  const HRESULT typeLibrary = unregisterTypeLibrary();
  return result != ERROR_SUCCESS ? fromError(result) : typeLibrary;
}

LSTATUS ClassRegistration::openClassesRoot(HKEY& root, bool& owned) const {
  owned = scope_ == Scope::CurrentUser;
  if (!owned) {
    root = HKEY_CLASSES_ROOT;
    return ERROR_SUCCESS;
  }
  return RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &root,
                         nullptr);
}

LSTATUS ClassRegistration::writeKeys(HKEY root) const {
  const std::wstring quoted = L"\"" + programPath_ + L"\"";
  const struct {
    std::wstring path;
    std::wstring value;
  } keys[] = {
      {kProgId, kClassName},
      {std::wstring(kProgId) + L"\\CLSID", kClsid},
      {kVersionIndependentProgId, kClassName},
      {std::wstring(kVersionIndependentProgId) + L"\\CLSID", kClsid},
      {std::wstring(kVersionIndependentProgId) + L"\\CurVer", kProgId},
      {kClassKey, kClassName},
      {kClassKey + L"\\ProgID", kProgId},
      {kClassKey + L"\\VersionIndependentProgID", kVersionIndependentProgId},
      {kClassKey + L"\\Programmable", L""},
      {kClassKey + L"\\LocalServer32", quoted},
      {kClassKey + L"\\TypeLib", kLibId},
      {kClassKey + L"\\Version", L"1.0"},
  };
  for (const auto& key : keys) {
    const LSTATUS result = writeKey(root, key.path, key.value);
    if (result != ERROR_SUCCESS) return result;
  }
  RegistryKey classKey, server;
  LSTATUS result = RegistryKey::create(root, kClassKey, classKey);
  if (result == ERROR_SUCCESS) result = classKey.setString(L"AppID", kAppId);
  if (result == ERROR_SUCCESS) result = RegistryKey::create(root, kClassKey + L"\\LocalServer32", server);
  if (result == ERROR_SUCCESS) result = server.setString(L"ServerExecutable", programPath_);
  return result;
}

HRESULT ClassRegistration::registerTypeLibrary() const {
  Microsoft::WRL::ComPtr<ITypeLib> library;
  HRESULT result = LoadTypeLibEx(programPath_.c_str(), REGKIND_NONE, library.GetAddressOf());
  if (FAILED(result)) return result;
  auto* path = const_cast<OLECHAR*>(programPath_.c_str());
  result = scope_ == Scope::CurrentUser ? RegisterTypeLibForUser(library.Get(), path, nullptr)
                                        : RegisterTypeLib(library.Get(), path, nullptr);
  if (FAILED(result) || !underWine()) return result;
  return fromError(writeKey(HKEY_CLASSES_ROOT, kNeutralTypeLibKey + L"\\" + kTypeLibPlatformKey, programPath_));
}

HRESULT ClassRegistration::unregisterTypeLibrary() const {
  BSTR registeredPath = nullptr;
  if (FAILED(QueryPathOfRegTypeLib(LIBID_vkbvd_mount_serviceLib, kTypeLibMajor, kTypeLibMinor, kTypeLibLocale,
                                   &registeredPath))) {
    return S_OK;  // not registered: nothing to remove
  }
  SysFreeString(registeredPath);
  if (underWine()) removeTree(HKEY_CLASSES_ROOT, kNeutralTypeLibKey);
  return scope_ == Scope::CurrentUser
             ? UnRegisterTypeLibForUser(LIBID_vkbvd_mount_serviceLib, kTypeLibMajor, kTypeLibMinor, kTypeLibLocale,
                                        kTypeLibSysKind)
             : UnRegisterTypeLib(LIBID_vkbvd_mount_serviceLib, kTypeLibMajor, kTypeLibMinor, kTypeLibLocale,
                                 kTypeLibSysKind);
}

#pragma once

#include <windows.h>

#include <string>

// The registry entries of the VirtualDisk class and the type library, for
// the machine (HKEY_CLASSES_ROOT) or for the current user alone: the two
// ProgIDs, the class key with its ProgIDs, Programmable, LocalServer32 (the
// program's path quoted, and unquoted as ServerExecutable), TypeLib,
// Version and its AppID, and the type library from the program's own
// resource. Unregistering removes the ProgIDs and the class key with its
// subtree, and the type library; the CLSID key itself stays.
class ClassRegistration {
 public:
  enum class Scope { Machine, CurrentUser };

  static constexpr wchar_t kClsid[] = L"{262D5883-0992-4EBC-8A5B-0461B06C13F2}";
  static constexpr wchar_t kAppId[] = L"{AD257FCE-D79A-4C90-B9EF-0352E25A2A76}";
  static constexpr wchar_t kLibId[] = L"{0F2F66C1-9880-4C3E-92BE-8518C112BED1}";
  static constexpr wchar_t kProgId[] = L"vkbvd_mount_service.VirtualDisk.1";
  static constexpr wchar_t kVersionIndependentProgId[] = L"vkbvd_mount_service.VirtualDisk";

  ClassRegistration(std::wstring programPath, Scope scope) : programPath_(std::move(programPath)), scope_(scope) {}

  // Writes the class's keys anew (its class key is removed first) and
  // registers the type library; an HRESULT.
  HRESULT registerClass() const;
  HRESULT unregisterClass() const;

 private:
  // HKEY_CLASSES_ROOT, or the current user's Software\Classes; an error code.
  LSTATUS openClassesRoot(HKEY& root, bool& owned) const;
  LSTATUS writeKeys(HKEY root) const;
  HRESULT registerTypeLibrary() const;
  HRESULT unregisterTypeLibrary() const;

  std::wstring programPath_;
  Scope scope_;
};

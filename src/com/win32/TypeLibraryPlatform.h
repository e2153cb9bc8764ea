#pragma once

#include <oleauto.h>

// The platform this build's type library is compiled for and registered
// under: "win32" in the 32-bit program, "win64" in the 64-bit one.
#ifdef _WIN64
constexpr SYSKIND kTypeLibSysKind = SYS_WIN64;
constexpr wchar_t kTypeLibPlatformKey[] = L"win64";
#else
constexpr SYSKIND kTypeLibSysKind = SYS_WIN32;
constexpr wchar_t kTypeLibPlatformKey[] = L"win32";
#endif

#include "sys/win32/Win32Ports.h"

#include <windows.h>

#include <string>

#include "common/NtStatus.h"
#include "common/WideString.h"
#include "sys/win32/NativePortMessage.h"

namespace sys::win32 {
namespace {

struct UnicodeString {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
};

struct ObjectAttributes {
  ULONG Length;
  HANDLE RootDirectory;
  UnicodeString* ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};

// The client's view as the server's side of the system reports it.
struct RemotePortView {
  ULONG Length;
  SIZE_T ViewSize;
  PVOID ViewBase;
};

using NtCreatePortFn = LONG(NTAPI*)(PHANDLE, ObjectAttributes*, ULONG, ULONG, ULONG);
using NtListenPortFn = LONG(NTAPI*)(HANDLE, PVOID);
using NtAcceptConnectPortFn = LONG(NTAPI*)(PHANDLE, PVOID, PVOID, BOOLEAN, PVOID, RemotePortView*);
using NtCompleteConnectPortFn = LONG(NTAPI*)(HANDLE);
using NtReplyWaitReceivePortFn = LONG(NTAPI*)(HANDLE, PVOID*, PVOID, PVOID);
using NtReplyPortFn = LONG(NTAPI*)(HANDLE, PVOID);
using NtCloseFn = LONG(NTAPI*)(HANDLE);

struct NativePorts {
  NtCreatePortFn createPort;
  NtListenPortFn listenPort;
  NtAcceptConnectPortFn acceptConnectPort;
  NtCompleteConnectPortFn completeConnectPort;
  NtReplyWaitReceivePortFn replyWaitReceivePort;
  NtReplyPortFn replyPort;
  NtCloseFn close;
};

template <class Fn>
Fn resolve(HMODULE ntdll, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)));
}

const NativePorts& native() {
  static const NativePorts calls = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    NativePorts n{};
    if (!ntdll) return n;
    n.createPort = resolve<NtCreatePortFn>(ntdll, "NtCreatePort");
    n.listenPort = resolve<NtListenPortFn>(ntdll, "NtListenPort");
    n.acceptConnectPort = resolve<NtAcceptConnectPortFn>(ntdll, "NtAcceptConnectPort");
    n.completeConnectPort = resolve<NtCompleteConnectPortFn>(ntdll, "NtCompleteConnectPort");
    n.replyWaitReceivePort = resolve<NtReplyWaitReceivePortFn>(ntdll, "NtReplyWaitReceivePort");
    n.replyPort = resolve<NtReplyPortFn>(ntdll, "NtReplyPort");
    n.close = resolve<NtCloseFn>(ntdll, "NtClose");
    return n;
  }();
  return calls;
}

HANDLE toHandle(Ports::Handle handle) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)); }
Ports::Handle fromHandle(HANDLE handle) { return reinterpret_cast<uintptr_t>(handle); }

}  // namespace

int32_t Win32Ports::createPort(Handle& port, const std::u16string& name, uint32_t maxConnectionInfoLength,
                               uint32_t maxMessageLength, uint32_t maxPoolUsage) {
  port = kNoHandle;
  if (!native().createPort) return NtStatus::NotImplemented;
  std::wstring wideName = wide::toWchar(name);
  UnicodeString objectName{static_cast<USHORT>(wideName.size() * sizeof(wchar_t)),
                           static_cast<USHORT>((wideName.size() + 1) * sizeof(wchar_t)), wideName.data()};
  ObjectAttributes attributes{sizeof(ObjectAttributes), nullptr, &objectName, 0, nullptr, nullptr};
  HANDLE created = nullptr;
  const LONG status = native().createPort(&created, &attributes, maxConnectionInfoLength,
                                          maxMessageLength + NativePortMessage::kExtraLength, maxPoolUsage);
  if (status >= 0) port = fromHandle(created);
  return status;
}

int32_t Win32Ports::listenPort(Handle port, PortMessage& message) {
  if (!native().listenPort) return NtStatus::NotImplemented;
  NativePortMessage buffer;
  const LONG status = native().listenPort(toHandle(port), buffer.bytes());
  buffer.store(message);
  return status;
}

int32_t Win32Ports::acceptConnectPort(Handle& communicationPort, const PortMessage& message, bool accept,
                                      ClientView& view) {
  communicationPort = kNoHandle;
  view = {};
  if (!native().acceptConnectPort) return NtStatus::NotImplemented;
  NativePortMessage buffer;
  buffer.load(message);
  RemotePortView remote{sizeof(RemotePortView), 0, nullptr};
  HANDLE comm = nullptr;
  const LONG status =
      native().acceptConnectPort(&comm, nullptr, buffer.bytes(), accept ? TRUE : FALSE, nullptr, &remote);
  if (status >= 0) {
    communicationPort = fromHandle(comm);
    view.base = static_cast<uint8_t*>(remote.ViewBase);
    view.size = static_cast<uint32_t>(remote.ViewSize);
  }
  return status;
}

int32_t Win32Ports::completeConnectPort(Handle communicationPort) {
  if (!native().completeConnectPort) return NtStatus::NotImplemented;
  return native().completeConnectPort(toHandle(communicationPort));
}

int32_t Win32Ports::replyWaitReceivePort(Handle communicationPort, PortMessage& message) {
  if (!native().replyWaitReceivePort) return NtStatus::NotImplemented;
  NativePortMessage buffer;
  const LONG status = native().replyWaitReceivePort(toHandle(communicationPort), nullptr, nullptr, buffer.bytes());
  buffer.store(message);
  return status;
}

int32_t Win32Ports::replyPort(Handle communicationPort, const PortMessage& message) {
  if (!native().replyPort) return NtStatus::NotImplemented;
  NativePortMessage buffer;
  buffer.load(message);
  return native().replyPort(toHandle(communicationPort), buffer.bytes());
}

int32_t Win32Ports::close(Handle handle) {
  if (!native().close) return NtStatus::NotImplemented;
  return native().close(toHandle(handle));
}

}  // namespace sys::win32

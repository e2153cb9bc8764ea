// A COM client of the mount service in a process of its own, as clients
// are: it creates the VirtualDisk class by its ProgID through COM, calls it
// through the vtable and through IDispatch, and advises an event sink. Each
// check prints "ok: ..." or "FAIL: ..."; the exit code is the number of
// failed checks.
//
//   vkbvd_com_client calls    the service without a driver: mount -9 both
//                             ways, enumMounted 1, umount 0, a sink advised
//   vkbvd_com_client events   a server whose driver holds a disk and whose
//                             provider reports progress: the events' values
#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <cstdio>
#include <string>
#include <vector>

#include "vkbvd_mount_service.h"

using Microsoft::WRL::ComPtr;

namespace {

int failures = 0;

void check(bool passed, const char* what) {
  std::printf("%s: %s\n", passed ? "ok" : "FAIL", what);
  if (!passed) ++failures;
}

void checkResult(HRESULT result, HRESULT expected, const char* what) {
  std::printf("%s: %s (0x%08lX)\n", result == expected ? "ok" : "FAIL", what, static_cast<unsigned long>(result));
  if (result != expected) ++failures;
}

// An event sink: records what each event brought.
class Sink final : public IDispatch {
 public:
  struct Progress {
    VARTYPE types[4];
    LONG part;
    double total;
    double processed;
  };

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__IVirtualDiskEvents) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
  ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&references_); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* parameters, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    EnterCriticalSection(&lock_);
    if (id == 1 && parameters->cArgs == 2 && parameters->rgvarg[0].vt == VT_BSTR && parameters->rgvarg[1].vt == VT_BSTR) {
      enumerated.emplace_back(std::wstring(parameters->rgvarg[1].bstrVal) + L"|" + parameters->rgvarg[0].bstrVal);
    } else if (id == 2 && parameters->cArgs == 4) {
      const VARIANT* a = parameters->rgvarg;
      progress.push_back({{a[0].vt, a[1].vt, a[2].vt, a[3].vt}, a[3].lVal, a[2].dblVal, a[1].dblVal});
    } else {
      ++unexpected;
    }
    LeaveCriticalSection(&lock_);
    return S_OK;
  }

  Sink() { InitializeCriticalSection(&lock_); }
  ~Sink() { DeleteCriticalSection(&lock_); }

  std::vector<std::wstring> enumerated;  // "mount_tag|image_path"
  std::vector<Progress> progress;
  int unexpected = 0;

 private:
  LONG references_ = 1;
  CRITICAL_SECTION lock_;
};

ComPtr<IVirtualDisk> create() {
  CLSID clsid{};
  ComPtr<IVirtualDisk> disk;
  checkResult(CLSIDFromProgID(L"vkbvd_mount_service.VirtualDisk", &clsid), S_OK, "the ProgID names the class");
  checkResult(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IVirtualDisk,
                               reinterpret_cast<void**>(disk.GetAddressOf())),
              S_OK, "created through COM in the server's process");
  return disk;
}

HRESULT mountEarly(IVirtualDisk& disk, const wchar_t* image) {
  BSTR path = SysAllocString(image);
  VARIANT context;
  VariantInit(&context);
  const HRESULT result = disk.mount(path, nullptr, nullptr, VARIANT_FALSE, nullptr, nullptr, nullptr, nullptr, context);
  SysFreeString(path);
  return result;
}

// mount through IDispatch: the method's failure comes back as an exception
// carrying it.
HRESULT mountLate(IVirtualDisk& disk, const wchar_t* image) {
  LPOLESTR name = const_cast<LPOLESTR>(L"mount");
  DISPID id = 0;
  if (FAILED(disk.GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id)) || id != 1) return E_FAIL;
  VARIANT arguments[9];
  for (VARIANT& argument : arguments) VariantInit(&argument);
  arguments[8].vt = VT_BSTR;
  arguments[8].bstrVal = SysAllocString(image);
  for (int at : {7, 6, 4, 3, 2, 1}) arguments[at].vt = VT_BSTR;  // null strings
  arguments[5].vt = VT_BOOL;
  arguments[5].boolVal = VARIANT_FALSE;
  DISPPARAMS parameters{arguments, nullptr, 9, 0};
  EXCEPINFO exception{};
  const HRESULT invoked =
      disk.Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, nullptr, &exception, nullptr);
  VariantClear(&arguments[8]);
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
  return invoked == DISP_E_EXCEPTION ? exception.scode : invoked;
}

ComPtr<IConnectionPoint> connectionPoint(IVirtualDisk& disk) {
  ComPtr<IConnectionPointContainer> container;
  ComPtr<IConnectionPoint> point;
  if (SUCCEEDED(disk.QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.GetAddressOf())))) {
    container->FindConnectionPoint(DIID__IVirtualDiskEvents, point.GetAddressOf());
  }
  return point;
}

HRESULT umount(IVirtualDisk& disk) {
  VARIANT context;
  VariantInit(&context);
  return disk.umount(nullptr, context);
}

void callsWithoutDriver() {
  ComPtr<IVirtualDisk> disk = create();
  if (!disk) return;
  checkResult(mountEarly(*disk.Get(), L"C:\\images\\volume.vkb"), -9, "mount through the vtable: no driver");
  checkResult(mountLate(*disk.Get(), L"C:\\images\\volume.vkb"), -9, "mount through IDispatch: no driver");
  VARIANT count;
  VariantInit(&count);
  checkResult(disk->enumMounted(&count), 1, "enumMounted: the driver query fails");
  check(count.vt == VT_EMPTY, "enumMounted leaves its out argument as it was");
  checkResult(umount(*disk.Get()), S_OK, "umount");
  ComPtr<IConnectionPoint> point = connectionPoint(*disk.Get());
  check(point != nullptr, "the connection point for the events");
  if (!point) return;
  Sink sink;
  DWORD cookie = 0;
  checkResult(point->Advise(&sink, &cookie), S_OK, "a sink advised from another process");
  check(cookie == 1, "its cookie is 1");
  checkResult(point->Unadvise(cookie), S_OK, "and unadvised");
}

void events() {
  ComPtr<IVirtualDisk> disk = create();
  if (!disk) return;
  ComPtr<IConnectionPoint> point = connectionPoint(*disk.Get());
  if (!point) return check(false, "the connection point for the events");
  Sink sink;
  DWORD cookie = 0;
  checkResult(point->Advise(&sink, &cookie), S_OK, "a sink advised");
  checkResult(mountEarly(*disk.Get(), L"C:\\images\\vol.vkb"), S_OK, "mount");
  check(!sink.progress.empty(), "onImageIndexProgress came during the mount");
  if (!sink.progress.empty()) {
    const Sink::Progress& p = sink.progress.front();
    check(p.types[0] == VT_EMPTY && p.types[1] == VT_R8 && p.types[2] == VT_R8 && p.types[3] == VT_I4,
          "its arguments: user_data empty, two doubles, a long, in reverse order");
    check(p.part == 2 && p.total == 1000.0 && p.processed == 250.0, "its values: part 2, 250 of 1000 sectors");
  }
  VARIANT count;
  VariantInit(&count);
  checkResult(disk->enumMounted(&count), S_OK, "enumMounted");
  check(count.vt == VT_UI4 && count.ulVal == 1, "one image mounted");
  check(sink.enumerated == std::vector<std::wstring>{L"first_tag|C:\\images\\vol.vkb"},
        "onEnumMounted: the disk's tag and image path");
  check(sink.unexpected == 0, "no other call reached the sink");
  checkResult(umount(*disk.Get()), S_OK, "umount");
  checkResult(point->Unadvise(cookie), S_OK, "unadvised");
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode != "calls" && mode != "events") {
    std::fprintf(stderr, "usage: vkbvd_com_client calls|events\n");
    return 100;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 101;
  if (mode == "calls") {
    callsWithoutDriver();
  } else {
    events();
  }
  CoUninitialize();
  std::printf("%d failed\n", failures);
  return failures;
}

#include "com/win32/ComVirtualDisk.h"

#include <new>
#include <vector>

#include "com/HResult.h"
#include "com/win32/ComEnumerator.h"
#include "com/win32/ComServerLocks.h"

using Microsoft::WRL::ComPtr;

namespace {

// The version and locale under which the type library is registered.
constexpr WORD kTypeLibMajor = 1;
constexpr WORD kTypeLibMinor = 0;
constexpr LCID kTypeLibLocale = 0x409;

const char16_t* text(BSTR string) { return reinterpret_cast<const char16_t*>(string); }

}  // namespace

ComVirtualDisk::ComVirtualDisk() : connectionPoint_(*this, core_.events()) { ComServerLocks::up(); }

ComVirtualDisk::~ComVirtualDisk() { ComServerLocks::down(); }

HRESULT ComVirtualDisk::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IVirtualDisk) {
    *object = static_cast<IVirtualDisk*>(this);
  } else if (iid == IID_IConnectionPointContainer) {
    *object = static_cast<IConnectionPointContainer*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG ComVirtualDisk::AddRef() { return InterlockedIncrement(&references_); }

ULONG ComVirtualDisk::Release() {
  const ULONG left = InterlockedDecrement(&references_);
  if (left == 0) delete this;
  return left;
}

HRESULT ComVirtualDisk::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT ComVirtualDisk::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  ComPtr<ITypeInfo> loaded;
  const HRESULT result = typeInfo(loaded);
  if (SUCCEEDED(result)) *info = loaded.Detach();
  return result;
}

HRESULT ComVirtualDisk::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ComPtr<ITypeInfo> loaded;
  const HRESULT result = typeInfo(loaded);
  return FAILED(result) ? result : DispGetIDsOfNames(loaded.Get(), names, count, ids);
}

HRESULT ComVirtualDisk::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                               EXCEPINFO* exception, UINT* argumentError) {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ComPtr<ITypeInfo> loaded;
  const HRESULT loadedResult = typeInfo(loaded);
  if (FAILED(loadedResult)) return loadedResult;
  return loaded->Invoke(static_cast<IVirtualDisk*>(this), id, flags, parameters, result, exception, argumentError);
}

HRESULT ComVirtualDisk::mount(BSTR image_file_path, BSTR base_image_file_path, BSTR, VARIANT_BOOL using_image_encryption,
                              BSTR image_master_password, BSTR debug_log_path, BSTR temp_file, BSTR additional_opts,
                              VARIANT) {
  return core_.mount(text(image_file_path), text(base_image_file_path), using_image_encryption,
                     text(image_master_password), text(debug_log_path), text(temp_file), text(additional_opts));
}

HRESULT ComVirtualDisk::umount(BSTR mount_tag, VARIANT) { return core_.umount(text(mount_tag)); }

HRESULT ComVirtualDisk::enumMounted(VARIANT* callback_context) {
  uint32_t count = 0;
  const int32_t result = core_.enumMounted(callback_context ? &count : nullptr);
  // A late-bound out argument can arrive holding the caller's old value.
  if (result == 0 && callback_context && SUCCEEDED(VariantClear(callback_context))) {
    callback_context->vt = VT_UI4;
    callback_context->ulVal = count;
  }
  return result;
}

HRESULT ComVirtualDisk::EnumConnectionPoints(IEnumConnectionPoints** points) {
  if (!points) return E_POINTER;
  *points = nullptr;
  std::vector<IConnectionPoint*> snapshot;
  try {
    snapshot.push_back(&connectionPoint_);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  connectionPoint_.AddRef();  // the snapshot's reference
  *points = ComEnumerator<IEnumConnectionPoints, IConnectionPoint*>::create(std::move(snapshot));
  return *points ? S_OK : E_OUTOFMEMORY;
}

HRESULT ComVirtualDisk::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
  if (!point) return E_POINTER;
  if (iid != DIID__IVirtualDiskEvents) {
    *point = nullptr;
    return HResult::ConnectNoConnection;
  }
  connectionPoint_.AddRef();
  *point = &connectionPoint_;
  return S_OK;
}

HRESULT ComVirtualDisk::typeInfo(ComPtr<ITypeInfo>& info) {
  const std::lock_guard<std::mutex> guard(typeInfoMutex_);
  if (!typeInfo_) {
    ComPtr<ITypeLib> library;
    HRESULT result = LoadRegTypeLib(LIBID_vkbvd_mount_serviceLib, kTypeLibMajor, kTypeLibMinor, kTypeLibLocale,
                                    library.GetAddressOf());
    if (SUCCEEDED(result)) result = library->GetTypeInfoOfGuid(IID_IVirtualDisk, typeInfo_.GetAddressOf());
    if (FAILED(result)) return result;
  }
  info = typeInfo_;
  return S_OK;
}

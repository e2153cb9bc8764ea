#pragma once

#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <mutex>

#include "com/CVirtualDisk.h"
#include "com/win32/ComConnectionPoint.h"
#include "vkbvd_mount_service.h"

// The mount service's COM object: IVirtualDisk, a dual interface, over the
// portable CVirtualDisk, and the container of its one connection point, for
// _IVirtualDiskEvents. It answers QueryInterface for IUnknown, IDispatch,
// IVirtualDisk and IConnectionPointContainer alone. Late-bound calls go
// through the type description of IVirtualDisk in the registered type
// library, so they reach the same methods as calls through the vtable.
// Made with one reference, for its creator; counted among what keeps the
// local server alive.
class ComVirtualDisk final : public IVirtualDisk, public IConnectionPointContainer {
 public:
  ComVirtualDisk();
  ComVirtualDisk(const ComVirtualDisk&) = delete;
  ComVirtualDisk& operator=(const ComVirtualDisk&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* parameters,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override;

  // The results are the service's result codes: 0, -14, -9, -15, -18 or an
  // image failure for mount, 0 for umount, 0 or 1 for enumMounted.
  // mount_tag and callback_context play no part in mount and umount.
  HRESULT STDMETHODCALLTYPE mount(BSTR image_file_path, BSTR base_image_file_path, BSTR mount_tag,
                                  VARIANT_BOOL using_image_encryption, BSTR image_master_password,
                                  BSTR debug_log_path, BSTR temp_file, BSTR additional_opts,
                                  VARIANT callback_context) override;
  HRESULT STDMETHODCALLTYPE umount(BSTR mount_tag, VARIANT callback_context) override;
  // Sets `callback_context` (when given) to the number of mounted images as
  // VT_UI4; left as it was when the driver query fails.
  HRESULT STDMETHODCALLTYPE enumMounted(VARIANT* callback_context) override;

  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

 private:
  ~ComVirtualDisk();
  // IVirtualDisk's type description, loaded from the registered type library once.
  HRESULT typeInfo(Microsoft::WRL::ComPtr<ITypeInfo>& info);

  LONG references_ = 1;
  CVirtualDisk core_;
  ComConnectionPoint connectionPoint_;
  std::mutex typeInfoMutex_;
  Microsoft::WRL::ComPtr<ITypeInfo> typeInfo_;
};

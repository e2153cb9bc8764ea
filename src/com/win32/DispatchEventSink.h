#pragma once

#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>

#include "com/VirtualDiskEventSink.h"

// A client's _IVirtualDiskEvents sink as COM gives it: each event is an
// IDispatch::Invoke with its DISPID, IID_NULL, the user's default locale and
// DISPATCH_METHOD, the arguments in reverse order of their declaration, and
// no named arguments. Holds one reference on the sink.
class DispatchEventSink final : public VirtualDiskEventSink {
 public:
  static constexpr DISPID kOnEnumMounted = 1;
  static constexpr DISPID kOnImageIndexProgress = 2;

  explicit DispatchEventSink(Microsoft::WRL::ComPtr<IDispatch> sink) : sink_(std::move(sink)) {}

  Answer onEnumMounted(const std::u16string& mountTag, const std::u16string& imagePath) override;
  Answer onImageIndexProgress(int32_t imagePartNumber, double totalSectors, double sectorsProcessed) override;

  // The sink's identity, with a reference for the caller; null when it has none.
  IUnknown* identity() const;

 private:
  // Invokes event `id` with `count` arguments and clears them.
  Answer invoke(DISPID id, VARIANT* arguments, UINT count);

  Microsoft::WRL::ComPtr<IDispatch> sink_;
};

#include "com/win32/DispatchEventSink.h"

namespace {

void clear(VARIANT* arguments, UINT count) {
  for (UINT at = 0; at < count; ++at) VariantClear(&arguments[at]);
}

// A VT_BSTR argument holding a copy of `text`; false when out of memory.
bool setString(VARIANT& argument, const std::u16string& text) {
  argument.vt = VT_BSTR;
  argument.bstrVal = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), static_cast<UINT>(text.size()));
  return argument.bstrVal != nullptr;
}

}  // namespace

VirtualDiskEventSink::Answer DispatchEventSink::onEnumMounted(const std::u16string& mountTag,
                                                              const std::u16string& imagePath) {
  VARIANT arguments[2];
  for (VARIANT& argument : arguments) VariantInit(&argument);
  if (!setString(arguments[0], imagePath) || !setString(arguments[1], mountTag)) {
    clear(arguments, 2);
    return Answer::argumentsNotBuilt(E_OUTOFMEMORY);
  }
  return invoke(kOnEnumMounted, arguments, 2);
}

VirtualDiskEventSink::Answer DispatchEventSink::onImageIndexProgress(int32_t imagePartNumber, double totalSectors,
                                                                     double sectorsProcessed) {
  VARIANT arguments[4];
  for (VARIANT& argument : arguments) VariantInit(&argument);
  VARIANT userData;  // always empty
  VariantInit(&userData);
  const HRESULT copied = VariantCopy(&arguments[0], &userData);
  if (FAILED(copied)) return Answer::argumentsNotBuilt(copied);
  arguments[1].vt = VT_R8;
  arguments[1].dblVal = sectorsProcessed;
  arguments[2].vt = VT_R8;
  arguments[2].dblVal = totalSectors;
  arguments[3].vt = VT_I4;
  arguments[3].lVal = imagePartNumber;
  return invoke(kOnImageIndexProgress, arguments, 4);
}

IUnknown* DispatchEventSink::identity() const {
  IUnknown* unknown = nullptr;
  return SUCCEEDED(sink_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown))) ? unknown : nullptr;
}

VirtualDiskEventSink::Answer DispatchEventSink::invoke(DISPID id, VARIANT* arguments, UINT count) {
  DISPPARAMS parameters{arguments, nullptr, count, 0};
  VARIANT result;
  VariantInit(&result);
  const HRESULT invoked =
      sink_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, &result, nullptr, nullptr);
  VariantClear(&result);
  clear(arguments, count);
  return Answer::delivered(invoked);
}

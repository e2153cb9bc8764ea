#pragma once

#include <windows.h>
#include <ocidl.h>

#include "com/CProxy_IVirtualDiskEvents.h"

// The connection point of a mount service object for _IVirtualDiskEvents,
// over the object's portable sink list. It is part of the object: its
// references are the object's, so it lives exactly as long as the object.
class ComConnectionPoint final : public IConnectionPoint {
 public:
  ComConnectionPoint(IConnectionPointContainer& container, CProxy_IVirtualDiskEvents& events)
      : container_(container), events_(events) {}

  // IUnknown: IConnectionPoint and IUnknown; references go to the object.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return container_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return container_.Release(); }

  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override;
  // Asks the sink for _IVirtualDiskEvents and keeps that pointer in the list.
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override;

 private:
  IConnectionPointContainer& container_;
  CProxy_IVirtualDiskEvents& events_;
};

#pragma once

#include <windows.h>
#include <unknwn.h>

// The class object of the VirtualDisk class: each creation request makes a
// new mount service object. One lives for the whole process, so its
// references count nothing; LockServer counts towards what keeps the local
// server alive.
class ComClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;
};

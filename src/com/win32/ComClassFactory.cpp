#include "com/win32/ComClassFactory.h"

#include <new>

#include "com/win32/ComServerLocks.h"
#include "com/win32/ComVirtualDisk.h"

HRESULT ComClassFactory::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IClassFactory) {
    *object = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT ComClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  ComVirtualDisk* created = nullptr;
  try {
    created = new ComVirtualDisk;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  const HRESULT result = created->QueryInterface(iid, object);
  created->Release();
  return result;
}

HRESULT ComClassFactory::LockServer(BOOL lock) {
  if (lock) {
    ComServerLocks::up();
  } else {
    ComServerLocks::down();
  }
  return S_OK;
}

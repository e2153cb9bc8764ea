#include "com/win32/ComConnectionPoint.h"

#include <wrl/client.h>

#include <memory>
#include <new>
#include <vector>

#include "com/win32/ComEnumerator.h"
#include "com/win32/DispatchEventSink.h"
#include "vkbvd_mount_service.h"

using Microsoft::WRL::ComPtr;

HRESULT ComConnectionPoint::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
    *object = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT ComConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = DIID__IVirtualDiskEvents;
  return S_OK;
}

HRESULT ComConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (!container) return E_POINTER;
  container_.AddRef();
  *container = &container_;
  return S_OK;
}

HRESULT ComConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (cookie) *cookie = 0;
  if (!sink || !cookie) return E_POINTER;
  ComPtr<IDispatch> events;
  const HRESULT queried = sink->QueryInterface(DIID__IVirtualDiskEvents, reinterpret_cast<void**>(events.GetAddressOf()));
  if (FAILED(queried)) return CProxy_IVirtualDiskEvents::adviseResultOfQuery(queried);
  std::shared_ptr<DispatchEventSink> entry;
  try {
    entry = std::make_shared<DispatchEventSink>(std::move(events));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  uint32_t given = 0;
  const HRESULT advised = events_.Advise(std::move(entry), &given);
  *cookie = given;
  return advised;
}

HRESULT ComConnectionPoint::Unadvise(DWORD cookie) { return events_.Unadvise(cookie); }

HRESULT ComConnectionPoint::EnumConnections(IEnumConnections** connections) {
  if (!connections) return E_POINTER;
  *connections = nullptr;
  std::vector<CProxy_IVirtualDiskEvents::Connection> advised;
  const HRESULT listed = events_.EnumConnections(&advised);
  if (FAILED(listed)) return listed;
  std::vector<CONNECTDATA> entries;
  try {
    entries.reserve(advised.size());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  for (const CProxy_IVirtualDiskEvents::Connection& connection : advised) {
    const auto* sink = dynamic_cast<const DispatchEventSink*>(connection.sink.get());
    IUnknown* identity = sink ? sink->identity() : nullptr;
    if (identity) entries.push_back(CONNECTDATA{identity, connection.cookie});
  }
  *connections = ComEnumerator<IEnumConnections, CONNECTDATA>::create(std::move(entries));
  return *connections ? S_OK : E_OUTOFMEMORY;
}

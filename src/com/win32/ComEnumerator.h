#pragma once

#include <windows.h>
#include <ocidl.h>

#include <memory>
#include <new>
#include <vector>

// The references an enumerated element holds: a connection's sink, or a
// connection point.
inline void addElementReference(const CONNECTDATA& connection) { connection.pUnk->AddRef(); }
inline void releaseElement(const CONNECTDATA& connection) { connection.pUnk->Release(); }
inline void addElementReference(IConnectionPoint* point) { point->AddRef(); }
inline void releaseElement(IConnectionPoint* point) { point->Release(); }

// A COM enumerator (IEnumConnections, IEnumConnectionPoints) over a snapshot
// of elements, each holding one reference for the snapshot; each element
// handed out carries a reference of its own for the caller. Clones share the
// snapshot and start at the same position.
template <class Interface, class Element>
class ComEnumerator final : public Interface {
 public:
  // Takes over the references `elements` hold; null when out of memory (the
  // references are then released).
  static Interface* create(std::vector<Element> elements) {
    Snapshot owned(std::move(elements));
    try {
      auto snapshot = std::make_shared<Snapshot>(std::vector<Element>());
      snapshot->elements.swap(owned.elements);
      return new ComEnumerator(std::move(snapshot), 0);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == __uuidof(Interface)) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG count, Element* elements, ULONG* fetched) override {
    if (!elements) return E_POINTER;
    if (count > 1 && !fetched) return E_INVALIDARG;
    ULONG given = 0;
    for (; given < count && position_ < snapshot_->elements.size(); ++given, ++position_) {
      elements[given] = snapshot_->elements[position_];
      addElementReference(elements[given]);
    }
    if (fetched) *fetched = given;
    return given == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const size_t left = snapshot_->elements.size() - position_;
    position_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(Interface** clone) override {
    if (!clone) return E_POINTER;
    *clone = new (std::nothrow) ComEnumerator(snapshot_, position_);
    return *clone ? S_OK : E_OUTOFMEMORY;
  }

 private:
  // The elements and the references they hold.
  struct Snapshot {
    explicit Snapshot(std::vector<Element> taken) : elements(std::move(taken)) {}
    ~Snapshot() {
      for (const Element& element : elements) releaseElement(element);
    }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    std::vector<Element> elements;
  };

  ComEnumerator(std::shared_ptr<Snapshot> snapshot, size_t position)
      : snapshot_(std::move(snapshot)), position_(position) {}
  ~ComEnumerator() = default;

  LONG references_ = 1;
  std::shared_ptr<Snapshot> snapshot_;
  size_t position_;
};

#include "com/CProxy_IVirtualDiskEvents.h"

#include <new>
#include <utility>

#include "com/HResult.h"

int32_t CProxy_IVirtualDiskEvents::Advise(std::shared_ptr<VirtualDiskEventSink> sink, uint32_t* cookie) {
  if (cookie == nullptr) return HResult::Pointer;
  *cookie = 0;
  if (!sink) return HResult::Pointer;
  std::lock_guard<std::mutex> guard(mutex_);
  size_t index = 0;
  if (!freeSlot(index)) return HResult::ConnectAdviseLimit;  // the sink is let go on return, after the mutex
  slots_[index] = std::move(sink);
  *cookie = static_cast<uint32_t>(index + 1);
  return HResult::Ok;
}

int32_t CProxy_IVirtualDiskEvents::Unadvise(uint32_t cookie) {
  std::shared_ptr<VirtualDiskEventSink> released;  // let go after the mutex: releasing may call the client
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (cookie == 0 || cookie > slots_.size() || !slots_[cookie - 1]) return HResult::ConnectNoConnection;
    released = std::move(slots_[cookie - 1]);
  }
  return HResult::Ok;
}

int32_t CProxy_IVirtualDiskEvents::EnumConnections(std::vector<Connection>* connections) {
  if (connections == nullptr) return HResult::Pointer;
  try {
    std::vector<Connection> snapshot;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      for (size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i]) snapshot.push_back({slots_[i], static_cast<uint32_t>(i + 1)});
      }
    }
    *connections = std::move(snapshot);
  } catch (const std::bad_alloc&) {
    return HResult::OutOfMemory;
  }
  return HResult::Ok;
}

int32_t CProxy_IVirtualDiskEvents::adviseResultOfQuery(int32_t queryResult) {
  return queryResult == HResult::NoInterface ? HResult::ConnectCannotConnect : queryResult;
}

int32_t CProxy_IVirtualDiskEvents::Fire_onEnumMounted(const std::u16string& mountTag, const std::u16string& imagePath) {
  return fire([&](VirtualDiskEventSink& sink) { return sink.onEnumMounted(mountTag, imagePath); });
}

int32_t CProxy_IVirtualDiskEvents::Fire_onImageIndexProgress(int32_t imagePartNumber, double totalSectors,
                                                             double sectorsProcessed) {
  return fire([&](VirtualDiskEventSink& sink) {
    return sink.onImageIndexProgress(imagePartNumber, totalSectors, sectorsProcessed);
  });
}

template <class Call>
int32_t CProxy_IVirtualDiskEvents::fire(const Call& call) {
  int32_t result = HResult::Ok;
  const size_t count = slotCount();  // slots added during the firing are not visited
  for (size_t i = 0; i < count; ++i) {
    const std::shared_ptr<VirtualDiskEventSink> sink = sinkAt(i);
    if (!sink) continue;
    const VirtualDiskEventSink::Answer answer = call(*sink);
    if (!answer.argumentsBuilt) return answer.result;
    result = answer.result;
  }
  return result;
}

std::shared_ptr<VirtualDiskEventSink> CProxy_IVirtualDiskEvents::sinkAt(size_t index) {
  std::lock_guard<std::mutex> guard(mutex_);
  return slots_[index];
}

size_t CProxy_IVirtualDiskEvents::slotCount() {
  std::lock_guard<std::mutex> guard(mutex_);
  return slots_.size();
}

bool CProxy_IVirtualDiskEvents::freeSlot(size_t& index) {
  for (index = 0; index < slots_.size(); ++index) {
    if (!slots_[index]) return true;
  }
  const size_t grown = slots_.empty() ? kFirstSlots : 2 * slots_.size();
  if (grown > kMaxSlots) return false;
  try {
    slots_.resize(grown);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;  // `index` is the first of the new slots
}

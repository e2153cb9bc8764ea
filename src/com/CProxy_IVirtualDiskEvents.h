#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "com/VirtualDiskEventSink.h"

// The connection point of one mount service object for its events: the list
// of advised sinks and the firing of each event at all of them. The list is
// an array of slots, 4 at the first Advise and doubled whenever no slot is
// free, up to kMaxSlots; a sink's cookie is its slot index plus 1, so cookies
// are reused after an Unadvise. Results are HRESULTs.
//
// Thread-safe: Advise and Unadvise may come on any thread, also while a
// firing runs. A firing visits the slots that existed when it began, takes
// each sink under the list's mutex and calls it outside, so a sink unadvised
// meanwhile lives until its call returns, and a sink may call back into the
// list.
class CProxy_IVirtualDiskEvents {
 public:
  static constexpr size_t kFirstSlots = 4;
  // Bounds what one client can make the list grow to.
  static constexpr size_t kMaxSlots = 1024;

  struct Connection {
    std::shared_ptr<VirtualDiskEventSink> sink;
    uint32_t cookie;
  };

  // Adds a sink (already resolved to the event interface by the binding) in
  // the first free slot. E_POINTER for a null sink or cookie pointer,
  // CONNECT_E_ADVISELIMIT when the slots cannot grow; the cookie is 0 on
  // every failure.
  int32_t Advise(std::shared_ptr<VirtualDiskEventSink> sink, uint32_t* cookie);
  // Empties the cookie's slot; CONNECT_E_NOCONNECTION for a cookie that names
  // no advised sink.
  int32_t Unadvise(uint32_t cookie);
  // A snapshot of the advised sinks with their cookies, in slot order.
  // E_POINTER for a null pointer, E_OUTOFMEMORY when it cannot be made.
  int32_t EnumConnections(std::vector<Connection>* connections);

  // What Advise answers when the sink's QueryInterface for the event
  // interface failed with `queryResult`: a sink without it cannot connect;
  // any other failure is passed on.
  static int32_t adviseResultOfQuery(int32_t queryResult);

  // Each fires its event at every sink in slot order. A sink that fails does
  // not stop the firing; arguments that cannot be built stop it at that sink
  // with the building's error. Otherwise the result of the last sink called,
  // or S_OK when none was.
  int32_t Fire_onEnumMounted(const std::u16string& mountTag, const std::u16string& imagePath);
  int32_t Fire_onImageIndexProgress(int32_t imagePartNumber, double totalSectors, double sectorsProcessed);

 private:
  template <class Call>
  int32_t fire(const Call& call);
  // The sink in slot `index`, or none.
  std::shared_ptr<VirtualDiskEventSink> sinkAt(size_t index);
  size_t slotCount();
  // The index of a free slot, growing the slots when none is; false at the limit.
  bool freeSlot(size_t& index);

  std::mutex mutex_;  // guards the slots; never held while a sink is called or released
  std::vector<std::shared_ptr<VirtualDiskEventSink>> slots_;
};

#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "com/CProxy_IVirtualDiskEvents.h"

// Where the image provider's indexing progress goes: the events of the object
// whose mount is opening an image. The provider keeps the context pointer it
// was given and may report with it at any time, also after the mount has
// returned, so the mount uses one process-wide context that is never freed
// (mounts run one at a time, so one is enough) and empties it when it
// returns; a later report finds it empty and is refused. A report that took
// the target before it was emptied shares it, so it never reaches a released
// object. Thread-safe.
class ProgressContext {
 public:
  // The process-wide context that mounts register with the provider.
  static ProgressContext& instance();

  void setTarget(std::shared_ptr<CProxy_IVirtualDiskEvents> events);
  void clearTarget();
  // The events to fire at; none when empty.
  std::shared_ptr<CProxy_IVirtualDiskEvents> target();

 private:
  std::mutex mutex_;  // guards the target; never held while firing
  std::shared_ptr<CProxy_IVirtualDiskEvents> target_;
};

// The provider's progress callback, with a ProgressContext as `context`:
// fires onImageIndexProgress at the context's target with the sector counts
// as doubles, and answers whether the mount is to go on (false once it is
// cancelled), whatever the sinks answered. False, with nothing fired, for a
// null context or an empty one.
uint8_t indexProgressCallback(uint32_t imagePartNumber, uint64_t totalSectors, uint64_t sectorsProcessed,
                              void* context);

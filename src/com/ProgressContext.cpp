#include "com/ProgressContext.h"

#include <utility>

#include "com/MountSession.h"

ProgressContext& ProgressContext::instance() {
  static auto* const context = new ProgressContext;  // never freed: the provider may report at any time
  return *context;
}

void ProgressContext::setTarget(std::shared_ptr<CProxy_IVirtualDiskEvents> events) {
  std::lock_guard<std::mutex> guard(mutex_);
  target_ = std::move(events);
}

void ProgressContext::clearTarget() {
  std::shared_ptr<CProxy_IVirtualDiskEvents> released;  // let go after the mutex
  std::lock_guard<std::mutex> guard(mutex_);
  released = std::move(target_);
}

std::shared_ptr<CProxy_IVirtualDiskEvents> ProgressContext::target() {
  std::lock_guard<std::mutex> guard(mutex_);
  return target_;
}

uint8_t indexProgressCallback(uint32_t imagePartNumber, uint64_t totalSectors, uint64_t sectorsProcessed,
                              void* context) {
  if (context == nullptr) return false;
  const std::shared_ptr<CProxy_IVirtualDiskEvents> events = static_cast<ProgressContext*>(context)->target();
  if (!events) return false;
  // Unsigned conversions: counts of 2^63 and more stay positive.
  events->Fire_onImageIndexProgress(static_cast<int32_t>(imagePartNumber), static_cast<double>(totalSectors),
                                    static_cast<double>(sectorsProcessed));
  return !MountSession::instance().cancelRequested();
}

#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "common/Lock.h"
#include "sys/DeviceNotifications.h"
#include "sys/posix/UeventListener.h"

namespace sys::posix {

// Device notifications on Linux: the volume class only, from the kernel's
// uevents of block partitions. A listener runs while anything is registered;
// each event goes to every registration, one after the other, on the
// listener's thread. Unregistering returns once no event is being delivered
// (waiting at most 10 s), except when called from inside a handler; a
// listener held up longer by a handler is left to end by itself and delivers
// nothing more.
class PosixDeviceNotifications final : public DeviceNotifications {
 public:
  ~PosixDeviceNotifications() override;

  void setEventHandler(ServiceHandle service, EventHandler handler) override;
  void setDropLog(DropLog log) override;
  Handle registerDeviceNotification(ServiceHandle service, const std::vector<uint8_t>& filter, uint32_t flags,
                                    uint32_t& error) override;
  bool unregisterDeviceNotification(Handle notification, uint32_t& error) override;

 private:
  // What the listener's thread uses, shared with it: a thread left behind by
  // a handler that does not return touches nothing freed once it does.
  struct Shared {
    void deliver(const UeventMessage& message);
    void reportDrop(const std::string& reason);

    // Held while an event is delivered, so that unregistering can wait for it.
    Lock delivery;
    std::mutex mutex;  // guards everything below and the owner's listeners
    std::map<ServiceHandle, EventHandler> handlers;
    std::map<Handle, ServiceHandle> registrations;
    DropLog dropLog;
  };

  // The listener to end, when nothing is registered any more; one whose own
  // thread is the caller is only asked to stop and kept until a later call.
  std::unique_ptr<UeventListener> takeStoppedListener();
  // A kept listener that the caller may now end.
  std::unique_ptr<UeventListener> takeRetiredListener();

  const std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  Handle next_ = 1;  // this and the two below guarded by shared_->mutex
  std::unique_ptr<UeventListener> listener_;
  std::unique_ptr<UeventListener> retired_;
};

}  // namespace sys::posix

#pragma once

#include <sdbus-c++/IObject.h>
#include <sdbus-c++/Message.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "com/CVirtualDisk.h"
#include "com/posix/CallWorkers.h"
#include "com/posix/PendingCall.h"
#include "com/posix/ServiceConnection.h"

// One object of the mount service's class on the bus, made for one client
// (its creator) at /com/velkara/MountService/VirtualDisk/N: the VirtualDisk
// interface, whose methods call the mount service object, and the
// ConnectionPoint interface, whose sinks are bus connections. Mount, Umount
// and EnumMounted run on the call workers, so that the bus is answered while
// a mount takes minutes; the others are answered at once. Any client may
// call the VirtualDisk methods, as in COM holding the object is what lets one
// call it; only its creator may release it and use its connection point
// (advise its own sinks, at most kMaxSinks, list and unadvise them), so that
// no client takes or stops another's events.
//
// Its handlers run on the loop's thread. It stays on the bus until
// withdraw(), which the loop's thread calls outside the object's own
// handlers; calls still at work keep the rest of it until they are done,
// and are not answered once it is withdrawn (the bus keeps a call's reply
// signature with the object's registration, which goes with it).
class VirtualDiskObject : public std::enable_shared_from_this<VirtualDiskObject> {
 public:
  static constexpr size_t kMaxSinks = 16;

  // Called, inside the Release handler, to have the object taken off the bus.
  using Releaser = std::function<void(const std::string& path)>;

  // Registers the object; throws sdbus::Error when the bus refuses it.
  static std::shared_ptr<VirtualDiskObject> create(std::shared_ptr<ServiceConnection> connection,
                                                   std::shared_ptr<CallWorkers> workers, std::string path,
                                                   std::string creator, Releaser releaser);
  VirtualDiskObject(const VirtualDiskObject&) = delete;
  VirtualDiskObject& operator=(const VirtualDiskObject&) = delete;

  const std::string& path() const { return path_; }
  // The unique name of the client that made it.
  const std::string& creator() const { return creator_; }

  // Takes the object off the bus: later calls find no object. A mount it
  // runs is cancelled: its client has gone and would never learn of it.
  void withdraw();

 private:
  using Work = std::function<void(VirtualDiskObject& self, const PendingCall& pending)>;

  VirtualDiskObject(std::shared_ptr<ServiceConnection> connection, std::shared_ptr<CallWorkers> workers,
                    std::string path, std::string creator, Releaser releaser);
  void registerInterfaces();

  void mount(sdbus::MethodCall& call);
  void umount(sdbus::MethodCall& call);
  // Umount, with what it did as a word beside the result.
  void umountWithOutcome(sdbus::MethodCall& call);
  void cancelMount(sdbus::MethodCall& call);
  static const char* outcomeName(CVirtualDisk::UmountOutcome outcome);
  void enumMounted(sdbus::MethodCall& call);
  void release(sdbus::MethodCall& call);
  void advise(sdbus::MethodCall& call);
  void unadvise(sdbus::MethodCall& call);
  void enumConnections(sdbus::MethodCall& call);
  // Refuses the call (AccessDenied, saying it may not do `what`) unless the creator made it.
  void requireCreator(const sdbus::MethodCall& call, const char* what) const;

  // Has a call worker do `work`, acting for the call's caller as it was when
  // the call arrived (the client whose user a mount acts as and owns it);
  // answers with an error when no worker takes it.
  void runAsCaller(const sdbus::MethodCall& call, Work work);
  // Answers a call at work, unless the object was withdrawn meanwhile; a
  // withdrawal waits for an answer being sent.
  template <class... Values>
  void answer(const PendingCall& pending, const Values&... values) {
    const std::lock_guard<std::mutex> guard(answerMutex_);
    if (!withdrawn_) pending.reply(values...);
  }
  sdbus::method_callback handler(void (VirtualDiskObject::*method)(sdbus::MethodCall&));

  const std::shared_ptr<ServiceConnection> connection_;  // declared first: outlives the rest
  const std::shared_ptr<CallWorkers> workers_;
  const std::string path_;
  const std::string creator_;
  std::mutex answerMutex_;  // guards withdrawn_
  bool withdrawn_ = false;
  const Releaser releaser_;
  CVirtualDisk disk_;
  std::shared_ptr<sdbus::IObject> object_;  // shared with the sinks, which send its signals
};

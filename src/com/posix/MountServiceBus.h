#pragma once

#include <sdbus-c++/IObject.h>
#include <sdbus-c++/Message.h>
#include <sdbus-c++/TypeTraits.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "com/posix/CallWorkers.h"
#include "com/posix/ServiceConnection.h"
#include "com/posix/VirtualDiskObject.h"

// The mount service on the bus: the class object, whose CreateInstance makes
// a new object for each call (as each COM creation request gets one), the
// objects made, and the service's well-known name. When a client leaves the
// bus, the objects it made go away, with their sinks (a client advises only
// on its own objects). Everything runs on the loop's thread: the handlers while the loop
// runs, publish and withdraw before and after it.
class MountServiceBus {
 public:
  // Bounds what one client can make the service hold.
  static constexpr size_t kMaxObjectsPerClient = 64;

  MountServiceBus(std::shared_ptr<ServiceConnection> connection, std::shared_ptr<CallWorkers> workers);
  MountServiceBus(const MountServiceBus&) = delete;
  MountServiceBus& operator=(const MountServiceBus&) = delete;

  // Registers the class object, follows the clients that leave, and takes
  // the service's name; false, with the reason, when the bus refuses.
  bool publish(std::string& failure);
  // Gives up the name and takes every object off the bus. Calls at work
  // finish and are answered.
  void withdraw();

 private:
  void createInstance(sdbus::MethodCall& call);
  void onNameOwnerChanged(sdbus::Message& message);
  // Takes the object at `path` off the bus and forgets it.
  void remove(const std::string& path);
  // The objects of a client that left go.
  void forgetClient(const std::string& name);
  size_t objectsOf(const std::string& client) const;

  const std::shared_ptr<ServiceConnection> connection_;  // declared first: outlives the rest
  const std::shared_ptr<CallWorkers> workers_;
  std::unique_ptr<sdbus::IObject> classObject_;
  sdbus::Slot clientsLeaving_;
  std::map<std::string, std::shared_ptr<VirtualDiskObject>> objects_;  // by path
  uint64_t nextNumber_ = 1;                                            // never reused
};

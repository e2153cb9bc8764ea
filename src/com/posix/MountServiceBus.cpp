#include "com/posix/MountServiceBus.h"

#include <sdbus-c++/Error.h>
#include <sdbus-c++/Types.h>

#include <utility>

#include "com/posix/GuardedHandler.h"
#include "com/posix/MountServiceBusNames.h"
#include "com/posix/PendingCall.h"

using namespace mount_service_bus;

namespace {

// The bus daemon's word that a connection has left: its unique name lost its only owner.
constexpr char kBusDaemon[] = "org.freedesktop.DBus";
constexpr char kClientLeftRule[] =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',interface='org.freedesktop.DBus',"
    "member='NameOwnerChanged',arg2=''";

}  // namespace

MountServiceBus::MountServiceBus(std::shared_ptr<ServiceConnection> connection, std::shared_ptr<CallWorkers> workers)
    : connection_(std::move(connection)), workers_(std::move(workers)) {}

bool MountServiceBus::publish(std::string& failure) {
  try {
    sdbus::IConnection& bus = connection_->connection();
    classObject_ = sdbus::createObject(bus, kClassObjectPath);
    classObject_->registerMethod(kClassFactoryInterface, "CreateInstance", "", {}, "o", {"object"},
                                 guardedHandler([this](sdbus::MethodCall& call) { createInstance(call); }));
    classObject_->finishRegistration();
    clientsLeaving_ = bus.addMatch(kClientLeftRule, [this](sdbus::Message& message) { onNameOwnerChanged(message); });
    bus.requestName(kServiceName);
    return true;
  } catch (const sdbus::Error& error) {
    failure = error.what();
    return false;
  }
}

void MountServiceBus::withdraw() {
  try {
    connection_->connection().releaseName(kServiceName);
  } catch (const sdbus::Error&) {
    // Not held, or the bus is gone: either way the name is not ours.
  }
  for (const auto& [path, object] : objects_) object->withdraw();
  objects_.clear();
  classObject_.reset();
  clientsLeaving_.reset();
}

void MountServiceBus::createInstance(sdbus::MethodCall& call) {
  const std::string client = call.getSender();
  if (objectsOf(client) >= kMaxObjectsPerClient) {
    throw sdbus::Error(kErrorLimitsExceeded, "this client holds too many objects; release some first");
  }
  const std::string path = std::string(kClassObjectPath) + "/" + std::to_string(nextNumber_++);
  // Release runs inside the object's own handler, so the object goes afterwards.
  auto releaser = [this](const std::string& released) { connection_->post([this, released] { remove(released); }); };
  objects_[path] = VirtualDiskObject::create(connection_, workers_, path, client, std::move(releaser));
  PendingCall(connection_, call).reply(sdbus::ObjectPath(path));
}

void MountServiceBus::onNameOwnerChanged(sdbus::Message& message) {
  // Any connection may send a signal of that name straight to the service,
  // which the rule lets through: only the bus daemon itself is believed.
  if (message.getSender() != kBusDaemon) return;
  try {
    std::string name, oldOwner, newOwner;
    message >> name >> oldOwner >> newOwner;
    // Unique names (":1.42") are connections; a well-known name changing hands is none of ours.
    if (newOwner.empty() && name.starts_with(':')) forgetClient(name);
  } catch (const sdbus::Error&) {
    // Not the signal the rule promises: nothing to act on.
  }
}

void MountServiceBus::remove(const std::string& path) {
  const auto found = objects_.find(path);
  if (found == objects_.end()) return;
  found->second->withdraw();
  objects_.erase(found);
}

void MountServiceBus::forgetClient(const std::string& name) {
  for (auto entry = objects_.begin(); entry != objects_.end();) {
    if (entry->second->creator() == name) {
      entry->second->withdraw();
      entry = objects_.erase(entry);
    } else {
      ++entry;
    }
  }
}

size_t MountServiceBus::objectsOf(const std::string& client) const {
  size_t count = 0;
  for (const auto& [path, object] : objects_) count += object->creator() == client ? 1 : 0;
  return count;
}

#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// A client of the mount service through the bus alone, as any D-Bus client
// is one: a connection of its own served by its own loop, calls made by
// interface, member and signature, and the service's signals that reach it
// recorded. A call that the service answers with an error throws
// sdbus::Error. Calls from one thread at a time.
class BusClient {
 public:
  static constexpr std::chrono::seconds kMountTimeout{180};

  struct EnumMountedEvent {
    std::string object;
    std::string mountTag;
    std::string imagePath;
  };
  struct ProgressEvent {
    std::string object;
    int32_t imagePartNumber;
    double totalSectors;
    double sectorsProcessed;
    std::string userDataType;  // the D-Bus type the variant holds
    std::string userData;      // its text, when it holds a string
  };

  explicit BusClient(const std::string& address);
  ~BusClient();
  BusClient(const BusClient&) = delete;
  BusClient& operator=(const BusClient&) = delete;

  std::string uniqueName() const { return connection_->getUniqueName(); }
  bool serviceOnBus();

  std::string createInstance();
  int32_t mount(const std::string& object, const std::string& image);
  int32_t umount(const std::string& object);
  // The result, and callback_context.
  std::pair<int32_t, sdbus::Variant> enumMounted(const std::string& object);
  void release(const std::string& object);
  // The result and the cookie.
  std::pair<int32_t, uint32_t> advise(const std::string& object);
  int32_t unadvise(const std::string& object, uint32_t cookie);
  std::vector<sdbus::Struct<std::string, uint32_t>> enumConnections(const std::string& object);

  // Sends, from this connection, the signal NameOwnerChanged(name, name, "")
  // that the bus daemon sends when `name` leaves, to `destination`.
  void sendNameLeft(const std::string& destination, const std::string& name);
  // Takes the service's name, as a stand-in for it (only root may).
  void ownServiceName();

  std::vector<EnumMountedEvent> enumMountedEvents();
  std::vector<ProgressEvent> progressEvents();

 private:
  std::unique_ptr<sdbus::IProxy> proxy(const std::string& object);
  void onSignal(sdbus::Message& signal);

  std::unique_ptr<sdbus::IConnection> connection_;
  sdbus::Slot signals_;
  std::mutex mutex_;  // guards the events, which the loop's thread records
  std::vector<EnumMountedEvent> enumMounted_;
  std::vector<ProgressEvent> progress_;
};

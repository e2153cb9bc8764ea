#include "BusClient.h"

namespace {

constexpr char kService[] = "com.velkara.MountService";
constexpr char kClassObject[] = "/com/velkara/MountService/VirtualDisk";
constexpr char kClassFactory[] = "com.velkara.MountService.ClassFactory";
constexpr char kVirtualDisk[] = "com.velkara.MountService.VirtualDisk";
constexpr char kConnectionPoint[] = "com.velkara.MountService.ConnectionPoint";
constexpr std::chrono::seconds kCallTimeout{60};

// callback_context, which the service ignores.
sdbus::Variant noContext() { return sdbus::Variant(std::string()); }

}  // namespace

BusClient::BusClient(const std::string& address) : connection_(sdbus::createSessionBusConnectionWithAddress(address)) {
  signals_ = connection_->addMatch(std::string("type='signal',interface='") + kConnectionPoint + "'",
                                   [this](sdbus::Message& signal) { onSignal(signal); });
  connection_->enterEventLoopAsync();
}

BusClient::~BusClient() {
  connection_->leaveEventLoop();
  signals_.reset();
}

bool BusClient::serviceOnBus() {
  const std::unique_ptr<sdbus::IProxy> bus =
      sdbus::createProxy(*connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus");
  bool owned = false;
  bus->callMethod("NameHasOwner").onInterface("org.freedesktop.DBus").withArguments(kService).storeResultsTo(owned);
  return owned;
}

std::unique_ptr<sdbus::IProxy> BusClient::proxy(const std::string& object) {
  return sdbus::createProxy(*connection_, kService, object);
}

std::string BusClient::createInstance() {
  sdbus::ObjectPath path;
  proxy(kClassObject)
      ->callMethod("CreateInstance")
      .onInterface(kClassFactory)
      .withTimeout(kCallTimeout)
      .storeResultsTo(path);
  return path;
}

int32_t BusClient::mount(const std::string& object, const std::string& image) {
  int32_t result = 0;
  proxy(object)
      ->callMethod("Mount")
      .onInterface(kVirtualDisk)
      .withTimeout(kMountTimeout)
      .withArguments(image, std::string(), std::string("my_tag"), false, std::string(), std::string(), std::string(),
                     std::string(), noContext())
      .storeResultsTo(result);
  return result;
}

int32_t BusClient::umount(const std::string& object) {
  int32_t result = 0;
  proxy(object)
      ->callMethod("Umount")
      .onInterface(kVirtualDisk)
      .withTimeout(kCallTimeout)
      .withArguments(std::string("my_tag"), noContext())
      .storeResultsTo(result);
  return result;
}

std::pair<int32_t, sdbus::Variant> BusClient::enumMounted(const std::string& object) {
  int32_t result = 0;
  sdbus::Variant context;
  proxy(object)
      ->callMethod("EnumMounted")
      .onInterface(kVirtualDisk)
      .withTimeout(kCallTimeout)
      .storeResultsTo(result, context);
  return {result, context};
}

void BusClient::release(const std::string& object) {
  proxy(object)->callMethod("Release").onInterface(kVirtualDisk).withTimeout(kCallTimeout);
}

std::pair<int32_t, uint32_t> BusClient::advise(const std::string& object) {
  int32_t result = 0;
  uint32_t cookie = 0;
  proxy(object)
      ->callMethod("Advise")
      .onInterface(kConnectionPoint)
      .withTimeout(kCallTimeout)
      .storeResultsTo(result, cookie);
  return {result, cookie};
}

int32_t BusClient::unadvise(const std::string& object, uint32_t cookie) {
  int32_t result = 0;
  proxy(object)
      ->callMethod("Unadvise")
      .onInterface(kConnectionPoint)
      .withTimeout(kCallTimeout)
      .withArguments(cookie)
      .storeResultsTo(result);
  return result;
}

std::vector<sdbus::Struct<std::string, uint32_t>> BusClient::enumConnections(const std::string& object) {
  std::vector<sdbus::Struct<std::string, uint32_t>> connections;
  proxy(object)
      ->callMethod("EnumConnections")
      .onInterface(kConnectionPoint)
      .withTimeout(kCallTimeout)
      .storeResultsTo(connections);
  return connections;
}

void BusClient::sendNameLeft(const std::string& destination, const std::string& name) {
  const std::unique_ptr<sdbus::IObject> bus = sdbus::createObject(*connection_, "/org/freedesktop/DBus");
  sdbus::Signal signal = bus->createSignal("org.freedesktop.DBus", "NameOwnerChanged");
  signal.setDestination(destination);
  signal << name << name << std::string();
  signal.send();
}

void BusClient::ownServiceName() { connection_->requestName(kService); }

std::vector<BusClient::EnumMountedEvent> BusClient::enumMountedEvents() {
  const std::lock_guard<std::mutex> guard(mutex_);
  return enumMounted_;
}

std::vector<BusClient::ProgressEvent> BusClient::progressEvents() {
  const std::lock_guard<std::mutex> guard(mutex_);
  return progress_;
}

void BusClient::onSignal(sdbus::Message& signal) {
  const std::lock_guard<std::mutex> guard(mutex_);
  if (signal.getMemberName() == "OnEnumMounted") {
    EnumMountedEvent event{signal.getPath(), {}, {}};
    signal >> event.mountTag >> event.imagePath;
    enumMounted_.push_back(event);
  } else if (signal.getMemberName() == "OnImageIndexProgress") {
    ProgressEvent event{signal.getPath(), 0, 0, 0, {}, {}};
    sdbus::Variant userData;
    signal >> event.imagePartNumber >> event.totalSectors >> event.sectorsProcessed >> userData;
    event.userDataType = userData.peekValueType();
    if (event.userDataType == "s") event.userData = userData.get<std::string>();
    progress_.push_back(event);
  }
}

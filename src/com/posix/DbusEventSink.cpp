#include "com/posix/DbusEventSink.h"

#include <sdbus-c++/Error.h>
#include <sdbus-c++/Message.h>

#include <new>
#include <utility>

#include "com/HResult.h"
#include "com/posix/MountServiceBusNames.h"
#include "common/WideString.h"

namespace {

// A value as the signal carries it: text as UTF-8, anything else as it is.
std::string busValue(const std::u16string& text) { return wide::toUtf8(text); }
template <class Value>
const Value& busValue(const Value& value) {
  return value;
}

}  // namespace

DbusEventSink::DbusEventSink(std::shared_ptr<ServiceConnection> connection, std::shared_ptr<sdbus::IObject> object,
                             std::string destination)
    : connection_(std::move(connection)), object_(std::move(object)), destination_(std::move(destination)) {}

VirtualDiskEventSink::Answer DbusEventSink::onEnumMounted(const std::u16string& mountTag,
                                                          const std::u16string& imagePath) {
  return send("OnEnumMounted", mountTag, imagePath);
}

VirtualDiskEventSink::Answer DbusEventSink::onImageIndexProgress(int32_t imagePartNumber, double totalSectors,
                                                                 double sectorsProcessed) {
  return send("OnImageIndexProgress", imagePartNumber, totalSectors, sectorsProcessed,
              mount_service_bus::emptyVariant());
}

template <class... Values>
VirtualDiskEventSink::Answer DbusEventSink::send(const char* signalName, const Values&... values) {
  try {
    sdbus::Signal signal = object_->createSignal(mount_service_bus::kConnectionPointInterface, signalName);
    ((signal << busValue(values)), ...);
    signal.setDestination(destination_);
    object_->emitSignal(signal);
  } catch (const std::bad_alloc&) {
    return Answer::argumentsNotBuilt(HResult::OutOfMemory);
  } catch (const sdbus::Error&) {
    return Answer::delivered(HResult::Fail);
  }
  connection_->wake();
  return Answer::delivered(HResult::Ok);
}

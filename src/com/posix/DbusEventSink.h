#pragma once

#include <sdbus-c++/IObject.h>

#include <memory>
#include <string>

#include "com/VirtualDiskEventSink.h"
#include "com/posix/ServiceConnection.h"

// A sink advised over the bus: delivers each event of its object as a
// signal of the ConnectionPoint interface sent to one connection only, the
// one that advised it. Sending does not wait for the client, so a slow
// client never holds up a mount. An event is answered with S_OK once its
// signal is sent, E_FAIL when it cannot be (the bus is gone), and as not
// built when its arguments cannot be made. Thread-safe.
class DbusEventSink final : public VirtualDiskEventSink {
 public:
  DbusEventSink(std::shared_ptr<ServiceConnection> connection, std::shared_ptr<sdbus::IObject> object,
                std::string destination);

  // The unique name of the connection the events go to.
  const std::string& destination() const { return destination_; }

  Answer onEnumMounted(const std::u16string& mountTag, const std::u16string& imagePath) override;
  // Sends user_data as an empty VARIANT.
  Answer onImageIndexProgress(int32_t imagePartNumber, double totalSectors, double sectorsProcessed) override;

 private:
  template <class... Values>
  Answer send(const char* signalName, const Values&... values);

  std::shared_ptr<ServiceConnection> connection_;  // declared first: outlives the object
  std::shared_ptr<sdbus::IObject> object_;
  const std::string destination_;
};

#pragma once

#include <sdbus-c++/Error.h>
#include <sdbus-c++/Message.h>
#include <sdbus-c++/TypeTraits.h>

#include <exception>
#include <functional>
#include <utility>

#include "com/posix/MountServiceBusNames.h"

// A method handler whose failures become error replies: the bus library
// answers an sdbus::Error with its name and text, and nothing else may
// cross into it.
inline sdbus::method_callback guardedHandler(std::function<void(sdbus::MethodCall&)> body) {
  return [body = std::move(body)](sdbus::MethodCall call) {
    try {
      body(call);
    } catch (const sdbus::Error&) {
      throw;
    } catch (const std::exception& failure) {
      throw sdbus::Error(mount_service_bus::kErrorFailed, failure.what());
    }
  };
}

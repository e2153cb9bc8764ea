#pragma once

#include <string>
#include <vector>

#include "common/Guid.h"

// Finds devices through their interfaces: the device paths of the present
// interfaces of a class, and the device object name of a volume given its
// interface path. Thread-safe (each call works on a set of its own).
class SetupDevApi {
 public:
  // False only when the set cannot be opened; the list is cleared first.
  static bool getDeviceInterfaceList(const Guid& interfaceClass, std::vector<std::u16string>& paths);
  // The device object name of the present volume whose interface path equals
  // `interfacePath`, ignoring case; false with an empty name otherwise.
  static bool getDevInfoByInterface(const std::u16string& interfacePath, std::u16string& deviceName);
};

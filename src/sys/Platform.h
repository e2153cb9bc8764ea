#pragma once

#include <atomic>

#include "sys/CommandLine.h"
#include "sys/DeviceInterfaces.h"
#include "sys/DeviceIo.h"
#include "sys/DeviceNotifications.h"
#include "sys/FileSystem.h"
#include "sys/ModuleInfo.h"
#include "sys/Ports.h"
#include "sys/Registry.h"
#include "sys/Security.h"
#include "sys/Tokens.h"
#include "sys/Volumes.h"

namespace sys {

// The one process-wide set of platform facilities the core calls. Each
// facility is a small interface with a backend per platform; tests replace
// one at a time with ScopedFake. Safe to use from any thread.
class Platform {
 public:
  ModuleInfo& moduleInfo() { return *moduleInfo_.load(); }
  FileSystem& fileSystem() { return *fileSystem_.load(); }
  Ports& ports() { return *ports_.load(); }
  Tokens& tokens() { return *tokens_.load(); }
  DeviceInterfaces& deviceInterfaces() { return *deviceInterfaces_.load(); }
  DeviceIo& deviceIo() { return *deviceIo_.load(); }
  DeviceNotifications& deviceNotifications() { return *deviceNotifications_.load(); }
  Volumes& volumes() { return *volumes_.load(); }
  CommandLine& commandLine() { return *commandLine_.load(); }
  Security& security() { return *security_.load(); }
  Registry& registry() { return *registry_.load(); }

 private:
  friend Platform& platform();
  template <class Facility>
  friend class ScopedFake;

  Platform();
  template <class Facility>
  std::atomic<Facility*>& slot();

  std::atomic<ModuleInfo*> moduleInfo_;
  std::atomic<FileSystem*> fileSystem_;
  std::atomic<Ports*> ports_;
  std::atomic<Tokens*> tokens_;
  std::atomic<DeviceInterfaces*> deviceInterfaces_;
  std::atomic<DeviceIo*> deviceIo_;
  std::atomic<DeviceNotifications*> deviceNotifications_;
  std::atomic<Volumes*> volumes_;
  std::atomic<CommandLine*> commandLine_;
  std::atomic<Security*> security_;
  std::atomic<Registry*> registry_;
};

template <>
inline std::atomic<ModuleInfo*>& Platform::slot<ModuleInfo>() {
  return moduleInfo_;
}
template <>
inline std::atomic<FileSystem*>& Platform::slot<FileSystem>() {
  return fileSystem_;
}
template <>
inline std::atomic<Ports*>& Platform::slot<Ports>() {
  return ports_;
}
template <>
inline std::atomic<Tokens*>& Platform::slot<Tokens>() {
  return tokens_;
}
template <>
inline std::atomic<DeviceInterfaces*>& Platform::slot<DeviceInterfaces>() {
  return deviceInterfaces_;
}
template <>
inline std::atomic<DeviceIo*>& Platform::slot<DeviceIo>() {
  return deviceIo_;
}
template <>
inline std::atomic<DeviceNotifications*>& Platform::slot<DeviceNotifications>() {
  return deviceNotifications_;
}
template <>
inline std::atomic<Volumes*>& Platform::slot<Volumes>() {
  return volumes_;
}
template <>
inline std::atomic<CommandLine*>& Platform::slot<CommandLine>() {
  return commandLine_;
}
template <>
inline std::atomic<Security*>& Platform::slot<Security>() {
  return security_;
}
template <>
inline std::atomic<Registry*>& Platform::slot<Registry>() {
  return registry_;
}

Platform& platform();

}  // namespace sys

#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "com/MountSession.h"
#include "common/Event.h"
#include "common/LittleEndian.h"
#include "device/DriverRecords.h"
#include "fakes/FakeDeviceNotifications.h"
#include "fakes/FakeDevices.h"
#include "fakes/FakeDiskImage.h"
#include "fakes/FakePorts.h"
#include "fakes/FakeRegistry.h"
#include "fakes/FakeSecurity.h"
#include "fakes/FakeTokens.h"
#include "sys/ScopedFake.h"

// A driver at `driverPath` that holds the disk it creates until it removes it.
class DiskHoldingDevices : public FakeDevices {
 public:
  explicit DiskHoldingDevices(std::u16string driverPath) : driverPath_(std::move(driverPath)) {}

  // Runs as the driver takes a connect request, before it holds the disk.
  std::function<void()> onConnect;

  bool control(Handle device, uint32_t code, const void* input, uint32_t inputSize, void* output, uint32_t outputSize,
               uint32_t& bytesReturned, uint32_t& error) override {
    const bool done = FakeDevices::control(device, code, input, inputSize, output, outputSize, bytesReturned, error);
    if (!done || inputSize < 4) return done;
    const auto* bytes = static_cast<const uint8_t*>(input);
    const uint32_t subCommand = static_cast<uint32_t>(readLittleEndian(bytes, 4));
    Driver& driver = drivers.at(driverPath_);
    if (subCommand == driver_records::CMD_CONNECT_DEVICE && onConnect) onConnect();
    if (subCommand == driver_records::CMD_CONNECT_DEVICE) {
      driver.activeCount = 1;
      driver.activeEntry.assign(bytes, bytes + inputSize);
      std::fill_n(driver.activeEntry.begin(), 4, uint8_t{0});  // an entry of the reply has no sub-command
    } else if (subCommand == driver_records::CMD_DISCONNECT_DEVICE) {
      driver.activeCount = 0;
      driver.activeEntry.clear();
    }
    return done;
  }

 private:
  std::u16string driverPath_;
};

// An image whose provider reports indexing progress (part 2, 250 of 1000
// sectors) while it opens, and can be held inside its opening until the
// test lets it go. Indexing, it reports again and again, as a long index pass
// does, until its callback answers that it is not to go on.
class ReportingImage : public FakeDiskImage {
 public:
  static constexpr int32_t kCancelledCode = 13;

  std::optional<uint8_t> answerWhileOpening;  // what the progress report got
  Event entered{Event::Reset::Manual};
  std::shared_ptr<Event> proceed;  // when set, the opening waits for it
  bool indexing = false;

  int32_t init(const char16_t* imagePath, const char16_t* baseImagePath, bool usingEncryption,
               const char16_t* masterPassword, const char16_t* debugLogPath, const char16_t* tempFilePath) override {
    entered.set();
    if (proceed) proceed->wait(kBound);
    if (indexing && !indexUntilStopped()) return kCancelledCode;
    if (const ImageProgressCallback callback = ScopedFakeImageFactory::lastCallback()) {
      answerWhileOpening = callback(2, 1000, 250, ScopedFakeImageFactory::lastUser());
    }
    return FakeDiskImage::init(imagePath, baseImagePath, usingEncryption, masterPassword, debugLogPath, tempFilePath);
  }

 private:
  static constexpr std::chrono::seconds kBound{10};

  // False once the callback said stop; true when the bound ran out first.
  static bool indexUntilStopped() {
    const ImageProgressCallback callback = ScopedFakeImageFactory::lastCallback();
    const auto end = std::chrono::steady_clock::now() + kBound;
    for (uint64_t done = 0; callback && std::chrono::steady_clock::now() < end; done = (done + 1) % 1000) {
      if (!callback(1, 1000, done, ScopedFakeImageFactory::lastUser())) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
};

// Every platform facility a mount touches, in place while it lives: one
// driver at `driverPath` without a disk, a client process `clientPid` whose
// user may read the image, a port that can be created, and an image of
// 1 MiB whose provider reports progress as it opens.
struct MountingPlatform {
  MountingPlatform(const std::u16string& driverPath, uint32_t clientPid) : driverPath_(driverPath) {
    devices.classes[driver_records::VIRTUAL_DISK_INTERFACE_GUID] = {FakeDevices::interface(driverPath)};
    devices.drivers[driverPath] = {};
    tokens.clientPid = clientPid;
    image.data.resize(1 << 20);
  }
  // The disk goes with the platform: the process's mount session forgets it
  // and lets mounts begin, as the next platform expects.
  ~MountingPlatform() {
    MountSession& session = MountSession::instance();
    session.reopen();
    if (session.phase() != MountSession::Phase::Idle) session.beginUnmount(std::chrono::seconds(10));
  }
  MountingPlatform(const MountingPlatform&) = delete;
  MountingPlatform& operator=(const MountingPlatform&) = delete;

  FakeDevices::Driver& driver() { return devices.drivers.at(driverPath_); }

 private:
  const std::u16string driverPath_;

 public:
  DiskHoldingDevices devices{driverPath_};
  FakeTokens tokens;
  FakeSecurity security;
  FakePorts ports;
  FakeDeviceNotifications notifications;
  FakeRegistry registry;
  ReportingImage image;
  sys::ScopedFake<sys::DeviceInterfaces> interfacesFake{devices};
  sys::ScopedFake<sys::DeviceIo> ioFake{devices};
  sys::ScopedFake<sys::Tokens> tokensFake{tokens};
  sys::ScopedFake<sys::Security> securityFake{security};
  sys::ScopedFake<sys::Ports> portsFake{ports};
  sys::ScopedFake<sys::DeviceNotifications> notificationsFake{notifications};
  sys::ScopedFake<sys::Registry> registryFake{registry};
  ScopedFakeImageFactory imageFactory{&image};
};

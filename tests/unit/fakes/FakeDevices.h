#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/WinError.h"
#include "device/DriverRecords.h"
#include "sys/DeviceInterfaces.h"
#include "sys/DeviceIo.h"

// Device interfaces and drivers scripted by the test. An interface class is a
// list of enumeration steps (an interface, or a failed step with its error);
// each interface path may lead to a fake driver that answers control requests.
class FakeDevices : public sys::DeviceInterfaces, public sys::DeviceIo {
 public:
  struct Step {
    std::u16string path;        // empty: this enumeration step fails
    uint32_t error = 0;         // the failed step's error
    std::u16string objectName;  // the device object name (volumes)
    bool detailFails = false;
    bool propertyFails = false;
  };
  struct Driver {
    Guid guid = driver_records::DRIVER_CONTROL_GUID;
    uint32_t activeCount = 0;
    std::vector<uint8_t> activeEntry;  // the reply's first device as a connect record
    bool replyWithoutBytes = false;
    bool neverCompletes = false;  // requests wait until cancelled
    bool openFails = false;
    uint32_t connectError = 0;
  };

  std::map<Guid, std::vector<Step>> classes;
  bool setOpenFails = false;
  std::map<std::u16string, Driver> drivers;
  // The request with this index in sentSubCommands waits until cancelled.
  std::optional<size_t> stalledRequest;

  // What the service did.
  std::vector<uint32_t> sentSubCommands;
  std::vector<std::vector<uint8_t>> sentRecords;
  int opens = 0;
  int closes = 0;
  bool cancelled = false;
  int callsAfterCancel = 0;  // opens and requests that came after a cancel

  static Step interface(std::u16string path, std::u16string objectName = u"") {
    Step step;
    step.path = std::move(path);
    step.objectName = std::move(objectName);
    return step;
  }
  static Step failure(uint32_t error) {
    Step step;
    step.error = error;
    return step;
  }

  // Makes `driver` report one active device.
  static void activate(Driver& driver, const std::u16string& tag, const std::u16string& path, uint64_t size,
                       uint32_t sectorSize) {
    driver.activeCount = 1;
    driver.activeEntry = driver_records::makeConnectRecord(0, tag, path, size, sectorSize, false);
  }

  // --- DeviceInterfaces ---
  InfoSet getClassDevs(const Guid& interfaceClass, uint32_t& error) override {
    if (setOpenFails) {
      error = 5;
      return kInvalidSet;
    }
    sets_.push_back(interfaceClass);
    return sets_.size();
  }
  bool enumDeviceInterfaces(InfoSet set, const Guid&, uint32_t index, InterfaceData& data, uint32_t& error) override {
    const std::vector<Step>& steps = classes[sets_.at(static_cast<size_t>(set - 1))];
    if (index >= steps.size()) {
      error = ERROR_NO_MORE_ITEMS;
      return false;
    }
    if (steps[index].path.empty()) {
      error = steps[index].error;
      return false;
    }
    data = {sets_.at(static_cast<size_t>(set - 1)), 1, index};
    return true;
  }
  bool getDeviceInterfaceDetail(InfoSet set, const InterfaceData& data, uint8_t* detail, uint32_t detailSize,
                                DeviceRecord& device, uint32_t& error) override {
    const Step& step = classes[sets_.at(static_cast<size_t>(set - 1))].at(static_cast<size_t>(data.reserved));
    if (step.detailFails || (step.path.size() + 1) * 2 + 4 > detailSize) {
      error = WinError::InsufficientBuffer;
      return false;
    }
    putWide(step.path, detail + 4);
    device = {data.interfaceClass, 1, data.reserved};
    return true;
  }
  bool getDeviceRegistryProperty(InfoSet set, const DeviceRecord& device, uint32_t, uint8_t* buffer, uint32_t,
                                 uint32_t& error) override {
    const Step& step = classes[sets_.at(static_cast<size_t>(set - 1))].at(static_cast<size_t>(device.reserved));
    if (step.propertyFails) {
      error = WinError::InvalidData;
      return false;
    }
    putWide(step.objectName, buffer);
    return true;
  }
  void destroyDeviceInfoList(InfoSet) override { ++destroyedSets; }
  int destroyedSets = 0;

  // --- DeviceIo ---
  Handle open(const std::u16string& path, uint32_t& error) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (cancelled) ++callsAfterCancel;
    const auto found = drivers.find(path);
    if (found == drivers.end() || found->second.openFails) {
      error = WinError::FileNotFound;
      return kInvalidHandle;
    }
    ++opens;
    openPaths_.push_back(path);
    return openPaths_.size();
  }
  bool control(Handle device, uint32_t code, const void* input, uint32_t inputSize, void* output, uint32_t outputSize,
               uint32_t& bytesReturned, uint32_t& error) override {
    std::unique_lock<std::mutex> guard(mutex_);
    if (cancelled) ++callsAfterCancel;
    Driver& driver = drivers.at(openPaths_.at(static_cast<size_t>(device - 1)));
    bytesReturned = 0;
    error = 0;
    const auto* bytes = static_cast<const uint8_t*>(input);
    const uint32_t subCommand =
        inputSize >= 4 ? bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24 : 0;
    if (code != driver_records::IOCTL_MINIPORT_PROCESS_SERVICE_IRP) return fail(error, WinError::InvalidFunction);
    sentSubCommands.push_back(subCommand);
    if (driver.neverCompletes || stalledRequest == sentSubCommands.size() - 1) {
      changed_.wait_for(guard, std::chrono::seconds(60), [&] { return cancelled; });
      return fail(error, WinError::OperationAborted);
    }
    switch (subCommand) {
      case driver_records::CMD_GET_DRIVER_GUID:
        driver.guid.toBytes(static_cast<uint8_t*>(output));
        bytesReturned = 16;
        return true;
      case driver_records::CMD_GET_ACTIVE_DEVICE: {
        auto* reply = static_cast<uint8_t*>(output);
        std::memset(reply, 0xCC, outputSize);  // the service must not trust bytes it was not given
        std::memcpy(reply, &driver.activeCount, 4);
        if (!driver.activeEntry.empty()) {
          std::memcpy(reply + driver_records::kReplyEntry, driver.activeEntry.data(), driver.activeEntry.size());
        }
        bytesReturned = driver.replyWithoutBytes ? 0 : outputSize;
        return true;
      }
      case driver_records::CMD_CONNECT_DEVICE:
      case driver_records::CMD_DISCONNECT_DEVICE:
        sentRecords.emplace_back(bytes, bytes + inputSize);
        if (driver.connectError != 0) return fail(error, driver.connectError);
        if (outputSize >= 4) {
          const uint32_t dbgStatus = 7;
          std::memcpy(output, &dbgStatus, 4);
          bytesReturned = 4;
        }
        return true;
      default: return fail(error, WinError::InvalidParameter);
    }
  }
  void cancel(Handle) override {
    std::lock_guard<std::mutex> guard(mutex_);
    cancelled = true;
    changed_.notify_all();
  }
  void close(Handle) override {
    std::lock_guard<std::mutex> guard(mutex_);
    ++closes;
  }

 private:
  static void putWide(const std::u16string& text, uint8_t* at) {
    for (size_t i = 0; i <= text.size(); ++i) {
      const char16_t c = i < text.size() ? text[i] : u'\0';
      at[2 * i] = static_cast<uint8_t>(c);
      at[2 * i + 1] = static_cast<uint8_t>(c >> 8);
    }
  }
  static bool fail(uint32_t& error, uint32_t code) {
    error = code;
    return false;
  }

  std::vector<Guid> sets_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::u16string> openPaths_;
};

#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/WinError.h"
#include "sys/Volumes.h"

// The volume manager scripted by the test: the volume list as enumeration
// steps (a volume GUID path, or a failed step with its error), the DOS device
// names, the mount points the volume path names call answers with, and
// per opened path the outcome of the open and the storage query.
class FakeVolumes : public sys::Volumes {
 public:
  struct Step {
    std::u16string name;  // empty: this step fails
    uint32_t error = 0;
  };
  struct Device {
    uint32_t openError = 0;
    uint32_t controlError = 0;
    std::vector<uint8_t> descriptor;  // returned cut to the caller's output
  };

  std::vector<Step> steps;  // the first answers findFirstVolume
  // QueryDosDevice: device name -> its target (one string; may hold zeros).
  std::map<std::u16string, std::u16string> dosDevices;
  // GetVolumePathNamesForVolumeName: the mount points the n-th call sees (the
  // last list for every later call); no list at all: the volume is unknown.
  std::vector<std::vector<std::u16string>> mountPointsPerCall;
  std::map<std::u16string, Device> devices;

  // What the caller did.
  int findNextCalls = 0;
  int findCloses = 0;
  std::vector<std::u16string> queriedNames;
  std::vector<uint32_t> pathNamesLengths;
  std::vector<std::u16string> openedPaths;
  int closes = 0;
  uint32_t controlCode = 0;
  std::vector<uint8_t> controlInput;
  uint32_t controlOutputSize = 0;

  static Step volume(std::u16string name) { return {std::move(name), 0}; }
  static Step failure(uint32_t error) { return {u"", error}; }

  // A STORAGE_DEVICE_DESCRIPTOR with the given strings after its 40 bytes; an
  // absent string has offset 0.
  static std::vector<uint8_t> descriptor(const std::optional<std::string>& vendor,
                                         const std::optional<std::string>& product,
                                         const std::optional<std::string>& revision,
                                         const std::optional<std::string>& serial) {
    std::vector<uint8_t> bytes(40, 0);
    put32(bytes, 0, 40);
    size_t offsetAt = 12;
    for (const std::optional<std::string>* text : {&vendor, &product, &revision, &serial}) {
      if (*text) {
        put32(bytes, offsetAt, static_cast<uint32_t>(bytes.size()));
        bytes.insert(bytes.end(), (*text)->begin(), (*text)->end());
        bytes.push_back(0);
      }
      offsetAt += 4;
    }
    put32(bytes, 4, static_cast<uint32_t>(bytes.size()));
    return bytes;
  }
  static void put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }

  FindHandle findFirstVolume(char16_t* name, uint32_t length, uint32_t& error) override {
    if (steps.empty()) {
      error = WinError::NoMoreFiles;
      return kInvalidFind;
    }
    next_ = 1;
    return take(steps.front(), name, length, error) ? 7 : kInvalidFind;
  }
  bool findNextVolume(FindHandle search, char16_t* name, uint32_t length, uint32_t& error) override {
    ++findNextCalls;
    if (search != 7) return fail(error, WinError::InvalidHandle);
    if (next_ >= steps.size()) return fail(error, WinError::NoMoreFiles);
    return take(steps[next_++], name, length, error);
  }
  void findVolumeClose(FindHandle) override { ++findCloses; }

  uint32_t queryDosDevice(const std::u16string& deviceName, char16_t* targets, uint32_t length,
                          uint32_t& error) override {
    queriedNames.push_back(deviceName);
    const auto found = dosDevices.find(deviceName);
    const std::u16string result = found == dosDevices.end() ? u"" : found->second + u'\0' + u'\0';
    if (result.empty() || length < result.size()) {
      error = result.empty() ? WinError::FileNotFound : WinError::InsufficientBuffer;
      return 0;
    }
    std::copy(result.begin(), result.end(), targets);
    return static_cast<uint32_t>(result.size());
  }

  bool getVolumePathNamesForVolumeName(const std::u16string&, char16_t* names, uint32_t length, uint32_t& returnLength,
                                       uint32_t& error) override {
    const size_t call = pathNamesLengths.size();
    pathNamesLengths.push_back(length);
    if (mountPointsPerCall.empty()) return fail(error, WinError::FileNotFound);
    std::u16string result;
    for (const std::u16string& point : mountPointsPerCall[std::min(call, mountPointsPerCall.size() - 1)]) {
      result += point + u'\0';
    }
    result += u'\0';
    returnLength = static_cast<uint32_t>(result.size());
    if (length < result.size()) return fail(error, WinError::MoreData);
    std::copy(result.begin(), result.end(), names);
    return true;
  }

  Handle open(const std::u16string& path, uint32_t& error) override {
    openedPaths.push_back(path);
    const auto found = devices.find(path);
    const uint32_t failure = found == devices.end() ? WinError::FileNotFound : found->second.openError;
    if (failure != 0) {
      error = failure;
      return kInvalidHandle;
    }
    opened_ = &found->second;
    return 3;
  }
  bool control(Handle volume, uint32_t code, const void* input, uint32_t inputSize, void* output, uint32_t outputSize,
               uint32_t& bytesReturned, uint32_t& error) override {
    bytesReturned = 0;
    if (volume != 3 || !opened_) return fail(error, WinError::InvalidHandle);
    controlCode = code;
    controlInput.assign(static_cast<const uint8_t*>(input), static_cast<const uint8_t*>(input) + inputSize);
    controlOutputSize = outputSize;
    if (opened_->controlError != 0) return fail(error, opened_->controlError);
    // Bytes the device did not return must not be taken for data.
    std::memset(output, 0xCC, outputSize);
    bytesReturned = std::min(outputSize, static_cast<uint32_t>(opened_->descriptor.size()));
    std::memcpy(output, opened_->descriptor.data(), bytesReturned);
    return true;
  }
  void close(Handle) override {
    ++closes;
    opened_ = nullptr;
  }

 private:
  static bool take(const Step& step, char16_t* name, uint32_t length, uint32_t& error) {
    if (step.name.empty()) return fail(error, step.error);
    if (length <= step.name.size()) return fail(error, WinError::FilenameExceedsRange);
    std::copy(step.name.begin(), step.name.end(), name);
    name[step.name.size()] = u'\0';
    return true;
  }
  static bool fail(uint32_t& error, uint32_t code) {
    error = code;
    return false;
  }

  size_t next_ = 0;
  Device* opened_ = nullptr;
};

#pragma once

#include "sys/Volumes.h"

namespace sys::win32 {

class Win32Volumes final : public Volumes {
 public:
  FindHandle findFirstVolume(char16_t* name, uint32_t length, uint32_t& error) override;
  bool findNextVolume(FindHandle search, char16_t* name, uint32_t length, uint32_t& error) override;
  void findVolumeClose(FindHandle search) override;
  uint32_t queryDosDevice(const std::u16string& deviceName, char16_t* targets, uint32_t length,
                          uint32_t& error) override;
  bool getVolumePathNamesForVolumeName(const std::u16string& volumeName, char16_t* names, uint32_t length,
                                       uint32_t& returnLength, uint32_t& error) override;
  Handle open(const std::u16string& path, uint32_t& error) override;
  bool control(Handle volume, uint32_t controlCode, const void* input, uint32_t inputSize, void* output,
               uint32_t outputSize, uint32_t& bytesReturned, uint32_t& error) override;
  void close(Handle volume) override;
};

}  // namespace sys::win32

#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sys/Volumes.h"
#include "sys/posix/UniqueFd.h"

namespace sys::posix {

// Volumes on Linux: a volume is a block partition (a /sys/class/block entry
// with a `partition` file). Its volume GUID path is derived from its device
// number, its device object name is its /dev node, its mount points are the
// places /proc/self/mountinfo mounts its root at, and drive letters do not
// exist. The storage inquiry describes the partition's whole disk: the
// identity vkvd publishes for its loop device, or the disk's sysfs
// attributes, laid out as the STORAGE_DEVICE_DESCRIPTOR Windows returns.
// Searches are snapshots taken by findFirstVolume. Thread-safe.
class PosixVolumes final : public Volumes {
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

 private:
  struct Search {
    std::vector<std::u16string> names;
    size_t next = 0;
  };

  std::shared_ptr<UniqueFd> findOpened(Handle volume);

  std::mutex mutex_;
  std::map<FindHandle, Search> searches_;
  std::map<Handle, std::shared_ptr<UniqueFd>> opened_;
  uint64_t next_ = 1;
};

}  // namespace sys::posix

#pragma once

#include <memory>
#include <string>

#include "DriverLog.h"
#include "RuntimeDirectory.h"
#include "sys/posix/UniqueFd.h"

// The storage identity of the disk's block device, as a disk's SCSI inquiry
// data would give it (vendor, product, revision, serial), published in the
// identity file the service reads for a block device (in the runtime
// directory's "identity"); removed when destroyed. Once the disk's volumes are
// mounted it says so, so that the mount points are not read too early.
class IdentityFile {
 public:
  static constexpr const char* kVendor = "VELKAR/A";
  static constexpr const char* kProduct = "VKB_V_DISK";
  static constexpr const char* kRevision = "1.0";
  static constexpr const char* kSerial = "320A050564E94590AE3C6F348B43C4FE";

  // Publishes the identity of block device `deviceName` ("loopN"); null with
  // `error` (an errno). The file appears whole or not at all.
  static std::unique_ptr<IdentityFile> publish(const RuntimeDirectory& runtime, const std::string& deviceName,
                                               std::shared_ptr<DriverLog> log, int& error);
  ~IdentityFile();
  IdentityFile(const IdentityFile&) = delete;
  IdentityFile& operator=(const IdentityFile&) = delete;

  // Adds the line saying that the disk's volumes are mounted (a failure is
  // logged; readers then wait out their bound).
  void markVolumesSettled();

  // Removes every identity file: those an earlier run of vkvd left behind.
  static void removeLeftovers(const RuntimeDirectory& runtime, DriverLog& log);

 private:
  IdentityFile(sys::posix::UniqueFd directory, std::string name, std::shared_ptr<DriverLog> log)
      : directory_(std::move(directory)), name_(std::move(name)), log_(std::move(log)) {}

  sys::posix::UniqueFd directory_;  // the identity directory
  std::string name_;
  std::shared_ptr<DriverLog> log_;
};

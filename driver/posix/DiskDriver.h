#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ConnectRecord.h"
#include "DriverLog.h"
#include "MountDirectory.h"
#include "RuntimeDirectory.h"
#include "VirtualDisk.h"

// The driver's control requests: the driver GUID, connect (make the one
// disk), disconnect (remove it) and the active device. Each answers with a
// Win32 status and at most `outputSize` bytes of output. Not thread-safe:
// the control server calls it for one request at a time.
class DiskDriver {
 public:
  struct Reply {
    uint32_t status = 0;
    std::vector<uint8_t> output;
    bool madeDisk = false;  // a connect that made the disk
  };

  // Makes its disk in `runtime` and mounts its volumes in `mounts` (none
  // when null); both outlive it.
  DiskDriver(const RuntimeDirectory& runtime, const MountDirectory* mounts, std::shared_ptr<DriverLog> log)
      : runtime_(runtime), mounts_(mounts), log_(std::move(log)) {}
  // Removes the disk, in use or not: what is in use (a volume, a partition
  // mounted elsewhere) fails its I/O and goes once it is closed.
  ~DiskDriver();
  DiskDriver(const DiskDriver&) = delete;
  DiskDriver& operator=(const DiskDriver&) = delete;

  // `requester` is the user the request is for, as the kernel let the
  // requester (root) claim it: the user a disk is made for.
  Reply handle(uint32_t controlCode, std::span<const uint8_t> input, uint32_t outputSize, uid_t requester);
  // Removes the disk that a connect made when its reply could not be
  // delivered: a requester that never learns of the disk never removes it.
  void undoConnect();

 private:
  Reply driverGuid(uint32_t outputSize) const;
  Reply connect(std::span<const uint8_t> input, uint32_t outputSize, uid_t owner);
  Reply disconnect(std::span<const uint8_t> input);
  Reply activeDevice(uint32_t outputSize) const;
  uint32_t checkConnect(const ConnectRecord& record) const;

  const RuntimeDirectory& runtime_;
  const MountDirectory* mounts_;
  std::shared_ptr<DriverLog> log_;
  std::unique_ptr<VirtualDisk> disk_;
  ConnectRecord record_;  // the disk's record, while there is a disk
};

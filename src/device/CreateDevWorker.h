#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "device/ThreadWorker.h"

// Creates the disk through the driver on a worker thread.
class CreateDevWorker : public ThreadWorker {
 public:
  CreateDevWorker(std::u16string image_path, std::u16string connection_tag, uint64_t volume_size, uint32_t sector_size,
                  bool mount_flag);

  // The driver's answer; false when the worker could not run or overran.
  static bool createDev(const std::u16string& image_path, const std::u16string& connection_tag, uint64_t volume_size,
                        uint32_t sector_size, bool mount_flag);

 protected:
  int run() override;

 private:
  const std::u16string imagePath_;
  const std::u16string connectionTag_;
  const uint64_t volumeSize_;
  const uint32_t sectorSize_;
  const bool mountFlag_;
  std::atomic<bool> result_{false};
};

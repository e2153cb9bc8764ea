#pragma once

#include <atomic>
#include <string>

#include "device/ThreadWorker.h"

// Removes the disk through the driver on a worker thread.
class RemoveDevWorker : public ThreadWorker {
 public:
  explicit RemoveDevWorker(std::u16string connection_tag) : connectionTag_(std::move(connection_tag)) {}

  // The driver's answer; false when the worker could not run or overran.
  static bool removeDev(const std::u16string& connection_tag);

 protected:
  int run() override;

 private:
  const std::u16string connectionTag_;
  std::atomic<bool> result_{false};
};

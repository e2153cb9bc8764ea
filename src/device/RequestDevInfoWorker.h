#pragma once

#include <atomic>
#include <cstdint>

#include "device/DevInfo.h"
#include "device/ThreadWorker.h"

// Asks the driver for its active disk on a worker thread.
class RequestDevInfoWorker : public ThreadWorker {
 public:
  // On true, `info` and `count` hold the driver's answer; false when the
  // query failed, or the worker could not run or overran.
  static bool requestDevInfo(DevInfo* info, uint32_t* count);

 protected:
  int run() override;

 private:
  DevInfo info_;
  uint32_t count_ = 0;
  std::atomic<bool> result_{false};
};

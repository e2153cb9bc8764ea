#include "device/RequestDevInfoWorker.h"

#include <memory>

#include "device/IoctlDevManager.h"
#include "service/DebugLog.h"

bool RequestDevInfoWorker::requestDevInfo(DevInfo* info, uint32_t* count) {
  if (!info || !count) return false;
  auto worker = std::make_shared<RequestDevInfoWorker>();
  worker->info_ = *info;  // fields the query leaves alone keep the caller's values
  if (!worker->exec()) {
    debugLog(u"RequestDevInfoWorker::requestDevInfo exec err\n");
    return false;
  }
  if (!worker->finished() || !worker->result_) return false;
  *info = worker->info_;
  *count = worker->count_;
  return true;
}

int RequestDevInfoWorker::run() {
  result_ = IoctlDevManager::requestDevInfo(&info_, &count_, &abandoned());
  return 0;
}

#include "device/RemoveDevWorker.h"

#include <memory>

#include "device/IoctlDevManager.h"
#include "service/DebugLog.h"

bool RemoveDevWorker::removeDev(const std::u16string& connection_tag) {
  auto worker = std::make_shared<RemoveDevWorker>(connection_tag);
  if (!worker->exec()) {
    debugLog(u"RemoveDevWorker::removeDev exec err\n");
    return false;
  }
  return worker->finished() && worker->result_;
}

int RemoveDevWorker::run() {
  result_ = IoctlDevManager::removeDev(connectionTag_, &abandoned());
  return 0;
}

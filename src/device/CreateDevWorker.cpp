#include "device/CreateDevWorker.h"

#include <memory>

#include "device/IoctlDevManager.h"
#include "service/DebugLog.h"
#include "sys/Platform.h"

CreateDevWorker::CreateDevWorker(std::u16string image_path, std::u16string connection_tag, uint64_t volume_size,
                                 uint32_t sector_size, bool mount_flag)
    : imagePath_(std::move(image_path)),
      connectionTag_(std::move(connection_tag)),
      volumeSize_(volume_size),
      sectorSize_(sector_size),
      mountFlag_(mount_flag) {}

bool CreateDevWorker::createDev(const std::u16string& image_path, const std::u16string& connection_tag,
                                uint64_t volume_size, uint32_t sector_size, bool mount_flag) {
  debugLog(u"CreateDevWorker::createDev thread_id=%u\n", sys::platform().tokens().currentThreadId());
  auto worker = std::make_shared<CreateDevWorker>(image_path, connection_tag, volume_size, sector_size, mount_flag);
  if (!worker->exec()) {
    debugLog(u"CreateDevWorker::createDev exec err\n");
    return false;
  }
  return worker->finished() && worker->result_;
}

int CreateDevWorker::run() {
  debugLog(u"CreateDevWorker::run thread_id=%u\n", sys::platform().tokens().currentThreadId());
  result_ = IoctlDevManager::createDev(imagePath_, connectionTag_, volumeSize_, sectorSize_, mountFlag_, &abandoned());
  return 0;
}

#include "service/App.h"

#include <string>

#include "com/MountSession.h"
#include "com/OptionMap.h"
#include "disk/VirtualImageManager.h"
#include "service/DebugLog.h"
#include "service/VersionInfo.h"
#include "volume/RegTool.h"
#include "volume/VolumeDeviceNotificator.h"
#include "volume/VolumeDeviceNotificatorThread.h"

void App::startup(const OptionMap& options) {
  VirtualImageManager::init();
  std::u16string logPath;
  if (!options.findOption(u"-log", logPath)) return;
  openDebugLog(logPath.c_str());
  VersionInfo::logReport();
}

void App::stopMounts() {
  if (!MountSession::instance().stop(MountSession::kStopWait)) {
    debugLog(u"App::stopMounts a mount or unmount is still in progress\n");
  }
}

void App::shutdown() {
  if (!VirtualImageManager::shutdown()) debugLog(u"App::shutdown closeImage failed, the image stays open\n");
  VolumeDeviceNotificator::drop();
  VolumeDeviceNotificatorThread::shutdown();
  RegTool::clearMountedParams();
  debugLog(u"App::shutdown OK\n");
  closeDebugLog();
}

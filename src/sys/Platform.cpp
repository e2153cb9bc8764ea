#include "sys/Platform.h"

#include "sys/Backends.h"

namespace sys {

Platform::Platform()
    : moduleInfo_(&backend::moduleInfo()),
      fileSystem_(&backend::fileSystem()),
      ports_(&backend::ports()),
      tokens_(&backend::tokens()),
      deviceInterfaces_(&backend::deviceInterfaces()),
      deviceIo_(&backend::deviceIo()),
      deviceNotifications_(&backend::deviceNotifications()),
      volumes_(&backend::volumes()),
      commandLine_(&backend::commandLine()),
      security_(&backend::security()),
      registry_(&backend::registry()) {}

Platform& platform() {
  static Platform* instance = new Platform;  // never destroyed, like the backends
  return *instance;
}

}  // namespace sys

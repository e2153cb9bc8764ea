// vkbvd_mount_service: the Velkara Mount Service on Windows, a service and
// COM local server that mounts backup images as disks of the virtual-disk
// driver for the clients of the VirtualDisk class.
//
//   vkbvd_mount_service -Service | -RegServer | -UnregServer          register (or remove) for the machine
//   vkbvd_mount_service -RegServerPerUser | -UnregServerPerUser      the class for the current user alone
//   vkbvd_mount_service                                               serve, as the service or a local server
#include "service/win32/ServiceModule.h"

int main() { return ServiceModule::main(); }

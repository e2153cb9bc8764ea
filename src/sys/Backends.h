#pragma once

#include "sys/CommandLine.h"
#include "sys/DeviceInterfaces.h"
#include "sys/DeviceIo.h"
#include "sys/DeviceNotifications.h"
#include "sys/FileSystem.h"
#include "sys/ModuleInfo.h"
#include "sys/Ports.h"
#include "sys/Registry.h"
#include "sys/Security.h"
#include "sys/Tokens.h"
#include "sys/Volumes.h"

// The real facilities of the platform the program is built for; each backend
// folder defines them.
namespace sys::backend {

ModuleInfo& moduleInfo();
FileSystem& fileSystem();
Ports& ports();
Tokens& tokens();
DeviceInterfaces& deviceInterfaces();
DeviceIo& deviceIo();
DeviceNotifications& deviceNotifications();
Volumes& volumes();
CommandLine& commandLine();
Security& security();
Registry& registry();

}  // namespace sys::backend

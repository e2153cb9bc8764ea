#pragma once

#include "sys/FileSystem.h"
#include "sys/ModuleInfo.h"
#include "sys/Ports.h"
#include "sys/Tokens.h"

// The real facilities of the platform the program is built for; each backend
// folder defines them.
namespace sys::backend {

ModuleInfo& moduleInfo();
FileSystem& fileSystem();
Ports& ports();
Tokens& tokens();

}  // namespace sys::backend

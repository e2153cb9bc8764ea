#include "OpenFileLimit.h"

#include "sys/posix/DescriptorLimit.h"

void raiseOpenFileLimit() { sys::posix::raiseDescriptorLimit(); }

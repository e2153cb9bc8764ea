#pragma once

namespace sys::posix {

// Raises the process's soft limit of open descriptors to its hard limit, so
// that an image of many parts, each held open, fits beside everything else.
// Programs call it once at start. Where the system refuses, the limit stays
// as it was.
void raiseDescriptorLimit();

}  // namespace sys::posix

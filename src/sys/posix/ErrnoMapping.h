#pragma once

#include <cstdint>

namespace sys::posix {

// The Win32 error that stands for an errno value in the seam's results.
uint32_t winErrorFromErrno(int error);

}  // namespace sys::posix

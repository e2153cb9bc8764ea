#include "sys/posix/IoFlusher.h"

#include <sys/prctl.h>

#include <cerrno>

namespace sys::posix {

int becomeIoFlusher() { return prctl(PR_SET_IO_FLUSHER, 1, 0, 0, 0) == 0 ? 0 : errno; }

}  // namespace sys::posix

#pragma once

namespace sys::posix {

// Makes the calling thread an I/O flusher (PR_SET_IO_FLUSHER), as a process
// that serves a block device the kernel may write back through must be: its
// memory allocations never start I/O in reclaim, so they never wait on the
// device it serves, and it is throttled only by the dirty pages of the device
// it writes to. Threads it starts afterwards inherit the state, so a process
// calls it before it starts any. Needs CAP_SYS_RESOURCE.
// 0, or the errno of the refusal.
int becomeIoFlusher();

}  // namespace sys::posix

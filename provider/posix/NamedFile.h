#pragma once

#include <sys/types.h>

namespace vsimgpvd {

// Opens a path that the provider's caller named, with what every such open
// needs: no magic link (/proc/PID/fd/N, /proc/PID/cwd, ...) anywhere in the
// path where the kernel can refuse them, never a terminal taken as the
// process's controlling one, closed on exec. `path` is relative to the
// directory `directory` (or AT_FDCWD). Callers add O_NOFOLLOW where a link
// must not stand for the file itself. Returns the descriptor, or -1 with errno.
int openNamedFile(int directory, const char* path, int flags, mode_t mode = 0);

}  // namespace vsimgpvd

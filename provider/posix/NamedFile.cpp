#include "provider/posix/NamedFile.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace vsimgpvd {

int openNamedFile(int directory, const char* path, int flags, mode_t mode) {
  flags |= O_CLOEXEC;
  // An O_PATH descriptor opens no file, so no terminal, and takes no other flags.
  if ((flags & O_PATH) == 0) flags |= O_NOCTTY;
  open_how how{};
  how.flags = static_cast<uint64_t>(flags);
  // openat2 takes a mode only with O_CREAT.
  how.mode = (flags & O_CREAT) != 0 ? mode : 0;
  how.resolve = RESOLVE_NO_MAGICLINKS;
  const long fd = syscall(SYS_openat2, directory, path, &how, sizeof how);
  if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
  // Kernels before 5.6 have no openat2; magic links are then followed.
  return openat(directory, path, flags, mode);
}

}  // namespace vsimgpvd

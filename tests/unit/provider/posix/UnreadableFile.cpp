#include "UnreadableFile.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <system_error>

namespace {

constexpr long kNobody = 65534;

// The calling thread's file-system identity; a switch away from 0 also drops
// the capabilities that let root read any file.
void setThreadFsuid(long uid) { syscall(SYS_setfsuid, uid); }

}  // namespace

UnreadableFile::UnreadableFile(const std::filesystem::path& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::permissions(path, fs::perms::none, error);
  if (error) return;
  const bool root = geteuid() == 0;
  if (root) setThreadFsuid(kNobody);
  undo_ = [path, root] {
    if (root) setThreadFsuid(0);
    std::error_code ignored;
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, ignored);
  };
  active_ = !std::ifstream(path, std::ios::binary).is_open();
}

#include "UnreadableFile.h"

#include <fstream>
#include <system_error>

UnreadableFile::UnreadableFile(const std::filesystem::path& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::permissions(path, fs::perms::none, error);
  if (error) return;
  undo_ = [path] {
    std::error_code ignored;
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, ignored);
  };
  active_ = !std::ifstream(path, std::ios::binary).is_open();
}

#pragma once

#include "sys/FileSystem.h"

namespace sys::posix {

class PosixFileSystem final : public FileSystem {
 public:
  std::unique_ptr<TextFile> createTextFile(const std::u16string& path, uint32_t& error) override;
};

}  // namespace sys::posix

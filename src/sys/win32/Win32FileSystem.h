#pragma once

#include "sys/FileSystem.h"

namespace sys::win32 {

class Win32FileSystem final : public FileSystem {
 public:
  std::unique_ptr<TextFile> openTextFile(const std::u16string& path, OpenMode mode, uint32_t& error) override;
};

}  // namespace sys::win32

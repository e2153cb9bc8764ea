#pragma once

#include "sys/CommandLine.h"

namespace sys::win32 {

// CommandLineToArgvW itself.
class Win32CommandLine final : public CommandLine {
 public:
  bool split(const std::u16string& line, std::vector<std::u16string>& arguments) override;
};

}  // namespace sys::win32

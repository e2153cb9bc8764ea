#pragma once

#include <string>
#include <vector>

namespace sys {

// Splitting a command line into arguments (CommandLineToArgvW, LocalFree).
class CommandLine {
 public:
  virtual ~CommandLine() = default;

  // The arguments of `line` by the Windows rules; false when the system
  // cannot split it.
  virtual bool split(const std::u16string& line, std::vector<std::u16string>& arguments) = 0;
};

}  // namespace sys

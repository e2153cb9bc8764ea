#pragma once

#include "sys/CommandLine.h"

namespace sys::posix {

// The portable splitter, which gives what CommandLineToArgvW gives; for an
// empty line, as Windows, the running program's path.
class PosixCommandLine final : public CommandLine {
 public:
  bool split(const std::u16string& line, std::vector<std::u16string>& arguments) override;
};

}  // namespace sys::posix

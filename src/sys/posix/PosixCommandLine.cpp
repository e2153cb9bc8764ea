#include "sys/posix/PosixCommandLine.h"

#include "common/CommandLineSplit.h"
#include "sys/Platform.h"

namespace sys::posix {

bool PosixCommandLine::split(const std::u16string& line, std::vector<std::u16string>& arguments) {
  arguments =
      line.empty() ? std::vector<std::u16string>{platform().moduleInfo().programPath()} : splitCommandLine(line);
  return true;
}

}  // namespace sys::posix

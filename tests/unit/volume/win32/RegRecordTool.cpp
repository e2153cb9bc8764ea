// Writes the mounted-drive registry record through RegTool, for tests that
// read it back with the system's own tools:
//   registry_record_tool set VOLUME DEVICE [MOUNT-POINT...]
//   registry_record_tool clear
// Exit codes: 0 written, 1 bad arguments, 2 the record's key could not be made.

#include <cstdio>
#include <string>
#include <vector>

#include "common/WideString.h"
#include "volume/RegTool.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "clear") {
    RegTool::clearMountedParams();
    return 0;
  }
  if (args.size() < 3 || args[0] != "set") {
    std::fprintf(stderr, "usage: registry_record_tool set VOLUME DEVICE [MOUNT-POINT...] | clear\n");
    return 1;
  }
  std::vector<std::u16string> mountPoints;
  for (size_t i = 3; i < args.size(); ++i) mountPoints.push_back(wide::fromUtf8(args[i]));
  return RegTool::setMountedParams(wide::fromUtf8(args[1]), wide::fromUtf8(args[2]), mountPoints) ? 0 : 2;
}

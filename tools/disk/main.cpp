#include <cstdio>

#include "DiskTool.h"
#include "OpenFileLimit.h"
#include "ProgramArguments.h"

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 4096);
  raiseOpenFileLimit();
  return DiskTool().run(programArguments(argc, argv));
}

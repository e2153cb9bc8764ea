#include <cstdio>

#include "DiskTool.h"
#include "ProgramArguments.h"

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 4096);
  return DiskTool().run(programArguments(argc, argv));
}

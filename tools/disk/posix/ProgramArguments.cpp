#include "ProgramArguments.h"

#include "common/WideString.h"

std::vector<std::u16string> programArguments(int argc, char** argv) {
  std::vector<std::u16string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(wide::fromUtf8(argv[i]));
  return arguments;
}

#pragma once

#include <string>
#include <vector>

// The program's arguments as UTF-16, without the program name.
std::vector<std::u16string> programArguments(int argc, char** argv);

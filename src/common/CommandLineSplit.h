#pragma once

#include <string>
#include <string_view>
#include <vector>

// Splits a command line into arguments by the rules of Windows'
// CommandLineToArgvW, with the same results:
// - the first argument (the program name) ends at the first blank or tab, or,
//   when it starts with a double quote, at the next double quote; backslashes
//   are plain characters in it;
// - the others are separated by blanks and tabs outside double quotes; a
//   double quote toggles quoting and is dropped; 2n backslashes before a
//   double quote give n backslashes and the quote acts, 2n+1 give n
//   backslashes and a literal quote; backslashes elsewhere are literal; a
//   third double quote in a row (counting the one that opened quoting) gives
//   a literal quote and ends quoting.
// An empty line gives no arguments (Windows gives the program's path).
std::vector<std::u16string> splitCommandLine(std::u16string_view line);

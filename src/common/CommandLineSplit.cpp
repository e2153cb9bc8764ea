#include "common/CommandLineSplit.h"

namespace {

bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// The program name: up to the first blank, or between double quotes.
size_t readProgramName(std::u16string_view line, std::u16string& name) {
  size_t i = 0;
  if (!line.empty() && line[0] == u'"') {
    for (i = 1; i < line.size(); ++i) {
      if (line[i] == u'"') return i + 1;
      name += line[i];
    }
    return i;
  }
  while (i < line.size() && !isBlank(line[i])) name += line[i++];
  return i;
}

// One argument starting at `i`; returns the index just past it. `quotes`
// counts double quotes as Windows does: 1 while quoted, and a third quote in
// a row gives a literal one.
size_t readArgument(std::u16string_view line, size_t i, std::u16string& argument) {
  int quotes = 0;
  size_t backslashes = 0;
  for (; i < line.size(); ++i) {
    const char16_t c = line[i];
    if (isBlank(c) && quotes == 0) break;
    if (c != u'"') {
      argument += c;
      backslashes = c == u'\\' ? backslashes + 1 : 0;
      continue;
    }
    argument.resize(argument.size() - backslashes / 2);
    if (backslashes % 2 == 1) {
      argument.back() = u'"';  // the last backslash escapes the quote
    } else {
      ++quotes;
    }
    backslashes = 0;
    for (; i + 1 < line.size() && line[i + 1] == u'"'; ++i) {
      if (++quotes == 3) {
        argument += u'"';
        quotes = 0;
      }
    }
    if (quotes == 2) quotes = 0;
  }
  return i;
}

size_t skipBlanks(std::u16string_view line, size_t i) {
  while (i < line.size() && isBlank(line[i])) ++i;
  return i;
}

}  // namespace

std::vector<std::u16string> splitCommandLine(std::u16string_view line) {
  std::vector<std::u16string> arguments;
  if (line.empty()) return arguments;
  arguments.emplace_back();
  size_t i = skipBlanks(line, readProgramName(line, arguments.back()));
  while (i < line.size()) {
    arguments.emplace_back();
    i = skipBlanks(line, readArgument(line, i, arguments.back()));
  }
  return arguments;
}

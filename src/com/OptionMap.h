#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

// Options of a command line: tokens that begin with a prefix character are
// keys, and a key takes the token after it as its value unless that token is
// itself an option; the last of such a run may join key and value with a
// separator character instead ("/pid=12"). Keys are case-sensitive and keep
// their prefix; the last occurrence of a key wins. Not thread-safe.
class OptionMap {
 public:
  // Splits `line` by the Windows command-line rules first; an empty line or
  // one that cannot be split gives no options. A separator of 0: none.
  OptionMap(const std::u16string& line, char16_t prefix, char16_t separator);
  // Tokens given already split.
  OptionMap(std::span<const std::u16string> tokens, char16_t prefix, char16_t separator);

  bool findOption(const std::u16string& key, std::u16string& value) const;
  // The value read as "%u" reads it: blanks skipped, an optional sign, then
  // decimal digits up to the first other character. False, with `value`
  // untouched, when the key is missing or no digit follows.
  bool getUIntOption(const std::u16string& key, uint32_t& value) const;
  bool hasOption(const std::u16string& key) const;

 private:
  void parse(std::span<const std::u16string> tokens);
  void addLoneToken(const std::u16string& token);

  std::map<std::u16string, std::u16string> options_;
  char16_t prefix_;
  char16_t separator_;
};

#include "com/OptionMap.h"

#include <limits>

#include "sys/Platform.h"

namespace {

bool isFormattedInputBlank(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// "%u": a number too large for 32 bits reads as the largest one; a minus
// sign negates it modulo 2^32, as the C library's conversion does.
bool readUnsigned(const std::u16string& text, uint32_t& value) {
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  size_t i = 0;
  while (i < text.size() && isFormattedInputBlank(text[i])) ++i;
  const bool negative = i < text.size() && text[i] == u'-';
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) ++i;
  if (i == text.size() || !isDigit(text[i])) return false;
  uint64_t number = 0;
  for (; i < text.size() && isDigit(text[i]); ++i) number = std::min(kMax + 1, number * 10 + (text[i] - u'0'));
  if (number > kMax) {
    value = static_cast<uint32_t>(kMax);
  } else {
    value = negative ? static_cast<uint32_t>(0 - number) : static_cast<uint32_t>(number);
  }
  return true;
}

}  // namespace

OptionMap::OptionMap(const std::u16string& line, char16_t prefix, char16_t separator)
    : prefix_(prefix), separator_(separator) {
  if (line.empty()) return;
  std::vector<std::u16string> tokens;
  if (!sys::platform().commandLine().split(line, tokens)) return;
  parse(tokens);
}

OptionMap::OptionMap(std::span<const std::u16string> tokens, char16_t prefix, char16_t separator)
    : prefix_(prefix), separator_(separator) {
  parse(tokens);
}

void OptionMap::parse(std::span<const std::u16string> tokens) {
  const auto isOption = [this](const std::u16string& token) { return !token.empty() && token[0] == prefix_; };
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (!isOption(tokens[i])) continue;
    if (i + 1 < tokens.size() && !isOption(tokens[i + 1])) {
      options_[tokens[i]] = tokens[i + 1];
    } else {
      addLoneToken(tokens[i]);
    }
  }
}

void OptionMap::addLoneToken(const std::u16string& token) {
  const size_t at = separator_ == 0 ? std::u16string::npos : token.find(separator_);
  if (at == std::u16string::npos || at == 0) {
    options_[token] = std::u16string();
  } else {
    options_[token.substr(0, at)] = token.substr(at + 1);
  }
}

bool OptionMap::findOption(const std::u16string& key, std::u16string& value) const {
  const auto found = options_.find(key);
  value = found == options_.end() ? std::u16string() : found->second;
  return found != options_.end();
}

bool OptionMap::getUIntOption(const std::u16string& key, uint32_t& value) const {
  std::u16string text;
  return findOption(key, text) && readUnsigned(text, value);
}

bool OptionMap::hasOption(const std::u16string& key) const { return options_.contains(key); }

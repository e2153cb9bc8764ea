#include "common/WideString.h"

#include <cstdint>
#include <cwctype>

namespace wide {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
bool isSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

void appendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }
}

void appendUtf8(std::string& out, char32_t c) {
  auto byte = [&out](char32_t b) { out.push_back(static_cast<char>(b)); };
  if (c < 0x80) {
    byte(c);
  } else if (c < 0x800) {
    byte(0xC0 | (c >> 6));
    byte(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    byte(0xE0 | (c >> 12));
    byte(0x80 | ((c >> 6) & 0x3F));
    byte(0x80 | (c & 0x3F));
  } else {
    byte(0xF0 | (c >> 18));
    byte(0x80 | ((c >> 12) & 0x3F));
    byte(0x80 | ((c >> 6) & 0x3F));
    byte(0x80 | (c & 0x3F));
  }
}

// Decodes one code point of UTF-16 at text[i], advancing i.
char32_t nextUtf16(std::u16string_view text, size_t& i) {
  char32_t c = text[i++];
  if (isHighSurrogate(c) && i < text.size() && isLowSurrogate(text[i])) {
    return 0x10000 + ((c - 0xD800) << 10) + (text[i++] - 0xDC00);
  }
  return isSurrogate(c) ? kReplacement : c;
}

// Decodes one code point of UTF-8 at text[i], advancing i; rejects overlong
// forms, surrogates and values past U+10FFFF.
char32_t nextUtf8(std::string_view text, size_t& i) {
  const auto lead = static_cast<uint8_t>(text[i++]);
  if (lead < 0x80) return lead;
  int extra = 0;
  char32_t c = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, c = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, c = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, c = lead & 0x07, minimum = 0x10000;
  } else {
    return kReplacement;
  }
  for (int k = 0; k < extra; ++k) {
    if (i >= text.size() || (static_cast<uint8_t>(text[i]) & 0xC0) != 0x80) return kReplacement;
    c = (c << 6) | (static_cast<uint8_t>(text[i++]) & 0x3F);
  }
  if (c < minimum || c > 0x10FFFF || isSurrogate(c)) return kReplacement;
  return c;
}

}  // namespace

std::u16string fromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) appendUtf16(out, nextUtf8(text, i));
  return out;
}

std::string toUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) appendUtf8(out, nextUtf16(text, i));
  return out;
}

std::u16string fromWchar(std::wstring_view text) {
  if constexpr (sizeof(wchar_t) == sizeof(char16_t)) {
    return std::u16string(text.begin(), text.end());
  } else {
    std::u16string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
      const auto c = static_cast<char32_t>(w);
      appendUtf16(out, (c > 0x10FFFF || isSurrogate(c)) ? kReplacement : c);
    }
    return out;
  }
}

std::wstring toWchar(std::u16string_view text) {
  if constexpr (sizeof(wchar_t) == sizeof(char16_t)) {
    return std::wstring(text.begin(), text.end());
  } else {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) out.push_back(static_cast<wchar_t>(nextUtf16(text, i)));
    return out;
  }
}

std::u16string_view untilZero(std::u16string_view text) {
  const size_t zero = text.find(u'\0');
  return zero == std::u16string_view::npos ? text : text.substr(0, zero);
}

size_t length(const char16_t* text) { return text ? std::char_traits<char16_t>::length(text) : 0; }

std::u16string toLower(std::u16string_view text) {
  std::u16string lower(text);
  for (char16_t& c : lower) {
    if (!isSurrogate(c)) c = static_cast<char16_t>(std::towlower(static_cast<wint_t>(c)));
  }
  return lower;
}

}  // namespace wide

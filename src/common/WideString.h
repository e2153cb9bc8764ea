#pragma once

#include <string>
#include <string_view>

// Conversions between the system's UTF-16 strings and the encodings the
// platforms use at their edges: UTF-8 on Linux, wchar_t (UTF-16 on Windows,
// UTF-32 elsewhere). Invalid input (a lone surrogate, a bad UTF-8 sequence)
// becomes U+FFFD; nothing is ever read past the end of the input.
namespace wide {

std::u16string fromUtf8(std::string_view text);
std::string toUtf8(std::u16string_view text);

std::u16string fromWchar(std::wstring_view text);
std::wstring toWchar(std::u16string_view text);

// The characters of `text` up to its first zero code unit (or all of it).
std::u16string_view untilZero(std::u16string_view text);

// Length of a zero-terminated UTF-16 string, 0 for null.
size_t length(const char16_t* text);

// Each code unit through the C library's wide lower-case mapping.
std::u16string toLower(std::u16string_view text);

}  // namespace wide

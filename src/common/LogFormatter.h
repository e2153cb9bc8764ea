#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

// One argument of a log message: a UTF-16 string or an integer.
class LogArg {
 public:
  enum class Kind { String, Signed, Unsigned };

  LogArg(const char16_t* text) : kind_(Kind::String), text_(text ? text : u"(null)") {}
  LogArg(const std::u16string& text) : kind_(Kind::String), text_(text) {}
  LogArg(std::u16string_view text) : kind_(Kind::String), text_(text) {}
  LogArg(const char*) = delete;  // every message text is UTF-16

  template <std::signed_integral T>
  LogArg(T value) : kind_(Kind::Signed), integer_(static_cast<uint64_t>(static_cast<int64_t>(value))) {}
  template <std::unsigned_integral T>
  LogArg(T value) : kind_(Kind::Unsigned), integer_(value) {}
  LogArg(bool) = delete;  // the messages print booleans as words

  Kind kind() const { return kind_; }
  std::u16string_view text() const { return text_; }
  // The integer's two's-complement bits, sign-extended to 64 bits.
  uint64_t bits() const { return integer_; }

 private:
  Kind kind_;
  std::u16string_view text_;
  uint64_t integer_ = 0;
};

// Renders a printf-style message the same way on every platform. Conversions:
// %s (UTF-16 string, up to its first zero, control characters escaped as
// \n, \r, \t or \xHH), %d and %i (signed 32-bit), %u
// (unsigned 32-bit), %x and %X (unsigned 32-bit hex), each with the ll prefix
// for 64 bits, an optional '-' or '0' flag and a width, and %%. An argument of
// the wrong kind prints "(bad argument)", a missing one "(missing)"; an unknown
// conversion is copied as it stands. Nothing is ever read past the arguments.
std::u16string formatLogMessage(std::u16string_view format, std::span<const LogArg> args);
std::u16string formatLogMessage(std::u16string_view format, std::initializer_list<LogArg> args);

// `text` as it may stand inside one line of a log: its control characters
// written as escapes (\n, \r, \t, \xHH), so that no string a client chose
// can end the line or begin a forged one.
template <class Char>
std::basic_string<Char> escapeControls(std::basic_string_view<Char> text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::basic_string<Char> out;
  out.reserve(text.size());
  for (const Char c : text) {
    const auto unit = static_cast<std::make_unsigned_t<Char>>(c);
    if (unit >= 0x20 && unit != 0x7F) {
      out.push_back(c);
    } else if (unit == '\n' || unit == '\r' || unit == '\t') {
      out.push_back(Char('\\'));
      out.push_back(Char(unit == '\n' ? 'n' : unit == '\r' ? 'r' : 't'));
    } else {
      for (const char escaped : {'\\', 'x', kHex[unit >> 4], kHex[unit & 0xF]}) out.push_back(Char(escaped));
    }
  }
  return out;
}

// The bytes a log file holds for a message: each code unit up to 0xFF as the
// byte of that value; code units above 0xFF are left out.
std::string toLogBytes(std::u16string_view text);

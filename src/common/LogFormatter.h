#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

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
// %s (UTF-16 string, up to its first zero and at most kMaxLoggedArgument code
// units, written as escapeLogText writes it), %d and %i (signed 32-bit), %u
// (unsigned 32-bit), %x and %X (unsigned 32-bit hex), each with the ll prefix
// for 64 bits, an optional '-' or '0' flag and a width, and %%. An argument of
// the wrong kind prints "(bad argument)", a missing one "(missing)"; an unknown
// conversion is copied as it stands. Nothing is ever read past the arguments.
std::u16string formatLogMessage(std::u16string_view format, std::span<const LogArg> args);
std::u16string formatLogMessage(std::u16string_view format, std::initializer_list<LogArg> args);

// How much of one string argument a message holds: a client's string of
// megabytes costs the log a few kilobytes. A longer one is cut there and
// followed by "...(N more)", N the code units left out.
inline constexpr size_t kMaxLoggedArgument = 4096;

// `text` as it may stand inside one line of a log whose bytes are the code
// units up to 0xFF: control characters (C0, DEL and C1) written as \n, \r,
// \t or \xHH, characters above U+00FF as \u{HEX} of their code point (a
// lone surrogate as its own unit), so no string a client chose can end the
// line, begin a forged one or reach a terminal as a control, and the text
// logged is always the real one.
std::u16string escapeLogText(std::u16string_view text);

// UTF-8 `text` as it may stand inside one line of a UTF-8 log or terminal:
// C0 controls and DEL written as \n, \r, \t or \xHH, C1 controls (U+0080
// to U+009F) as \u{HH}; every other byte as it is.
std::string escapeControls(std::string_view text);

// The bytes a log file holds for a message: each code unit up to 0xFF as the
// byte of that value; code units above 0xFF (which only a message's own text
// could hold: its arguments are escaped) are left out.
std::string toLogBytes(std::u16string_view text);

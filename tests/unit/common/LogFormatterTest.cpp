#include "common/LogFormatter.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "common/WideString.h"

namespace {

struct Case {
  std::u16string format;
  std::vector<LogArg> args;
  std::u16string expected;
};

}  // namespace

TEST(LogFormatter, RendersEachConversion) {
  const std::u16string path = u"C:\\img\\a.vhd";
  const Case cases[] = {
      {u"no conversions\n", {}, u"no conversions\n"},
      {u"a=%s!", {path}, u"a=C:\\img\\a.vhd!"},
      {u"%s", {u""}, u""},
      {u"%s", {static_cast<const char16_t*>(nullptr)}, u"(null)"},
      {u"%u %u", {0u, 4294967295u}, u"0 4294967295"},
      {u"%d %d %d", {0, -14, std::numeric_limits<int32_t>::min()}, u"0 -14 -2147483648"},
      {u"err=0x%X", {0xC0000002u}, u"err=0xC0000002"},
      {u"%X", {0u}, u"0"},
      {u"%llu", {std::numeric_limits<uint64_t>::max()}, u"18446744073709551615"},
      {u"%llu", {uint64_t{1} << 40}, u"1099511627776"},
      {u"%08x-%04x-%02x", {0x1Au, 0xBu, 0xCu}, u"0000001a-000b-0c"},
      {u"%02x", {0x1ABu}, u"1ab"},  // a width never cuts
      {u"100%%", {}, u"100%"},
      {u"winerr=%d", {5}, u"winerr=5"},
      // A string argument never ends its line: its control characters are escaped.
      {u"path=%s\n", {u"a.img\nforged line"}, u"path=a.img\\nforged line\n"},
      {u"%s", {u"\r\t\x1B[31m\x7F"}, u"\\r\\t\\x1B[31m\\x7F"},
      {u"%s",
       {u"a\x01"
        u"b"},
       u"a\\x01b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(formatLogMessage(c.format, c.args), c.expected) << wide::toUtf8(c.format);
  }
}

TEST(LogFormatter, ReinterpretsIntegersAsPrintfDoes) {
  const Case cases[] = {
      {u"%u", {-1}, u"4294967295"}, {u"%d", {0xFFFFFFFEu}, u"-2"},
      {u"%X", {-1}, u"FFFFFFFF"},   {u"%u", {uint64_t{0x100000005}}, u"5"},  // 32-bit conversions take the low word
      {u"%llu", {7u}, u"7"},        {u"%u", {uint8_t{200}}, u"200"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(formatLogMessage(c.format, c.args), c.expected) << wide::toUtf8(c.format);
  }
}

TEST(LogFormatter, StringStopsAtItsFirstZero) {
  const std::u16string field(u"VKB_V_DISK\0garbage", 18);
  EXPECT_EQ(formatLogMessage(u"[%s]", {field}), u"[VKB_V_DISK]");
}

TEST(LogFormatter, NeverTrustsArgumentsItWasNotGiven) {
  const Case cases[] = {
      {u"%s and %u", {u"one"}, u"one and (missing)"},
      {u"%u", {u"text"}, u"(bad argument)"},
      {u"%s", {42u}, u"(bad argument)"},
      {u"odd %q stays", {}, u"odd %q stays"},
      {u"ends with %", {}, u"ends with %"},
      {u"%lls", {u"x"}, u"%lls"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(formatLogMessage(c.format, c.args), c.expected) << wide::toUtf8(c.format);
  }
}

TEST(LogFormatter, PadsToWidth) {
  EXPECT_EQ(formatLogMessage(u"[%5u|%-5u|%05d|%3s]", {42u, 42u, -42, u"ab"}), u"[   42|42   |-0042| ab]");
}

// A logged string is always the real one, and nothing in it acts on a
// terminal: the log's bytes are code units up to 0xFF, so C1 controls are
// escaped as the others are and characters above U+00FF are written as their
// code points instead of being dropped.
TEST(LogFormatter, WritesEveryCharacterOfAStringAsItIsOrEscaped) {
  const std::u16string loneSurrogates{u'a', char16_t{0xD800}, u'b', char16_t{0xDC00}};
  const Case cases[] = {
      {u"%s", {u"caf\u00e9 \u00a0\u00ff"}, u"caf\u00e9 \u00a0\u00ff"},  // Latin-1 as it is
      {u"%s", {u"a\u0085b\u009B[2J\u0080\u009F"}, u"a\\x85b\\x9B[2J\\x80\\x9F"},
      {u"%s", {u"/srv/u/\U0001F600\U0001F600"}, u"/srv/u/\\u{1F600}\\u{1F600}"},
      {u"%s", {u"\u4e2d\u0100"}, u"\\u{4E2D}\\u{100}"},
      {u"%s", {loneSurrogates}, u"a\\u{D800}b\\u{DC00}"},  // lone surrogates
  };
  for (const auto& c : cases) {
    const std::u16string logged = formatLogMessage(c.format, c.args);
    EXPECT_EQ(logged, c.expected) << wide::toUtf8(c.args[0].text());
    EXPECT_EQ(toLogBytes(logged).size(), logged.size()) << "a unit the log file would drop";
  }
}

TEST(LogFormatter, CutsALongStringArgument) {
  const std::u16string huge(kMaxLoggedArgument + 30'000'000, u'a');
  const std::u16string logged = formatLogMessage(u"[%s]", {huge});
  EXPECT_EQ(logged, u"[" + std::u16string(kMaxLoggedArgument, u'a') + u"...(30000000 more)]");
  const std::u16string exact(kMaxLoggedArgument, u'b');
  EXPECT_EQ(formatLogMessage(u"%s", {exact}), exact);
}

TEST(LogFormatter, EscapesControlsOfUtf8Text) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain / \xC3\xA9 \xF0\x9F\x98\x80", "plain / \xC3\xA9 \xF0\x9F\x98\x80"},  // other UTF-8 as it is
      {"line\nforged\r\t\x1B[31m\x7F", "line\\nforged\\r\\t\\x1B[31m\\x7F"},
      {"a\xC2\x85" "b\xC2\x9B" "c\xC2\xA0", "a\\u{85}b\\u{9B}c\xC2\xA0"},  // C1 escaped, U+00A0 kept
      {"cut \xC2", "cut \xC2"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(escapeControls(text), expected) << text;
}

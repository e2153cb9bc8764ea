#include "common/WideString.h"

#include <gtest/gtest.h>

TEST(WideString, Utf8RoundTrips) {
  const std::u16string cases[] = {
      u"",
      u"plain ASCII",
      u"C:\\Images\\backup.001",
      u"caf\u00e9 \u00ff",
      u"\u4e2d\u6587\u8def\u5f84",
      u"emoji \U0001F600 and \U00010000 and \U0010FFFF",
  };
  for (const auto& text : cases) EXPECT_EQ(wide::fromUtf8(wide::toUtf8(text)), text);
}

TEST(WideString, EncodesUtf8Exactly) {
  EXPECT_EQ(wide::toUtf8(u"A\u00e9\u20ac\U0001F600"), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(wide::fromUtf8("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), u"A\u00e9\u20ac\U0001F600");
}

TEST(WideString, BadInputBecomesReplacementCharacters) {
  struct Case {
    std::string utf8;
    std::u16string expected;
  };
  const Case cases[] = {
      {"\xC3", u"\uFFFD"},              // truncated sequence at the end
      {"\xC3(", u"\uFFFD("},            // continuation byte missing
      {"\xC0\xAF", u"\uFFFD"},          // overlong '/'
      {"\xED\xA0\x80", u"\uFFFD"},      // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD"},  // past U+10FFFF
      {"\x80x", u"\uFFFDx"},            // stray continuation byte
      {"\xFF", u"\uFFFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(wide::fromUtf8(c.utf8), c.expected) << c.utf8;
  EXPECT_EQ(wide::toUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");  // lone high
  EXPECT_EQ(wide::toUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");          // lone low
}

TEST(WideString, WcharRoundTrips) {
  const std::u16string text = u"D:\\caf\u00e9\\\U0001F600.img";
  EXPECT_EQ(wide::fromWchar(wide::toWchar(text)), text);
  EXPECT_EQ(wide::toWchar(u"abc"), L"abc");
}

TEST(WideString, UntilZeroAndLength) {
  const std::u16string withZero(u"abc\0def", 7);
  EXPECT_EQ(wide::untilZero(withZero), u"abc");
  EXPECT_EQ(wide::untilZero(u"none"), u"none");
  EXPECT_EQ(wide::length(u"12345"), 5u);
  EXPECT_EQ(wide::length(nullptr), 0u);
}

TEST(WideString, ToLowerKeepsLengthAndNonLetters) {
  EXPECT_EQ(wide::toLower(u"\\\\?\\STORAGE#Volume#{53F5630D}"), u"\\\\?\\storage#volume#{53f5630d}");
  const std::u16string surrogates = u"A\U0001F600B";
  EXPECT_EQ(wide::toLower(surrogates), u"a\U0001F600b");
}

#include "common/CommandLineSplit.h"

#include <gtest/gtest.h>

#include "sys/Platform.h"

namespace {

using Tokens = std::vector<std::u16string>;

struct SplitCase {
  std::u16string line;
  Tokens tokens;
};

// The Windows rules: the first token (a program name) ends at a blank or, when
// quoted, at the next quote, with backslashes as plain characters; the others
// follow the quote and backslash rules.
const SplitCase kCases[] = {
    {u"/pid 1234 /network", {u"/pid", u"1234", u"/network"}},
    {u"  /pid\t\t12  ", {u"", u"/pid", u"12"}},
    {u"a \"b c\" d", {u"a", u"b c", u"d"}},
    {u"a b\"c d\"e f", {u"a", u"bc de", u"f"}},
    {u"a \\\\server\\share\\x.img", {u"a", u"\\\\server\\share\\x.img"}},
    {u"a \\\"b", {u"a", u"\"b"}},
    {u"a \\\\\"b c\"", {u"a", u"\\b c"}},
    {u"a \\\\\\\"b", {u"a", u"\\\"b"}},
    {u"a \"C:\\Images\\\\\" b", {u"a", u"C:\\Images\\", u"b"}},
    {u"a \"\"", {u"a", u""}},
    {u"a \"\" b", {u"a", u"", u"b"}},
    {u"a \"x\"\"y\" z", {u"a", u"x\"y z"}},
    {u"a \"x\"\"\"y\" z", {u"a", u"x\"y", u"z"}},
    {u"a x\"\"\"y", {u"a", u"x\"y"}},
    {u"a \"unterminated b", {u"a", u"unterminated b"}},
    {u"\"C:\\Program Files\\x.exe\" /a", {u"C:\\Program Files\\x.exe", u"/a"}},
    {u"\"quoted\"next /a", {u"quoted", u"next", u"/a"}},
    {u"C:\\dir\\\"x /a", {u"C:\\dir\\\"x", u"/a"}},
    {u"/pid=1234", {u"/pid=1234"}},
    {u"a b\\", {u"a", u"b\\"}},
};

TEST(CommandLineSplitTest, FollowsTheWindowsRules) {
  for (const SplitCase& c : kCases) {
    EXPECT_EQ(splitCommandLine(c.line), c.tokens) << std::string(c.line.begin(), c.line.end());
  }
}

// On Windows this is the system's own CommandLineToArgvW: the table above
// must be what it does.
TEST(CommandLineSplitTest, ThePlatformSplitsAsTheTableSays) {
  for (const SplitCase& c : kCases) {
    Tokens tokens;
    ASSERT_TRUE(sys::platform().commandLine().split(c.line, tokens));
    EXPECT_EQ(tokens, c.tokens) << std::string(c.line.begin(), c.line.end());
  }
}

TEST(CommandLineSplitTest, AnEmptyLineGivesTheProgramPathOnThePlatform) {
  Tokens tokens;
  ASSERT_TRUE(sys::platform().commandLine().split(u"", tokens));
  ASSERT_EQ(tokens.size(), 1u);
  EXPECT_EQ(tokens[0], sys::platform().moduleInfo().programPath());
  EXPECT_TRUE(splitCommandLine(u"").empty());
}

}  // namespace

#include "com/OptionMap.h"

#include <gtest/gtest.h>

#include <optional>

#include "sys/ScopedFake.h"

namespace {

// Counts the splits asked for and answers with the portable splitter's
// result, or fails when told to.
class CountingCommandLine : public sys::CommandLine {
 public:
  int calls = 0;
  bool fail = false;
  std::vector<std::u16string> tokens;

  bool split(const std::u16string&, std::vector<std::u16string>& arguments) override {
    ++calls;
    arguments = tokens;
    return !fail;
  }
};

struct OptionCase {
  const char* name;
  std::vector<std::u16string> tokens;
  std::optional<uint32_t> pid;
  bool network;
};

const OptionCase kCases[] = {
    {"value token", {u"/pid", u"1234", u"/network"}, 1234, true},
    {"joined and alone", {u"/pid=1234"}, 1234, false},
    {"joined then an option", {u"/pid=1234", u"/network"}, 1234, true},
    {"joined then a plain token", {u"/pid=1234", u"5678"}, std::nullopt, false},
    {"capitals", {u"/PID", u"1234"}, std::nullopt, false},
    {"letters", {u"/pid", u"abc"}, std::nullopt, false},
    {"digits then letters", {u"/pid", u"12ab"}, 12, false},
    {"leading blanks and a sign", {u"/pid", u" \t+77"}, 77, false},
    {"minus, as the C library reads it", {u"/pid", u"-1"}, 0xFFFFFFFFu, false},
    {"too large for 32 bits", {u"/pid", u"99999999999"}, 0xFFFFFFFFu, false},
    {"last token", {u"/network", u"/pid"}, std::nullopt, true},
    {"network with a value", {u"/network=no"}, std::nullopt, true},
    {"network with a value token", {u"/network", u"no"}, std::nullopt, true},
    {"repeated", {u"/pid", u"1", u"/pid", u"2"}, 2, false},
    {"repeated, joined last", {u"/pid", u"1", u"/pid=2"}, 2, false},
    {"plain tokens skipped", {u"x", u"1234", u"/pid", u"9", u"y"}, 9, false},
    {"empty token is no option", {u"", u"/pid", u"", u"/network"}, std::nullopt, true},
};

TEST(OptionMapTest, ReadsPidAndNetworkAsTheRulesSay) {
  for (const OptionCase& c : kCases) {
    const OptionMap options(std::span<const std::u16string>(c.tokens), u'/', u'=');
    uint32_t pid = 0;
    EXPECT_EQ(options.getUIntOption(u"/pid", pid), c.pid.has_value()) << c.name;
    EXPECT_EQ(pid, c.pid.value_or(0)) << c.name;
    EXPECT_EQ(options.hasOption(u"/network"), c.network) << c.name;
  }
}

TEST(OptionMapTest, KeysKeepTheirPrefixAndJoinedTokensWithAValueTokenStayWhole) {
  const std::vector<std::u16string> tokens{u"/pid=1234", u"5678", u"-log", u"/x=", u"/=y"};
  const OptionMap options(std::span<const std::u16string>(tokens), u'/', u'=');
  std::u16string value = u"stale";
  EXPECT_TRUE(options.findOption(u"/pid=1234", value));
  EXPECT_EQ(value, u"5678");
  EXPECT_FALSE(options.findOption(u"/pid", value));
  EXPECT_EQ(value, u"");
  EXPECT_TRUE(options.findOption(u"/x", value));
  EXPECT_EQ(value, u"");
  EXPECT_FALSE(options.hasOption(u"-log"));
  // A separator at the start would leave an empty key: the whole token is the key.
  const std::vector<std::u16string> same{u"==y"};
  EXPECT_TRUE(OptionMap(std::span<const std::u16string>(same), u'=', u'=').hasOption(u"==y"));
}

TEST(OptionMapTest, WithoutSeparatorAJoinedTokenIsOneKey) {
  const std::vector<std::u16string> tokens{u"service.exe", u"-log", u"C:\\log.txt", u"-x=1"};
  const OptionMap options(std::span<const std::u16string>(tokens), u'-', 0);
  std::u16string value;
  EXPECT_TRUE(options.findOption(u"-log", value));
  EXPECT_EQ(value, u"C:\\log.txt");
  EXPECT_TRUE(options.hasOption(u"-x=1"));
}

TEST(OptionMapTest, UnreadableNumberLeavesTheOutputUntouched) {
  const std::vector<std::u16string> tokens{u"/pid", u"x1"};
  const OptionMap options(std::span<const std::u16string>(tokens), u'/', u'=');
  uint32_t pid = 42;
  EXPECT_FALSE(options.getUIntOption(u"/pid", pid));
  EXPECT_FALSE(options.getUIntOption(u"/missing", pid));
  EXPECT_EQ(pid, 42u);
}

TEST(OptionMapTest, ALineIsSplitByThePlatformButAnEmptyOneIsNot) {
  CountingCommandLine commandLine;
  const sys::ScopedFake<sys::CommandLine> fake(commandLine);
  commandLine.tokens = {u"/pid", u"31"};

  EXPECT_FALSE(OptionMap(u"", u'/', u'=').hasOption(u"/pid"));
  EXPECT_EQ(commandLine.calls, 0);

  uint32_t pid = 0;
  EXPECT_TRUE(OptionMap(u"/pid 31", u'/', u'=').getUIntOption(u"/pid", pid));
  EXPECT_EQ(pid, 31u);
  EXPECT_EQ(commandLine.calls, 1);

  commandLine.fail = true;
  EXPECT_FALSE(OptionMap(u"/pid 31", u'/', u'=').hasOption(u"/pid"));
}

TEST(OptionMapTest, ALineWithQuotesReachesTheOptionsWhole) {
  const OptionMap options(u"/image \"C:\\My Images\\a.vkb\" /pid 7", u'/', u'=');
  std::u16string value;
  EXPECT_TRUE(options.findOption(u"/image", value));
  EXPECT_EQ(value, u"C:\\My Images\\a.vkb");
  uint32_t pid = 0;
  EXPECT_TRUE(options.getUIntOption(u"/pid", pid));
  EXPECT_EQ(pid, 7u);
}

}  // namespace

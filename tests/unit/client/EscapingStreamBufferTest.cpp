#include "EscapingStreamBuffer.h"

#include <gtest/gtest.h>

#include <ostream>
#include <sstream>
#include <string>

namespace {

// What `write` printed through the escaping buffer.
template <class Write>
std::string printed(Write write) {
  std::ostringstream target;
  {
    EscapingStreamBuffer escaping(*target.rdbuf());
    std::ostream out(&escaping);
    write(out);
  }
  return target.str();
}

}  // namespace

// Another user's image path, a mount point or an error's text reaches the
// terminal as text: escape sequences and C1 controls in it are escaped, line
// ends and other characters are kept.
TEST(EscapingStreamBuffer, PrintsTheServicesStringsAsText) {
  const std::string image = "/srv/u/\x1B]0;owned\x07\xC2\x9B" "2J\r\xC3\xA9\xF0\x9F\x98\x80.img";
  EXPECT_EQ(printed([&](std::ostream& out) { out << "first_tag: " << image << "\n"; }),
            "first_tag: /srv/u/\\x1B]0;owned\\x07\\u{9B}2J\\r\xC3\xA9\xF0\x9F\x98\x80.img\n");
}

// A character cut between two writes is judged whole.
TEST(EscapingStreamBuffer, JudgesACharacterSplitBetweenWrites) {
  EXPECT_EQ(printed([](std::ostream& out) { out << "a\xC2" << "\x85" << "b\n"; }), "a\\u{85}b\n");
  EXPECT_EQ(printed([](std::ostream& out) { out << "a\xC2" << std::flush << "\x9B" << "b\n"; }), "a\\u{9B}b\n");
  EXPECT_EQ(printed([](std::ostream& out) { out << "a\xC2" << "\xA9" << "b" << '\x1B' << '\n'; }),
            "a\xC2\xA9" "b\\x1B\n");
  EXPECT_EQ(printed([](std::ostream& out) { out << "ends in \xC2"; }), "ends in \xC2");
}

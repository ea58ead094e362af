#include "runtime/safe_text.h"

#include <gtest/gtest.h>

namespace {

TEST(SafeText, InvalidUtf8IsReplacedByteByByteAndControlsAreShown) {
  struct Case {
    std::string in;
    std::string utf8;      // validUtf8
    std::string terminal;  // terminalText
  };
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  const Case cases[] = {
      {"plain /usr/bin/ssh", "plain /usr/bin/ssh", "plain /usr/bin/ssh"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
       "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"bad\xC3\"q", "bad" + r + "\"q", "bad" + r + "\"q"},
      {"\xC0\xAF overlong", r + r + " overlong", r + r + " overlong"},
      {"\xED\xA0\x80 surrogate", r + r + r + " surrogate", r + r + r + " surrogate"},
      {"\xF4\x90\x80\x80 too high", r + r + r + r + " too high", r + r + r + r + " too high"},
      {"cut \xF0\x9F\x98", "cut " + r + r + r, "cut " + r + r + r},
      {std::string("a\nb\rc\td\0e", 9), std::string("a\nb\rc\td\0e", 9), "a\\nb\\rc\\td\\x00e"},
      {"\x1b[31mred\x7f", "\x1b[31mred\x7f", "\\x1b[31mred\\x7f"},
      {"c1 \xC2\x9B" "2J", "c1 \xC2\x9B" "2J", "c1 \\x9b2J"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(validUtf8(c.in), c.utf8) << c.in;
    EXPECT_EQ(terminalText(c.in), c.terminal) << c.in;
  }
}

}  // namespace

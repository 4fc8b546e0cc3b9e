#include "text/lines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace marlune::text {
namespace {

using Lines = std::vector<std::string>;

Lines split(std::string_view text) {
  Lines out;
  for (auto line : split_lines(text)) out.emplace_back(line);
  return out;
}

TEST(SplitLines, FollowsTheLineRule) {
  EXPECT_EQ(split(""), Lines{});
  EXPECT_EQ(split("a\r\nb\n"), (Lines{"a", "b"}));
  EXPECT_EQ(split("a\n\n"), (Lines{"a", ""}));
  EXPECT_EQ(split("a\rb"), Lines{"a\rb"});
  EXPECT_EQ(split("\n"), Lines{""});
  EXPECT_EQ(split("a\r"), Lines{"a\r"});
  EXPECT_EQ(split("\r\n\r\n"), (Lines{"", ""}));
  EXPECT_EQ(split("x\r\r\n"), Lines{"x\r"});
}

// The line rule written plainly, one library search per line.
Lines plain_split(std::string_view text) {
  Lines out;
  std::size_t start = 0;
  while (start < text.size()) {
    const void* hit = std::memchr(text.data() + start, '\n', text.size() - start);
    if (hit == nullptr) {
      out.emplace_back(text.substr(start));
      break;
    }
    const std::size_t nl = static_cast<const char*>(hit) - text.data();
    const std::size_t end = nl > start && text[nl - 1] == '\r' ? nl - 1 : nl;
    out.emplace_back(text.substr(start, end - start));
    start = nl + 1;
  }
  return out;
}

TEST(SplitLines, AgreesWithThePlainRuleAcrossBlockBoundaries) {
  // Lengths around multiples of sixteen put newlines in the first, middle and last bytes of
  // whole blocks and of the shorter block at the end.
  std::mt19937 random(7);
  const std::string alphabet = "a\n\r \x80";
  for (std::size_t length = 0; length <= 70; ++length) {
    for (int round = 0; round < 20; ++round) {
      std::string text(length, 'a');
      for (auto& c : text) c = alphabet[random() % alphabet.size()];
      ASSERT_EQ(split(text), plain_split(text)) << "text of " << length << " bytes";
      std::vector<std::size_t> newlines;
      for_each_newline(text, [&](std::size_t pos) { newlines.push_back(pos); });
      std::vector<std::size_t> expected;
      for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') expected.push_back(i);
      }
      ASSERT_EQ(newlines, expected);
    }
  }
}

TEST(Trim, RemovesUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(trim(" \t\r\n\v\fa b\xC2\xA0"), "a b");
  EXPECT_EQ(trim("\xE3\x80\x80x\xE2\x80\xA8"), "x");  // U+3000, U+2028
  EXPECT_EQ(trim("\xE2\x80\x8B"
                 "x"),
            "\xE2\x80\x8B"
            "x");                     // U+200B is not White_Space
  EXPECT_EQ(trim("\x1Cx"), "\x1Cx");  // file separator: space to isspace(), not White_Space
  EXPECT_EQ(trim_start("  a  "), "a  ");
  EXPECT_EQ(trim_end("  a  "), "  a");
  EXPECT_EQ(trim("\xC2\x85"), "");
  EXPECT_TRUE(is_blank(" \xE1\x9A\x80 "));
  EXPECT_EQ(indent_bytes("\xC2\xA0\tx "), 3u);
}

TEST(JoinLines, PutsNewlinesBetweenOnly) {
  const std::vector<std::string_view> lines{"a", "", "b"};
  EXPECT_EQ(join_lines(lines), "a\n\nb");
  EXPECT_EQ(join_lines({}), "");
  EXPECT_EQ(count_newlines("a\nb\r\n"), 2u);
}

}  // namespace
}  // namespace marlune::text

#include "text/lines.h"

#include <gtest/gtest.h>

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

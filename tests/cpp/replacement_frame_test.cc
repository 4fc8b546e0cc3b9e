#include "content_replacer/replacement_frame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "content_replacer/matching_blocks.h"
#include "content_replacer/replace_content.h"

namespace marlune::content_replacer {
namespace {

struct FrameCase {
  std::string name;
  std::string strategy, old_string, candidate, new_string;
  std::string expected;
  bool rewritten;  // whether the text is a new one rather than a stretch of new_string
};

class ReplacementFor : public testing::TestWithParam<FrameCase> {};

TEST_P(ReplacementFor, GivesTheTextInTheCandidatesFrame) {
  const FrameCase& c = GetParam();
  const Replacement r = replacement_for(c.strategy, c.old_string, c.candidate, c.new_string);
  EXPECT_EQ(r.text(), c.expected);
  EXPECT_EQ(r.rewritten.has_value(), c.rewritten);
  if (!r.rewritten) {
    // A stretch lies inside new_string, so the caller can describe it by offset and size.
    EXPECT_GE(r.stretch.data(), c.new_string.data());
    EXPECT_LE(r.stretch.data() + r.stretch.size(), c.new_string.data() + c.new_string.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ReplacementFor,
    testing::Values(
        FrameCase{"ShiftRight", "line_trimmed", "def f():\n  x = 1", "    def f():\n      x = 1",
                  "def f():\n  x = 2", "    def f():\n      x = 2", true},
        FrameCase{"KeptLinesTakeTheFilesText", "line_trimmed", "a  =  1\nb = 2", "a = 1\nb = 2",
                  "a  =  1\nb = 3", "a = 1\nb = 3", true},
        FrameCase{"SpacesToTabs", "line_trimmed", "f {\n    g()\n        h()\n}",
                  "f {\n\tg()\n\t\th()\n}", "f {\n    g()\n        k()\n}",
                  "f {\n\tg()\n\t\tk()\n}", true},
        FrameCase{"HalfAUnitHasNoImage", "line_trimmed", "f {\n    g()\n}", "f {\n\tg()\n}",
                  "f {\n    g()\n      h()\n}", "f {\n    g()\n      h()\n}", false},
        FrameCase{"FileFrameStays", "line_trimmed", "a\n  b\n  c", "  a\n    b\n    c",
                  "  a\n    b\n    d", "  a\n    b\n    d", false},
        FrameCase{"LinesDifferInNumber", "whitespace_normalized", "a b", "a\nb", "A B", "A B",
                  false},
        FrameCase{"ExactIsNeverRewritten", "simple", "x", "x", "\n  y\n", "\n  y\n", false},
        FrameCase{"EscapedOneLine", "escape_normalized", "a\\nb", "a\nb", "a\\nc", "a\nc", true},
        FrameCase{"EscapeNotInOld", "escape_normalized", "s = \\\"a\\\"", "s = \"a\"",
                  "s = \\\"b\\\" \\t", "s = \\\"b\\\" \\t", false},
        FrameCase{"EscapedAndRebased", "escape_normalized", "if a:\\n  b", "  if a:\n    b",
                  "if a:\\n  c", "  if a:\n    c", true},
        FrameCase{"ExtraBreaksBothEnds", "whitespace_normalized", "f( a )", "\r\n\nf(a)\r\n", "g()",
                  "\r\n\ng()\r\n", true},
        FrameCase{"NoExtraBreaksForEscapes", "escape_normalized", "x", "x\n", "y", "y", false},
        FrameCase{"WhitespaceOnlyCandidate", "whitespace_normalized", " ", "\n\n", "X", "X", false},
        FrameCase{"TrimmedFindIsTrimmedOnly", "trimmed_boundary", "  a\n", "a", "  b\n", "b",
                  false}),
    [](const testing::TestParamInfo<FrameCase>& info) { return info.param.name; });

TEST(MatchingBlocks, TakeTheLongestRunEarliestOnTies) {
  const std::vector<std::uint32_t> a = {1, 2, 1, 2, 3};
  const std::vector<std::uint32_t> b = {1, 2, 3, 1, 2};
  // The longest run is 1 2 3 (a at 2, b at 0); to its left nothing is left in b, and to its
  // right nothing in a.
  EXPECT_EQ(matching_blocks(a, b), (std::vector<MatchingBlock>{{2, 0, 3}}));
  const std::vector<std::uint32_t> c = {7, 7};
  const std::vector<std::uint32_t> d = {7};
  EXPECT_EQ(matching_blocks(c, d), (std::vector<MatchingBlock>{{0, 0, 1}}));
  EXPECT_TRUE(matching_blocks({}, d).empty());
}

TEST(MatchingBlocks, MergeBlocksThatTouch) {
  // 5 6 matches first, then 1 2 to its left, which touches it in both sequences.
  const std::vector<std::uint32_t> a = {1, 2, 5, 6, 9};
  const std::vector<std::uint32_t> b = {1, 2, 5, 6, 8, 5, 6};
  EXPECT_EQ(matching_blocks(a, b), (std::vector<MatchingBlock>{{0, 0, 4}}));
}

}  // namespace
}  // namespace marlune::content_replacer

#include "content_replacer/replace_content.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

namespace marlune::content_replacer {
namespace {

using Hint = std::optional<std::uint32_t>;

struct PlacedCase {
  std::string name;
  std::string content, old_string, new_string;
  bool replace_all;
  Hint hint;
  std::string expected_content, expected_matched;
  std::size_t start_line, end_line;
  std::string strategy = "simple";
};

class PlacedCases : public testing::TestWithParam<PlacedCase> {};

TEST_P(PlacedCases, ReplacesAndReportsTheMatch) {
  const PlacedCase& c = GetParam();
  const ReplaceOutcome outcome =
      replace_content(c.content, c.old_string, c.new_string, c.replace_all, c.hint);
  const auto* success = std::get_if<ReplaceSuccess>(&outcome);
  ASSERT_NE(success, nullptr) << std::get<ReplaceError>(outcome).message;
  EXPECT_EQ(success->content, c.expected_content);
  EXPECT_EQ(success->matched_text, c.expected_matched);
  EXPECT_EQ(success->start_line, c.start_line);
  EXPECT_EQ(success->end_line, c.end_line);
  EXPECT_EQ(success->strategy, c.strategy);
  // The layout fields describe exactly how the content was rebuilt: every replaced occurrence
  // of the matched text gave way to one stretch of new_string, or to the rewritten text.
  ASSERT_LE(success->inserted_offset + success->inserted_size, c.new_string.size());
  const std::string_view inserted =
      success->rewritten_insert
          ? std::string_view(*success->rewritten_insert)
          : std::string_view(c.new_string).substr(success->inserted_offset, success->inserted_size);
  EXPECT_EQ(success->content.size() + success->replacements * success->matched_text.size(),
            c.content.size() + success->replacements * inserted.size());
  if (c.replace_all && !success->matched_text.empty()) {
    std::string rebuilt = c.content;
    std::size_t replaced = 0;
    for (std::size_t pos = rebuilt.find(success->matched_text); pos != std::string::npos;
         pos = rebuilt.find(success->matched_text, pos + inserted.size())) {
      rebuilt.replace(pos, success->matched_text.size(), inserted);
      ++replaced;
    }
    EXPECT_EQ(rebuilt, success->content);
    EXPECT_EQ(replaced, success->replacements);
  } else if (!c.replace_all) {
    EXPECT_EQ(success->replacements, 1u);
  }
}

const std::string kFoo = "foo\nbar\nfoo\n";

INSTANTIATE_TEST_SUITE_P(
    Driver, PlacedCases,
    testing::Values(
        PlacedCase{"Unique",
                   "x = 1\ny = 2\n",
                   "y = 2",
                   "y = 3",
                   false,
                   {},
                   "x = 1\ny = 3\n",
                   "y = 2",
                   2,
                   2},
        PlacedCase{
            "TwoLines", "1\n2\n3\nx\ny\n6", "x\ny", "Z", false, {}, "1\n2\n3\nZ\n6", "x\ny", 4, 5},
        PlacedCase{"EndsWithNewline", "a\nb\nc", "b\n", "B", false, {}, "a\nBc", "b\n", 2, 3},
        PlacedCase{
            "CrLfLines", "a\r\nb\r\nc\r\n", "b", "B", false, {}, "a\r\nB\r\nc\r\n", "b", 2, 2},
        PlacedCase{"HintNearest", kFoo, "foo", "X", false, 3, "foo\nbar\nX\n", "foo", 3, 3},
        PlacedCase{"HintTieGoesUp", kFoo, "foo", "X", false, 2, "X\nbar\nfoo\n", "foo", 1, 1},
        PlacedCase{"HintZero", kFoo, "foo", "X", false, 0, "X\nbar\nfoo\n", "foo", 1, 1},
        PlacedCase{"HintFarBelow", kFoo, "foo", "X", false, 4294967295u, "foo\nbar\nX\n", "foo", 3,
                   3},
        PlacedCase{"HintOverlapsEarliest", "aaaa", "aa", "X", false, 1, "Xaa", "aa", 1, 1},
        PlacedCase{"UniqueIgnoresHint", "a\nb\nc", "c", "C", false, 1, "a\nb\nC", "c", 3, 3},
        PlacedCase{"All", kFoo, "foo", "X", true, {}, "X\nbar\nX\n", "foo", 1, 1},
        PlacedCase{"AllIgnoresHint", kFoo, "foo", "X", true, 3, "X\nbar\nX\n", "foo", 1, 1},
        PlacedCase{"AllNonOverlapping", "aaa", "aa", "X", true, {}, "Xa", "aa", 1, 1},
        PlacedCase{"EmptyInEmpty", "", "", "x", false, {}, "x", "", 1, 1},
        PlacedCase{"EmptyAll", "a\xC3\xA9", "", "X", true, {}, "XaX\xC3\xA9X", "", 1, 1},
        PlacedCase{"EmptyHintAtEnd", "a\n", "", "X", false, 2, "a\nX", "", 2, 2},
        PlacedCase{"EmptyHintAtBoundary", "\xC3\xA9\n\xC3\xA9", "", "X", false, 2,
                   "\xC3\xA9\nX\xC3\xA9", "", 2, 2},
        PlacedCase{"LaterStrategy",
                   "a\n  foo  \nb",
                   "foo\n",
                   "X",
                   false,
                   {},
                   "a\nX\nb",
                   "  foo  ",
                   2,
                   2,
                   "line_trimmed"},
        // A candidate rebuilt from lines has no final line break; new_string gives up its own.
        PlacedCase{"FinalBreakTakenFromNew",
                   "x\n  a\n  b\ny\n",
                   "a\nb\n",
                   "A\nB\n",
                   false,
                   {},
                   "x\nA\nB\ny\n",
                   "  a\n  b",
                   2,
                   3,
                   "line_trimmed"},
        PlacedCase{"TwoFinalBreaksTaken",
                   "x\n a\n b\n\ny\n",
                   "a\nb\n\n",
                   "A\nB\n\n",
                   false,
                   {},
                   "x\nA\nB\n\ny\n",
                   " a\n b",
                   2,
                   3,
                   "line_trimmed"},
        PlacedCase{"CrLfBreakTaken",
                   "x\r\n a\r\ny",
                   "a\n",
                   "A\r\n",
                   false,
                   {},
                   "x\r\nA\r\ny",
                   " a",
                   2,
                   2,
                   "line_trimmed"},
        PlacedCase{"BlankLineWithSpacesKept",
                   "x\n a\n b\n\ny\n",
                   "a\nb \n  \n",
                   "A\nB \n  \n",
                   false,
                   {},
                   "x\nA\nB \n  \ny\n",
                   " a\n b\n",
                   2,
                   4,
                   "line_trimmed"},
        PlacedCase{"LeadingBreaksTaken",
                   "a  b",
                   "\n\na b",
                   "\n\nA B",
                   false,
                   {},
                   "A B",
                   "a  b",
                   1,
                   1,
                   "whitespace_normalized"},
        PlacedCase{"TrimmedFindTrimsNew",
                   "class A:\n    def f():\n        pass\n",
                   "\n\n    def f():\n        pass\n\n",
                   "\n\n    def f():\n        return 1\n\n",
                   false,
                   {},
                   "class A:\n    def f():\n        return 1\n",
                   "def f():\n        pass",
                   2,
                   3,
                   "trimmed_boundary"},
        PlacedCase{"AllWithFittedNew",
                   "  a\n  b\nz\n  a\n  b\n",
                   "a\nb\n",
                   "A\nB\n",
                   true,
                   {},
                   "A\nB\nz\nA\nB\n",
                   "  a\n  b",
                   1,
                   2,
                   "line_trimmed"},
        PlacedCase{"HintWithFittedNew", "  a\n  b\nz\n  a\n  b\n", "a\nb\n", "A\nB\n", false, 4,
                   "  a\n  b\nz\nA\nB\n", "  a\n  b", 4, 5, "line_trimmed"}),
    [](const testing::TestParamInfo<PlacedCase>& info) { return info.param.name; });

struct FailedCase {
  std::string name;
  std::string content, old_string, new_string;
  bool replace_all;
  ReplaceErrorKind kind;
  std::string message_start;
  std::vector<std::size_t> locations;
};

class FailedCases : public testing::TestWithParam<FailedCase> {};

TEST_P(FailedCases, ReportsTheFailure) {
  const FailedCase& c = GetParam();
  const ReplaceOutcome outcome =
      replace_content(c.content, c.old_string, c.new_string, c.replace_all, std::nullopt);
  const auto* error = std::get_if<ReplaceError>(&outcome);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->kind, c.kind);
  EXPECT_EQ(error->message.substr(0, c.message_start.size()), c.message_start);
  EXPECT_EQ(error->locations, c.locations);
  EXPECT_EQ(error->closest_match.has_value(), c.name == "NearMiss");
}

const std::string kPattern = "Pattern found at multiple locations (lines: ";

INSTANTIATE_TEST_SUITE_P(
    Driver, FailedCases,
    testing::Values(
        FailedCase{"Equal",
                   "a",
                   "a",
                   "a",
                   false,
                   ReplaceErrorKind::NoChange,
                   std::string(kNoChangeMessage),
                   {}},
        FailedCase{"BothEmpty",
                   "",
                   "",
                   "",
                   true,
                   ReplaceErrorKind::NoChange,
                   std::string(kNoChangeMessage),
                   {}},
        FailedCase{"EqualAbsent",
                   "xyz",
                   "q",
                   "q",
                   true,
                   ReplaceErrorKind::NoChange,
                   std::string(kNoChangeMessage),
                   {}},
        FailedCase{"Ambiguous",
                   kFoo,
                   "foo",
                   "X",
                   false,
                   ReplaceErrorKind::MultipleMatches,
                   kPattern + "1, 3).\nSearch text starts with: \"foo\"",
                   {1, 3}},
        FailedCase{"Overlapping",
                   "aaa",
                   "aa",
                   "X",
                   false,
                   ReplaceErrorKind::MultipleMatches,
                   kPattern + "1).",
                   {1}},
        // Strategies rebuild "x\ny", which never occurs in "\r\n" content: still an ambiguity,
        // with no location since old_string ends with a line break.
        FailedCase{"ProposedButAbsent",
                   "x\r\ny\r\nz\r\n",
                   "x\ny\n",
                   "X",
                   false,
                   ReplaceErrorKind::MultipleMatches,
                   kPattern + ").\n",
                   {}},
        FailedCase{"NearMiss",
                   "def f():\n    return 1\n",
                   "def f():\n    return 2",
                   "X",
                   false,
                   ReplaceErrorKind::NotFound,
                   "Search text not found in file.\nFirst search line 'def f():' appears at "
                   "line(s): 1\nClosest fuzzy match (95.2% similar) at lines 1-2:\n--- SEARCH\n",
                   {}},
        FailedCase{"NothingProposed",
                   "abc\n",
                   "xyz",
                   "X",
                   true,
                   ReplaceErrorKind::NotFound,
                   "Search text not found in file.\nFirst search line 'xyz' not found anywhere "
                   "in file\n\nDebugging tips:",
                   {}}),
    [](const testing::TestParamInfo<FailedCase>& info) { return info.param.name; });

struct FitCase {
  std::string old_string, candidate, new_string;
  bool trimmed_find;
  std::string expected;
};

class FittedReplacement : public testing::TestWithParam<FitCase> {};

TEST_P(FittedReplacement, GivesUpWhatTheCandidateLacks) {
  const FitCase& c = GetParam();
  EXPECT_EQ(fitted_replacement(c.old_string, c.candidate, c.new_string, c.trimmed_find),
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Driver, FittedReplacement,
    testing::Values(FitCase{"a\n", "a\n", "A\n", false, "A\n"},  // exact: nothing missing
                    FitCase{"a\n", "a", "A\n", false, "A"},
                    FitCase{"a\n", "a", "A", false, "A"},  // nothing to give up
                    FitCase{"a\n\n", "a", "A\n\n", false, "A"},
                    FitCase{"a\n\n", "a", "A\n", false, "A"},  // fewer than missing: all go
                    FitCase{"a\n\n", "a\n", "A\n \n", false, "A\n "},
                    FitCase{"a\n", "a", "A \r\n ", false, "A "},     // with what follows, and "\r"
                    FitCase{"a\n", "a", "A\n\tB", false, "A\n\tB"},  // inner break stays
                    FitCase{"\n\na", "a", "\n\nA", false, "A"},
                    FitCase{"\n\na", "a", " \n \n  A", false, "  A"},
                    FitCase{"\n\na", "\na", "\n\nA", false, "\nA"},
                    FitCase{"\n\n", "", "\n\n\n", false, ""},  // all whitespace: both ends
                    FitCase{"  a \n", "a", "\n  A  \n", true, "A"},
                    FitCase{"  a", "a", "  A \n", true, "A \n"},
                    FitCase{"a\n", "a", " A\n", true, " A"}));

// A block from "start" to "stop" with `interior` lines between, in a file of other lines.
std::string file_with_block(std::size_t interior) {
  std::string out = "head\nstart\n";
  for (std::size_t i = 0; i < interior; ++i) out += "line " + std::to_string(i) + "\n";
  return out + "stop\ntail\n";
}

TEST(BlockAnchorSize, PlacesOnlyBlocksNearTheSearchSize) {
  // Eight search lines: blocks of 6 to 10 lines fit, so 4 to 8 interior lines.
  const std::string old_string = "start\na\nb\nc\nd\ne\nf\nstop\n";
  for (std::size_t interior = 3; interior <= 9; ++interior) {
    const std::string content = file_with_block(interior);
    const ReplaceOutcome outcome = replace_content(content, old_string, "X\n", false, {});
    if (interior >= 4 && interior <= 8) {
      const auto* success = std::get_if<ReplaceSuccess>(&outcome);
      ASSERT_NE(success, nullptr) << interior;
      EXPECT_EQ(success->strategy, "block_anchor");
      EXPECT_EQ(success->content, "head\nX\ntail\n") << interior;
    } else {
      const auto* error = std::get_if<ReplaceError>(&outcome);
      ASSERT_NE(error, nullptr) << interior;
      EXPECT_EQ(error->kind, ReplaceErrorKind::NotFound) << interior;
    }
  }
}

}  // namespace
}  // namespace marlune::content_replacer

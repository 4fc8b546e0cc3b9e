#include "streaming_matcher/streaming_matcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "streaming_matcher/streaming_matcher_internal.h"
#include "support/allocation_hooks.h"
#include "support/reference_alignment.h"
#include "text/utf8.h"

namespace marlune::streaming_matcher {
namespace {

using test_support::reference_alignment;
using test_support::reference_pairing;
using Hook = StreamingMatcherTestHook;
using Ranges = std::vector<ByteRange>;
using Lines = std::vector<std::string>;
constexpr auto Up = AlignmentDirection::Up;
constexpr auto Left = AlignmentDirection::Left;
constexpr auto Diagonal = AlignmentDirection::Diagonal;

std::vector<AlignmentCell> last_row(const StreamingFuzzyMatcher& m) {
  std::vector<AlignmentCell> row;
  for (std::size_t c = 0; c < Hook::column_count(m); ++c) row.push_back(Hook::last_row_cell(m, c));
  return row;
}

// --- Engine behaviour --------------------------------------------------------------------------

TEST(StreamingMatcher, FunctionExampleRowsAndResults) {
  StreamingFuzzyMatcher m("function foo() {\n    return 42;\n}");
  EXPECT_EQ(m.source_lines(), (Lines{"function foo() {", "    return 42;", "}"}));
  EXPECT_EQ(Hook::source_line_offsets(m), (std::vector<std::size_t>{0, 17, 32, 34}));
  EXPECT_EQ(Hook::row_count(m), 0u);
  EXPECT_EQ(m.push("function foo() {\n", std::nullopt), (ByteRange{0, 16}));
  EXPECT_EQ(last_row(m),
            (std::vector<AlignmentCell>{{10, Up}, {0, Diagonal}, {3, Left}, {6, Left}}));
  EXPECT_EQ(m.push("    return 42;\n", std::nullopt), (ByteRange{0, 31}));
  EXPECT_EQ(last_row(m),
            (std::vector<AlignmentCell>{{20, Up}, {10, Up}, {0, Diagonal}, {3, Left}}));
  EXPECT_EQ(Hook::row_count(m), 3u);
  EXPECT_EQ(m.finish(), (Ranges{{0, 31}}));
  EXPECT_EQ(m.push("}", std::nullopt), (ByteRange{0, 31}));
  EXPECT_EQ(Hook::row_count(m), 3u);  // no completed line, no alignment
  EXPECT_EQ(m.finish(), (Ranges{{0, 33}}));
  EXPECT_EQ(m.finish(), (Ranges{{0, 33}}));
  EXPECT_EQ(Hook::row_count(m), 4u);
}

struct SequenceCase {
  const char* name;
  const char* source;
  Lines query;                // pushed one line at a time
  std::vector<Ranges> after;  // matches after each line; fewer entries check only the last ones
  friend void PrintTo(const SequenceCase& tc, std::ostream* os) { *os << tc.name; }
};

class Sequences : public testing::TestWithParam<SequenceCase> {};

TEST_P(Sequences, MatchesAfterEachLine) {
  const SequenceCase& tc = GetParam();
  StreamingFuzzyMatcher m(tc.source);
  std::vector<Ranges> seen;
  for (const auto& line : tc.query) {
    const auto returned = m.push(line + "\n", std::nullopt);
    EXPECT_EQ(returned,
              Hook::matches(m).empty() ? std::nullopt : std::optional(Hook::matches(m).front()));
    seen.push_back(Hook::matches(m));
  }
  seen.erase(seen.begin(), seen.end() - static_cast<std::ptrdiff_t>(tc.after.size()));
  EXPECT_EQ(seen, tc.after);
}

INSTANTIATE_TEST_SUITE_P(
    StreamingMatcher, Sequences,
    testing::Values(
        SequenceCase{"SkippedLineBreaksRatio", "a\nx\nb", {"a", "b"}, {{{0, 1}}, {}}},
        SequenceCase{"GrowingBlockWithSkippedLine",
                     "a\nb\nX\nc\nd\ne",
                     {"a", "b", "c", "d", "e"},
                     {{{0, 1}}, {{0, 3}}, {}, {{0, 9}}, {{0, 11}}}},
        SequenceCase{"ExtraQueryLineAtExactlyEightyPercent",
                     "a\nb\nc\nd\ne",
                     {"a", "b", "ZZZ", "c", "d"},
                     {{{0, 7}}}},
        SequenceCase{"TiedPairingLosesToUp",
                     "alpha\nbeta\ngamma",
                     {"alpha", "BETA-X", "gamma"},
                     {{{0, 5}}, {}, {}}},
        SequenceCase{"SimilarLineCostsOne", "    return 42;\n}", {"return 43;"}, {{{0, 14}}}},
        SequenceCase{"SimilarityOfExactlyEightyPercent",
                     "int a = 1;\nint b = 2;\n",
                     {"int a = 1;", "int c = 3;"},
                     {{{0, 21}}}},
        SequenceCase{
            "TwoCheapestEnds", "x\nfoo\nbar\ny\nfoo\nbar\nz", {"foo", "bar"}, {{{2, 9}, {12, 19}}}},
        SequenceCase{"BlankQueryLineEqualsBlankSourceLine", "x\n \t\ny", {"\t"}, {{{2, 4}}}},
        SequenceCase{"CrLfSource", "a\r\nb\r\n", {"a", "b"}, {{{0, 1}}, {{0, 3}}}}),
    [](const auto& info) { return info.param.name; });

TEST(StreamingMatcher, EmptySourceHasOneColumnOfUpSteps) {
  StreamingFuzzyMatcher m("");
  EXPECT_EQ(Hook::source_line_offsets(m), std::vector<std::size_t>{0});
  EXPECT_EQ(m.push("a\nb\n", 0), std::nullopt);
  EXPECT_EQ(last_row(m), (std::vector<AlignmentCell>{{20, Up}}));
  EXPECT_EQ(m.finish(), Ranges{});
  EXPECT_EQ(m.get_text({0, 5}), "");
}

TEST(StreamingMatcher, BuffersPartialLinesAcrossChunks) {
  StreamingFuzzyMatcher m("abc\nx\n\ntail");
  m.push("ab", std::nullopt);
  m.push("", std::nullopt);
  EXPECT_EQ(Hook::row_count(m), 0u);
  m.push("c\r", std::nullopt);
  m.push("\nx\n\n", std::nullopt);  // three lines in one alignment run
  EXPECT_EQ(m.query_lines(), (Lines{"abc", "x", ""}));
  EXPECT_EQ(Hook::row_count(m), 4u);
  m.push("tail\r", std::nullopt);
  EXPECT_EQ(m.query_lines().size(), 3u);
  m.finish();
  EXPECT_EQ(m.query_lines(), (Lines{"abc", "x", "", "tail\r"}));
}

struct HintCase {
  std::string source;
  std::optional<std::uint32_t> hint;
  std::optional<ByteRange> selected;
  std::optional<ByteRange> returned;
  friend void PrintTo(const HintCase& tc, std::ostream* os) {
    *os << tc.source.size() << "-byte source, hint "
        << (tc.hint ? std::to_string(*tc.hint) : "none");
  }
};

class HintSelection : public testing::TestWithParam<HintCase> {};

TEST_P(HintSelection, ChoosesNearestStartWithinTwoHundredLines) {
  const HintCase& tc = GetParam();
  StreamingFuzzyMatcher m(tc.source);
  const std::string query = tc.source.starts_with("x\n") ? "foo\nbar\n" : "foo\n";
  EXPECT_EQ(m.push(query, tc.hint), tc.returned);
  EXPECT_EQ(m.select_best_match(), tc.selected);
  EXPECT_EQ(m.push("", std::nullopt), tc.returned);  // the hint is kept
}

const std::string kTwice = "x\nfoo\nbar\ny\nfoo\nbar\nz";
const std::string kFarApart = "foo\n" + std::string(999, '\n') + "foo";
constexpr ByteRange kFirst{2, 9}, kSecond{12, 19}, kTop{0, 3}, kBottom{1003, 1006};

INSTANTIATE_TEST_SUITE_P(
    StreamingMatcher, HintSelection,
    testing::Values(
        HintCase{kTwice, std::nullopt, std::nullopt, kFirst}, HintCase{kTwice, 4, kSecond, kSecond},
        HintCase{kTwice, 3, kSecond, kSecond}, HintCase{kTwice, 2, kFirst, kFirst},
        HintCase{kTwice, 500, std::nullopt, kFirst},
        HintCase{"x\nfoo\nbar\ny\nz\nfoo\nbar", 3, kFirst, kFirst},  // tie
        HintCase{kFarApart, 200, kTop, kTop}, HintCase{kFarApart, 201, std::nullopt, kTop},
        HintCase{kFarApart, 800, kBottom, kBottom}, HintCase{kFarApart, 1201, std::nullopt, kTop},
        HintCase{"a\nfoo", 4000000000u, ByteRange{2, 5}, ByteRange{2, 5}}));

TEST(StreamingMatcher, HintGivenWithoutNewLineChangesTheChoice) {
  StreamingFuzzyMatcher m(kTwice);
  EXPECT_EQ(m.push("foo\nbar\nb", std::nullopt), kFirst);
  EXPECT_EQ(m.push("a", 4), kSecond);
}

TEST(StreamingMatcher, GetTextClampsAndKeepsCharactersWhole) {
  const StreamingFuzzyMatcher m("function foo() {\n    return 42;\n}");
  EXPECT_EQ(m.get_text({0, 31}), "function foo() {\n    return 42;");
  EXPECT_EQ(m.get_text({0, 1000}), "function foo() {\n    return 42;\n}");
  EXPECT_EQ(m.get_text({40, 50}), "");
  EXPECT_EQ(m.get_text({5, 2}), "");
  EXPECT_EQ(StreamingFuzzyMatcher("a\r\nb\r\n").get_text({0, 3}), "a\nb");
  const StreamingFuzzyMatcher u("\xC3\xA9\nx\xE2\x82\xAC");  // "é\nx€"
  EXPECT_EQ(u.get_text({0, 1}), "");                         // end inside é moves back to 0
  EXPECT_EQ(u.get_text({1, 3}), "\xC3\xA9\n");               // start inside é moves back to 0
  EXPECT_EQ(u.get_text({3, 6}), "x");  // end inside € moves back to its start
  EXPECT_EQ(u.get_text({5, 99}), "\xE2\x82\xAC");
  EXPECT_EQ(StreamingFuzzyMatcher("\xC3\xA9\nx").push("x\n", std::nullopt), (ByteRange{3, 4}));
}

// --- Similarity decision -----------------------------------------------------------------------

TEST(Similarity, MaxDistanceIsTheLargestPassingDistance) {
  for (std::size_t m = 1; m < 5000; m += (m < 200 ? 1 : 7)) {
    const std::size_t k = max_similar_distance(m);
    EXPECT_GE(1.0 - static_cast<double>(k) / static_cast<double>(m), 0.8) << m;
    EXPECT_LT(1.0 - static_cast<double>(k + 1) / static_cast<double>(m), 0.8) << m;
  }
  EXPECT_EQ(max_similar_distance(10), 2u);  // exactly 0.8 passes
}

TEST(Similarity, BoundedDecisionEqualsFullDistanceFormula) {
  std::mt19937 rng(7);
  const std::vector<std::string> alphabet{"a", "b", "c", "x", " ", "\t", "\xC3\xA9", "\xE2\x82\xAC",
                                          "(", "_"};
  const auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  int similar = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string a;
    for (std::size_t n = pick(40); n > 0; --n) a += alphabet[pick(alphabet.size())];
    std::string b = a;
    for (std::size_t edits = pick(12); edits > 0 && !b.empty(); --edits) {
      const std::size_t at = text::floor_char_boundary(b, pick(b.size() + 1));
      const std::size_t here = at < b.size() ? text::sequence_length(b[at]) : 0;
      const int kind = static_cast<int>(pick(3));  // insert, delete, substitute
      const std::string piece = kind == 0 ? alphabet[pick(alphabet.size())] : kind == 1 ? "" : "q";
      b = b.substr(0, at) + piece + b.substr(at + (kind == 0 ? 0 : here));
    }
    const LinePairing expected = reference_pairing(a, b);
    similar += expected == LinePairing::Similar;
    ASSERT_EQ(pair_lines(a, b), expected) << '"' << a << "\" / \"" << b << '"';
  }
  EXPECT_GT(similar, 1000);  // the sample exercises the edit-distance path
  EXPECT_EQ(pair_lines("  ", "\xE3\x80\x80"), LinePairing::Equal);  // blank lines trim to ""
  EXPECT_EQ(pair_lines(" ", "x"), LinePairing::Dissimilar);
  EXPECT_EQ(pair_lines("abcde", "abcd"), LinePairing::Similar);  // length test at exactly 0.8
}

// --- Agreement with the reference and chunking invariance -------------------------------------

std::string random_text(std::mt19937& rng, std::size_t lines, bool trailing_newline) {
  static const std::vector<std::string> kLines{"a",      "b",         "  a",       "foo()",
                                               "foo(1)", "bar",       "",          " ",
                                               "a\r",    "return x;", "return y;", "\xC3\xA9"};
  static const std::vector<std::string> kPieces{"ab", "c", " ", "(", "\xC3\xA9", "ba"};
  std::string text;
  for (std::size_t i = 0; i < lines; ++i) {
    if (rng() % 3 == 0) {  // a line near the similarity thresholds of others like it
      for (std::size_t n = 2 + rng() % 5; n > 0; --n) text += kPieces[rng() % kPieces.size()];
    } else {
      text += kLines[rng() % kLines.size()];
    }
    if (i + 1 < lines || trailing_newline) text += rng() % 4 == 0 ? "\r\n" : "\n";
  }
  return text;
}

TEST(StreamingMatcher, AgreesWithPlainAlignmentAndIgnoresChunking) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 500; ++trial) {
    const std::string source = random_text(rng, rng() % 12, rng() % 2);
    const std::string query = random_text(rng, 1 + rng() % 8, rng() % 2);
    std::vector<StreamingFuzzyMatcher> matchers;
    for (int i = 0; i < 3; ++i) matchers.emplace_back(source);
    // Chunkings: all at once, one byte at a time, random sizes.
    matchers[0].push(query, std::nullopt);
    for (const char c : query) matchers[1].push(std::string_view(&c, 1), std::nullopt);
    for (std::size_t pos = 0; pos < query.size();) {
      const std::size_t n = std::min<std::size_t>(rng() % 6, query.size() - pos);
      matchers[2].push(query.substr(pos, n), std::nullopt);
      pos += n;
      const Lines& seen = matchers[2].query_lines();
      ASSERT_EQ(Hook::matches(matchers[2]), reference_alignment(source, seen).ranges);
      if (!seen.empty()) {
        ASSERT_EQ(last_row(matchers[2]), reference_alignment(source, seen).last_row);
      }
    }
    const Ranges final_ranges = matchers[0].finish();
    const auto expected = reference_alignment(source, matchers[0].query_lines());
    EXPECT_EQ(final_ranges, expected.ranges) << source << "|" << query;
    for (auto& m : matchers) {
      EXPECT_EQ(m.finish(), final_ranges);
      EXPECT_EQ(m.query_lines(), matchers[0].query_lines());
    }
  }
}

// --- Memory exhaustion -------------------------------------------------------------------------

struct Snapshot {
  Lines query_lines;
  Ranges matches;
  std::size_t rows;
  std::vector<AlignmentCell> last_row;
  std::optional<ByteRange> selected;
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

Snapshot snapshot(const StreamingFuzzyMatcher& m) {
  return {m.query_lines(), Hook::matches(m), Hook::row_count(m), last_row(m),
          m.select_best_match()};
}

// Fails the 0th, 1st, 2nd, ... allocation of `step` until it succeeds. After each failure the
// matcher must be unchanged, and repeating the step must give what an undisturbed matcher gives.
template <typename Step>
void expect_strong_guarantee(const std::string& source, const std::string& prefix, Step step) {
  StreamingFuzzyMatcher undisturbed(source);
  undisturbed.push(prefix, std::nullopt);
  step(undisturbed);
  const Ranges expected = undisturbed.finish();
  int failures = 0;
  for (long n = 0;; ++n) {
    StreamingFuzzyMatcher m(source);
    m.push(prefix, std::nullopt);
    const Snapshot before = snapshot(m);
    test_support::allocations_before_failure = n;
    try {
      step(m);
      test_support::allocations_before_failure = -1;
      break;
    } catch (const std::bad_alloc&) {
      test_support::allocations_before_failure = -1;
      ++failures;
      ASSERT_EQ(snapshot(m), before) << "allocation " << n;
      step(m);
      ASSERT_EQ(m.finish(), expected) << "allocation " << n;
    }
  }
  EXPECT_GE(failures, 1);  // the step does allocate, so the test is not vacuous
}

TEST(StreamingMatcher, MemoryExhaustionLeavesMatcherUnchanged) {
  const std::string source = "x\nfoo\nbar\ny\nfoo\nbar\nz";
  expect_strong_guarantee(source, "fo", [](auto& m) { m.push("o\nbar\nba", 4); });
  expect_strong_guarantee(source, "foo\nbar", [](auto& m) { m.finish(); });
  expect_strong_guarantee(source, "foo\n", [](auto& m) { m.push(std::string(40, 'b'), 1); });
}

}  // namespace
}  // namespace marlune::streaming_matcher

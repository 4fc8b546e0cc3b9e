#include "content_replacer/strategies.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "content_replacer/levenshtein.h"
#include "support/plain_references.h"
#include "text/lines.h"
#include "text/unicode_data.h"
#include "text/utf8.h"

namespace marlune::content_replacer {
namespace {

using Lines = std::vector<std::string_view>;

// ---------------------------------------------------------------------------------------------
// Plain reference versions, written step by step from the behaviour they pin down: every window
// built as a string and normalized afresh, every helper as its literal sequence of passes.

namespace ref = marlune::fuzz::ref;

// ---------------------------------------------------------------------------------------------
// Behaviour tables

struct Case {
  const char* what;
  Strategy strategy;
  std::string content;
  std::string find;
  CandidateList expected;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.what;
}

class StrategyCase : public ::testing::TestWithParam<Case> {};

TEST_P(StrategyCase, ProposesExactlyTheseCandidates) {
  const Case& c = GetParam();
  EXPECT_EQ(c.strategy(c.content, c.find), c.expected);
}

const Case kLineCases[] = {
    // clang-format off
    {"line_trimmed: empty find",
     line_trimmed_replacer, "a\nb", "", {}},
    {"line_trimmed: untrimmed line without newline",
     line_trimmed_replacer, "a\n  foo  \nb", "foo\n", {"  foo  "}},
    {"line_trimmed: trailing empty line dropped",
     line_trimmed_replacer, "x\na\n", "a\n\n", {"a"}},
    {"line_trimmed: CRLF content joined with LF",
     line_trimmed_replacer, "x\r\ny\r\n", "x\ny", {"x\ny"}},
    {"line_trimmed: overlapping duplicates kept",
     line_trimmed_replacer, "a\n a\na", "a\na", {"a\n a", " a\na"}},
    {"line_trimmed: whitespace inside a line counts",
     line_trimmed_replacer, "a  b", "a b", {}},
    {"block_anchor: two-line find",
     block_anchor_replacer, "a\nX\nb", "a\nb", {}},
    {"block_anchor: trailing empty line, single block",
     block_anchor_replacer, "a\nX\nb", "a\nb\n\n", {"a\nX\nb"}},
    {"block_anchor: best interior wins",
     block_anchor_replacer, "A\nA\ny\nB", "A\ny\nB", {"A\ny\nB"}},
    {"block_anchor: earlier block wins a tie",
     block_anchor_replacer, "A\nz\nB\nA\n z\nB", "A\nz\nB", {"A\nz\nB"}},
    {"block_anchor: several blocks all below 0.3",
     block_anchor_replacer, "A\nq\nB\nA\nr\nB", "A\ny\nB", {}},
    {"block_anchor: single block accepted however poor",
     block_anchor_replacer, "A\nqqq\nB", "A\ny\nB", {"A\nqqq\nB"}},
    {"block_anchor: nearest end line, any length",
     block_anchor_replacer, "A\nx\nB\ny\nB", "A\nx\ny\nB", {"A\nx\nB"}},
    {"block_anchor: end line two below the start",
     block_anchor_replacer, "A\nB\nB", "A\nx\nB", {"A\nB\nB"}},
    {"block_anchor: blank first search line anchors nothing",
     block_anchor_replacer, "\nx\nB", "\nx\nB", {}},
    {"block_anchor: blank last search line anchors nothing",
     block_anchor_replacer, "A\nx\n  ", "A\nx\n  ", {}},
    {"block_anchor: end line nearest the search size, not the nearest line",
     block_anchor_replacer, "A\nB\nx\nB\ny\nz\nB", "A\n1\n2\n3\n4\nB", {"A\nB\nx\nB\ny\nz\nB"}},
    {"block_anchor: two end lines equally near, the earlier wins",
     block_anchor_replacer, "A\n1\n2\n3\nB\n4\nB", "A\n1\n2\n3\n4\nB", {"A\n1\n2\n3\nB"}},
    {"context_aware: trailing empty leaves two lines",
     context_aware_replacer, "a\nX\nb", "a\nb\n\n", {}},
    {"context_aware: half the interior suffices",
     context_aware_replacer, "{\np\nr\n}", "{\np\nq\n}", {"{\np\nr\n}"}},
    {"context_aware: no interior match",
     context_aware_replacer, "{\nr\ns\n}", "{\np\nq\n}", {}},
    {"context_aware: nearest end of wrong length",
     context_aware_replacer, "{\np\n}\nq\n}", "{\np\nq\n}", {}},
    {"context_aware: all-blank interior accepted",
     context_aware_replacer, "{\n\n  \n}", "{\n \n\n}", {"{\n\n  \n}"}},
    {"context_aware: interior below half rejected",
     context_aware_replacer, "{\np\n}\n{\np\n}", "{\nq\n}", {}},
    {"context_aware: blocks in start order, duplicates kept",
     context_aware_replacer, "{\np\n}\n{\np\n}", "{\np\n}", {"{\np\n}", "{\np\n}"}},
    // clang-format on
};
INSTANTIATE_TEST_SUITE_P(LineBased, StrategyCase, ::testing::ValuesIn(kLineCases));

const Case kNormalizingCases[] = {
    // clang-format off
    {"simple: contained",
     simple_replacer, "abc", "b", {"b"}},
    {"simple: absent",
     simple_replacer, "abc", "x", {}},
    {"simple: empty find",
     simple_replacer, "abc", "", {""}},
    {"whitespace: whole content with its newline",
     whitespace_normalized_replacer, "a  b\n", "a b", {"a  b\n"}},
    {"whitespace: distinct lines only",
     whitespace_normalized_replacer, "a b\na  b\na b\nc", "a b", {"a b", "a  b"}},
    {"whitespace: line mode for a longer find",
     whitespace_normalized_replacer, "x y\nz", "x\n\n\ny", {"x y"}},
    {"whitespace: empty find, blank lines",
     whitespace_normalized_replacer, "a\n\n  \nb", "", {"", "  "}},
    {"whitespace: empty find, empty content",
     whitespace_normalized_replacer, "", "", {""}},
    {"whitespace: windows around punctuation",
     whitespace_normalized_replacer, "f( a,\n  b )\nz\nf(a,\nb)", "f(a,\nb)",
     {"f( a,\n  b )", "f(a,\nb)"}},
    {"whitespace: window with blank edges",
     whitespace_normalized_replacer, "\na b\n\nc", "a\nb", {"\na b", "a b\n"}},
    {"indentation: deeper block",
     indentation_flexible_replacer, "def f():\n    if x:\n        y\n", "if x:\n    y",
     {"    if x:\n        y"}},
    {"indentation: empty find",
     indentation_flexible_replacer, "a", "", {}},
    {"indentation: all-blank find equals blank windows",
     indentation_flexible_replacer, "a\n  \n\t\nb", "  \n\t", {"  \n\t"}},
    {"indentation: window ending in an empty line",
     indentation_flexible_replacer, "  a\n\n", "a\n\n", {}},
    {"indentation: CRLF content",
     indentation_flexible_replacer, "  a\r\n  b\r\n", "a\nb", {"  a\n  b"}},
    {"indentation: no deduplication",
     indentation_flexible_replacer, " a\n  a", "a", {" a", "  a"}},
    {"indentation: relative indent must agree",
     indentation_flexible_replacer, "  x\n  y", "x\n y", {}},
    {"indentation: tabs and spaces count alike",
     indentation_flexible_replacer, "\tx\n  y", " x\n  y", {"\tx\n  y"}},
    {"escape: decoded find first",
     escape_normalized_replacer, "say \"hi\"", "say \\\"hi\\\"", {"say \"hi\""}},
    {"escape: escaped content line",
     escape_normalized_replacer, "x\nsay \\\"hi\\\"\ny", "say \"hi\"", {"say \\\"hi\\\""}},
    {"escape: empty find",
     escape_normalized_replacer, "abc", "", {""}},
    {"escape: doubled backslash before n",
     escape_normalized_replacer, "a\\\nb", "a\\\\nb", {"a\\\nb"}},
    {"escape: window length counts decoded lines",
     escape_normalized_replacer, "p\na\\nb\nq", "a\nb", {}},
    {"escape: escaped window of two lines",
     escape_normalized_replacer, "p\nsay \\\"a\\\"\nb\nq", "say \"a\"\nb",
     {"say \\\"a\\\"\nb"}},
    {"trimmed: nothing to trim",
     trimmed_boundary_replacer, "foo", "foo", {}},
    {"trimmed: trimmed find then window",
     trimmed_boundary_replacer, "foo\n  foo  \n", "  foo\n", {"foo", "  foo  "}},
    {"trimmed: whitespace find",
     trimmed_boundary_replacer, "a\n \n\t\n \nb", "   ", {"", " ", "\t"}},
    {"trimmed: empty find",
     trimmed_boundary_replacer, "a", "", {}},
    {"trimmed: blank lines around a window",
     trimmed_boundary_replacer, "x\n\n  a\n  b  \ny", "\n  a\n  b  ", {"a\n  b", "\n  a\n  b  "}},
    {"trimmed: CRLF content",
     trimmed_boundary_replacer, "  foo  \r\nbar\r\n", "  foo\n", {"foo", "  foo  "}},
    // clang-format on
};
INSTANTIATE_TEST_SUITE_P(Normalizing, StrategyCase, ::testing::ValuesIn(kNormalizingCases));

struct HelperCase {
  std::string (*helper)(std::string_view);
  std::string input;
  std::string expected;
};

void PrintTo(const HelperCase& c, std::ostream* os) {
  *os << ::testing::PrintToString(c.input);
}

class HelperTable : public ::testing::TestWithParam<HelperCase> {};

TEST_P(HelperTable, Transforms) {
  EXPECT_EQ(GetParam().helper(GetParam().input), GetParam().expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Helpers, HelperTable, ::testing::Values(
    HelperCase{normalize_whitespace, "foo  (a,  b)", "foo(a,b)"},
    HelperCase{normalize_whitespace, "foo(a, b)", "foo(a,b)"},
    HelperCase{normalize_whitespace, "  a \t\n b  ", "a b"},
    HelperCase{normalize_whitespace, "x : y", "x:y"},
    HelperCase{normalize_whitespace, " \r\n\t ", ""},
    HelperCase{normalize_whitespace, "a\xC2\xA0\xE3\x80\x80" "b", "a b"},
    HelperCase{normalize_whitespace, "a\xE2\x80\x8B b\x1C c", "a\xE2\x80\x8B b\x1C c"},
    HelperCase{normalize_whitespace, "{ [ \xC3\xA9 ] }", "{[\xC3\xA9]}"},
    HelperCase{remove_common_indentation, "    a\n      b", "a\n  b"},
    HelperCase{remove_common_indentation, "\ta\n    b", "a\n   b"},
    HelperCase{remove_common_indentation, "  a\n \n  b", "a\n \nb"},
    HelperCase{remove_common_indentation, "  \n", "  \n"},
    HelperCase{remove_common_indentation, "", ""},
    HelperCase{remove_common_indentation, "  a\r\n  b\n", "a\nb"},
    // Indentation goes in whole characters: a no-break space (2 bytes) or an ideographic space
    // (3 bytes) that straddles the common byte count stays.
    HelperCase{remove_common_indentation, "\xC2\xA0x\n y", "\xC2\xA0x\ny"},
    HelperCase{remove_common_indentation, "\xE3\x80\x80x\n  y", "\xE3\x80\x80x\ny"},
    HelperCase{remove_common_indentation, " \xC2\xA0x\n\t\ty", "\xC2\xA0x\ny"},
    HelperCase{remove_common_indentation, "\xC2\xA0x\n\xC2\xA0 y", "x\n y"},
    HelperCase{unescape_string, "\\\\", "\\"},
    HelperCase{unescape_string, "\\\\\\\\", "\\\\"},
    HelperCase{unescape_string, "\\u0041", "\\u0041"},
    HelperCase{unescape_string, "\\n\\t\\r\\'\\\"\\`\\$", "\n\t\r'\"`$"},
    HelperCase{unescape_string, "\\\\n", "\\\n"},
    HelperCase{unescape_string, "\\\\\\n", "\\\n"},
    HelperCase{unescape_string, "\\\\\\", "\\\\"},
    HelperCase{unescape_string, "a\\", "a\\"}));
// clang-format on

// ---------------------------------------------------------------------------------------------
// Randomized differential tests against the references

// Small contents from a few kinds of line (varied indentation, inner and trailing whitespace,
// escapes, punctuation, multi-byte characters, "\n" or "\r\n" endings), and finds taken from
// windows of them and perturbed the way a reproduced text goes wrong.
class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  std::size_t below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }
  template <std::size_t N>
  std::string pick(const char* const (&items)[N]) {
    return items[below(N)];
  }

  std::string line() {
    static const char* const kIndents[] = {
        "", "", " ", "  ", "    ", "\t", "\xC2\xA0", "\xE3\x80\x80", " \t"};
    static const char* const kBodies[] = {
        "a",        "b",     "a b",   "a  b", "x: y",       "f(a, b)", "f( a ,b )", "{",
        "}",        "\\n",   "\\\\n", "\\\\", "q\\\"q\\\"", "q\"q\"",  "a\\tb",     "a\tb",
        "\xC3\xA9", "if x:", "y",     "",     "  ",         "a\\",     "\\'x\\'",   "$\\$"};
    static const char* const kTrails[] = {"", "", "", " ", "\t", "\r", "\xC2\xA0"};
    return pick(kIndents) + pick(kBodies) + pick(kTrails);
  }

  std::string content() {
    const std::size_t n = below(9);
    const char* eol = chance(20) ? "\r\n" : "\n";
    std::string out;
    for (std::size_t j = 0; j < n; ++j) {
      out += line();
      if (j + 1 < n || chance(50)) out += eol;
    }
    return out;
  }

  std::string find(std::string_view content) {
    static const char* const kIndents[] = {"", " ", "  ", "\t"};
    static const char* const kEndings[] = {"\n", "\n\n", " ", "\r\n"};
    const Lines lines = text::split_lines(content);
    std::vector<std::string> picked;
    if (lines.empty() || chance(15)) {
      for (std::size_t j = below(5); j > 0; --j) picked.push_back(line());
    } else {
      const std::size_t start = below(lines.size());
      const std::size_t count = 1 + below(std::min<std::size_t>(5, lines.size() - start));
      for (std::size_t j = 0; j < count; ++j) picked.emplace_back(lines[start + j]);
    }
    const bool reindent = chance(30);
    const std::string extra = pick(kIndents);
    for (auto& l : picked) {
      if (reindent) l = extra + l;
      switch (below(10)) {
        case 0:
          l = pick(kIndents) + std::string(text::trim_start(l));
          break;
        case 1:
          l = std::string(text::trim(l));
          break;
        case 2:
          l += " ";
          break;
        case 3:
          l = ref::normalize_whitespace(l);
          break;
        case 4:
          if (picked.size() > 2) l = line();
          break;
        default:
          break;
      }
    }
    std::string out;
    for (std::size_t j = 0; j < picked.size(); ++j) {
      if (j > 0) out += chance(10) ? "\\n" : "\n";
      out += picked[j];
    }
    if (chance(20)) out = ref::replace_all(out, "\"", "\\\"");
    if (chance(15)) out = "  " + out;
    if (chance(20)) out += pick(kEndings);
    return out;
  }

  std::string noise() {
    static const char* const kPieces[] = {
        " ", "\t",       "\n",           "\r",      "a", "b", ":",  ",", "(",
        ")", "{",        "\\",           "\\",      "n", "t", "\"", "'", "$",
        "`", "\xC2\xA0", "\xE3\x80\x80", "\xC3\xA9"};
    std::string out;
    for (std::size_t j = below(16); j > 0; --j) out += pick(kPieces);
    return out;
  }

 private:
  std::mt19937 rng_;
};

std::string escaped(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else
      out += c;
  }
  return out + "\"";
}

// A block of `size` lines from "S" to "E" against a search text of `n` lines: accepted exactly
// when the size is within max(2, n / 4) of n (and at least three lines).
TEST(BlockAnchorSize, AcceptsSizesWithinTheTolerance) {
  for (const std::size_t n : {3u, 4u, 8u, 20u}) {
    const std::size_t t = std::max<std::size_t>(2, n / 4);
    std::string find = "S\n";
    for (std::size_t i = 0; i + 2 < n; ++i) find.append("s").append(std::to_string(i)).append("\n");
    find += "E";
    for (const std::size_t size : {n - t - 1, n - t, n + t, n + t + 1}) {
      if (size < 2 || size > n + t + 1) continue;  // n - t - 1 wraps below zero for small n
      std::string content = "S\n";
      for (std::size_t i = 0; i + 2 < size; ++i)
        content.append("c").append(std::to_string(i)).append("\n");
      content += "E";
      const bool fits = size >= 3 && size + t >= n && size <= n + t;
      const CandidateList expected = fits ? CandidateList{content} : CandidateList{};
      EXPECT_EQ(block_anchor_replacer(content, find), expected) << "n " << n << " size " << size;
    }
  }
}

// The shapes that once deleted or kept whole stretches of a file.
TEST(BlockAnchorSize, RefusesBlocksThatWouldLoseLines) {
  // The nearest end line stands far below the search text's size.
  std::string far = "def f():\n    x = 1\n";
  for (int i = 0; i < 950; ++i) far.append("    y").append(std::to_string(i)).append(" = 0\n");
  far += "    pass\n";
  EXPECT_EQ(block_anchor_replacer(far, "def f():\n  x=1\n  y=2\n    pass"), CandidateList{});
  // The last search line also occurs inside the search text: the block ends near n lines.
  std::string find = "begin\n";
  std::string block = "begin\n";
  for (int i = 0; i < 17; ++i) {
    const std::string line = i == 4 ? std::string("end") : "item " + std::to_string(i);
    find += line + "!\n";
    block += line + "\n";
  }
  find += "end";
  block += "end";
  EXPECT_EQ(block_anchor_replacer("x\n" + block + "\ny", find), CandidateList{block});
  // A blank first line would anchor on every blank line.
  EXPECT_EQ(block_anchor_replacer("a\n\nb\nc\n\nd\ne\nlast", "\n  \nq\nlast"), CandidateList{});
}

constexpr int kRounds = 40000;

TEST(StrategiesDifferential, AgreeWithThePlainReferences) {
  struct Pair {
    const char* name;
    Strategy fast;
    Strategy plain;
  };
  const Pair pairs[] = {
      {"line_trimmed", line_trimmed_replacer, ref::line_trimmed},
      {"block_anchor", block_anchor_replacer, ref::block_anchor},
      {"context_aware", context_aware_replacer, ref::context_aware},
      {"whitespace_normalized", whitespace_normalized_replacer, ref::whitespace_normalized},
      {"indentation_flexible", indentation_flexible_replacer, ref::indentation_flexible},
      {"escape_normalized", escape_normalized_replacer, ref::escape_normalized},
      {"trimmed_boundary", trimmed_boundary_replacer, ref::trimmed_boundary},
  };
  Generator gen(20240611);
  std::size_t proposing[std::size(pairs)] = {};
  for (int round = 0; round < kRounds; ++round) {
    const std::string content = gen.content();
    const std::string find = gen.find(content);
    for (std::size_t s = 0; s < std::size(pairs); ++s) {
      const CandidateList expected = pairs[s].plain(content, find);
      ASSERT_EQ(pairs[s].fast(content, find), expected)
          << pairs[s].name << " content " << escaped(content) << " find " << escaped(find);
      proposing[s] += !expected.empty();
    }
  }
  // The inputs must exercise every strategy, or the comparison proves nothing.
  for (std::size_t s = 0; s < std::size(pairs); ++s)
    EXPECT_GT(proposing[s], kRounds / 100) << pairs[s].name;
}

// Long, repetitive contents: many windows begin like the search text, so the strategies that
// test windows one by one switch to preparing the whole content once. Both ways must give the
// plain result.
TEST(StrategiesDifferential, AgreeOnLongRepetitiveContent) {
  Generator gen(99);
  static const char* const kLines[] = {"a", "a ", " a", "a  b", "", "a,b", "a\t(b)", "  ", "a\\tb"};
  static const char* const kFinds[] = {"a\na\n a\na\na\n\na\na", "a\\na\\na\\na\\na\\na\\nb"};
  for (int round = 0; round < 300; ++round) {
    const std::size_t count = 50 + gen.below(300);
    std::string content;
    for (std::size_t j = 0; j < count; ++j) {
      content += round % 5 == 0 ? "a" : gen.pick(kLines);
      content += '\n';
    }
    const std::string find = round % 3 ? gen.find(content) : gen.pick(kFinds);
    ASSERT_EQ(whitespace_normalized_replacer(content, find),
              ref::whitespace_normalized(content, find))
        << "content " << escaped(content) << " find " << escaped(find);
    ASSERT_EQ(escape_normalized_replacer(content, find), ref::escape_normalized(content, find))
        << "content " << escaped(content) << " find " << escaped(find);
  }
}

TEST(HelpersDifferential, AgreeWithTheLiteralPasses) {
  Generator gen(7);
  for (int round = 0; round < kRounds; ++round) {
    const std::string s = gen.noise();
    ASSERT_EQ(normalize_whitespace(s), ref::normalize_whitespace(s)) << escaped(s);
    ASSERT_EQ(unescape_string(s), ref::unescape_string(s)) << escaped(s);
    ASSERT_EQ(remove_common_indentation(s), ref::remove_common_indentation(s)) << escaped(s);
  }
}

}  // namespace
}  // namespace marlune::content_replacer

#include "fuzzy_scoring/fuzzy_scoring.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "text/case_mapping.h"
#include "text/unicode_data.h"
#include "text/utf8.h"

namespace marlune::fuzzy_scoring {

void PrintTo(const FuzzyScore& s, std::ostream* os) {
  *os << "(" << (s.matched ? "true" : "false") << ", " << s.score << ")";
}
void PrintTo(const RankedCandidate& r, std::ostream* os) {
  *os << "{" << r.index << ", " << r.score << "}";
}

namespace {

using text::lower_first;
using text::upper_first;

std::vector<char32_t> decode(std::string_view s) {
  std::vector<char32_t> out;
  for (std::size_t pos = 0; pos < s.size();) out.push_back(text::decode_utf8(s, pos));
  return out;
}

std::int32_t add(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

// The scoring pass written out step by step over decoded code points, without fast paths.
FuzzyScore reference_fuzzy_match(std::string_view pattern_text, std::string_view instring,
                                 const FuzzyMatchParams& prm) {
  if (pattern_text.empty()) return {false, 0};
  const std::vector<char32_t> pattern = decode(pattern_text);
  if (instring.empty()) return {false, 0};
  std::int32_t score = 0, best_letter_score = 0, lead_total = 0;
  std::size_t index = 0;
  std::optional<char32_t> best_letter;
  char32_t best_lower = 0;
  bool prev_matched = false, prev_lower = false, prev_separator = true;
  for (const char32_t c : decode(instring)) {
    std::optional<char32_t> p;
    if (index < pattern.size()) p = lower_first(pattern[index]);
    const char32_t lo = lower_first(c), up = upper_first(c);
    const bool next_match = p && *p == lo;
    const bool rematch = best_letter && best_lower == lo;
    const bool advanced = next_match && best_letter;
    const bool repeat = best_letter && p && best_lower == *p;
    if (advanced || repeat) {
      score = add(score, best_letter_score);
      best_letter.reset();
      best_letter_score = 0;
    }
    if (next_match || rematch) {
      std::int32_t new_score = 0;
      if (index == 0) score = add(score, std::max(lead_total, prm.max_lead_penalty));
      if (prev_matched) new_score = add(new_score, prm.adj_bonus);
      if (prev_separator) new_score = add(new_score, prm.sep_bonus);
      if (prev_lower && c == up && lo != up) new_score = add(new_score, prm.camel_bonus);
      if (next_match) ++index;
      if (new_score >= best_letter_score) {
        if (best_letter) score = add(score, prm.unmatched_penalty);
        best_letter = c;
        best_lower = lo;
        best_letter_score = new_score;
      }
      prev_matched = true;
    } else {
      score = add(score, prm.unmatched_penalty);
      prev_matched = false;
    }
    prev_lower = c == lo && lo != up;
    prev_separator = c == U'_' || c == U' ';
    lead_total = add(lead_total, prm.lead_penalty);
  }
  if (best_letter) score = add(score, best_letter_score);
  return {index == pattern.size(), score};
}

bool reference_fuzzy_match_simple(std::string_view pattern, std::string_view instring, bool cs) {
  if (pattern.empty()) return true;
  if (instring.empty()) return false;
  const auto p = decode(cs ? std::string(pattern) : text::to_lower_full(pattern));
  const auto s = decode(cs ? std::string(instring) : text::to_lower_full(instring));
  std::size_t i = 0;
  for (const char32_t c : s) {
    if (c == p[i] && ++i == p.size()) break;
  }
  return i == p.size();
}

std::vector<RankedCandidate> reference_best_matches(std::string_view pattern,
                                                    const std::vector<std::string_view>& cands) {
  std::vector<RankedCandidate> out;
  if (pattern.empty()) return out;
  for (std::size_t i = 0; i < cands.size(); ++i) {
    const FuzzyScore r = reference_fuzzy_match(pattern, cands[i], {});
    if (r.matched) out.push_back({i, r.score});
  }
  std::stable_sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.score > b.score; });
  return out;
}

constexpr FuzzyMatchParams kDefault{};
constexpr std::int32_t kMax = INT32_MAX, kMin = INT32_MIN;

struct ScoreCase {
  const char* pattern;
  const char* instring;
  FuzzyMatchParams params;
  FuzzyScore expected;
};

class FuzzyMatchCases : public ::testing::TestWithParam<ScoreCase> {};

TEST_P(FuzzyMatchCases, Scores) {
  const ScoreCase& c = GetParam();
  EXPECT_EQ(fuzzy_match(c.pattern, c.instring, c.params), c.expected)
      << "pattern '" << c.pattern << "' in '" << c.instring << "'";
}

INSTANTIATE_TEST_SUITE_P(Defaults, FuzzyMatchCases,
                         ::testing::Values(ScoreCase{"", "abc", kDefault, {false, 0}},
                                           ScoreCase{"a", "", kDefault, {false, 0}},
                                           ScoreCase{"abc", "abc", kDefault, {true, 20}},
                                           ScoreCase{"ABC", "abc", kDefault, {true, 20}},
                                           ScoreCase{"z", "abcdz", kDefault, {true, -13}},
                                           ScoreCase{"ab", "xab", kDefault, {true, 1}},
                                           ScoreCase{"fb", "foo_bar", kDefault, {true, 15}},
                                           ScoreCase{"fb", "fooBar", kDefault, {true, 16}},
                                           ScoreCase{"fb", "foobar", kDefault, {true, 6}},
                                           ScoreCase{"ms", "my_string", kDefault, {true, 13}},
                                           ScoreCase{"ms", "MyString", kDefault, {true, 14}},
                                           ScoreCase{"ac", "abc", kDefault, {true, 9}},
                                           ScoreCase{"aa", "aaa", kDefault, {true, 14}},
                                           ScoreCase{"ab", "aab", kDefault, {true, 15}},
                                           ScoreCase{"abc", "xyz", kDefault, {false, -3}},
                                           ScoreCase{"aa", "ab", kDefault, {false, 9}}));

INSTANTIATE_TEST_SUITE_P(
    CustomParams, FuzzyMatchCases,
    ::testing::Values(ScoreCase{"fb", "fooBar", {1, 100, 7, -2, -5, -3}, {true, 95}},
                      ScoreCase{"z", "abcdz", {5, 10, 10, -2, -5, -3}, {true, -17}}));

// Every addition wraps modulo 2^32; a wrapped bonus is compared as the negative number it is.
INSTANTIATE_TEST_SUITE_P(
    WrapAround, FuzzyMatchCases,
    ::testing::Values(ScoreCase{"abc", "abc", {kMax, 10, 10, -3, -9, -1}, {true, 8}},
                      ScoreCase{"_a", "_a", {kMax, kMax, 10, -3, -9, -1}, {true, kMax}},
                      ScoreCase{"c", "abc", {5, 10, 10, kMin, kMin, -1}, {true, -2}},
                      ScoreCase{"a", "bba", {5, 10, 10, -3, -9, kMin}, {true, -6}}));

// Case mapping takes the first code point of the full mapping, without context.
INSTANTIATE_TEST_SUITE_P(
    NonAscii, FuzzyMatchCases,
    ::testing::Values(ScoreCase{"ss", "\u00DF", kDefault, {false, -1}},
                      ScoreCase{"s", "\u00DF", kDefault, {false, -1}},
                      ScoreCase{"k", "\u212A", kDefault, {true, 10}},
                      ScoreCase{"K", "x\u212A", kDefault, {true, 6}},
                      ScoreCase{"i", "\u0130", kDefault, {true, 10}},
                      ScoreCase{"\u00E9", "a\u00C9", kDefault, {true, 6}},
                      ScoreCase{"\u03C3", "\u03A3", kDefault, {true, 10}},
                      ScoreCase{"\u03C2", "\u03A3", kDefault, {false, -1}},
                      // A titlecase letter is neither lower case nor upper case.
                      ScoreCase{"\u01C6", "a\u01C5", kDefault, {true, -4}},
                      ScoreCase{"\u01C6", "a\u01C4", kDefault, {true, 6}}));

TEST(FuzzyMatch, LongPatternAgainstItself) {
  const std::string pattern(100, 'q');
  EXPECT_EQ(fuzzy_match(pattern, pattern), (FuzzyScore{true, 10 + 99 * 5}));
}

struct SimpleCase {
  const char* pattern;
  const char* instring;
  bool case_sensitive;
  bool expected;
};

class FuzzyMatchSimpleCases : public ::testing::TestWithParam<SimpleCase> {};

TEST_P(FuzzyMatchSimpleCases, Decides) {
  const SimpleCase& c = GetParam();
  EXPECT_EQ(fuzzy_match_simple(c.pattern, c.instring, c.case_sensitive), c.expected)
      << "pattern '" << c.pattern << "' in '" << c.instring << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FuzzyMatchSimpleCases,
    ::testing::Values(
        SimpleCase{"", "", true, true}, SimpleCase{"a", "", false, false},
        SimpleCase{"ace", "abcde", true, true}, SimpleCase{"aec", "abcde", true, false},
        SimpleCase{"ACE", "abcde", true, false}, SimpleCase{"ACE", "abcde", false, true},
        SimpleCase{"i", "\u0130", false, true}, SimpleCase{"i", "\u0130", true, false},
        SimpleCase{"i\u0307", "x\u0130", false, true}, SimpleCase{"ss", "\u00DF", false, false},
        // Final sigma: word-final capital sigma lowers to U+03C2.
        SimpleCase{"\u03C2", "\u039F\u0394\u039F\u03A3", false, true},
        SimpleCase{"\u03C3", "\u039F\u0394\u039F\u03A3", false, false},
        SimpleCase{"\u03C3", "\u03A3\u0391", false, true},
        SimpleCase{"\u03C2", "\u03A3\u0391", false, false},
        // Code points, not bytes: C3 A9 is not found in C3 83 C2 A9.
        SimpleCase{"\u00E9", "\u00C3\u00A9", true, false},
        SimpleCase{"\u00E9", "\u00C3\u00A9", false, false}));

TEST(GetBestMatches, RanksStablyAndKeepsNegativeScores) {
  using C = std::vector<std::string_view>;
  using R = std::vector<RankedCandidate>;
  const auto run = [](std::string_view p, const C& c) { return get_best_matches(p, c); };
  EXPECT_EQ(run("fb", C{"foobar", "foo_bar", "fooBar", "xyz"}), (R{{2, 16}, {1, 15}, {0, 6}}));
  EXPECT_EQ(run("a", C{"ba", "ca", "a"}), (R{{2, 10}, {0, -4}, {1, -4}}));
  EXPECT_EQ(run("ab", C{"xab", "ab", "aab", "b"}), (R{{1, 15}, {2, 15}, {0, 1}}));
  EXPECT_EQ(run("", C{"a", "b"}), R{});
  EXPECT_EQ(run("a", C{"a", "a"}), (R{{0, 10}, {1, 10}}));
  // Non-ASCII characters that lower to ASCII ones, and a non-ASCII pattern over ASCII text.
  EXPECT_EQ(run("k", C{"\u212A", "xyz", "K"}), (R{{0, 10}, {2, 10}}));
  EXPECT_EQ(run("kz", C{"abcdefgh\u212Az", "abcdefghijz"}), (R{{0, -2}}));
  EXPECT_EQ(run("\u0130", C{"I", "\u0130", "x"}), (R{{0, 10}, {1, 10}}));
  EXPECT_EQ(run("\u00E9", C{"e", "\u00C9"}), (R{{1, 10}}));
}

// Random strings over an alphabet that mixes cases, separators, bytes next to letters under
// the ASCII case bit ('@' '`' '[' '{'), NUL, and letters whose case mappings are special.
std::string random_text(std::mt19937& rng, std::size_t max_chars) {
  static const std::vector<std::string> kAlphabet = {
      "a",      "A",      "b",      "B",      "k",
      "K",      "s",      "S",      "i",      "I",
      "z",      "_",      " ",      "@",      "`",
      "[",      "{",      "0",      "/",      std::string(1, '\0'),
      "\u00DF", "\u0130", "\u212A", "\u00E9", "\u00C9",
      "\u03A3", "\u03C3", "\u03C2", "\u01C5", "\U0001F600"};
  std::uniform_int_distribution<std::size_t> len(0, max_chars);
  std::uniform_int_distribution<std::size_t> ascii_pick(0, 18), any_pick(0, kAlphabet.size() - 1);
  const bool ascii_only = rng() % 2 == 0;
  std::string out;
  for (std::size_t n = len(rng); n > 0; --n) {
    out += kAlphabet[ascii_only || rng() % 4 != 0 ? ascii_pick(rng) : any_pick(rng)];
  }
  return out;
}

FuzzyMatchParams random_params(std::mt19937& rng) {
  if (rng() % 3 == 0) return {};
  std::uniform_int_distribution<std::int32_t> small(-20, 20);
  const auto pick = [&] {
    const unsigned r = rng() % 8;
    return r == 0   ? kMax
           : r == 1 ? kMin
           : r == 2 ? kMax - static_cast<std::int32_t>(rng() % 10)
                    : small(rng);
  };
  return {pick(), pick(), pick(), pick(), pick(), pick()};
}

TEST(Differential, FuzzyMatchAgreesWithReference) {
  std::mt19937 rng(20240611);
  for (int iter = 0; iter < 40000; ++iter) {
    const std::string pattern = random_text(rng, 4);
    const std::string instring = random_text(rng, 24);
    const FuzzyMatchParams params = random_params(rng);
    ASSERT_EQ(fuzzy_match(pattern, instring, params),
              reference_fuzzy_match(pattern, instring, params))
        << "pattern '" << pattern << "' in '" << instring << "'";
    for (const bool cs : {true, false}) {
      ASSERT_EQ(fuzzy_match_simple(pattern, instring, cs),
                reference_fuzzy_match_simple(pattern, instring, cs))
          << "pattern '" << pattern << "' in '" << instring << "' case_sensitive " << cs;
    }
  }
}

// Two pattern characters placed at every pair of positions of texts of every length up to a
// few word and vector widths, in both orders: finds faults at block boundaries of the ranking.
TEST(Differential, GetBestMatchesAtEveryPosition) {
  std::vector<std::string> owned;
  for (std::size_t len = 1; len <= 40; ++len) {
    for (std::size_t i = 0; i < len; ++i) {
      for (std::size_t j = i; j < len; ++j) {
        std::string s(len, 'x');
        s[i] = 'B';
        s[j] = 'a';
        owned.push_back(s);
      }
    }
  }
  const std::vector<std::string_view> cands(owned.begin(), owned.end());
  for (const char* pattern : {"ab", "ba", "aa", "xa", "ax", "xb"}) {
    EXPECT_EQ(get_best_matches(pattern, cands), reference_best_matches(pattern, cands))
        << "pattern '" << pattern << "'";
  }
}

TEST(Differential, GetBestMatchesAgreesWithReference) {
  std::mt19937 rng(7);
  for (int iter = 0; iter < 2000; ++iter) {
    const std::string pattern = random_text(rng, 3);
    std::vector<std::string> owned(rng() % 40);
    for (auto& c : owned) c = random_text(rng, 40);
    const std::vector<std::string_view> cands(owned.begin(), owned.end());
    ASSERT_EQ(get_best_matches(pattern, cands), reference_best_matches(pattern, cands))
        << "pattern '" << pattern << "'";
  }
}

}  // namespace
}  // namespace marlune::fuzzy_scoring

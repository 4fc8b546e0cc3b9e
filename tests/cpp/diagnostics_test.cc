#include "content_replacer/diagnostics.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "content_replacer/levenshtein.h"
#include "text/lines.h"
#include "text/utf8.h"

namespace marlune::content_replacer {
namespace {

using Numbers = std::vector<std::size_t>;
using text::split_lines;

constexpr std::string_view kTips =
    "\n\nDebugging tips:\n1. Check for exact whitespace/indentation match\n2. Verify line endings "
    "match the file (\\r\\n vs \\n)\n3. Ensure the search text hasn't been modified\n4. Try "
    "reading the file section first to get exact text";
constexpr std::string_view kAdvice =
    "\"\n\nTo fix, include more surrounding context in old_string to uniquely identify the target "
    "location, or use replace_all=True to replace all occurrences, or provide a line_hint to "
    "select the closest match.";

// Plain reference: a set of starts examined in ascending order with the full edit distance.
std::optional<FuzzyMatch> reference_closest_match(std::string_view content, std::string_view old) {
  const auto c = split_lines(content);
  const auto s = split_lines(old);
  const std::size_t m = c.size(), n = s.size();
  if (n == 0 || m < n) return std::nullopt;
  std::string_view first;
  bool found = false;
  for (auto line : s) {
    if (!text::trim(line).empty()) {
      first = line;
      found = true;
      break;
    }
  }
  if (!found) return std::nullopt;
  std::set<std::size_t> starts;
  for (std::size_t j = 0; j < m; ++j) {
    if (c[j].find(first) == std::string_view::npos) continue;
    for (std::size_t st = j >= 5 ? j - 5 : 0; st < std::min(m - n + 1, j + 6); ++st)
      starts.insert(st);
  }
  if (starts.empty()) {
    for (std::size_t st = 0; st <= std::min(m - n, std::size_t{99}); ++st) starts.insert(st);
  }
  std::optional<FuzzyMatch> best;
  double best_similarity = 0.0;
  for (std::size_t st : starts) {
    const std::string window = text::join_lines(std::span(c).subspan(st, n));
    if (window.empty()) continue;
    const double sim = 1.0 - static_cast<double>(levenshtein_distance(old, window)) /
                                 static_cast<double>(std::max(old.size(), window.size()));
    if (sim >= 0.8 && sim > best_similarity) {
      best_similarity = sim;
      best = FuzzyMatch{sim, st + 1, st + n, window, build_match_diff(old, window)};
    }
  }
  return best;
}

// Plain reference: one join and one search per line.
Numbers reference_locations(std::string_view content, std::string_view old) {
  const auto c = split_lines(content);
  const auto s = split_lines(old);
  const std::string_view first = s.empty() ? std::string_view() : s[0];
  Numbers out;
  for (std::size_t j = 0; j < c.size(); ++j) {
    if (!first.empty() && c[j].find(first) == std::string_view::npos) continue;
    if (s.size() <= 1 ||
        text::join_lines(std::span(c).subspan(j, std::min(s.size(), c.size() - j))).find(old) !=
            std::string::npos) {
      out.push_back(j + 1);
    }
  }
  return out;
}

// Replaces one whole character of `s`, if it has any, by `by`; the text stays valid UTF-8.
void edit_one_character(std::mt19937& rng, std::string& s, std::string_view by) {
  if (s.empty()) return;
  std::size_t pos = rng() % s.size();
  while (pos > 0 && text::is_continuation_byte(static_cast<unsigned char>(s[pos]))) --pos;
  s.replace(pos, text::sequence_length(static_cast<unsigned char>(s[pos])), by);
}

void expect_same_match(const std::optional<FuzzyMatch>& actual,
                       const std::optional<FuzzyMatch>& expected, const std::string& context) {
  ASSERT_EQ(actual.has_value(), expected.has_value()) << context;
  if (!actual) return;
  // Bit for bit, not within a tolerance.
  EXPECT_EQ(std::bit_cast<std::uint64_t>(actual->similarity),
            std::bit_cast<std::uint64_t>(expected->similarity))
      << context;
  EXPECT_EQ(actual->start_line, expected->start_line) << context;
  EXPECT_EQ(actual->end_line, expected->end_line) << context;
  EXPECT_EQ(actual->text, expected->text) << context;
  EXPECT_EQ(actual->diff, expected->diff) << context;
}

// Compares the closest match, found alone and as part of the not-found report, with the plain
// reference field by field; true when there is one.
bool expect_same_closest_match(const std::string& content, const std::string& old) {
  const auto expected = reference_closest_match(content, old);
  const std::string context = testing::PrintToString(content) + " | " + testing::PrintToString(old);
  expect_same_match(find_closest_match(content, old), expected, context);
  expect_same_match(build_not_found_error(content, old).closest_match, expected, context);
  return expected.has_value();
}

std::string random_text(std::mt19937& rng, std::size_t max_lines) {
  static const char* const kPieces[] = {"a", "b", "ab", "  ", "\xC3\xA9", "\r", "\n", "\n", "\n"};
  std::string out;
  const std::size_t pieces = rng() % (max_lines * 3 + 1);
  for (std::size_t i = 0; i < pieces; ++i) out += kPieces[rng() % std::size(kPieces)];
  return out;
}

TEST(FindClosestMatch, ReportsTheDefExample) {
  const auto match = find_closest_match("def f():\n    return 1\n", "def f():\n    return 2");
  ASSERT_TRUE(match.has_value());
  EXPECT_DOUBLE_EQ(match->similarity, 1.0 - 1.0 / 21.0);
  EXPECT_EQ(match->start_line, 1u);
  EXPECT_EQ(match->end_line, 2u);
  EXPECT_EQ(match->text, "def f():\n    return 1");
  EXPECT_EQ(match->diff,
            "--- SEARCH\n+++ CLOSEST MATCH\n def f():\n-    return 2\n+    return 1\n");
}

struct ClosestCase {
  std::string content, old;
  std::optional<std::size_t> start_line;  // nullopt: no closest match
};

void PrintTo(const ClosestCase& c, std::ostream* os) {
  *os << testing::PrintToString(c.old);
}

class ClosestMatchCases : public testing::TestWithParam<ClosestCase> {};

TEST_P(ClosestMatchCases, PicksTheExpectedWindow) {
  const auto match = find_closest_match(GetParam().content, GetParam().old);
  ASSERT_EQ(match.has_value(), GetParam().start_line.has_value());
  if (match) {
    EXPECT_EQ(match->start_line, *GetParam().start_line);
  }
}

std::string numbered_lines(int count, int changed_line, std::string_view changed) {
  std::string out;
  for (int i = 1; i <= count; ++i) {
    out += i == changed_line ? std::string(changed) : "line number " + std::to_string(i);
    out += '\n';
  }
  return out;
}

const std::string kLongKey = "abcdefghij" + std::string(20, 'z');

INSTANTIATE_TEST_SUITE_P(
    Diagnostics, ClosestMatchCases,
    testing::Values(
        ClosestCase{"a\n", "a\nb", std::nullopt},                 // more search lines
        ClosestCase{"a\n  \n", " \n\t", std::nullopt},            // blank search text
        ClosestCase{"abcdx\n", "abcde", 1},                       // exactly 0.8
        ClosestCase{"abcdx\nzz\n", "abcde\nzz\n", std::nullopt},  // 7/9
        ClosestCase{"abc\nz\n", "abc\n", std::nullopt},           // the final "\n" counts
        ClosestCase{"qqqqq\nabxde\nabcdy\n", "abcde", 2},         // tie: the uppermost
        // First line nowhere: only the first 100 windows are examined.
        ClosestCase{numbered_lines(150, 100, "target text!"), "target text?", 100},
        ClosestCase{numbered_lines(150, 101, "target text!"), "target text?", std::nullopt},
        // First line only on a dissimilar line: five lines around it, no fallback.
        ClosestCase{kLongKey + "\n1\n2\n3\n4\nabcdefghiX\n", "abcdefghij", 6},
        ClosestCase{kLongKey + "\n1\n2\n3\n4\n5\nabcdefghiX\n", "abcdefghij", std::nullopt},
        ClosestCase{"abcdefghiX\n1\n2\n3\n4\n5\n" + kLongKey, "abcdefghij", std::nullopt}));

TEST(FindClosestMatch, BoundedSearchAgreesWithFullDistances) {
  std::mt19937 rng(11);
  int found = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::string old = random_text(rng, 4);
    std::string content = random_text(rng, 6);
    // Plant a lightly edited copy so that windows near the threshold are common.
    std::string copy = old;
    for (std::size_t e = rng() % 3; e > 0; --e) edit_one_character(rng, copy, "b");
    content.insert(rng() % 2 ? content.size() : 0, copy + "\n");
    found += expect_same_closest_match(content, old);
    if (HasFailure()) return;
  }
  EXPECT_GT(found, 500);
}

// Code-like texts: lines drawn from a small set, so that the first search line occurs on many
// lines, many windows tie, and the character counts of most windows are close to the search
// text's. Some lines hold two-, three- and four-byte characters, some end in "\r\n".
TEST(FindClosestMatch, RejectingByCharacterCountsAgreesWithFullDistances) {
  static const char* const kLines[] = {
      "    if value is None:",
      "        value = compute(value)",
      "        return value",
      "    return None",
      "",
      "  ",
      "# caf\xC3\xA9 na\xC3\xAFve",
      "    name = \"\xE5\x90\x8D\xE5\x89\x8D\"",
      "    mark = \"\xF0\x9F\x98\x80\xF0\x9F\x8E\x89\"",
      "def handler(value):",
      "def helper(value):",
      "        value = compute(valve)\r",
  };
  static const char* const kReplacements[] = {"x", "\xC3\xA9", "\xE5\x90\x8D", "\xF0\x9F\x98\x80",
                                              " ", ""};
  std::mt19937 rng(23);
  int found = 0;
  for (int round = 0; round < 1500; ++round) {
    const std::size_t line_total = 1 + rng() % 60;
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < line_total; ++i)
      lines.emplace_back(kLines[rng() % std::size(kLines)]);
    std::string content;
    for (const auto& line : lines) content += line + (rng() % 8 == 0 ? "\r\n" : "\n");
    if (rng() % 4 == 0 && !content.empty()) content.pop_back();  // no final line break
    // The search text: a stretch of the lines, a few characters edited, or lines from the set.
    const std::size_t n = 1 + rng() % 8;
    std::string old;
    const std::size_t from = rng() % line_total;
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0) old += '\n';
      old += from + i < line_total && rng() % 6 != 0
                 ? lines[from + i]
                 : std::string(kLines[rng() % std::size(kLines)]);
    }
    for (std::size_t e = rng() % 4; e > 0; --e) {
      edit_one_character(rng, old, kReplacements[rng() % std::size(kReplacements)]);
    }
    if (rng() % 5 == 0) old += '\n';
    if (rng() % 10 == 0) old = "zz" + old;  // a first line that occurs nowhere
    found += expect_same_closest_match(content, old);
    if (HasFailure()) return;
  }
  EXPECT_GT(found, 500);
}

TEST(BuildMatchDiff, ComparesLinesByPosition) {
  const std::string head = "--- SEARCH\n+++ CLOSEST MATCH\n";
  EXPECT_EQ(build_match_diff("a\nb\nc", "a\nc"), head + " a\n-b\n+c\n-c\n");
  EXPECT_EQ(build_match_diff("a", "a\r\nz\n"), head + " a\n+z\n");
  EXPECT_EQ(build_match_diff("a\n\n", "a"), head + " a\n \n");  // missing equals empty
  EXPECT_EQ(build_match_diff("", ""), head);
}

TEST(BuildMatchDiff, CutsAtTwoThousandBytesOnACharacterBoundary) {
  const std::string head = "--- SEARCH\n+++ CLOSEST MATCH\n";  // 29 bytes
  // One "+" line of `body` bytes: 29 + 1 + body + 1 bytes in all.
  const auto diff_with = [&](std::string body) { return build_match_diff("", body); };
  const std::string whole = diff_with(std::string(1969, 'x'));
  EXPECT_EQ(whole.size(), 2000u);
  EXPECT_EQ(whole.back(), '\n');
  const std::string cut = diff_with(std::string(1970, 'x'));
  EXPECT_EQ(cut, head + "+" + std::string(1970, 'x') + "\n...(diff truncated)");
  // "é" occupies bytes 1999 and 2000 of the diff: it is dropped whole.
  const std::string straddling = diff_with(std::string(1969, 'x') + "\xC3\xA9");
  EXPECT_EQ(straddling, head + "+" + std::string(1969, 'x') + "\n...(diff truncated)");
}

TEST(BuildNotFoundError, WritesTheDefExampleMessage) {
  const auto report = build_not_found_error("def f():\n    return 1\n", "def f():\n    return 2");
  EXPECT_EQ(report.message,
            "Search text not found in file.\nFirst search line 'def f():' appears at line(s): 1\n"
            "Closest fuzzy match (95.2% similar) at lines 1-2:\n--- SEARCH\n+++ CLOSEST MATCH\n "
            "def f():\n-    return 2\n+    return 1\n" +
                std::string(kTips));
  EXPECT_EQ(kTips.size(), 219u);
}

TEST(BuildNotFoundError, WritesHintsAndPercentages) {
  const std::string prefix = "Search text not found in file.";
  const auto message = [](std::string_view content, std::string_view old) {
    return build_not_found_error(content, old).message;
  };
  EXPECT_EQ(message("", ""), prefix + std::string(kTips));
  EXPECT_EQ(message("x\n", "  \nx"), prefix + std::string(kTips));  // blank first line: no hint
  EXPECT_EQ(message("q\nab\nc\n", " zz "),
            prefix + "\nFirst search line 'zz' not found anywhere in file" + std::string(kTips));
  EXPECT_EQ(message("-\nfoo\n-\n-\n-\n-\nfoo\n-\nfoo\n-\n-\nfoo\n", "\tfoo\n"),
            prefix + "\nFirst search line 'foo' appears at line(s): 2, 7, 9" + std::string(kTips));
  EXPECT_NE(message("abc\n", "abc").find("(100.0% similar) at lines 1-1:\n"), std::string::npos);
  // 1 - 3/16 gives exactly 81.25, a tie that goes to the even digit.
  EXPECT_NE(message(std::string(13, 'a') + "xyz", std::string(16, 'a')).find("(81.2% similar)"),
            std::string::npos);
}

// Plain reference of the first-line hint: one search per line.
std::string reference_hint(std::string_view content, std::string_view old) {
  const auto s = split_lines(old);
  if (s.empty() || text::trim(s[0]).empty()) return "";
  const std::string_view t = text::trim(s[0]);
  std::string numbers;
  int hits = 0;
  const auto c = split_lines(content);
  for (std::size_t j = 0; j < c.size() && hits < 3; ++j) {
    if (c[j].find(t) == std::string_view::npos) continue;
    numbers += (hits++ > 0 ? ", " : "") + std::to_string(j + 1);
  }
  return "\nFirst search line '" + std::string(t) +
         (hits > 0 ? "' appears at line(s): " + numbers : "' not found anywhere in file");
}

TEST(BuildNotFoundError, FirstLineHintAgreesWithPerLineSearch) {
  EXPECT_EQ(reference_hint("ab\r\nab\r", "ab\r"),
            "\nFirst search line 'ab' appears at line(s): 1, 2");
  std::mt19937 rng(31);
  for (int round = 0; round < 5000; ++round) {
    const std::string content = random_text(rng, 8);
    const std::string old = random_text(rng, 3);
    const std::string message = build_not_found_error(content, old).message;
    const std::string head = "Search text not found in file." + reference_hint(content, old);
    ASSERT_EQ(message.substr(0, head.size()), head) << content << "|" << old;
    const std::string rest = message.substr(head.size());
    ASSERT_TRUE(rest.starts_with("\nClosest fuzzy match (") || rest == kTips) << rest;
  }
}

TEST(FindMatchLocations, FollowsTheLineRules) {
  EXPECT_EQ(find_match_locations("foo\nbar\nfoo\n", "foo"), (Numbers{1, 3}));
  EXPECT_EQ(find_match_locations("foo\nbar\nfoo\n", "foo\nbar"), Numbers{1});
  EXPECT_EQ(find_match_locations("foo\nbar\nfoo\n", "foo\nbar\n"), Numbers{});
  EXPECT_EQ(find_match_locations("a\n\nb", ""), (Numbers{1, 2, 3}));
  EXPECT_EQ(find_match_locations("a\r\nb\r\na\r\nb", "a\nb"), (Numbers{1, 3}));
  EXPECT_EQ(find_match_locations("xa\nb\n", "a\r\nb"), Numbers{});
  EXPECT_EQ(find_match_locations("ab\nab\nc", "b\nab\nc"), Numbers{1});
  EXPECT_EQ(find_match_locations("a\n\nb", "\nb"), Numbers{2});  // starts at a line's break
  // A search line that ends in "\r" is not in a line cut before "\r\n".
  EXPECT_EQ(find_match_locations("ab\r\nab\r", "ab\r"), Numbers{2});
  EXPECT_EQ(find_match_locations("ab\r\r\nab\r\n", "ab\r"), Numbers{1});
}

TEST(FindMatchLocations, SingleScanAgreesWithPerLineJoins) {
  std::mt19937 rng(5);
  for (int round = 0; round < 5000; ++round) {
    const std::string content = random_text(rng, 8);
    const std::string old = random_text(rng, 3);
    ASSERT_EQ(find_match_locations(content, old), reference_locations(content, old))
        << content << "|" << old;
  }
}

TEST(BuildMultipleMatchesError, WritesLocationsAndPreview) {
  const auto report = build_multiple_matches_error("foo\nbar\nfoo\n", "foo");
  EXPECT_EQ(report.message,
            "Pattern found at multiple locations (lines: 1, 3).\nSearch text starts "
            "with: \"foo" +
                std::string(kAdvice));
  EXPECT_EQ(report.locations, (Numbers{1, 3}));

  const auto seven = build_multiple_matches_error("x\n\n\nx\n\nx\n\nx\n\nx\n\nx\n\nx", "x");
  EXPECT_EQ(seven.locations, (Numbers{1, 4, 6, 8, 10, 12, 14}));
  const std::string seven_head =
      "Pattern found at multiple locations (lines: 1, 4, 6, 8, 10, ... (7 total)).\n";
  EXPECT_EQ(seven.message.substr(0, seven_head.size()), seven_head);

  const auto preview = [](std::string old) {
    const std::string message = build_multiple_matches_error("", old).message;
    const std::size_t begin = message.find('"') + 1;
    return message.substr(begin, message.size() - kAdvice.size() - begin);
  };
  EXPECT_EQ(preview(std::string(60, 'p') + "\nq"), std::string(60, 'p'));
  EXPECT_EQ(preview(std::string(61, 'p')), std::string(60, 'p') + "...");
  std::string two_byte;
  for (int i = 0; i < 61; ++i) two_byte += "\xC3\xA9";
  EXPECT_EQ(preview(two_byte.substr(0, 80)), two_byte.substr(0, 80));
  EXPECT_EQ(preview(two_byte), two_byte.substr(0, 120) + "...");
  EXPECT_EQ(preview("say \"hi\""), "say \"hi\"");
  EXPECT_EQ(build_multiple_matches_error("", "").message,
            "Pattern found at multiple locations (lines: ).\nSearch text starts with: \"" +
                std::string(kAdvice));
}

}  // namespace
}  // namespace marlune::content_replacer

#include "content_replacer/substring_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace marlune::content_replacer {
namespace {

using Positions = std::vector<std::size_t>;

Positions scan_all(std::string_view haystack, std::string_view needle) {
  Positions out;
  OccurrenceScanner scanner(haystack, needle);
  for (std::size_t p = scanner.next(); p != kNoOccurrence; p = scanner.next()) out.push_back(p);
  return out;
}

// Plain reference: try every position.
Positions naive_all(std::string_view haystack, std::string_view needle) {
  Positions out;
  for (std::size_t p = 0; p + needle.size() <= haystack.size(); ++p) {
    if (haystack.substr(p, needle.size()) == needle) out.push_back(p);
  }
  return out;
}

TEST(FindFirst, FindsOverlapsAndCharacterBoundaries) {
  EXPECT_EQ(find_first("aaa", "aa"), 0u);
  EXPECT_EQ(find_first("aaa", "aa", 1), 1u);
  EXPECT_EQ(find_first("aaa", "aa", 2), kNoOccurrence);
  EXPECT_EQ(find_first("abc", "c", 3), kNoOccurrence);
  EXPECT_EQ(find_first("", ""), 0u);
  EXPECT_EQ(find_first("ab", "", 2), 2u);
  EXPECT_EQ(find_first("ab", "", 3), kNoOccurrence);
  EXPECT_EQ(find_first("\xC3\xA9x", "", 1), 2u);  // inside "é": the next boundary
}

TEST(FindFirst, AgreesWithEveryPositionScanOnLongerTexts) {
  // Texts and needles over few letters put matches, overlapping matches and near misses
  // everywhere, the ends of the text and the starting position included.
  std::mt19937 random(3);
  for (int round = 0; round < 3000; ++round) {
    const std::string alphabet = round % 3 == 0 ? "ab" : round % 3 == 1 ? "a b\nZ" : "  e(x";
    std::string haystack(random() % 200, ' ');
    for (auto& c : haystack) c = alphabet[random() % alphabet.size()];
    std::string needle(2 + random() % 12, ' ');
    for (auto& c : needle) c = alphabet[random() % alphabet.size()];
    if (random() % 2 == 0 && haystack.size() >= needle.size()) {
      haystack.replace(random() % (haystack.size() - needle.size() + 1), needle.size(), needle);
    }
    const Positions all = naive_all(haystack, needle);
    const std::size_t from = haystack.empty() ? 0 : random() % haystack.size();
    const auto expected = std::find_if(all.begin(), all.end(), [&](auto p) { return p >= from; });
    ASSERT_EQ(find_first(haystack, needle, from), expected == all.end() ? kNoOccurrence : *expected)
        << "needle '" << needle << "' from " << from << " in '" << haystack << "'";
  }
}

TEST(OccursAfter, AnswersWhetherTheFirstOccurrenceIsTheLast) {
  EXPECT_TRUE(occurs_after("aaa", "aa", 0));
  EXPECT_FALSE(occurs_after("aaa", "aa", 1));
  EXPECT_FALSE(occurs_after("abc", "b", 1));
  EXPECT_FALSE(occurs_after("", "", 0));
  EXPECT_TRUE(occurs_after("a", "", 0));
  EXPECT_FALSE(occurs_after("a", "", 1));
}

TEST(OccurrenceScanner, EmptyNeedleStopsAtEveryBoundaryAndTheEnd) {
  EXPECT_EQ(scan_all("", ""), Positions{0});
  EXPECT_EQ(scan_all("a\xC3\xA9\xE2\x82\xAC", ""), (Positions{0, 1, 3, 6}));
}

TEST(OccurrenceScanner, MatchesEveryPositionScanOnRandomPeriodicText) {
  std::mt19937 rng(7);
  const std::vector<std::string> needles = {"a",   "aa",    "ab",    "aba",     "abab",
                                            "aab", "aabaa", "abaab", "aaaaaaa", "abaababaab"};
  for (int round = 0; round < 3000; ++round) {
    std::string haystack;
    const std::size_t length = rng() % 60;
    const int letters = 2 + static_cast<int>(rng() % 2);
    while (haystack.size() < length) {
      // Runs of needles make long chains of overlapping hits.
      if (rng() % 3 == 0) {
        haystack += needles[rng() % needles.size()];
      } else {
        haystack += static_cast<char>('a' + rng() % letters);
      }
    }
    const std::string& needle = needles[rng() % needles.size()];
    ASSERT_EQ(scan_all(haystack, needle), naive_all(haystack, needle))
        << haystack << " / " << needle;
  }
}

TEST(OccurrenceScanner, HandlesTheQuadraticTrapInputs) {
  const std::string haystack(1'000'000, 'a');
  EXPECT_EQ(find_first(haystack, std::string(10'000, 'a') + "b"), kNoOccurrence);
  EXPECT_EQ(find_first(haystack, "b" + std::string(200, 'a')), kNoOccurrence);
  // 990,001 overlapping hits of a long needle; a restart per hit would take ~10^10 steps.
  const std::string needle(10'000, 'a');
  OccurrenceScanner scanner(haystack, needle);
  std::size_t count = 0;
  std::size_t last = 0;
  for (std::size_t p = scanner.next(); p != kNoOccurrence; p = scanner.next()) {
    ASSERT_EQ(p, count);
    last = p;
    ++count;
  }
  EXPECT_EQ(count, 990'001u);
  EXPECT_EQ(last, 990'000u);
}

}  // namespace
}  // namespace marlune::content_replacer

#include "content_replacer/levenshtein.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/reference_levenshtein.h"
#include "text/lines.h"

namespace marlune::content_replacer {
namespace {

using test_support::reference_levenshtein;

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

struct DistanceCase {
  std::string a;
  std::string b;
  std::size_t expected;
};

TEST(LevenshteinDistance, KnownValues) {
  const std::vector<DistanceCase> cases = {
      {"", "abc", 3},
      {"abc", "", 3},
      {"", "", 0},
      {"kitten", "sitting", 3},
      {"ab", "ba", 2},                  // a transposition is two edits
      {"\xC3\xA9", "e", 1},             // é is two bytes but one character
      {"A", "a", 1},                    // case-sensitive
      {"a\xC3\xA9z", "a\xC3\xA8z", 1},  // é / è share their lead byte
      {"\xC3\xA9", "\xC2\xA9", 1},      // é / © share their last byte
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x81", 1},
      {"\xF0\x9F\x98\x80x", "x", 1},
      {"\xE4\xB8\xAD\xE6\x96\x87", "\xE6\x96\x87\xE4\xB8\xAD", 2},
      {repeat("a", 64), repeat("a", 64) + "b", 1},
      {repeat("a", 65), repeat("b", 65), 65},
      {std::string("x").append(repeat("ab", 100)), repeat("ab", 100) + "y", 2},
      {repeat("\xC3\xA9", 130), repeat("e", 130), 130},
      {repeat("ab", 70), repeat("ba", 70), 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("a='" + c.a + "' b='" + c.b + "'");
    EXPECT_EQ(levenshtein_distance(c.a, c.b), c.expected);
    EXPECT_EQ(levenshtein_distance(c.b, c.a), c.expected);
    EXPECT_EQ(levenshtein_distance_bounded(c.a, c.b, c.expected), c.expected);
    if (c.expected > 0) {
      EXPECT_GT(levenshtein_distance_bounded(c.a, c.b, c.expected - 1), c.expected - 1);
    }
  }
}

std::string utf8(const std::u32string& chars) {
  std::string out;
  for (const char32_t c : chars) text::append_utf8(out, c);
  return out;
}

// Random pairs of 0 to 500 characters over ASCII and 2-, 3- and 4-byte characters.
class PairGenerator {
 public:
  explicit PairGenerator(std::uint32_t seed) : rng_(seed) {}

  std::pair<std::string, std::string> next() {
    alphabet_ = pick_alphabet();
    const std::size_t len = pick_length();
    std::u32string a = random_chars(len);
    std::u32string b;
    switch (uniform(0, 3)) {
      case 0:  // unrelated
        b = random_chars(pick_length());
        break;
      case 1:  // near-equal
        b = mutate(a, uniform(0, 1 + len / 10));
        break;
      case 2: {  // shared prefix and suffix around different middles
        const std::u32string prefix = random_chars(uniform(0, 80));
        const std::u32string suffix = random_chars(uniform(0, 80));
        b = prefix + random_chars(uniform(0, 150)) + suffix;
        a = prefix + a + suffix;
        break;
      }
      default:  // heavily edited
        b = mutate(a, uniform(0, len));
        break;
    }
    return {utf8(a), utf8(b)};
  }

 private:
  std::size_t uniform(std::size_t lo, std::size_t hi) {
    return std::uniform_int_distribution<std::size_t>(lo, hi)(rng_);
  }

  std::u32string pick_alphabet() {
    // Twelve ASCII characters, then 2-, 3- and 4-byte ones; é, è and © share UTF-8 bytes.
    static const std::u32string pool =
        U"abcde \n{xyz0\u00E9\u00E8\u00A9\u00DF\u0436\u20AC\u4E2D\u6587"
        U"\u30A2\U0001F600\U0001F601\U0001D11E";
    switch (uniform(0, 4)) {
      case 0:  // ASCII only
        return pool.substr(0, 12);
      case 1: {  // a few symbols, many repeats
        std::u32string small;
        for (std::size_t i = uniform(2, 4); i > 0; --i) small += pool[uniform(0, pool.size() - 1)];
        return small;
      }
      case 2:  // mostly ASCII with a sprinkling of one multi-byte character
        return pool.substr(0, 12) + pool.substr(0, 12) + pool[uniform(12, pool.size() - 1)];
      case 3: {  // hundreds of distinct ideographs: long patterns get a sparse match table
        std::u32string wide;
        for (char32_t c = 0x4E00; c < 0x4E00 + 600; ++c) wide += c;
        return wide;
      }
      default:
        return pool;
    }
  }

  std::size_t pick_length() {
    static const std::size_t edges[] = {63, 64, 65, 127, 128, 129};
    if (uniform(0, 2) == 0) return edges[uniform(0, 5)] - 2 + uniform(0, 4);
    return uniform(0, 500);
  }

  std::u32string random_chars(std::size_t len) {
    std::u32string out(len, U'a');
    for (auto& c : out) c = alphabet_[uniform(0, alphabet_.size() - 1)];
    return out;
  }

  std::u32string mutate(std::u32string s, std::size_t edits) {
    for (; edits > 0; --edits) {
      const char32_t c = alphabet_[uniform(0, alphabet_.size() - 1)];
      const std::size_t op = s.empty() ? 0 : uniform(0, 2);
      if (op == 0) {
        s.insert(uniform(0, s.size()), 1, c);
      } else if (op == 1) {
        s.erase(uniform(0, s.size() - 1), 1);
      } else {
        s[uniform(0, s.size() - 1)] = c;
      }
    }
    return s;
  }

  std::mt19937 rng_;
  std::u32string alphabet_;
};

TEST(LevenshteinDistance, MatchesTheReferenceOnRandomPairs) {
  PairGenerator pairs(20240611);
  std::mt19937 rng(7);
  for (int i = 0; i < 1500; ++i) {
    const auto [a, b] = pairs.next();
    SCOPED_TRACE("case " + std::to_string(i) + ": a='" + a + "' b='" + b + "'");
    const std::size_t expected = reference_levenshtein(a, b);
    ASSERT_EQ(levenshtein_distance(a, b), expected);
    ASSERT_EQ(levenshtein_distance(b, a), expected);

    // The bounded form: exact at or under the bound, above the bound otherwise.
    const std::size_t bounds[] = {
        0,
        expected > 0 ? expected - 1 : 0,
        expected,
        expected + 1,
        std::uniform_int_distribution<std::size_t>(0, 2 * expected + 4)(rng),
        std::numeric_limits<std::size_t>::max(),
    };
    for (const std::size_t k : bounds) {
      SCOPED_TRACE("bound " + std::to_string(k));
      const std::size_t got = levenshtein_distance_bounded(a, b, k);
      if (expected <= k) {
        ASSERT_EQ(got, expected);
      } else {
        ASSERT_GT(got, k);
      }
    }
  }
}

TEST(LevenshteinDistance, IsSafeToCallFromSeveralThreads) {
  PairGenerator pairs(99);
  std::vector<std::pair<std::string, std::string>> inputs;
  std::vector<std::size_t> expected;
  for (int i = 0; i < 40; ++i) {
    inputs.push_back(pairs.next());
    expected.push_back(reference_levenshtein(inputs.back().first, inputs.back().second));
  }
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        for (std::size_t i = 0; i < inputs.size(); ++i) {
          const auto& [a, b] = inputs[(i + static_cast<std::size_t>(t) * 7) % inputs.size()];
          const std::size_t want = expected[(i + static_cast<std::size_t>(t) * 7) % inputs.size()];
          mismatches[t] += levenshtein_distance(a, b) != want;
          mismatches[t] += levenshtein_distance_bounded(a, b, want) != want;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

struct SimilarityCase {
  const char* name;
  std::string_view content;  // lines joined with "\n"
  std::string_view search;
  std::size_t block_start, block_end;
  double expected;
};

TEST(CalculateBlockSimilarity, ScoresTheInteriorLines) {
  const std::vector<SimilarityCase> cases = {
      {"identical middle lines", "a\nmid\nb", "a\nmid\nb", 0, 2, 1.0},
      {"middle differs in surrounding whitespace", "a\n  mid\t\nb", "a\nmid \nb", 0, 2, 1.0},
      {"first and last lines are never compared", "x\nmid\ny", "a\nmid\nb", 0, 2, 1.0},
      {"only the last character differs", "a\nabcd\nb", "a\nabce\nb", 0, 2, 0.75},
      {"distance in characters over length in bytes", "a\n\xC3\xA9\nb", "a\ne\nb", 0, 2, 0.5},
      {"block shorter than the search", "a\nabcd\nb", "a\nabce\nzz\nzz\nb", 0, 2, 0.75},
      {"search shorter than the block: aligned from the top", "q\na\nabcd\nwxyz\nzz\nzz\nb",
       "a\nabcd\nwxyq\nb", 1, 6, 0.875},
      {"search of two lines compares nothing", "a\nx\ny\nb", "a\nb", 0, 3, 1.0},
      {"block of two lines compares nothing", "a\nb", "a\nx\ny\nb", 0, 1, 1.0},
      {"all interior pairs blank", "a\n \n\t\nb", "a\n\n  \nb", 0, 3, 1.0},
      {"pair blank on one side only counts as 0", "a\n\nsame\nb", "a\ntext\nsame\nb", 0, 3, 0.5},
      {"pair blank on both sides is skipped", "a\n \nabcd\nb", "a\n\nabce\nb", 0, 3, 0.75},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto content = text::split_lines(c.content);
    const auto search = text::split_lines(c.search);
    EXPECT_DOUBLE_EQ(
        calculate_block_similarity(content, search, c.block_start, c.block_end, search.size()),
        c.expected);
  }
}

TEST(CalculateBlockSimilarity, StaysInsideTheListsWhateverTheCountSays) {
  const std::vector<std::string_view> content = {"a", "abcd", "b"};
  const std::vector<std::string_view> search = {"a", "abce"};
  EXPECT_DOUBLE_EQ(calculate_block_similarity(content, search, 0, 2, 10), 0.75);
  const std::vector<std::string_view> longer_search = {"a", "abce", "q", "r", "s"};
  // Content lines 1 and 2 against search lines 1 and 2; the block claims lines beyond the content.
  EXPECT_DOUBLE_EQ(calculate_block_similarity(content, longer_search, 0, 9, 5), 0.375);
}

}  // namespace
}  // namespace marlune::content_replacer

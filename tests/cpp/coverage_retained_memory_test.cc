// What the engines keep between calls and while a query grows: the edit distance gives back an
// oversized scratch buffer when the call ends, the per-line arrays of a prepared content are
// kept for the next call on the thread up to a bound and taken up again, the streaming alignment
// holds the same memory whatever the number of query lines, and a matcher moved to another object
// carries its whole state with it.

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "content_replacer/levenshtein.h"
#include "content_replacer/prepared_content.h"
#include "content_replacer/replace_content.h"
#include "streaming_matcher/streaming_matcher.h"
#include "streaming_matcher/streaming_matcher_internal.h"
#include "support/allocation_hooks.h"
#include "support/reference_alignment.h"
#include "support/reference_levenshtein.h"
#include "text/utf8.h"

namespace marlune {
namespace {

using streaming_matcher::ByteRange;
using streaming_matcher::StreamingFuzzyMatcher;
using Hook = streaming_matcher::StreamingMatcherTestHook;

// Random text over `alphabet` code points starting at `first`.
std::string random_text(std::mt19937& rng, std::size_t chars, char32_t first, char32_t alphabet) {
  std::uniform_int_distribution<std::uint32_t> pick(0, alphabet - 1);
  std::string out;
  for (std::size_t i = 0; i < chars; ++i) text::append_utf8(out, first + pick(rng));
  return out;
}

TEST(RetainedMemory, EditDistanceGivesBackALargeScratchBuffer) {
  std::mt19937 rng(11);
  // A first small call sets up whatever the thread keeps for small calls.
  ASSERT_EQ(content_replacer::levenshtein_distance("kitten", "sitting"), 3u);

  // A long pattern needs a table of every character for each of its 64-character blocks: far
  // more scratch than is worth keeping for the next call.
  const std::string a = random_text(rng, 70000, U'a', 26);
  const std::string b = random_text(rng, 70000, U'a', 26);
  const std::size_t texts = test_support::live_heap_bytes;
  test_support::peak_heap_bytes = texts;
  const std::size_t distance = content_replacer::levenshtein_distance(a, b);
  ASSERT_GT(test_support::peak_heap_bytes - texts, std::size_t{1} << 20)
      << "the call did not need a large scratch buffer; the test no longer exercises the release";
  EXPECT_LE(test_support::live_heap_bytes, texts + 4096);

  // Exactly right, and a later small call is still exact with the scratch gone.
  const std::string head_a = a.substr(0, 300), head_b = b.substr(0, 300);
  EXPECT_EQ(content_replacer::levenshtein_distance(head_a, head_b),
            test_support::reference_levenshtein(head_a, head_b));
  EXPECT_EQ(content_replacer::levenshtein_distance(b, a), distance);
  EXPECT_LE(test_support::live_heap_bytes, texts + 4096);
  EXPECT_EQ(content_replacer::levenshtein_distance("kitten", "sitting"), 3u);
}

std::string numbered_lines(std::size_t count) {
  std::string content;
  for (std::size_t i = 0; i < count; ++i) content += "    value_" + std::to_string(i) + " = 1\n";
  return content;
}

// Asks for every per-line array.
void prepare_all(content_replacer::PreparedContent& prepared) {
  ASSERT_FALSE(prepared.lines().empty());
  ASSERT_FALSE(prepared.indents().empty());
  ASSERT_FALSE(prepared.trimmed_lines().empty());
  ASSERT_EQ(prepared.non_blank().first_in(0, 0), 0u);
  ASSERT_EQ(prepared.joined().start.front(), 0u);
}

TEST(RetainedMemory, PreparedLineArraysAreKeptWithinABoundAndTakenUpAgain) {
  constexpr std::size_t kBound = content_replacer::kSpareLineArrayBytes;
  const std::string small = numbered_lines(2000);
  {
    content_replacer::PreparedContent first(small);
    prepare_all(first);
  }
  const std::size_t kept = content_replacer::spare_line_array_bytes();
  EXPECT_GT(kept, 2000 * 40) << "the arrays of a small content were not kept";
  EXPECT_LE(kept, kBound);

  // The next content of that size lives in the kept memory: it takes almost nothing new.
  const std::size_t before = test_support::live_heap_bytes;
  test_support::peak_heap_bytes = before;
  {
    content_replacer::PreparedContent second(small);
    prepare_all(second);
    EXPECT_EQ(content_replacer::spare_line_array_bytes(), 0u);
  }
  EXPECT_LT(test_support::peak_heap_bytes - before, 4096u);
  EXPECT_EQ(content_replacer::spare_line_array_bytes(), kept);

  // A content too large for the bound gives back what it does not keep, and a whole failing
  // edit on it leaves no more than the bound behind.
  const std::string large = numbered_lines(200000);
  const std::size_t heap = test_support::live_heap_bytes;
  const auto outcome = content_replacer::replace_content(
      large, "    value_x = 2\n    value_y = 3\n", "z", false, std::nullopt);
  ASSERT_TRUE(std::holds_alternative<content_replacer::ReplaceError>(outcome));
  EXPECT_LE(content_replacer::spare_line_array_bytes(), kBound);
  EXPECT_LE(test_support::live_heap_bytes, heap - kept + kBound + 4096);
}

TEST(RetainedMemory, AlignmentMemoryDoesNotGrowWithTheQuery) {
  std::string source;
  for (int i = 0; i < 60; ++i) source += "line number " + std::to_string(i % 20) + "\n";
  StreamingFuzzyMatcher m(source);
  m.push("line number 3\n", std::nullopt);
  const std::size_t after_one = Hook::alignment_bytes(m);
  std::vector<std::string> query{"line number 3"};
  for (int i = 0; i < 500; ++i) {
    const std::string line = "line number " + std::to_string((4 + i) % 20);
    m.push(line + "\n", std::nullopt);
    query.push_back(line);
  }
  EXPECT_EQ(Hook::alignment_bytes(m), after_one);
  EXPECT_EQ(m.finish(), test_support::reference_alignment(source, query).ranges);
}

TEST(RetainedMemory, MovedMatcherContinuesTheSameQuery) {
  const std::string source = "x\nfoo\nbar\ny\nfoo\nbar\nz";
  StreamingFuzzyMatcher whole(source);
  whole.push("foo\nbar\n", std::nullopt);

  StreamingFuzzyMatcher first(source);
  first.push("fo", std::nullopt);
  first.push("o\n", 4);
  StreamingFuzzyMatcher moved(std::move(first));
  StreamingFuzzyMatcher assigned("unrelated\nsource");
  assigned.push("unrelated\n", std::nullopt);
  assigned = std::move(moved);
  // The partial line, the hint and the rows all came along.
  EXPECT_EQ(assigned.push("ba", std::nullopt), (ByteRange{12, 15}));
  EXPECT_EQ(assigned.push("r\n", std::nullopt), (ByteRange{12, 19}));
  EXPECT_EQ(assigned.query_lines(), whole.query_lines());
  EXPECT_EQ(assigned.source_lines(), whole.source_lines());
  EXPECT_EQ(assigned.finish(), whole.finish());
}

}  // namespace
}  // namespace marlune

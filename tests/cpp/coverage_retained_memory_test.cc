// What the engines keep between calls and while a query grows: the edit distance gives back an
// oversized scratch buffer when the call ends, the streaming alignment holds the same memory
// whatever the number of query lines, and a matcher moved to another object carries its whole
// state with it.

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "content_replacer/levenshtein.h"
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

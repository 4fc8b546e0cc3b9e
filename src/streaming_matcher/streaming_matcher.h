// Locates a block of text (the query) inside a fixed source text while the query streams in
// chunk by chunk, by an incremental line alignment that grows by one row per completed line.
//
// The alignment is a dynamic program over (query line, source line) cells: a query line without
// counterpart costs 10, a skipped source line 3, pairing two lines costs 0 when their trimmed
// texts are equal, 1 when they are similar and 13 otherwise. The cheapest alignments that pair
// at least 80% of their extent become byte ranges of the joined source text (the source lines
// joined with "\n"). Each completed line costs one pass over the source lines, and the memory
// held for the alignment does not grow with the query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marlune::streaming_matcher {

// A half-open byte range of the joined source text (source lines joined with "\n").
struct ByteRange {
  std::size_t start = 0;
  std::size_t end = 0;
  friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

// Defined in streaming_matcher_internal.h.
struct Alignment;
struct AlignmentState;
struct StreamingMatcherTestHook;

class StreamingFuzzyMatcher {
 public:
  // Throws std::bad_alloc when memory runs out.
  explicit StreamingFuzzyMatcher(std::string_view source_text);
  ~StreamingFuzzyMatcher();
  StreamingFuzzyMatcher(StreamingFuzzyMatcher&&) noexcept;
  StreamingFuzzyMatcher& operator=(StreamingFuzzyMatcher&&) noexcept;

  // Buffers `chunk`, aligns every newly completed line and returns the chosen range. Throws
  // std::bad_alloc when memory runs out, leaving the matcher as it was before the call.
  std::optional<ByteRange> push(std::string_view chunk, std::optional<std::uint32_t> line_hint);

  // Flushes the partial line and returns all accepted ranges. Same failure rule as push.
  std::vector<ByteRange> finish();

  // The range nearest the latest line hint (at most 200 lines away, earliest on ties), or the
  // only range; absent when there is none, or several and no hint was ever given.
  std::optional<ByteRange> select_best_match() const;

  // The bytes of the joined source text in `range`, both ends clamped to its length and then
  // moved back to the start of the character they fall in, so that the result is never cut
  // inside a character. Empty when the clamped start is not before the clamped end.
  std::string get_text(ByteRange range) const;

  const std::vector<std::string>& query_lines() const { return query_lines_; }
  const std::vector<std::string>& source_lines() const { return source_lines_; }

 private:
  friend struct StreamingMatcherTestHook;

  void reserve_query_lines(std::size_t added);
  // Appends `new_lines` to the query and makes `alignment`, computed for them, the state.
  void commit(std::vector<std::string>& new_lines, Alignment& alignment) noexcept;

  std::vector<std::string> source_lines_;
  std::vector<std::size_t> source_line_offsets_;
  std::vector<std::string> query_lines_;
  std::string incomplete_line_;
  std::vector<ByteRange> matches_;
  std::optional<std::uint32_t> line_hint_;
  std::unique_ptr<AlignmentState> alignment_;
};

}  // namespace marlune::streaming_matcher

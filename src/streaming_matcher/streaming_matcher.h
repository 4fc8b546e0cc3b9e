// Locates a block of text (the query) inside a fixed source text while the query streams in
// chunk by chunk, by an incremental line alignment that grows by one row per completed line.
#pragma once

#include <cstddef>
#include <cstdint>
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

class StreamingFuzzyMatcher {
 public:
  explicit StreamingFuzzyMatcher(std::string_view source_text);

  // Buffers `chunk`, aligns every newly completed line and returns the chosen range. Throws
  // std::bad_alloc when memory runs out, leaving the matcher as it was before the call.
  std::optional<ByteRange> push(std::string_view chunk, std::optional<std::uint32_t> line_hint);

  // Flushes the partial line and returns all accepted ranges. Same failure rule as push.
  std::vector<ByteRange> finish();

  std::optional<ByteRange> select_best_match() const;
  std::string get_text(ByteRange range) const;

  const std::vector<std::string>& query_lines() const { return query_lines_; }
  const std::vector<std::string>& source_lines() const { return source_lines_; }
  const std::vector<ByteRange>& matches() const { return matches_; }

 private:
  std::vector<std::string> source_lines_;
  std::vector<std::size_t> source_line_offsets_;
  std::vector<std::string> query_lines_;
  std::string incomplete_line_;
  std::vector<ByteRange> matches_;
  std::optional<std::uint32_t> line_hint_;
  // Alignment state: the engine's own representation (see streaming_matcher.cc).
};

}  // namespace marlune::streaming_matcher

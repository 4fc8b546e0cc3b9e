// Locates a block of text (the query) inside a fixed source text while the query streams in
// chunk by chunk, by an incremental line alignment that grows by one row per completed line.
//
// The alignment is a dynamic program over (query line, source line) cells: a query line without
// counterpart costs 10, a skipped source line 3, pairing two lines costs 0 when their trimmed
// texts are equal, 1 when they are similar and 13 otherwise. The cheapest alignments that pair
// at least 80% of their extent become byte ranges of the joined source text (the source lines
// joined with "\n"). Only the last row of the matrix is kept, with what the end of each cell's
// cheapest alignment needs, so memory does not grow with the query (see streaming_matcher.cc).
#pragma once

#include <array>
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

// The last step of the cheapest alignment that ends in a cell.
enum class AlignmentDirection : std::uint8_t { Up = 0, Left = 1, Diagonal = 2 };

struct AlignmentCell {
  std::uint32_t cost = 0;
  AlignmentDirection direction = AlignmentDirection::Diagonal;
  friend bool operator==(const AlignmentCell&, const AlignmentCell&) = default;
};

// How the alignment pairs two lines: compared after trimming White_Space from both ends, equal
// when byte-equal, similar when both are non-empty and 1 - d / m >= 0.8 (d the character edit
// distance, m the larger byte length; the length difference is tested first), else dissimilar.
enum class LinePairing : std::uint8_t { Equal, Similar, Dissimilar };
LinePairing pair_lines(std::string_view a, std::string_view b);

// The largest edit distance d with 1.0 - d / m >= 0.8 in double arithmetic (m > 0).
std::size_t max_similar_distance(std::size_t m);

class StreamingFuzzyMatcher {
 public:
  // Throws std::bad_alloc when memory runs out.
  explicit StreamingFuzzyMatcher(std::string_view source_text);

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
  const std::vector<ByteRange>& matches() const { return matches_; }
  const std::vector<std::size_t>& source_line_offsets() const { return source_line_offsets_; }

  // Inspection of the alignment state. Rows: 0 before the first alignment, then the number of
  // query lines aligned + 1. Columns: source lines + 1. Only the last row is kept; before the
  // first alignment it is row 0 (cost 0, direction Diagonal in every column).
  std::size_t row_count() const { return aligned_rows_ == 0 ? 0 : aligned_rows_ + 1; }
  std::size_t column_count() const { return source_lines_.size() + 1; }
  AlignmentCell last_row_cell(std::size_t column) const {
    return {row_.cost[column], row_.direction[column]};
  }
  // Heap bytes held for the alignment state, whatever the number of rows.
  std::size_t alignment_bytes() const;

 private:
  // Counts of a line's characters in 32 buckets, four bits each (see streaming_matcher.cc).
  using CharHistogram = std::array<std::uint8_t, 16>;
  // One row of the alignment. Besides the cost and the last step of each cell, `walk` records
  // where following the steps back from that cell ends: (start column << 32) | pairings.
  struct Row {
    std::vector<std::uint32_t> cost;
    std::vector<std::uint64_t> walk;
    std::vector<AlignmentDirection> direction;
  };
  // A source line as the alignment reads it: trimmed once, at construction.
  struct TrimmedLine {
    std::uint64_t hash = 0;
    std::size_t begin = 0;  // offset of the trimmed text in joined_source_
  };
  // A source line that may pair with the query line of the row being computed.
  struct PairingCandidate {
    std::uint32_t line;
    bool equal;  // else similar if the edit distance allows
  };
  struct Alignment {
    int row;  // index into spare_rows_ of the new last row
    std::vector<ByteRange> matches;
  };

  Alignment resolve_location_fuzzy(const std::vector<std::string>& new_lines);
  void commit(std::vector<std::string>& new_lines, Alignment& alignment) noexcept;
  void reserve_query_lines(std::size_t added);

  std::vector<std::string> source_lines_;
  std::vector<std::size_t> source_line_offsets_;
  std::vector<std::string> query_lines_;
  std::string incomplete_line_;
  std::vector<ByteRange> matches_;
  std::optional<std::uint32_t> line_hint_;

  std::string joined_source_;
  std::vector<std::size_t> trimmed_lengths_;  // read for every cell, so kept apart
  std::vector<TrimmedLine> trimmed_lines_;
  std::vector<CharHistogram> trimmed_histograms_;  // character counts, see streaming_matcher.cc
  std::size_t aligned_rows_ = 0;
  Row row_;                        // the last computed row (row 0 at first)
  std::array<Row, 2> spare_rows_;  // where new rows are computed before they are committed
  std::vector<PairingCandidate> pairing_candidates_;  // scratch of one row, S + 1 entries
};

}  // namespace marlune::streaming_matcher

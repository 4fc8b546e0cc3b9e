// The alignment state behind StreamingFuzzyMatcher and the hook through which tests inspect it.
// Included by streaming_matcher.cc, the tests and the benchmarks only: nothing here is part of
// the engine's interface, and the Python class never sees it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "streaming_matcher/streaming_matcher.h"

namespace marlune::streaming_matcher {

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

// Counts of a line's characters in 32 buckets, four bits each (see streaming_matcher.cc).
using CharHistogram = std::array<std::uint8_t, 16>;

// One row of the alignment. Besides the cost and the last step of each cell, `walk` records
// where following the steps back from that cell ends: (start column << 32) | pairings.
//
// Only the tests read `direction`: the walks already carry what backtracking would find. It is
// kept, one byte a column beside the twelve of cost and walk, so that the tests can compare the
// last step of every cell with the plain matrix. The tie rules (a pairing must be strictly
// cheaper than both other steps, Up wins a tie with Left) are then checked cell by cell, not
// only through the few ranges they end up changing.
struct Row {
  std::vector<std::uint32_t> cost;
  std::vector<std::uint64_t> walk;
  std::vector<AlignmentDirection> direction;
};

// A source line as the alignment reads it: trimmed once, at construction.
struct TrimmedLine {
  std::uint64_t hash = 0;
  std::size_t begin = 0;  // offset of the trimmed text in the joined source text
};

// A source line that may pair with the query line of the row being computed.
struct PairingCandidate {
  std::uint32_t line;
  bool equal;  // else similar if the edit distance allows
};

// The rows of newly completed query lines and the ranges their last row yields, computed but
// not yet part of the state (see AlignmentState::commit).
struct Alignment {
  int row;  // index into AlignmentState::spare_rows of the new last row
  std::vector<ByteRange> matches;
};

// The source lines as the alignment reads them and the last row of the alignment matrix.
struct AlignmentState {
  // Throws std::bad_alloc when memory runs out.
  explicit AlignmentState(const std::vector<std::string_view>& source_lines);

  // Computes the rows of `new_lines` (appended after the aligned query lines) into the spare
  // rows and the ranges of the resulting last row, as byte ranges through `line_offsets`.
  // Writes nothing but scratch space, so that a failure (memory exhaustion) changes nothing.
  Alignment resolve_location_fuzzy(const std::vector<std::string>& new_lines,
                                   const std::vector<std::size_t>& line_offsets);

  // Makes the rows of `alignment`, for `added` more query lines, the state. Cannot fail.
  void commit(std::size_t added, const Alignment& alignment) noexcept;

  // Heap bytes held for the rows, whatever the number of query lines.
  std::size_t row_bytes() const;

  std::string joined_source;  // the source lines joined with "\n"
  std::size_t line_count = 0;
  std::vector<std::size_t> trimmed_lengths;  // read for every cell, so kept apart
  std::vector<TrimmedLine> trimmed_lines;
  std::vector<CharHistogram> trimmed_histograms;
  std::size_t aligned_rows = 0;
  Row row;                        // the last computed row (row 0 at first)
  std::array<Row, 2> spare_rows;  // where new rows are computed before they are committed
  std::vector<PairingCandidate> pairing_candidates;  // scratch of one row, S + 1 entries
};

// Test-only inspection of a matcher. The engine never calls it.
struct StreamingMatcherTestHook {
  static const std::vector<ByteRange>& matches(const StreamingFuzzyMatcher& m) {
    return m.matches_;
  }
  static const std::vector<std::size_t>& source_line_offsets(const StreamingFuzzyMatcher& m) {
    return m.source_line_offsets_;
  }
  // 0 before the first alignment, then the number of query lines aligned + 1.
  static std::size_t row_count(const StreamingFuzzyMatcher& m) {
    const std::size_t aligned = m.alignment_->aligned_rows;
    return aligned == 0 ? 0 : aligned + 1;
  }
  // The source lines + 1.
  static std::size_t column_count(const StreamingFuzzyMatcher& m) {
    return m.alignment_->line_count + 1;
  }
  // A cell of the last computed row; before the first alignment that is row 0 (cost 0,
  // direction Diagonal in every column).
  static AlignmentCell last_row_cell(const StreamingFuzzyMatcher& m, std::size_t column) {
    const Row& row = m.alignment_->row;
    return {row.cost[column], row.direction[column]};
  }
  // Heap bytes held for the alignment rows, whatever the number of query lines.
  static std::size_t alignment_bytes(const StreamingFuzzyMatcher& m) {
    return m.alignment_->row_bytes();
  }
};

}  // namespace marlune::streaming_matcher

// The line alignment of the streaming matcher written plainly: the full cost matrix, every cell
// deciding its pairing with the full edit distance, and backtracking from every cheapest end.
// The engine is checked against it and timed against it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "content_replacer/levenshtein.h"
#include "streaming_matcher/streaming_matcher.h"
#include "streaming_matcher/streaming_matcher_internal.h"
#include "text/lines.h"

namespace marlune::test_support {

using streaming_matcher::AlignmentCell;
using streaming_matcher::AlignmentDirection;
using streaming_matcher::ByteRange;
using streaming_matcher::LinePairing;

inline LinePairing reference_pairing(std::string_view a, std::string_view b) {
  a = text::trim(a);
  b = text::trim(b);
  if (a == b) return LinePairing::Equal;
  if (a.empty() || b.empty()) return LinePairing::Dissimilar;
  const double m = static_cast<double>(std::max(a.size(), b.size()));
  const double length_difference = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
  if (1.0 - length_difference / m < 0.8) return LinePairing::Dissimilar;
  const double d = static_cast<double>(content_replacer::levenshtein_distance(a, b));
  return 1.0 - d / m < 0.8 ? LinePairing::Dissimilar : LinePairing::Similar;
}

// Row r >= 1 of the matrix, for query line `query` (untrimmed), from row r - 1 in `prev`.
inline void reference_row(std::size_t r, std::string_view query,
                          const std::vector<std::string_view>& source,
                          const std::vector<AlignmentCell>& prev, std::vector<AlignmentCell>& cur) {
  using enum AlignmentDirection;
  cur.resize(source.size() + 1);
  cur[0] = {static_cast<std::uint32_t>(10 * r), Up};
  for (std::size_t c = 1; c <= source.size(); ++c) {
    const std::uint32_t up = prev[c].cost + 10, left = cur[c - 1].cost + 3;
    const LinePairing p = reference_pairing(query, source[c - 1]);
    const std::uint32_t diagonal = prev[c - 1].cost + (p == LinePairing::Equal     ? 0
                                                       : p == LinePairing::Similar ? 1
                                                                                   : 13);
    cur[c] = diagonal < left && diagonal < up ? AlignmentCell{diagonal, Diagonal}
             : left < up                      ? AlignmentCell{left, Left}
                                              : AlignmentCell{up, Up};
  }
}

struct ReferenceAlignment {
  std::vector<AlignmentCell> last_row;
  std::vector<ByteRange> ranges;
};

inline ReferenceAlignment reference_alignment(std::string_view source_text,
                                              const std::vector<std::string>& query) {
  using enum AlignmentDirection;
  const auto source = text::split_lines(source_text);
  std::vector<std::size_t> offsets{0};
  for (const auto line : source) offsets.push_back(offsets.back() + line.size() + 1);
  const std::size_t rows = query.size() + 1, cols = source.size() + 1;
  std::vector<std::vector<AlignmentCell>> matrix(rows);
  matrix[0].assign(cols, {0, Diagonal});
  for (std::size_t r = 1; r < rows; ++r)
    reference_row(r, query[r - 1], source, matrix[r - 1], matrix[r]);
  ReferenceAlignment result{matrix.back(), {}};
  if (cols == 1) return result;
  const std::vector<AlignmentCell>& last = matrix.back();
  std::uint32_t min_cost = std::numeric_limits<std::uint32_t>::max();
  for (std::size_t c = 1; c < cols; ++c) min_cost = std::min(min_cost, last[c].cost);
  for (std::size_t c_end = 1; c_end < cols; ++c_end) {
    if (last[c_end].cost != min_cost) continue;
    std::size_t r = rows - 1, c = c_end, matched = 0;
    while (r > 0 && c > 0) {
      const auto d = matrix[r][c].direction;
      if (d != Left) --r;
      if (d != Up) --c;
      matched += d == Diagonal;
    }
    const float ratio = static_cast<float>(matched) /
                        std::max(static_cast<float>(c_end - c), static_cast<float>(query.size()));
    if (ratio >= 0.8f) result.ranges.push_back({offsets[c], offsets[c_end] - 1});
  }
  return result;
}

}  // namespace marlune::test_support

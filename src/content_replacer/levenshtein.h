// Character edit distance and the interior-line block similarity of the replacement engine.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace marlune::content_replacer {

// Least number of single-character insertions, deletions and substitutions (unit costs, no
// transpositions) that turn `a` into `b`, counted over Unicode scalar values.
std::size_t levenshtein_distance(std::string_view a, std::string_view b);

// levenshtein_distance(a, b) when it is at most `max_distance`; otherwise some value greater
// than `max_distance`. Does only the work the bound needs.
std::size_t levenshtein_distance_bounded(std::string_view a, std::string_view b,
                                         std::size_t max_distance);

// Mean score in [0, 1] of the interior line pairs of the content block
// [block_start, block_end] against the interior search lines, aligned from the top.
double calculate_block_similarity(std::span<const std::string_view> content_lines,
                                  std::span<const std::string_view> search_lines,
                                  std::size_t block_start, std::size_t block_end,
                                  std::size_t search_line_count);

}  // namespace marlune::content_replacer

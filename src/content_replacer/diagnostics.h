// Explanations of a failed replacement: the closest fuzzy match with a line diff, first-line
// hints and advice for a text that was not found, and the locations of an ambiguous one.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marlune::content_replacer {

// The closest near-match of a search text in the content.
struct FuzzyMatch {
  double similarity = 0.0;
  std::size_t start_line = 0;  // 1-based, first line of the window
  std::size_t end_line = 0;    // 1-based, last line of the window (inclusive)
  std::string text;
  std::string diff;
};

struct NotFoundReport {
  std::string message;
  std::optional<FuzzyMatch> closest_match;
};

struct MultipleMatchesReport {
  std::string message;
  std::vector<std::size_t> locations;  // 1-based line numbers, ascending
};

std::optional<FuzzyMatch> find_closest_match(std::string_view content, std::string_view old_string);
std::string build_match_diff(std::string_view old_string, std::string_view window_text);
NotFoundReport build_not_found_error(std::string_view content, std::string_view old_string);

std::vector<std::size_t> find_match_locations(std::string_view content,
                                              std::string_view old_string);
MultipleMatchesReport build_multiple_matches_error(std::string_view content,
                                                   std::string_view old_string);

}  // namespace marlune::content_replacer

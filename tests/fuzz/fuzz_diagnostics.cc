// The failure explanations against their plain definitions: the closest match is a best window
// of those the plain search examines (any one of several tied windows), with its lines, text and
// diff; the diff is cut at a character boundary at or before its limit; the not-found and
// multiple-matches messages are the fixed texts around those values; the locations are the lines
// the plain scan records.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "content_replacer/diagnostics.h"
#include "fuzz/fuzz_input.h"
#include "support/plain_references.h"
#include "text/lines.h"
#include "text/utf8.h"

namespace {

using marlune::fuzz::quoted;
using marlune::fuzz::ref::Lines;
namespace cr = marlune::content_replacer;
namespace ref = marlune::fuzz::ref;
namespace text = marlune::text;

constexpr std::string_view kTips =
    "\n\nDebugging tips:\n1. Check for exact whitespace/indentation match\n2. Verify line endings "
    "match the file (\\r\\n vs \\n)\n3. Ensure the search text hasn't been modified\n4. Try "
    "reading the file section first to get exact text";

std::string joined_numbers(const std::vector<std::size_t>& numbers, std::size_t most) {
  std::string out;
  for (std::size_t i = 0; i < std::min(numbers.size(), most); ++i) {
    out += (i ? ", " : "") + std::to_string(numbers[i]);
  }
  return out;
}

std::string percent(double similarity) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.1f", similarity * 100.0);
  return buffer;
}

// The diff as the engine must report it: whole up to the limit; beyond it, cut at a character
// boundary at most one character before the limit and marked.
void check_diff(const std::string& diff, std::string_view old_string, std::string_view window,
                const std::string& detail) {
  const std::string full = ref::match_diff(old_string, window);
  if (full.size() <= ref::kDiffLimit) {
    FUZZ_CHECK(diff == full, detail + " diff " + quoted(diff) + " expected " + quoted(full));
    return;
  }
  FUZZ_CHECK(diff.size() > ref::kDiffTruncated.size() && diff.ends_with(ref::kDiffTruncated),
             detail + " diff of " + std::to_string(diff.size()) + " bytes");
  const std::size_t kept = diff.size() - ref::kDiffTruncated.size();
  FUZZ_CHECK(kept <= ref::kDiffLimit && kept == text::floor_char_boundary(full, kept) &&
                 ref::kDiffLimit - kept < 4 && full.compare(0, kept, diff, 0, kept) == 0,
             detail + " diff cut at " + std::to_string(kept));
  FUZZ_CHECK(marlune::fuzz::is_valid_utf8(diff), detail);
}

// The closest match: absent exactly when no examined window reaches the threshold; otherwise an
// examined window with the best similarity, reported with its own lines, text and diff.
void check_closest(std::string_view content, std::string_view old_string,
                   const std::optional<cr::FuzzyMatch>& got, const std::string& detail) {
  const std::optional<double> best = ref::best_similarity(content, old_string);
  FUZZ_CHECK(got.has_value() == best.has_value(), detail);
  if (!got) return;
  const Lines c = text::split_lines(content), s = text::split_lines(old_string);
  const std::string g = detail + " closest " + std::to_string(got->start_line) + "-" +
                        std::to_string(got->end_line) + " " + quoted(got->text) + " similarity " +
                        std::to_string(got->similarity) + " best " + std::to_string(*best);
  FUZZ_CHECK(got->start_line >= 1 && got->end_line == got->start_line + s.size() - 1, g);
  const std::set<std::size_t> starts = ref::examined_starts(c, s);
  FUZZ_CHECK(starts.contains(got->start_line - 1), g);
  FUZZ_CHECK(got->text == ref::window(c, got->start_line - 1, s.size()), g);
  FUZZ_CHECK(got->similarity == ref::similarity(old_string, got->text), g);
  FUZZ_CHECK(got->similarity == *best, g);
  check_diff(got->diff, old_string, got->text, g);
}

std::string expected_not_found_message(std::string_view content, std::string_view old_string,
                                       const std::optional<cr::FuzzyMatch>& closest) {
  std::string out = "Search text not found in file.";
  const Lines s = text::split_lines(old_string);
  if (!s.empty() && !text::trim(s[0]).empty()) {
    const std::string_view t = text::trim(s[0]);
    std::vector<std::size_t> at;
    const Lines c = text::split_lines(content);
    for (std::size_t j = 0; j < c.size() && at.size() < 3; ++j) {
      if (ref::contains(c[j], t)) at.push_back(j + 1);
    }
    out.append("\nFirst search line '").append(t);
    out += at.empty() ? "' not found anywhere in file"
                      : "' appears at line(s): " + joined_numbers(at, 3);
  }
  if (closest) {
    out += "\nClosest fuzzy match (" + percent(closest->similarity) + "% similar) at lines " +
           std::to_string(closest->start_line) + "-" + std::to_string(closest->end_line) + ":\n" +
           closest->diff;
  }
  return out.append(kTips);
}

std::string expected_multiple_matches_message(std::string_view old_string,
                                              const std::vector<std::size_t>& locations) {
  const Lines s = text::split_lines(old_string);
  const std::string_view first = s.empty() ? std::string_view() : s[0];
  const std::size_t cut = text::prefix_bytes_for_chars(first, 60);
  std::string where = joined_numbers(locations, 5);
  if (locations.size() > 5) where += ", ... (" + std::to_string(locations.size()) + " total)";
  return "Pattern found at multiple locations (lines: " + where +
         ").\nSearch text starts with: \"" + std::string(first.substr(0, cut)) +
         (cut < first.size() ? "..." : "") +
         "\"\n\nTo fix, include more surrounding context in old_string to uniquely identify the "
         "target location, or use replace_all=True to replace all occurrences, or provide a "
         "line_hint to select the closest match.";
}

// `s` repeated `times` times.
std::string repeated(std::string_view s, std::size_t times) {
  std::string out;
  out.reserve(s.size() * times);
  for (std::size_t i = 0; i < times; ++i) out.append(s);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  marlune::fuzz::FuzzInput in(data, size);
  const std::uint8_t repeat = in.byte();
  const std::string content = in.text();
  const std::string old_string = in.text();
  const std::string detail = "content " + quoted(content) + " old " + quoted(old_string);

  const std::optional<cr::FuzzyMatch> closest = cr::find_closest_match(content, old_string);
  check_closest(content, old_string, closest, detail);

  const cr::NotFoundReport not_found = cr::build_not_found_error(content, old_string);
  check_closest(content, old_string, not_found.closest_match, detail);
  FUZZ_CHECK(
      not_found.message == expected_not_found_message(content, old_string, not_found.closest_match),
      detail + " message " + quoted(not_found.message));

  const std::vector<std::size_t> locations = cr::find_match_locations(content, old_string);
  FUZZ_CHECK(locations == ref::match_locations(content, old_string), detail);
  const cr::MultipleMatchesReport multiple = cr::build_multiple_matches_error(content, old_string);
  FUZZ_CHECK(multiple.locations == locations, detail);
  FUZZ_CHECK(multiple.message == expected_multiple_matches_message(old_string, locations),
             detail + " message " + quoted(multiple.message));

  // The diff alone, with both texts repeated so that the limit is reached and the cut can land
  // inside any character.
  const std::size_t times = 1 + repeat % 64;
  const std::string a = repeated(old_string, times), b = repeated(content, times);
  check_diff(cr::build_match_diff(a, b), a, b, detail + " repeated " + std::to_string(times));
  return 0;
}

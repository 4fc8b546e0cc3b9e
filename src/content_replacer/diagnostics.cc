#include "content_replacer/diagnostics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <span>

#include "content_replacer/levenshtein.h"
#include "content_replacer/substring_search.h"
#include "text/lines.h"
#include "text/utf8.h"

namespace marlune::content_replacer {
namespace {

using Lines = std::vector<std::string_view>;

constexpr std::size_t kNeighbourhood = 5;      // lines examined before and after a first-line hit
constexpr std::size_t kFallbackWindows = 100;  // windows examined when the first line is nowhere
constexpr double kSimilarityThreshold = 0.8;   // least similarity of a closest match, inclusive
constexpr std::size_t kDiffLimit = 2000;       // bytes of diff kept
constexpr std::size_t kFirstLineHits = 3;      // line numbers listed for the first search line
constexpr std::size_t kLocationsShown = 5;     // line numbers listed in the ambiguity message
constexpr std::size_t kPreviewChars = 60;      // characters of the search text quoted back

constexpr std::string_view kNotFoundHeading = "Search text not found in file.";
constexpr std::string_view kDiffHeader = "--- SEARCH\n+++ CLOSEST MATCH\n";
constexpr std::string_view kDiffTruncated = "\n...(diff truncated)";
constexpr std::string_view kDebuggingTips =
    "\n\nDebugging tips:\n"
    "1. Check for exact whitespace/indentation match\n"
    "2. Verify line endings match the file (\\r\\n vs \\n)\n"
    "3. Ensure the search text hasn't been modified\n"
    "4. Try reading the file section first to get exact text";
static_assert(kDebuggingTips.size() == 219);
constexpr std::string_view kMultipleMatchesAdvice =
    "\"\n\nTo fix, include more surrounding context in old_string to uniquely identify the "
    "target location, or use replace_all=True to replace all occurrences, or provide a "
    "line_hint to select the closest match.";

bool contains(std::string_view haystack, std::string_view needle) {
  return find_first(haystack, needle) != kNoOccurrence;
}

double similarity(std::size_t distance, std::size_t longest) {
  return 1.0 - static_cast<double>(distance) / static_cast<double>(longest);
}

// A window qualifies when its similarity reaches the threshold and beats the best so far.
bool qualifies(std::size_t distance, std::size_t longest, double best_similarity) {
  const double s = similarity(distance, longest);
  return s >= kSimilarityThreshold && s > best_similarity;
}

// The largest distance that still qualifies against a text of `longest` bytes, or nullopt when
// not even distance 0 does. The similarity is computed with correctly rounded division and
// subtraction, both monotone, so the qualifying distances are exactly 0 ... bound; the
// floating-point estimate is only a starting point that the exact test then corrects, which
// makes the bounded search decide every window as the full distance would.
std::optional<std::size_t> qualifying_distance_bound(std::size_t longest, double best_similarity) {
  const double slack = 1.0 - std::max(kSimilarityThreshold, best_similarity);
  std::size_t bound = static_cast<std::size_t>(std::clamp(
      std::floor(static_cast<double>(longest) * slack), 0.0, static_cast<double>(longest)));
  while (bound < longest && qualifies(bound + 1, longest, best_similarity)) ++bound;
  while (bound > 0 && !qualifies(bound, longest, best_similarity)) --bound;
  if (!qualifies(bound, longest, best_similarity)) return std::nullopt;
  return bound;
}

void append_number(std::string& out, std::size_t value) {
  out += std::to_string(value);
}

void append_numbers(std::string& out, std::span<const std::size_t> values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ", ";
    append_number(out, values[i]);
  }
}

// "\nFirst search line '...' ..." for a non-blank first search line, else nothing.
void append_first_line_hint(std::string& out, std::span<const std::string_view> content_lines,
                            std::span<const std::string_view> search_lines) {
  if (search_lines.empty()) return;
  const std::string_view first = text::trim(search_lines[0]);
  if (first.empty()) return;
  std::vector<std::size_t> hits;
  for (std::size_t j = 0; j < content_lines.size() && hits.size() < kFirstLineHits; ++j) {
    if (contains(content_lines[j], first)) hits.push_back(j + 1);
  }
  out += "\nFirst search line '";
  out += first;
  if (hits.empty()) {
    out += "' not found anywhere in file";
  } else {
    out += "' appears at line(s): ";
    append_numbers(out, hits);
  }
}

}  // namespace

std::optional<FuzzyMatch> find_closest_match(std::string_view content,
                                             std::string_view old_string) {
  const Lines content_lines = text::split_lines(content);
  const Lines search_lines = text::split_lines(old_string);
  const std::size_t m = content_lines.size();
  const std::size_t n = search_lines.size();
  if (n == 0 || m < n) return std::nullopt;
  const auto first_it = std::find_if(search_lines.begin(), search_lines.end(),
                                     [](std::string_view line) { return !text::is_blank(line); });
  if (first_it == search_lines.end()) return std::nullopt;
  const std::string_view first = *first_it;
  const std::size_t window_count = m - n + 1;
  const std::span<const std::string_view> all_lines(content_lines);

  double best_similarity = 0.0;
  std::optional<std::size_t> best_start;
  std::string best_text;
  std::string window;  // reused by every window
  // Windows are examined in ascending start order, so among equally similar windows the
  // uppermost is reported.
  auto examine = [&](std::size_t start) {
    window.clear();
    text::append_joined(window, all_lines.subspan(start, n));
    if (window.empty()) return;
    const std::size_t longest = std::max(old_string.size(), window.size());
    const auto bound = qualifying_distance_bound(longest, best_similarity);
    if (!bound) return;
    const std::size_t distance = levenshtein_distance_bounded(old_string, window, *bound);
    if (distance > *bound) return;
    best_similarity = similarity(distance, longest);
    best_start = start;
    best_text = window;
  };
  auto perfect = [&] { return best_similarity >= 1.0; };  // nothing can beat it

  // Each line that holds the first non-blank search line contributes the starts within the
  // neighbourhood around it. Those ranges come in ascending order, so walking them while
  // skipping what an earlier range covered visits every start once, in ascending order.
  std::size_t next_start = 0;
  bool any_start = false;
  for (std::size_t j = 0; j < m && !perfect(); ++j) {
    if (!contains(content_lines[j], first)) continue;
    const std::size_t low = j > kNeighbourhood ? j - kNeighbourhood : 0;
    const std::size_t high = std::min(window_count, j + kNeighbourhood + 1);
    if (low >= high) continue;
    any_start = true;
    for (std::size_t s = std::max(low, next_start); s < high && !perfect(); ++s) examine(s);
    next_start = std::max(next_start, high);
  }
  if (!any_start) {
    const std::size_t fallback = std::min(window_count, kFallbackWindows);
    for (std::size_t s = 0; s < fallback && !perfect(); ++s) examine(s);
  }

  if (!best_start) return std::nullopt;
  FuzzyMatch match;
  match.similarity = best_similarity;
  match.start_line = *best_start + 1;
  match.end_line = *best_start + n;
  match.diff = build_match_diff(old_string, best_text);
  match.text = std::move(best_text);
  return match;
}

std::string build_match_diff(std::string_view old_string, std::string_view window_text) {
  const Lines a = text::split_lines(old_string);
  const Lines b = text::split_lines(window_text);
  std::string out(kDiffHeader);
  const std::size_t rows = std::max(a.size(), b.size());
  // Past the limit only the first kDiffLimit + 1 bytes decide the result, so stop there.
  for (std::size_t i = 0; i < rows && out.size() <= kDiffLimit; ++i) {
    const std::string_view left = i < a.size() ? a[i] : std::string_view();
    const std::string_view right = i < b.size() ? b[i] : std::string_view();
    if (left == right) {
      out += ' ';
      out += left;
      out += '\n';
      continue;
    }
    if (i < a.size()) {
      out += '-';
      out += left;
      out += '\n';
    }
    if (i < b.size()) {
      out += '+';
      out += right;
      out += '\n';
    }
  }
  if (out.size() > kDiffLimit) {
    // Cut at a character boundary so that the diff stays valid UTF-8.
    out.resize(text::floor_char_boundary(out, kDiffLimit));
    out += kDiffTruncated;
  }
  return out;
}

NotFoundReport build_not_found_error(std::string_view content, std::string_view old_string) {
  NotFoundReport report;
  report.closest_match = find_closest_match(content, old_string);
  std::string& message = report.message;
  message = kNotFoundHeading;
  append_first_line_hint(message, text::split_lines(content), text::split_lines(old_string));
  if (report.closest_match) {
    const FuzzyMatch& match = *report.closest_match;
    // glibc prints the exact binary value rounded to nearest, ties to even.
    char percent[32];
    std::snprintf(percent, sizeof percent, "%.1f", match.similarity * 100.0);
    message += "\nClosest fuzzy match (";
    message += percent;
    message += "% similar) at lines ";
    append_number(message, match.start_line);
    message += '-';
    append_number(message, match.end_line);
    message += ":\n";
    message += match.diff;
  }
  message += kDebuggingTips;
  return report;
}

std::vector<std::size_t> find_match_locations(std::string_view content,
                                              std::string_view old_string) {
  const Lines content_lines = text::split_lines(content);
  const Lines search_lines = text::split_lines(old_string);
  std::vector<std::size_t> locations;

  if (search_lines.size() <= 1) {
    // A line is a location when it holds the (only) search line; every line holds the empty one.
    const std::string_view first = search_lines.empty() ? std::string_view() : search_lines[0];
    for (std::size_t j = 0; j < content_lines.size(); ++j) {
      if (first.empty() || contains(content_lines[j], first)) locations.push_back(j + 1);
    }
    return locations;
  }

  // Line j is a location when the join of the |S| content lines from j holds old_string. That
  // join has |S| - 1 line breaks and old_string at least as many, so an occurrence must start
  // inside line j (on its text or at its closing line break) and end inside the last line of
  // the join; it then also holds the first search line within line j. Hence the locations are
  // the lines on which occurrences of old_string start in the join of all content lines, which
  // one linear scan finds instead of one join and search per line. An old_string that ends
  // with a line break has |S| of them and is never found.
  if (old_string.back() == '\n') return locations;
  // Without "\r" the join of all lines is the content less any final "\n", which an occurrence
  // cannot use because old_string does not end with one.
  std::string joined_storage;
  std::string_view joined = content;
  if (std::memchr(content.data(), '\r', content.size()) != nullptr) {
    joined_storage = text::join_lines(content_lines);
    joined = joined_storage;
  }
  OccurrenceScanner scanner(joined, old_string);
  std::size_t line = 1;  // 1-based line of `counted`
  std::size_t counted = 0;
  for (std::size_t pos = scanner.next(); pos != kNoOccurrence; pos = scanner.next()) {
    line += text::count_newlines(joined.substr(counted, pos - counted));
    counted = pos;
    // At most one occurrence starts per line: the text before old_string's first line break
    // must be exactly the end of that line.
    locations.push_back(line);
  }
  return locations;
}

MultipleMatchesReport build_multiple_matches_error(std::string_view content,
                                                   std::string_view old_string) {
  MultipleMatchesReport report;
  report.locations = find_match_locations(content, old_string);
  const std::span<const std::size_t> locations(report.locations);

  std::string& message = report.message;
  message = "Pattern found at multiple locations (lines: ";
  if (locations.size() > kLocationsShown) {
    append_numbers(message, locations.first(kLocationsShown));
    message += ", ... (";
    append_number(message, locations.size());
    message += " total)";
  } else {
    append_numbers(message, locations);
  }

  // The first search line, cut to its first characters; the quote is not escaped.
  const Lines search_lines = text::split_lines(old_string);
  const std::string_view first = search_lines.empty() ? std::string_view() : search_lines[0];
  const std::size_t preview_bytes = text::prefix_bytes_for_chars(first, kPreviewChars);
  message += ").\nSearch text starts with: \"";
  message += first.substr(0, preview_bytes);
  if (preview_bytes < first.size()) message += "...";
  message += kMultipleMatchesAdvice;
  return report;
}

}  // namespace marlune::content_replacer

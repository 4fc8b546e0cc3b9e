#include "content_replacer/diagnostics.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
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
constexpr std::string_view kMultipleMatchesAdvice =
    "\"\n\nTo fix, include more surrounding context in old_string to uniquely identify the "
    "target location, or use replace_all=True to replace all occurrences, or provide a "
    "line_hint to select the closest match.";

// Lines of `text` that contain `needle` (not empty, no "\n"), found with one scan of the whole
// text instead of one search per line. Calls visit(index, start) with the 0-based index and the
// byte offset of each such line, in ascending order and once per line, until visit returns false.
// A line is cut as split_lines cuts it, so an occurrence that reaches into the "\r" of a "\r\n"
// is not in the line.
template <typename Visit>
void for_each_line_containing(std::string_view text, std::string_view needle, Visit visit) {
  OccurrenceScanner scanner(text, needle);
  std::size_t next_start = 0;  // start of the first line after the one located last
  std::size_t next_index = 0;  // and its index
  std::size_t index = 0;       // the line located last: index, start, end (its "\r\n" excluded)
  std::size_t start = 0;
  std::size_t end = 0;
  bool located = false;
  bool reported = false;
  for (std::size_t pos = scanner.next(); pos != kNoOccurrence; pos = scanner.next()) {
    if (!located || pos >= next_start) {
      const std::string_view gap = text.substr(next_start, pos - next_start);
      const std::size_t breaks = text::count_newlines(gap);
      index = next_index + breaks;
      start = breaks == 0 ? next_start : next_start + gap.rfind('\n') + 1;
      const void* newline = std::memchr(text.data() + pos, '\n', text.size() - pos);
      const std::size_t nl =
          newline == nullptr ? text.size() : static_cast<const char*>(newline) - text.data();
      end = nl < text.size() && nl > start && text[nl - 1] == '\r' ? nl - 1 : nl;
      next_start = nl + 1;
      next_index = index + 1;
      located = true;
      reported = false;
    }
    if (reported || pos + needle.size() > end) continue;
    reported = true;
    if (!visit(index, start)) return;
  }
}

// Offset of the line `count` lines above the one that starts at `start` (the first line when
// there are fewer).
std::size_t start_of_line_above(std::string_view text, std::size_t start, std::size_t count) {
  for (; count > 0 && start > 0; --count) {
    // The line above ends with the "\n" at start - 1 and starts after the "\n" before that.
    const std::size_t newline = start >= 2 ? text.rfind('\n', start - 2) : kNoOccurrence;
    start = newline == kNoOccurrence ? 0 : newline + 1;
  }
  return start;
}

// Appends up to `count` lines of `text` from byte offset `start` (a line start), cut as
// split_lines cuts them, fewer when the text ends first.
void append_lines_from(std::string_view text, std::size_t start, std::size_t count, Lines& lines) {
  for (; count > 0 && start < text.size(); --count) {
    const void* newline = std::memchr(text.data() + start, '\n', text.size() - start);
    if (newline == nullptr) {
      lines.push_back(text.substr(start));
      return;
    }
    const std::size_t nl = static_cast<const char*>(newline) - text.data();
    std::size_t end = nl;
    if (end > start && text[end - 1] == '\r') --end;
    lines.push_back(text.substr(start, end - start));
    start = nl + 1;
  }
}

// Number of lines split_lines would cut `text` into.
std::size_t line_count(std::string_view text) {
  return text::count_newlines(text) + (!text.empty() && text.back() != '\n' ? 1 : 0);
}

// A lower bound on the edit distance between the search text and a window that slides over the
// content, from their character counts. ASCII characters are counted one by one, the others in
// buckets by a hash of their code point; merging characters into buckets can only lower the
// bound. With delta the window's counts less the search text's, the window has `excess`
// characters too many and `lack` too few; an insertion, deletion or substitution mends at most
// one of each, so at least max(excess, lack) = (sum |delta| + |sum delta|) / 2 edits are needed.
class CharacterCountBound {
 public:
  explicit CharacterCountBound(std::string_view search) {
    for_each_bucket(search, [&](std::size_t b) { --delta_[b]; });
    for (const std::ptrdiff_t d : delta_) {
      absolute_sum_ += static_cast<std::size_t>(-d);
      sum_ += d;
    }
  }

  void add(std::string_view s) {
    for_each_bucket(s, [&](std::size_t b) { add_one(b); });
  }

  void remove(std::string_view s) {
    for_each_bucket(s, [&](std::size_t b) { remove_one(b); });
  }

  void add_newlines(std::size_t count) {
    for (; count > 0; --count) add_one('\n');
  }

  std::size_t lower_bound() const {
    const std::size_t imbalance = static_cast<std::size_t>(sum_ < 0 ? -sum_ : sum_);
    return (absolute_sum_ + imbalance) / 2;
  }

 private:
  static constexpr std::size_t kAsciiBuckets = 0x80;
  static constexpr unsigned kOtherBucketBits = 7;

  void add_one(std::size_t bucket) {
    std::ptrdiff_t& d = delta_[bucket];
    absolute_sum_ = d >= 0 ? absolute_sum_ + 1 : absolute_sum_ - 1;
    ++d;
    ++sum_;
  }

  void remove_one(std::size_t bucket) {
    std::ptrdiff_t& d = delta_[bucket];
    absolute_sum_ = d > 0 ? absolute_sum_ - 1 : absolute_sum_ + 1;
    --d;
    --sum_;
  }

  template <typename F>
  static void for_each_bucket(std::string_view s, F f) {
    for (std::size_t pos = 0; pos < s.size();) {
      const auto byte = static_cast<unsigned char>(s[pos]);
      if (byte < 0x80) {
        f(byte);
        ++pos;
        continue;
      }
      const auto cp = static_cast<std::uint32_t>(text::decode_utf8(s, pos));
      f(kAsciiBuckets + ((cp * 0x9E3779B1u) >> (32 - kOtherBucketBits)));
    }
  }

  std::ptrdiff_t delta_[kAsciiBuckets + (std::size_t{1} << kOtherBucketBits)] = {};
  std::size_t absolute_sum_ = 0;  // sum of |delta|
  std::ptrdiff_t sum_ = 0;        // sum of delta: window characters less search characters
};

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
// A content line found by a scan: its 0-based index and the byte offset at which it starts.
struct LineHit {
  std::size_t index;
  std::size_t start;
};

// "\nFirst search line '{trimmed}' ...", given the lines that hold `trimmed` in ascending order.
void append_first_line_hint(std::string& out, std::string_view trimmed,
                            std::span<const LineHit> hits) {
  out += "\nFirst search line '";
  out += trimmed;
  if (hits.empty()) {
    out += "' not found anywhere in file";
    return;
  }
  out += "' appears at line(s): ";
  for (std::size_t i = 0; i < hits.size() && i < kFirstLineHits; ++i) {
    if (i > 0) out += ", ";
    append_number(out, hits[i].index + 1);
  }
}

// The line of `text` that starts at byte `start`, cut as split_lines cuts it.
std::string_view line_at(std::string_view text, std::size_t start) {
  const void* newline = std::memchr(text.data() + start, '\n', text.size() - start);
  if (newline == nullptr) return text.substr(start);
  std::size_t end = static_cast<const char*>(newline) - text.data();
  if (end > start && text[end - 1] == '\r') --end;
  return text.substr(start, end - start);
}

// The first search line that is not blank, untrimmed, if there is one.
std::optional<std::string_view> first_non_blank(std::span<const std::string_view> search_lines) {
  const auto it = std::find_if(search_lines.begin(), search_lines.end(),
                               [](std::string_view line) { return !text::is_blank(line); });
  if (it == search_lines.end()) return std::nullopt;
  return *it;
}

// The closest-match search for `old_string` (split into `search_lines`, whose first non-blank
// line is `first`). for_each_hit(visit) calls visit(index, start) for the lines that contain
// `first`, in ascending order, until visit returns false.
template <typename ForEachHit>
std::optional<FuzzyMatch> closest_match(std::string_view content, std::string_view old_string,
                                        std::span<const std::string_view> search_lines,
                                        ForEachHit for_each_hit) {
  const std::size_t n = search_lines.size();

  double best_similarity = 0.0;
  std::optional<std::size_t> best_start;
  std::string best_text;
  std::string window;  // reused by every window
  Lines lines;         // the lines of the windows of one run, reused by every run
  const CharacterCountBound search_counts(old_string);
  auto perfect = [&] { return best_similarity >= 1.0; };  // nothing can beat it

  // Examines the starts [low, high), a run of consecutive starts whose first line begins at
  // byte `offset`, in ascending order, so that among equally similar windows the uppermost is
  // reported. The content is never split as a whole: only the lines of the run are cut, and
  // starts whose window would run past the last line are dropped. The window slides one line
  // at a time and its character counts with it; a window whose count bound already exceeds the
  // largest distance that could still qualify is rejected without building its text or
  // computing its distance. Returns whether the run had any window.
  auto examine_run = [&](std::size_t low, std::size_t high, std::size_t offset) {
    lines.clear();
    append_lines_from(content, offset, high - low + n - 1, lines);
    if (lines.size() < n) return false;
    high = std::min(high, low + lines.size() - n + 1);
    CharacterCountBound counts = search_counts;
    std::size_t window_bytes = n - 1;
    for (std::size_t i = 0; i < n; ++i) {
      counts.add(lines[i]);
      window_bytes += lines[i].size();
    }
    counts.add_newlines(n - 1);
    for (std::size_t s = low; s < high && !perfect(); ++s) {
      const std::span<const std::string_view> rows = std::span(lines).subspan(s - low, n);
      if (s > low) {
        const std::string_view gone = lines[s - low - 1];
        counts.remove(gone);
        counts.add(rows.back());
        window_bytes = window_bytes - gone.size() + rows.back().size();
      }
      if (window_bytes == 0) continue;
      const std::size_t longest = std::max(old_string.size(), window_bytes);
      const auto bound = qualifying_distance_bound(longest, best_similarity);
      if (!bound || counts.lower_bound() > *bound) continue;
      window.clear();
      text::append_joined(window, rows);
      const std::size_t distance = levenshtein_distance_bounded(old_string, window, *bound);
      if (distance > *bound) continue;
      best_similarity = similarity(distance, longest);
      best_start = s;
      best_text = window;
    }
    return true;
  };

  // Each line that holds the first non-blank search line contributes the starts within the
  // neighbourhood around it. Those ranges come in ascending order; overlapping or adjacent ones
  // merge into runs, so every start is examined once, in ascending order. When no such line has
  // a window near it, the first windows of the content are examined instead. A run without
  // windows lies past the last window start, and so do all runs after it.
  bool pending = false;  // a run is being collected
  bool any_start = false;
  bool past_end = false;
  std::size_t run_low = 0, run_high = 0, run_offset = 0;
  auto flush = [&] {
    if (examine_run(run_low, run_high, run_offset)) {
      any_start = true;
    } else {
      past_end = true;
    }
  };
  for_each_hit([&](std::size_t j, std::size_t start) {
    const std::size_t low = j > kNeighbourhood ? j - kNeighbourhood : 0;
    const std::size_t high = j + kNeighbourhood + 1;
    if (pending && low <= run_high) {
      run_high = high;
      return true;
    }
    if (pending) flush();
    if (past_end || perfect()) {
      pending = false;
      return false;
    }
    pending = true;
    run_low = low;
    run_high = high;
    run_offset = start_of_line_above(content, start, j - low);
    return true;
  });
  if (pending) flush();
  if (!any_start) examine_run(0, kFallbackWindows, 0);

  if (!best_start) return std::nullopt;
  FuzzyMatch match;
  match.similarity = best_similarity;
  match.start_line = *best_start + 1;
  match.end_line = *best_start + n;
  match.diff = build_match_diff(old_string, best_text);
  match.text = std::move(best_text);
  return match;
}

}  // namespace

std::optional<FuzzyMatch> find_closest_match(std::string_view content,
                                             std::string_view old_string) {
  const Lines search_lines = text::split_lines(old_string);
  const auto first = first_non_blank(search_lines);
  if (!first) return std::nullopt;
  return closest_match(content, old_string, search_lines,
                       [&](auto visit) { for_each_line_containing(content, *first, visit); });
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
  std::string& message = report.message;
  message = kNotFoundHeading;
  const Lines search_lines = text::split_lines(old_string);
  const std::string_view trimmed =
      search_lines.empty() ? std::string_view() : text::trim(search_lines[0]);
  if (trimmed.empty()) {
    report.closest_match = find_closest_match(content, old_string);
  } else {
    // The first search line is then also the first non-blank one, and every line that holds it
    // holds its trimmed form: one scan for the trimmed form serves the hint and the search.
    std::vector<LineHit> hits;
    for_each_line_containing(content, trimmed, [&](std::size_t j, std::size_t start) {
      hits.push_back({j, start});
      return true;
    });
    append_first_line_hint(message, trimmed, hits);
    const std::string_view first = search_lines[0];
    report.closest_match = closest_match(content, old_string, search_lines, [&](auto visit) {
      for (const LineHit& hit : hits) {
        if (first.size() != trimmed.size() &&
            line_at(content, hit.start).find(first) == std::string_view::npos) {
          continue;
        }
        if (!visit(hit.index, hit.start)) return;
      }
    });
  }
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
  const Lines search_lines = text::split_lines(old_string);
  std::vector<std::size_t> locations;

  if (search_lines.size() <= 1) {
    // A line is a location when it holds the (only) search line; every line holds the empty one.
    const std::string_view first = search_lines.empty() ? std::string_view() : search_lines[0];
    if (first.empty()) {
      const std::size_t m = line_count(content);
      for (std::size_t j = 0; j < m; ++j) locations.push_back(j + 1);
      return locations;
    }
    for_each_line_containing(content, first, [&](std::size_t j, std::size_t /*start*/) {
      locations.push_back(j + 1);
      return true;
    });
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
    joined_storage = text::join_lines(text::split_lines(content));
    joined = joined_storage;
  }
  // At most one occurrence starts per line: the text before old_string's first line break
  // must be exactly the end of that line.
  for_each_occurrence_line(joined, old_string, [&](std::size_t, std::size_t line) {
    locations.push_back(line);
    return true;
  });
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

#include "content_replacer/replace_content.h"

#include <cstdint>
#include <limits>
#include <utility>

#include "content_replacer/strategies.h"
#include "content_replacer/substring_search.h"
#include "text/lines.h"
#include "text/utf8.h"

namespace marlune::content_replacer {
namespace {

// The 1-based line of byte position `pos`: "\r" never counts, so "\r\n" and "\n" agree.
std::size_t line_of(std::string_view content, std::size_t pos) {
  return 1 + text::count_newlines(content.substr(0, pos));
}

// The occurrence whose line is nearest `hint`; on a tie the earliest. Occurrences come in
// ascending position, so their lines never decrease: once one stands on or below the hint line,
// no later one can be strictly nearer and the walk stops there.
std::size_t nearest_occurrence(std::string_view content, std::string_view candidate,
                               std::uint32_t hint) {
  OccurrenceScanner scanner(content, candidate);
  std::size_t best = kNoOccurrence;
  std::int64_t best_distance = std::numeric_limits<std::int64_t>::max();
  std::size_t line = 1;  // line of `counted`, advanced incrementally
  std::size_t counted = 0;
  for (std::size_t pos = scanner.next(); pos != kNoOccurrence; pos = scanner.next()) {
    line += text::count_newlines(content.substr(counted, pos - counted));
    counted = pos;
    const std::int64_t difference =
        static_cast<std::int64_t>(line) - static_cast<std::int64_t>(hint);
    const std::int64_t distance = difference < 0 ? -difference : difference;
    if (distance < best_distance) {
      best_distance = distance;
      best = pos;
    }
    if (difference >= 0) break;
  }
  return best;
}

// Where a single replacement puts `candidate`: its only occurrence, or with a hint the
// occurrence nearest the hint line; kNoOccurrence when it does not occur, or occurs more than
// once without a hint.
std::size_t single_position(std::string_view content, std::string_view candidate,
                            std::optional<std::uint32_t> line_hint) {
  const std::size_t first = find_first(content, candidate);
  if (first == kNoOccurrence) return kNoOccurrence;
  if (!occurs_after(content, candidate, first)) return first;
  if (!line_hint) return kNoOccurrence;
  return nearest_occurrence(content, candidate, *line_hint);
}

std::string replace_at(std::string_view content, std::size_t pos, std::size_t length,
                       std::string_view new_string) {
  std::string out;
  out.reserve(content.size() - length + new_string.size());
  out.append(content.substr(0, pos));
  out.append(new_string);
  out.append(content.substr(pos + length));
  return out;
}

// Every occurrence of `candidate` replaced, leftmost first and without overlaps, starting from
// the known first occurrence. The empty candidate puts `new_string` before every character and
// once at the end.
std::string replace_every(std::string_view content, std::string_view candidate, std::size_t first,
                          std::string_view new_string) {
  std::string out;
  if (candidate.empty()) {
    out.reserve(content.size() + (text::char_count(content) + 1) * new_string.size());
    std::size_t pos = 0;
    while (pos < content.size()) {
      const std::size_t length = text::sequence_length(static_cast<unsigned char>(content[pos]));
      out.append(new_string);
      out.append(content.substr(pos, length));
      pos += length;
    }
    out.append(new_string);
    return out;
  }
  out.reserve(content.size());
  std::size_t copied = 0;
  for (std::size_t pos = first; pos != kNoOccurrence;
       pos = find_first(content, candidate, copied)) {
    out.append(content.substr(copied, pos - copied));
    out.append(new_string);
    copied = pos + candidate.size();
  }
  out.append(content.substr(copied));
  return out;
}

ReplaceSuccess make_success(std::string new_content, std::string_view content, std::size_t pos,
                            std::string& candidate, std::string_view strategy) {
  ReplaceSuccess success;
  success.content = std::move(new_content);
  success.start_line = line_of(content, pos);
  success.end_line = success.start_line + text::count_newlines(candidate);
  success.matched_text = std::move(candidate);
  success.strategy = strategy;
  return success;
}

}  // namespace

ReplaceOutcome replace_content(std::string_view content, std::string_view old_string,
                               std::string_view new_string, bool replace_all,
                               std::optional<std::uint32_t> line_hint) {
  if (old_string == new_string) {
    ReplaceError error;
    error.kind = ReplaceErrorKind::NoChange;
    error.message = kNoChangeMessage;
    return error;
  }

  bool candidates_seen = false;
  for (const StrategyEntry& strategy : kStrategies) {
    CandidateList candidates = strategy.function(content, old_string);
    if (candidates.empty()) continue;
    for (std::string& candidate : candidates) {
      if (replace_all) {
        const std::size_t first = find_first(content, candidate);
        if (first == kNoOccurrence) continue;
        return make_success(replace_every(content, candidate, first, new_string), content, first,
                            candidate, strategy.name);
      }
      const std::size_t pos = single_position(content, candidate, line_hint);
      if (pos == kNoOccurrence) continue;
      return make_success(replace_at(content, pos, candidate.size(), new_string), content, pos,
                          candidate, strategy.name);
    }
    // Once any strategy has proposed something, a failure is reported as an ambiguity, even
    // when none of the proposed candidates occurs in the content.
    candidates_seen = true;
  }

  ReplaceError error;
  if (!candidates_seen) {
    NotFoundReport report = build_not_found_error(content, old_string);
    error.kind = ReplaceErrorKind::NotFound;
    error.message = std::move(report.message);
    error.closest_match = std::move(report.closest_match);
  } else {
    MultipleMatchesReport report = build_multiple_matches_error(content, old_string);
    error.kind = ReplaceErrorKind::MultipleMatches;
    error.message = std::move(report.message);
    error.locations = std::move(report.locations);
  }
  return error;
}

}  // namespace marlune::content_replacer

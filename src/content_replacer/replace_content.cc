#include "content_replacer/replace_content.h"

#include <cstdint>
#include <limits>
#include <utility>

#include "content_replacer/replacement_frame.h"
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
  std::size_t best = kNoOccurrence;
  std::int64_t best_distance = std::numeric_limits<std::int64_t>::max();
  for_each_occurrence_line(content, candidate, [&](std::size_t pos, std::size_t line) {
    const std::int64_t difference =
        static_cast<std::int64_t>(line) - static_cast<std::int64_t>(hint);
    const std::int64_t distance = difference < 0 ? -difference : difference;
    if (distance < best_distance) {
      best_distance = distance;
      best = pos;
    }
    return difference < 0;
  });
  return best;
}

// Where a single replacement puts `candidate`, which first occurs at `first`: its only
// occurrence, or with a hint the occurrence nearest the hint line; kNoOccurrence when it does
// not occur, or occurs more than once without a hint.
std::size_t single_position(std::string_view content, std::string_view candidate, std::size_t first,
                            std::optional<std::uint32_t> line_hint) {
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
// the known first occurrence; `replacements` receives their number. The empty candidate puts
// `new_string` before every character and once at the end.
std::string replace_every(std::string_view content, std::string_view candidate, std::size_t first,
                          std::string_view new_string, std::size_t& replacements) {
  std::string out;
  replacements = 0;
  if (candidate.empty()) {
    out.reserve(content.size() + (text::char_count(content) + 1) * new_string.size());
    std::size_t pos = 0;
    while (pos < content.size()) {
      const std::size_t length = text::sequence_length(static_cast<unsigned char>(content[pos]));
      out.append(new_string);
      out.append(content.substr(pos, length));
      pos += length;
      ++replacements;
    }
    out.append(new_string);
    ++replacements;
    return out;
  }
  out.reserve(content.size());
  std::size_t copied = 0;
  for (std::size_t pos = first; pos != kNoOccurrence;
       pos = find_first(content, candidate, copied)) {
    out.append(content.substr(copied, pos - copied));
    out.append(new_string);
    copied = pos + candidate.size();
    ++replacements;
  }
  out.append(content.substr(copied));
  return out;
}

ReplaceSuccess make_success(std::string new_content, std::string_view content, std::size_t pos,
                            std::string& candidate, std::string_view strategy,
                            std::string_view new_string, Replacement& inserted,
                            std::size_t replacements) {
  ReplaceSuccess success;
  success.content = std::move(new_content);
  success.start_line = line_of(content, pos);
  success.end_line = success.start_line + text::count_newlines(candidate);
  success.matched_text = std::move(candidate);
  success.strategy = strategy;
  success.replacements = replacements;
  if (inserted.rewritten) {
    success.rewritten_insert = std::move(inserted.rewritten);
  } else {
    const std::string_view stretch = inserted.stretch;
    success.inserted_offset =
        stretch.empty() ? 0 : static_cast<std::size_t>(stretch.data() - new_string.data());
    success.inserted_size = stretch.size();
  }
  return success;
}

std::string_view leading_whitespace(std::string_view s) {
  return s.substr(0, s.size() - text::trim_start(s).size());
}

std::string_view trailing_whitespace(std::string_view s) {
  return s.substr(text::trim_end(s).size());
}

// How many more line breaks `old_whitespace` holds than `candidate_whitespace`.
std::size_t missing_line_breaks(std::string_view old_whitespace,
                                std::string_view candidate_whitespace) {
  const std::size_t wanted = text::count_newlines(old_whitespace);
  const std::size_t present = text::count_newlines(candidate_whitespace);
  return wanted > present ? wanted - present : 0;
}

// The line breaks that a candidate lacks at its ends compared with `old_string`.
struct MissingBreaks {
  std::size_t at_end = 0;
  std::size_t at_start = 0;
};

MissingBreaks missing_breaks(std::string_view old_string, std::string_view candidate) {
  return {missing_line_breaks(trailing_whitespace(old_string), trailing_whitespace(candidate)),
          missing_line_breaks(leading_whitespace(old_string), leading_whitespace(candidate))};
}

// `text` without the last `missing.at_end` line breaks of its trailing whitespace (with what
// follows the earliest of them and a "\r" just before it), then without the first
// `missing.at_start` line breaks of what is left of its leading whitespace (with everything
// before the last of them).
std::string_view without_breaks(std::string_view text, MissingBreaks missing) {
  if (const std::size_t k = missing.at_end) {
    const std::size_t tail_start = text.size() - trailing_whitespace(text).size();
    std::size_t cut = text.size();
    std::size_t dropped = 0;
    for (std::size_t j = text.size(); j-- > tail_start && dropped < k;) {
      if (text[j] == '\n') cut = j, ++dropped;
    }
    if (dropped > 0 && cut > tail_start && text[cut - 1] == '\r') --cut;
    text = text.substr(0, cut);
  }
  if (const std::size_t k = missing.at_start) {
    const std::size_t head_size = leading_whitespace(text).size();
    std::size_t cut = 0;
    std::size_t dropped = 0;
    for (std::size_t j = 0; j < head_size && dropped < k; ++j) {
      if (text[j] == '\n') cut = j + 1, ++dropped;
    }
    text = text.substr(cut);
  }
  return text;
}

// The whitespace that `candidate` holds at its ends with more line breaks than `old_string`
// holds there: at the end from the first of those breaks on (and a "\r" just before it), at
// the start up to and including the last of them. Nothing for a candidate of whitespace only.
std::pair<std::string_view, std::string_view> extra_breaks(std::string_view old_string,
                                                           std::string_view candidate) {
  std::string_view head, tail;
  if (text::is_blank(candidate)) return {head, tail};
  const std::string_view candidate_tail = trailing_whitespace(candidate);
  if (std::size_t k = missing_line_breaks(candidate_tail, trailing_whitespace(old_string))) {
    std::size_t cut = candidate_tail.size();
    while (k > 0) {
      cut = candidate_tail.rfind('\n', cut - 1);
      --k;
    }
    if (cut > 0 && candidate_tail[cut - 1] == '\r') --cut;
    tail = candidate_tail.substr(cut);
  }
  const std::string_view candidate_head = leading_whitespace(candidate);
  if (std::size_t k = missing_line_breaks(candidate_head, leading_whitespace(old_string))) {
    std::size_t end = 0;
    for (std::size_t j = 0; k > 0; ++j) {
      if (candidate_head[j] == '\n') end = j + 1, --k;
    }
    head = candidate_head.substr(0, end);
  }
  return {head, tail};
}

}  // namespace

std::string_view fitted_replacement(std::string_view old_string, std::string_view candidate,
                                    std::string_view new_string, bool candidate_is_trimmed_find) {
  if (candidate_is_trimmed_find) {
    std::string_view fitted = new_string;
    if (!leading_whitespace(old_string).empty()) fitted = text::trim_start(fitted);
    if (!trailing_whitespace(old_string).empty()) fitted = text::trim_end(fitted);
    return fitted;
  }
  return without_breaks(new_string, missing_breaks(old_string, candidate));
}

Replacement replacement_for(std::string_view strategy, std::string_view old_string,
                            std::string_view candidate, std::string_view new_string) {
  Replacement replacement;
  if (strategy == "trimmed_boundary" && candidate == text::trim(old_string)) {
    // Trimmed at both ends, the candidate has no boundary whitespace and so no extra breaks.
    replacement.stretch = fitted_replacement(old_string, candidate, new_string, true);
    return replacement;
  }
  const MissingBreaks missing = missing_breaks(old_string, candidate);
  replacement.stretch = without_breaks(new_string, missing);
  const bool escapes = strategy == "escape_normalized";
  if (strategy != "simple" && strategy != "trimmed_boundary") {
    const std::string_view old_fit = without_breaks(old_string, missing);
    if (old_fit != candidate) {
      std::string_view replacing = replacement.stretch;
      std::string unescaped_old;
      std::string_view frame = old_fit;
      if (escapes) {
        // The decision to decode the replacement stands whatever the frame below decides.
        if (unescapes_replacement(old_fit, replacing)) {
          replacement.rewritten = unescape_string(replacing);
          replacing = *replacement.rewritten;
        }
        unescaped_old = unescape_string(old_fit);
        frame = unescaped_old;
      }
      // `replacing` may view the decoded text, which a rebased one replaces only after use.
      if (std::optional<std::string> rebased = rebased_replacement(frame, candidate, replacing)) {
        replacement.rewritten = std::move(rebased);
      }
    }
  }
  if (!escapes) {
    const auto [head, tail] = extra_breaks(old_string, candidate);
    if (!head.empty() || !tail.empty()) {
      const std::string_view body = replacement.text();
      std::string joined;
      joined.reserve(head.size() + body.size() + tail.size());
      joined.append(head).append(body).append(tail);
      replacement.rewritten = std::move(joined);
    }
  }
  // A rewrite that came out as the stretch itself changes nothing, and the stretch is what the
  // caller can describe without copying.
  if (replacement.rewritten && *replacement.rewritten == replacement.stretch) {
    replacement.rewritten.reset();
  }
  return replacement;
}

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
  PreparedContent prepared_content(content);
  for (const StrategyEntry& strategy : kStrategies) {
    CandidateList candidates = strategy.on_prepared(prepared_content, old_string);
    if (candidates.empty()) continue;
    for (std::string& candidate : candidates) {
      // The strategy that proposed the candidate has often just searched for it.
      const std::size_t first = prepared_content.first_occurrence(candidate);
      // Only a placed candidate needs its replacement made.
      if (replace_all) {
        if (first == kNoOccurrence) continue;
        Replacement inserted = replacement_for(strategy.name, old_string, candidate, new_string);
        std::size_t replacements = 0;
        std::string replaced =
            replace_every(content, candidate, first, inserted.text(), replacements);
        return make_success(std::move(replaced), content, first, candidate, strategy.name,
                            new_string, inserted, replacements);
      }
      const std::size_t pos = single_position(content, candidate, first, line_hint);
      if (pos == kNoOccurrence) continue;
      Replacement inserted = replacement_for(strategy.name, old_string, candidate, new_string);
      return make_success(replace_at(content, pos, candidate.size(), inserted.text()), content, pos,
                          candidate, strategy.name, new_string, inserted, 1);
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

// The replacement driver with content, old, new, replace_all and line_hint from the input.
//
// On success the new content is the old one with `matched_text` replaced at the reported line:
// at its only occurrence, at the occurrence nearest the hint, or at every occurrence, each time
// by the same text. That text is `new_string` for an exact match, and otherwise `new_string`
// with at most its boundary whitespace changed; the candidate belongs to the reported strategy,
// and no earlier strategy had a candidate that could be placed. On
// failure the kind follows from the strategies' lists and the message and data are those the
// diagnostics build. A repeated call gives the same outcome.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "content_replacer/diagnostics.h"
#include "content_replacer/replace_content.h"
#include "content_replacer/strategies.h"
#include "fuzz/fuzz_input.h"
#include "support/plain_references.h"
#include "text/lines.h"
#include "text/utf8.h"

namespace {

using marlune::fuzz::quoted;
namespace cr = marlune::content_replacer;
namespace ref = marlune::fuzz::ref;
namespace text = marlune::text;

// Every position at which `needle` occurs, overlapping ones included; the empty needle occurs
// at every character boundary, the end included.
std::vector<std::size_t> occurrences(std::string_view haystack, std::string_view needle) {
  std::vector<std::size_t> out;
  for (std::size_t p = 0; p <= haystack.size(); ++p) {
    if (p < haystack.size() && text::is_continuation_byte(static_cast<unsigned char>(haystack[p])))
      continue;
    if (haystack.substr(p, needle.size()) == needle && p + needle.size() <= haystack.size())
      out.push_back(p);
  }
  return out;
}

std::size_t line_of(std::string_view content, std::size_t pos) {
  return 1 + text::count_newlines(content.substr(0, pos));
}

// Where the single-replacement rule places `candidate`, if anywhere.
std::optional<std::size_t> single_position(std::string_view content, std::string_view candidate,
                                           std::optional<std::uint32_t> hint) {
  const std::vector<std::size_t> at = occurrences(content, candidate);
  if (at.empty()) return std::nullopt;
  if (at.size() == 1) return at[0];
  if (!hint) return std::nullopt;
  std::size_t best = at[0];
  std::int64_t best_distance = INT64_MAX;
  for (const std::size_t p : at) {
    const std::int64_t d = static_cast<std::int64_t>(line_of(content, p)) - *hint;
    if ((d < 0 ? -d : d) < best_distance) best_distance = d < 0 ? -d : d, best = p;
  }
  return best;
}

// Every non-overlapping occurrence, leftmost first, replaced by `by`; the empty text is put
// before every character and at the end.
std::string replace_every(std::string_view content, std::string_view what, std::string_view by) {
  if (!what.empty()) return ref::replace_all(content, what, by);
  std::string out;
  for (std::size_t pos = 0; pos < content.size();) {
    const std::size_t len = text::sequence_length(static_cast<unsigned char>(content[pos]));
    out.append(by).append(content.substr(pos, len));
    pos += len;
  }
  return out.append(by);
}

std::size_t count_every(std::string_view content, std::string_view what) {
  if (what.empty()) return text::char_count(content) + 1;
  std::size_t n = 0;
  for (std::size_t p = content.find(what); p != std::string_view::npos;
       p = content.find(what, p + what.size())) {
    ++n;
  }
  return n;
}

bool same(const std::optional<cr::FuzzyMatch>& a, const std::optional<cr::FuzzyMatch>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || (a->similarity == b->similarity && a->start_line == b->start_line &&
                a->end_line == b->end_line && a->text == b->text && a->diff == b->diff);
}

bool same(const cr::ReplaceOutcome& a, const cr::ReplaceOutcome& b) {
  if (a.index() != b.index()) return false;
  if (const auto* s = std::get_if<cr::ReplaceSuccess>(&a)) {
    const auto& t = std::get<cr::ReplaceSuccess>(b);
    return s->content == t.content && s->matched_text == t.matched_text &&
           s->start_line == t.start_line && s->end_line == t.end_line && s->strategy == t.strategy;
  }
  const auto& e = std::get<cr::ReplaceError>(a);
  const auto& f = std::get<cr::ReplaceError>(b);
  return e.kind == f.kind && e.message == f.message && same(e.closest_match, f.closest_match) &&
         e.locations == f.locations;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  marlune::fuzz::FuzzInput in(data, size);
  const std::uint8_t flags = in.byte();
  const std::uint32_t hint_value = in.u32();
  const std::string content = in.text();
  const std::string old_string = in.text();
  // A new string equal to the old one is made often enough to reach the no-change refusal.
  const std::string new_string = (flags & 4) ? old_string : in.text();
  const bool replace_all = (flags & 1) != 0;
  const std::optional<std::uint32_t> hint =
      (flags & 2) ? std::optional<std::uint32_t>((flags & 8) ? hint_value : hint_value % 64)
                  : std::nullopt;
  const std::string detail = "content " + quoted(content) + " old " + quoted(old_string) + " new " +
                             quoted(new_string) + " replace_all " + std::to_string(replace_all) +
                             " hint " + (hint ? std::to_string(*hint) : "none");

  const cr::ReplaceOutcome outcome =
      cr::replace_content(content, old_string, new_string, replace_all, hint);
  FUZZ_CHECK(same(outcome, cr::replace_content(content, old_string, new_string, replace_all, hint)),
             detail);

  // What each strategy proposes, and whether the placing rule accepts one of its candidates.
  const auto placeable = [&](const std::string& candidate) {
    return replace_all ? ref::contains(content, candidate)
                       : single_position(content, candidate, hint).has_value();
  };

  if (const auto* error = std::get_if<cr::ReplaceError>(&outcome)) {
    if (old_string == new_string) {
      FUZZ_CHECK(
          error->kind == cr::ReplaceErrorKind::NoChange && error->message == cr::kNoChangeMessage,
          detail);
      return 0;
    }
    FUZZ_CHECK(error->kind != cr::ReplaceErrorKind::NoChange, detail);
    bool any_candidate = false;
    for (const cr::StrategyEntry& strategy : cr::kStrategies) {
      for (const std::string& candidate : strategy.function(content, old_string)) {
        any_candidate = true;
        FUZZ_CHECK(!placeable(candidate), detail + " placeable " + std::string(strategy.name) +
                                              " candidate " + quoted(candidate));
      }
    }
    if (!any_candidate) {
      FUZZ_CHECK(error->kind == cr::ReplaceErrorKind::NotFound, detail);
      const cr::NotFoundReport report = cr::build_not_found_error(content, old_string);
      FUZZ_CHECK(error->message == report.message, detail + " message " + quoted(error->message));
      FUZZ_CHECK(same(error->closest_match, report.closest_match), detail);
      FUZZ_CHECK(error->locations.empty(), detail);
    } else {
      FUZZ_CHECK(error->kind == cr::ReplaceErrorKind::MultipleMatches, detail);
      const cr::MultipleMatchesReport report =
          cr::build_multiple_matches_error(content, old_string);
      FUZZ_CHECK(error->message == report.message, detail + " message " + quoted(error->message));
      FUZZ_CHECK(error->locations == report.locations, detail);
      FUZZ_CHECK(!error->closest_match, detail);
    }
    return 0;
  }

  const auto& success = std::get<cr::ReplaceSuccess>(outcome);
  FUZZ_CHECK(old_string != new_string, detail);
  const std::string& matched = success.matched_text;
  const std::string s_detail = detail + " strategy " + success.strategy + " matched " +
                               quoted(matched) + " result " + quoted(success.content);

  // The reported strategy proposed the matched text, and no earlier one had a placeable
  // candidate.
  bool reached = false;
  for (const cr::StrategyEntry& strategy : cr::kStrategies) {
    const cr::CandidateList candidates = strategy.function(content, old_string);
    if (strategy.name == success.strategy) {
      bool first_placeable = false;
      for (const std::string& candidate : candidates) {
        if (!placeable(candidate)) continue;
        first_placeable = candidate == matched;
        break;
      }
      FUZZ_CHECK(first_placeable, s_detail);
      reached = true;
      break;
    }
    for (const std::string& candidate : candidates)
      FUZZ_CHECK(!placeable(candidate), s_detail + " earlier " + std::string(strategy.name));
  }
  FUZZ_CHECK(reached, s_detail);

  // Where it was placed, and what was put there.
  std::size_t position = 0;
  std::string inserted;
  if (replace_all) {
    const std::vector<std::size_t> at = occurrences(content, matched);
    FUZZ_CHECK(!at.empty(), s_detail);
    position = at[0];
    const std::size_t count = count_every(content, matched);
    const std::size_t removed = count * matched.size();
    FUZZ_CHECK(success.content.size() + removed >= content.size(), s_detail);
    const std::size_t added = success.content.size() + removed - content.size();
    FUZZ_CHECK(added % count == 0, s_detail);
    inserted = success.content.substr(position, added / count);
    FUZZ_CHECK(success.content == replace_every(content, matched, inserted), s_detail);
  } else {
    const std::optional<std::size_t> at = single_position(content, matched, hint);
    FUZZ_CHECK(at.has_value(), s_detail);
    position = *at;
    const std::size_t kept = content.size() - matched.size();
    FUZZ_CHECK(success.content.size() >= kept, s_detail);
    inserted = success.content.substr(position, success.content.size() - kept);
    FUZZ_CHECK(success.content == content.substr(0, position) + inserted +
                                      content.substr(position + matched.size()),
               s_detail);
  }
  FUZZ_CHECK(success.start_line == line_of(content, position), s_detail);
  FUZZ_CHECK(success.end_line == success.start_line + text::count_newlines(matched), s_detail);

  // What went in is the one the rules give for the strategy and the matched text: `new_string`
  // itself for an exact match.
  const cr::Replacement expected =
      cr::replacement_for(success.strategy, old_string, matched, new_string);
  FUZZ_CHECK(inserted == expected.text(), s_detail + " inserted " + quoted(inserted));
  if (success.strategy == "simple") {
    FUZZ_CHECK(inserted == new_string, s_detail + " inserted " + quoted(inserted));
  }

  // The layout the success reports is the one found here.
  FUZZ_CHECK(success.replacements == (replace_all ? count_every(content, matched) : 1), s_detail);
  FUZZ_CHECK(success.rewritten_insert.has_value() == expected.rewritten.has_value(), s_detail);
  if (success.rewritten_insert) {
    FUZZ_CHECK(*success.rewritten_insert == inserted, s_detail + " inserted " + quoted(inserted));
  } else {
    FUZZ_CHECK(success.inserted_offset + success.inserted_size <= new_string.size(), s_detail);
    FUZZ_CHECK(new_string.substr(success.inserted_offset, success.inserted_size) == inserted,
               s_detail + " inserted " + quoted(inserted));
    // A stretch only gives up whitespace at the ends of `new_string`, never its body.
    FUZZ_CHECK(text::trim(inserted) == text::trim(new_string),
               s_detail + " inserted " + quoted(inserted));
  }
  return 0;
}

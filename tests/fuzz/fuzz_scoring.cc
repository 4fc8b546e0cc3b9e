// The fuzzy scorer, the plain subsequence test and the ranking against their step-by-step
// definitions, for any parameters (sums wrap) and any text. The ranking runs a prefilter before
// it scores; a candidate the scorer matches must never be filtered out, which the comparison of
// the whole ranking with the plain one checks candidate by candidate.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "fuzzy_scoring/fuzzy_scoring.h"
#include "text/case_mapping.h"
#include "text/unicode_data.h"
#include "text/utf8.h"

namespace {

using marlune::fuzz::quoted;
using marlune::fuzzy_scoring::FuzzyMatchParams;
using marlune::fuzzy_scoring::FuzzyScore;
using marlune::fuzzy_scoring::RankedCandidate;
namespace fs = marlune::fuzzy_scoring;
namespace text = marlune::text;

std::vector<char32_t> decode(std::string_view s) {
  std::vector<char32_t> out;
  for (std::size_t pos = 0; pos < s.size();) out.push_back(text::decode_utf8(s, pos));
  return out;
}

// Two's-complement sum modulo 2^32.
std::int32_t plus(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

// One greedy pass, each step as the scoring rules state it.
FuzzyScore plain_fuzzy_match(std::string_view pattern, std::string_view instring,
                             const FuzzyMatchParams& k) {
  if (pattern.empty()) return {false, 0};
  const std::vector<char32_t> p_chars = decode(pattern);
  if (instring.empty()) return {false, 0};
  std::int32_t score = 0;
  std::size_t index = 0;
  std::optional<char32_t> best;
  char32_t best_lower = 0;
  std::int32_t best_score = 0;
  bool prev_matched = false, prev_lower = false, prev_separator = true;
  std::int32_t lead_total = 0;
  for (const char32_t c : decode(instring)) {
    const std::optional<char32_t> p =
        index < p_chars.size() ? std::optional(text::lower_first(p_chars[index])) : std::nullopt;
    const char32_t lo = text::lower_first(c), up = text::upper_first(c);
    const bool next_match = p && *p == lo;
    const bool rematch = best && best_lower == lo;
    const bool advanced = next_match && best;
    const bool repeat = best && p && best_lower == *p;
    if (advanced || repeat) {
      score = plus(score, best_score);
      best.reset();
      best_score = 0;
    }
    if (next_match || rematch) {
      std::int32_t new_score = 0;
      if (index == 0) score = plus(score, std::max(lead_total, k.max_lead_penalty));
      if (prev_matched) new_score = plus(new_score, k.adj_bonus);
      if (prev_separator) new_score = plus(new_score, k.sep_bonus);
      if (prev_lower && c == up && lo != up) new_score = plus(new_score, k.camel_bonus);
      if (next_match) ++index;
      if (new_score >= best_score) {
        if (best) score = plus(score, k.unmatched_penalty);
        best = c;
        best_lower = lo;
        best_score = new_score;
      }
      prev_matched = true;
    } else {
      score = plus(score, k.unmatched_penalty);
      prev_matched = false;
    }
    prev_lower = c == lo && lo != up;
    prev_separator = c == U'_' || c == U' ';
    lead_total = plus(lead_total, k.lead_penalty);
  }
  if (best) score = plus(score, best_score);
  return {index == p_chars.size(), score};
}

bool plain_fuzzy_match_simple(std::string_view pattern, std::string_view instring, bool cs) {
  if (pattern.empty()) return true;
  if (instring.empty()) return false;
  const std::string p = cs ? std::string(pattern) : text::to_lower_full(pattern);
  const std::string s = cs ? std::string(instring) : text::to_lower_full(instring);
  const std::vector<char32_t> pc = decode(p);
  std::size_t i = 0;
  for (const char32_t c : decode(s)) {
    if (c == pc[i] && ++i == pc.size()) break;
  }
  return i == pc.size();
}

std::vector<RankedCandidate> plain_ranking(std::string_view pattern,
                                           const std::vector<std::string_view>& candidates) {
  std::vector<RankedCandidate> out;
  if (pattern.empty()) return out;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const FuzzyScore r = plain_fuzzy_match(pattern, candidates[i], {});
    if (r.matched) out.push_back({i, r.score});
  }
  // Insertion sort: stable by construction.
  for (std::size_t i = 1; i < out.size(); ++i) {
    for (std::size_t j = i; j > 0 && out[j - 1].score < out[j].score; --j)
      std::swap(out[j - 1], out[j]);
  }
  return out;
}

// A parameter: the default, a small value or any 32-bit value, so that sums wrap.
std::int32_t parameter(marlune::fuzz::FuzzInput& in, std::uint8_t mode, std::int32_t fallback) {
  switch (mode % 4) {
    case 0:
      return fallback;
    case 1:
      return static_cast<std::int8_t>(in.byte());
    case 2:
      return static_cast<std::int32_t>(in.u32());
    default: {
      const std::int32_t end = in.flag() ? INT32_MAX : INT32_MIN;
      return plus(end, static_cast<std::int8_t>(in.byte()));
    }
  }
}

std::string show(const FuzzyScore& r) {
  return std::string(r.matched ? "(true, " : "(false, ") + std::to_string(r.score) + ")";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  marlune::fuzz::FuzzInput in(data, size);
  const std::uint8_t modes = in.byte(), more_modes = in.byte();
  FuzzyMatchParams params;
  params.adj_bonus = parameter(in, modes, params.adj_bonus);
  params.sep_bonus = parameter(in, modes >> 2, params.sep_bonus);
  params.camel_bonus = parameter(in, modes >> 4, params.camel_bonus);
  params.lead_penalty = parameter(in, modes >> 6, params.lead_penalty);
  params.max_lead_penalty = parameter(in, more_modes, params.max_lead_penalty);
  params.unmatched_penalty = parameter(in, more_modes >> 2, params.unmatched_penalty);
  const std::string pattern = in.text();
  const std::string instring = in.text();
  const std::string detail = "pattern " + quoted(pattern) + " instring " + quoted(instring);

  const FuzzyScore got = fs::fuzzy_match(pattern, instring, params);
  const FuzzyScore want = plain_fuzzy_match(pattern, instring, params);
  FUZZ_CHECK(got == want, detail + " params " + std::to_string(params.adj_bonus) + " " +
                              std::to_string(params.sep_bonus) + " " +
                              std::to_string(params.camel_bonus) + " " +
                              std::to_string(params.lead_penalty) + " " +
                              std::to_string(params.max_lead_penalty) + " " +
                              std::to_string(params.unmatched_penalty) + " got " + show(got) +
                              " expected " + show(want));
  for (const bool cs : {false, true}) {
    FUZZ_CHECK(fs::fuzzy_match_simple(pattern, instring, cs) ==
                   plain_fuzzy_match_simple(pattern, instring, cs),
               detail + " case_sensitive " + std::to_string(cs));
  }

  // Ranking over the instring, the rest of the input cut into candidates, and slices of the
  // instring that move a hit across the prefilter's segment boundaries.
  std::vector<std::string> owned{instring};
  while (!in.empty() && owned.size() < 40) owned.push_back(in.text());
  for (std::size_t shift = 1; shift <= 17 && shift <= instring.size(); shift += 8) {
    const std::size_t cut = text::floor_char_boundary(instring, shift);
    owned.push_back(instring.substr(cut));
    owned.push_back(std::string(cut, ' ') + instring);
  }
  const std::vector<std::string_view> candidates(owned.begin(), owned.end());
  const std::vector<RankedCandidate> ranked = fs::get_best_matches(pattern, candidates);
  const std::vector<RankedCandidate> expected = plain_ranking(pattern, candidates);
  for (const RankedCandidate& r : expected) {
    const bool kept = std::any_of(ranked.begin(), ranked.end(),
                                  [&](const RankedCandidate& g) { return g.index == r.index; });
    FUZZ_CHECK(kept, detail + " matching candidate dropped: " + quoted(candidates[r.index]));
  }
  FUZZ_CHECK(ranked == expected, detail + " ranking differs");
  return 0;
}

// Fuzzy scoring of a short pattern against strings: a scored in-order subsequence match, a
// plain subsequence test and ranking of candidates by the score.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace marlune::fuzzy_scoring {

struct FuzzyMatchParams {
  std::int32_t adj_bonus = 5;
  std::int32_t sep_bonus = 10;
  std::int32_t camel_bonus = 10;
  std::int32_t lead_penalty = -3;
  std::int32_t max_lead_penalty = -9;
  std::int32_t unmatched_penalty = -1;
};

struct FuzzyScore {
  bool matched = false;
  std::int32_t score = 0;
  friend bool operator==(const FuzzyScore&, const FuzzyScore&) = default;
};

FuzzyScore fuzzy_match(std::string_view pattern, std::string_view instring,
                       const FuzzyMatchParams& params = {});

bool fuzzy_match_simple(std::string_view pattern, std::string_view instring, bool case_sensitive);

struct RankedCandidate {
  std::size_t index;  // position in the candidate list
  std::int32_t score;
  friend bool operator==(const RankedCandidate&, const RankedCandidate&) = default;
};

// The candidates that match `search_string` with the default parameters, best score first;
// equal scores keep the input order.
std::vector<RankedCandidate> get_best_matches(std::string_view search_string,
                                              std::span<const std::string_view> candidates);

}  // namespace marlune::fuzzy_scoring

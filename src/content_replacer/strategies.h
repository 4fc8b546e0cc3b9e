// The eight matching strategies of the replacement cascade. Every strategy is a pure function
// (content, find) -> ordered list of candidate texts, each meant to occur verbatim in content.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "content_replacer/prepared_content.h"

namespace marlune::content_replacer {

using CandidateList = std::vector<std::string>;
using Strategy = CandidateList (*)(std::string_view content, std::string_view find);
// The same strategy over content prepared once for the whole cascade.
using PreparedStrategy = CandidateList (*)(PreparedContent& content, std::string_view find);

struct StrategyEntry {
  std::string_view name;  // reported to callers, e.g. "block_anchor"
  Strategy function;
  PreparedStrategy on_prepared;
};

CandidateList simple_replacer(std::string_view content, std::string_view find);
CandidateList line_trimmed_replacer(std::string_view content, std::string_view find);
CandidateList block_anchor_replacer(std::string_view content, std::string_view find);
CandidateList whitespace_normalized_replacer(std::string_view content, std::string_view find);
CandidateList indentation_flexible_replacer(std::string_view content, std::string_view find);
CandidateList escape_normalized_replacer(std::string_view content, std::string_view find);
CandidateList trimmed_boundary_replacer(std::string_view content, std::string_view find);
CandidateList context_aware_replacer(std::string_view content, std::string_view find);

namespace prepared {
CandidateList simple_replacer(PreparedContent& content, std::string_view find);
CandidateList line_trimmed_replacer(PreparedContent& content, std::string_view find);
CandidateList block_anchor_replacer(PreparedContent& content, std::string_view find);
CandidateList whitespace_normalized_replacer(PreparedContent& content, std::string_view find);
CandidateList indentation_flexible_replacer(PreparedContent& content, std::string_view find);
CandidateList escape_normalized_replacer(PreparedContent& content, std::string_view find);
CandidateList trimmed_boundary_replacer(PreparedContent& content, std::string_view find);
CandidateList context_aware_replacer(PreparedContent& content, std::string_view find);
}  // namespace prepared

// The cascade, in the order the driver runs it.
inline constexpr std::array<StrategyEntry, 8> kStrategies = {{
    {"simple", simple_replacer, prepared::simple_replacer},
    {"line_trimmed", line_trimmed_replacer, prepared::line_trimmed_replacer},
    {"block_anchor", block_anchor_replacer, prepared::block_anchor_replacer},
    {"whitespace_normalized", whitespace_normalized_replacer,
     prepared::whitespace_normalized_replacer},
    {"indentation_flexible", indentation_flexible_replacer,
     prepared::indentation_flexible_replacer},
    {"escape_normalized", escape_normalized_replacer, prepared::escape_normalized_replacer},
    {"trimmed_boundary", trimmed_boundary_replacer, prepared::trimmed_boundary_replacer},
    {"context_aware", context_aware_replacer, prepared::context_aware_replacer},
}};

// Helpers of the normalizing strategies.
std::string normalize_whitespace(std::string_view text);
std::string remove_common_indentation(std::string_view text);
std::string unescape_string(std::string_view text);

}  // namespace marlune::content_replacer

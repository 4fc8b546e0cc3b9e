// The replacement driver: runs the strategy cascade, places one candidate (or all occurrences
// of it) and reports the new content, or explains why nothing could be placed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "content_replacer/diagnostics.h"

namespace marlune::content_replacer {

struct ReplaceSuccess {
  std::string content;       // the whole content after the replacement
  std::string matched_text;  // the text that was replaced, as found in the content
  std::size_t start_line = 0;
  std::size_t end_line = 0;
  std::string strategy;  // name of the strategy whose candidate was placed
};

enum class ReplaceErrorKind { NoChange, NotFound, MultipleMatches };

inline constexpr std::string_view kNoChangeMessage = "old_string and new_string must be different";

struct ReplaceError {
  ReplaceErrorKind kind = ReplaceErrorKind::NoChange;
  std::string message;
  std::optional<FuzzyMatch> closest_match;  // NotFound only
  std::vector<std::size_t> locations;       // MultipleMatches only
};

using ReplaceOutcome = std::variant<ReplaceSuccess, ReplaceError>;

ReplaceOutcome replace_content(std::string_view content, std::string_view old_string,
                               std::string_view new_string, bool replace_all,
                               std::optional<std::uint32_t> line_hint);

}  // namespace marlune::content_replacer

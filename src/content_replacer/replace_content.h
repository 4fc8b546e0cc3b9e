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
  // How `content` was made from the arguments, so that a caller holding them in another form
  // can tell the result's size and alphabet without reading it: each of `replacements`
  // occurrences of `matched_text` gave way to the stretch of `new_string` that starts at byte
  // `inserted_offset` and holds `inserted_size` bytes.
  // When what went in is not a stretch of `new_string` (a tolerant match rewrote it in the
  // frame of the matched text), it is `rewritten_insert`, and the offset and size are unused.
  std::size_t replacements = 1;
  std::size_t inserted_offset = 0;
  std::size_t inserted_size = 0;
  std::optional<std::string> rewritten_insert;
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

// The text that goes in place of `candidate`. A candidate rebuilt from whole lines lacks the
// line breaks that `old_string` may carry at its ends, and the trimmed find of the
// trimmed-boundary strategy lacks its boundary whitespace; `new_string` loses what its
// counterpart in `old_string` lost, so the file keeps the line breaks and indentation it had.
// The result is always a stretch of `new_string`. `candidate_is_trimmed_find` tells that the
// candidate is `old_string` trimmed at both ends, as the trimmed-boundary strategy proposes it.
std::string_view fitted_replacement(std::string_view old_string, std::string_view candidate,
                                    std::string_view new_string, bool candidate_is_trimmed_find);

// What goes in place of a placed candidate: a stretch of `new_string`, or a text of its own.
struct Replacement {
  std::string_view stretch;
  std::optional<std::string> rewritten;

  std::string_view text() const { return rewritten ? std::string_view(*rewritten) : stretch; }
};

// The replacement for `candidate`, proposed by the strategy named `strategy` for `old_string`.
// It is the fitted replacement (above), then, for a tolerant match that found other text than
// the search text, rewritten in the frame of that text (replacement_frame.h): an escaped
// replacement decoded as the search text was, its indentation mapped as the search text's maps
// onto the match's. Last, line breaks that the match holds at its ends beyond those of
// `old_string` are kept: the match's own ending or leading whitespace from the first such break
// on is put back at that end, so that a whole-content or window match does not eat the file's
// final line break or its blank lines.
Replacement replacement_for(std::string_view strategy, std::string_view old_string,
                            std::string_view candidate, std::string_view new_string);

ReplaceOutcome replace_content(std::string_view content, std::string_view old_string,
                               std::string_view new_string, bool replace_all,
                               std::optional<std::uint32_t> line_hint);

}  // namespace marlune::content_replacer

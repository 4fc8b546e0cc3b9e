// The replacement rewritten in the frame of the text a tolerant match really found. A caller
// that quotes a block with the wrong indentation, with tabs written as spaces or with its line
// breaks escaped writes its replacement the same way: both come from one picture of the file.
// Put in as written, such a replacement would change lines the edit never meant to change.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace marlune::content_replacer {

// Whether the escape-decoding strategy decodes the replacement too: when the search text and
// the replacement are both one line that escapes its line breaks as "\n", or when every escape
// the replacement holds is one the search text holds as well and the replacement has a real
// line break only if the search text has one. `old_fit` is the search text as fitted to the
// candidate's line breaks at its ends.
bool unescapes_replacement(std::string_view old_fit, std::string_view new_string);

// `new_string` moved from the frame of `old_fit` into the frame of `candidate`, the text that
// was matched for it, or nothing when it stays as it is. All three are cut into lines at every
// "\n". The lines of the replacement that the edit keeps from the search text (the matching
// blocks of the trimmed lines) become the candidate's lines, and every other non-blank line
// gets its indentation mapped the way the search text's indentation maps onto the candidate's:
// the one shift, or the one change of indentation unit (four spaces to a tab, two spaces to
// four), that maps every pair of indentations exactly. Nothing changes unless the search text
// and the candidate have as many lines, the kept lines of the replacement side with the search
// text more than twice as often as with the candidate (so that a replacement already written
// in the file's frame stays as written), and one map fits every line.
std::optional<std::string> rebased_replacement(std::string_view old_fit, std::string_view candidate,
                                               std::string_view new_string);

}  // namespace marlune::content_replacer

// Whole-string case mapping.
#pragma once

#include <string>
#include <string_view>

namespace marlune::text {

// The full default lowercase form of `text` (valid UTF-8), as Python's str.lower() computes it:
// every character's complete lowercase mapping (U+0130 becomes "i" followed by U+0307), and
// U+03A3 by the Final_Sigma condition: U+03C2 when the nearest character before it that is not
// case-ignorable is cased and the nearest one after it that is not case-ignorable is absent or
// not cased, otherwise U+03C3.
std::string to_lower_full(std::string_view text);

}  // namespace marlune::text

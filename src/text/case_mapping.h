// Whole-string case mapping.
#pragma once

#include <string>
#include <string_view>

namespace marlune::text {

// The full default lowercase form of `text`: every character's complete lowercase mapping
// (U+0130 becomes "i" followed by U+0307), with U+03A3 mapped by the Final_Sigma condition.
std::string to_lower_full(std::string_view text);

}  // namespace marlune::text

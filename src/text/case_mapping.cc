// Provisional ASCII-only version; replaced together with the generated tables.
#include "text/case_mapping.h"

namespace marlune::text {

std::string to_lower_full(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

}  // namespace marlune::text

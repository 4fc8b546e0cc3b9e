// Provisional: replaced by the output of tools/gen_unicode_tables.py.
#include "text/unicode_data.h"

namespace marlune::text {

std::string_view unicode_version() { return "0.0.0"; }

bool is_white_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

char32_t lower_first(char32_t cp) { return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp; }
char32_t upper_first(char32_t cp) { return (cp >= 'a' && cp <= 'z') ? cp - 32 : cp; }
std::size_t lower_full(char32_t cp, char32_t out[3]) {
  out[0] = lower_first(cp);
  return 1;
}
std::size_t upper_full(char32_t cp, char32_t out[3]) {
  out[0] = upper_first(cp);
  return 1;
}
bool is_cased(char32_t cp) { return lower_first(cp) != upper_first(cp); }
bool is_case_ignorable(char32_t cp) { return cp == '\'' || cp == '.' || cp == ':'; }

}  // namespace marlune::text

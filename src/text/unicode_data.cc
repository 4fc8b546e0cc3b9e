#include "text/unicode_data.h"

#include "text/unicode_tables.h"

namespace marlune::text {

using unicode_tables::add_delta;
using unicode_tables::case_delta;
using unicode_tables::full_mapping;
using unicode_tables::in_ranges;

std::string_view unicode_version() {
  return unicode_tables::kUnicodeVersion;
}

namespace detail {

bool is_white_space_non_ascii(char32_t cp) {
  return in_ranges(unicode_tables::kWhiteSpaceRanges, cp);
}

char32_t lower_first_non_ascii(char32_t cp) {
  return add_delta(cp, case_delta(cp).lower);
}

char32_t upper_first_non_ascii(char32_t cp) {
  return add_delta(cp, case_delta(cp).upper);
}

}  // namespace detail

std::size_t lower_full(char32_t cp, char32_t out[3]) {
  return full_mapping(unicode_tables::kLowerMulti, cp, lower_first(cp), out);
}

bool is_cased(char32_t cp) {
  return in_ranges(unicode_tables::kCasedRanges, cp);
}

bool is_case_ignorable(char32_t cp) {
  return in_ranges(unicode_tables::kCaseIgnorableRanges, cp);
}

}  // namespace marlune::text

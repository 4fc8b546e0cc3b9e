// The Unicode tables of unicode_tables.inc, the types of their rows and the lookups over them.
// Internal to the text library: unicode_data.h is the interface. The tests include it too, to
// check the full uppercase mappings, which no engine needs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

namespace marlune::text::unicode_tables {

// Case mappings. A code point cp below kCaseLimit selects the entry
//   kCaseStage2[(kCaseStage1[cp >> kCaseShift] << kCaseShift) | (cp & (block size - 1))]
// which indexes kCaseDeltas: the distance from cp to the first code point of its full lowercase
// and uppercase mappings. Code points from kCaseLimit on map to themselves.
struct CaseDelta {
  std::int32_t lower;
  std::int32_t upper;
};

// A full mapping longer than one code point; unused trailing slots are 0. Sorted by `cp`.
struct MultiMapping {
  char32_t cp;
  char32_t mapping[3];
};

// The generated tables. The property ranges are sorted, each entry packing
// (first << kRangeLengthBits) | (last - first).
#include "text/unicode_tables.inc"

inline const CaseDelta& case_delta(char32_t cp) {
  if (cp >= kCaseLimit) return kCaseDeltas[0];
  constexpr char32_t kMask = (char32_t{1} << kCaseShift) - 1;
  const std::size_t block = kCaseStage1[cp >> kCaseShift];
  return kCaseDeltas[kCaseStage2[(block << kCaseShift) | (cp & kMask)]];
}

inline char32_t add_delta(char32_t cp, std::int32_t delta) {
  return static_cast<char32_t>(static_cast<std::int32_t>(cp) + delta);
}

template <std::size_t N>
bool in_ranges(const std::uint32_t (&ranges)[N], char32_t cp) {
  if (cp > 0x10FFFF) return false;
  const std::uint32_t key = (static_cast<std::uint32_t>(cp) << kRangeLengthBits) |
                            ((std::uint32_t{1} << kRangeLengthBits) - 1);
  const std::uint32_t* next = std::upper_bound(std::begin(ranges), std::end(ranges), key);
  if (next == std::begin(ranges)) return false;
  const std::uint32_t entry = *(next - 1);
  return cp - (entry >> kRangeLengthBits) <= (entry & ((1u << kRangeLengthBits) - 1));
}

// The full mapping of `cp` from `multi`, or the single code point `first` where `multi` has
// none; returns how many code points were written to `out`.
template <std::size_t N>
std::size_t full_mapping(const MultiMapping (&multi)[N], char32_t cp, char32_t first,
                         char32_t out[3]) {
  const MultiMapping* found =
      std::lower_bound(std::begin(multi), std::end(multi), cp,
                       [](const MultiMapping& m, char32_t key) { return m.cp < key; });
  if (found == std::end(multi) || found->cp != cp) {
    out[0] = first;
    return 1;
  }
  std::size_t n = 0;
  while (n < 3 && found->mapping[n] != 0) {
    out[n] = found->mapping[n];
    ++n;
  }
  return n;
}

}  // namespace marlune::text::unicode_tables

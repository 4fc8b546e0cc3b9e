// Byte-exact substring search over UTF-8 text, linear in the worst case. Positions are byte
// offsets; the empty needle occurs at every character boundary of the haystack, its end included.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "text/lines.h"

namespace marlune::content_replacer {

inline constexpr std::size_t kNoOccurrence = std::string_view::npos;

// border[j] for j = 0 .. pattern.size(): the length of the longest proper border (a prefix that
// is also a suffix) of the first j elements, the Knuth-Morris-Pratt failure function. Works on
// any random-access sequence whose elements compare with ==.
template <typename Sequence>
std::vector<std::size_t> prefix_borders(const Sequence& pattern) {
  const std::size_t size = pattern.size();
  std::vector<std::size_t> border(size + 1, 0);
  for (std::size_t j = 1, b = 0; j < size; ++j) {
    while (b > 0 && !(pattern[j] == pattern[b])) b = border[b];
    if (pattern[j] == pattern[b]) ++b;
    border[j + 1] = b;
  }
  return border;
}

// Index of the first byte (in memory order) that is not zero in `differs`, the xor of two
// eight-byte words read from memory: the first byte at which the two words differ.
inline std::size_t lowest_differing_byte(std::uint64_t differs) {
  // The byte at the lowest address is the low byte of a little-endian word.
  const int bits = std::endian::native == std::endian::little ? std::countr_zero(differs)
                                                              : std::countl_zero(differs);
  return static_cast<std::size_t>(bits) / 8;
}

// Length of the longest common prefix of `a` and `b`, compared eight bytes at a time.
inline std::size_t common_prefix_length(std::string_view a, std::string_view b) {
  const std::size_t limit = std::min(a.size(), b.size());
  std::size_t pos = 0;
  for (; limit - pos >= 8; pos += 8) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a.data() + pos, 8);
    std::memcpy(&y, b.data() + pos, 8);
    if (x != y) return pos + lowest_differing_byte(x ^ y);
  }
  while (pos < limit && a[pos] == b[pos]) ++pos;
  return pos;
}

// Position of the first occurrence of `needle` that starts at or after `from`, or kNoOccurrence.
std::size_t find_first(std::string_view haystack, std::string_view needle, std::size_t from = 0);

// Whether `needle` occurs in `haystack` (the empty needle occurs everywhere).
inline bool contains(std::string_view haystack, std::string_view needle) {
  return find_first(haystack, needle) != kNoOccurrence;
}

// Whether `needle` occurs at some position greater than `pos`. With `pos` the first occurrence
// this answers "is the first occurrence also the last?" with one forward search.
bool occurs_after(std::string_view haystack, std::string_view needle, std::size_t pos);

// Every occurrence of `needle` in ascending order, overlapping ones included ("aa" occurs at 0
// and 1 in "aaa"). Each step after a hit only examines text that no earlier step settled, so
// the whole walk is linear in the haystack even for a needle like 10,000 'a' in a haystack of
// 'a' that matches at every position. The scanner keeps views: both texts must outlive it.
class OccurrenceScanner {
 public:
  OccurrenceScanner(std::string_view haystack, std::string_view needle)
      : haystack_(haystack), needle_(needle) {}

  // The next occurrence, or kNoOccurrence once the haystack is exhausted.
  std::size_t next();

 private:
  std::string_view haystack_;
  std::string_view needle_;
  std::size_t from_ = 0;                  // where the next search starts
  std::size_t previous_ = kNoOccurrence;  // the last occurrence returned
  std::size_t period_ = 0;                // smallest period of the needle, 0 until needed
};

// Walks the occurrences of `needle` in ascending order, with the 1-based line on which each
// starts ("\n" counts, "\r" does not), counting lines only between consecutive occurrences.
// visit(position, line) returns false to stop the walk.
template <typename Visit>
void for_each_occurrence_line(std::string_view haystack, std::string_view needle, Visit visit) {
  OccurrenceScanner scanner(haystack, needle);
  std::size_t line = 1;  // the line of `counted`
  std::size_t counted = 0;
  for (std::size_t pos = scanner.next(); pos != kNoOccurrence; pos = scanner.next()) {
    line += text::count_newlines(haystack.substr(counted, pos - counted));
    counted = pos;
    if (!visit(pos, line)) return;
  }
}

}  // namespace marlune::content_replacer

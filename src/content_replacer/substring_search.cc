#include "content_replacer/substring_search.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "text/utf8.h"

namespace marlune::content_replacer {
namespace {

// The smallest p > 0 with needle[i] == needle[i + p] for every valid i (the length itself when
// the needle has no shorter period): the length minus its longest proper border, from the
// Knuth-Morris-Pratt failure function.
std::size_t smallest_period(std::string_view needle) {
  return needle.size() - prefix_borders(needle)[needle.size()];
}

// The first character boundary at or after `pos` (pos <= s.size()).
std::size_t ceil_char_boundary(std::string_view s, std::size_t pos) {
  while (pos < s.size() && text::is_continuation_byte(static_cast<unsigned char>(s[pos]))) ++pos;
  return pos;
}

}  // namespace

std::size_t find_first(std::string_view haystack, std::string_view needle, std::size_t from) {
  if (from > haystack.size()) return kNoOccurrence;
  if (needle.empty()) return ceil_char_boundary(haystack, from);
#if defined(__GLIBC__)
  // glibc's memmem is the two-way algorithm for long needles and a hashed pair filter for
  // short ones: linear in the worst case, and far faster than std::string_view::find, which
  // compares the whole needle again at every candidate position.
  const void* hit =
      ::memmem(haystack.data() + from, haystack.size() - from, needle.data(), needle.size());
  return hit == nullptr ? kNoOccurrence : static_cast<const char*>(hit) - haystack.data();
#else
  // Other C libraries give no such guarantee for memmem; Boyer-Moore-Horspool from the
  // standard library is fast on text, though not linear in the worst case.
  const auto rest = haystack.substr(from);
  const auto hit = std::search(rest.begin(), rest.end(),
                               std::boyer_moore_horspool_searcher(needle.begin(), needle.end()));
  return hit == rest.end() ? kNoOccurrence : from + static_cast<std::size_t>(hit - rest.begin());
#endif
}

bool occurs_after(std::string_view haystack, std::string_view needle, std::size_t pos) {
  if (needle.empty()) return pos < haystack.size();
  return find_first(haystack, needle, pos + 1) != kNoOccurrence;
}

std::size_t OccurrenceScanner::next() {
  const std::size_t n = haystack_.size();
  const std::size_t m = needle_.size();
  if (m == 0) {
    // Every character boundary, then the end; from_ passes n once the end has been returned.
    if (from_ > n) return kNoOccurrence;
    const std::size_t pos = from_;
    from_ =
        pos < n ? pos + text::sequence_length(static_cast<unsigned char>(haystack_[pos])) : n + 1;
    return pos;
  }

  std::size_t pos;
  if (previous_ == kNoOccurrence) {
    pos = find_first(haystack_, needle_, from_);
  } else {
    // Two occurrences closer than m bytes are a period of the needle apart. Let per be the
    // needle's smallest period: an occurrence at distance d <= m - per makes d a multiple of
    // per (Fine and Wilf), and then the needle also occurs at distance per. So either the needle
    // occurs again exactly per bytes on, which only the per bytes after the current occurrence can
    // tell, or the next occurrence is at least max(per, m - per + 1) bytes on. Each search
    // therefore starts at least half a needle further, which keeps the walk linear.
    if (period_ == 0) period_ = smallest_period(needle_);
    const std::size_t p = previous_;
    if (period_ < m && m + period_ <= n - p &&
        std::memcmp(haystack_.data() + p + m, needle_.data() + (m - period_), period_) == 0) {
      pos = p + period_;
    } else {
      pos = find_first(haystack_, needle_, p + std::max(period_, m - period_ + 1));
    }
  }
  previous_ = pos;
  if (pos == kNoOccurrence) from_ = n + 1;
  return pos;
}

}  // namespace marlune::content_replacer

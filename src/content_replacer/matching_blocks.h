// The matching blocks of two sequences by the Ratcliff/Obershelp method: the longest common
// run, then recursively the same to its left and to its right.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace marlune::content_replacer {

// a[a_start .. a_start + size) equals b[b_start .. b_start + size).
struct MatchingBlock {
  std::size_t a_start = 0;
  std::size_t b_start = 0;
  std::size_t size = 0;

  friend bool operator==(const MatchingBlock&, const MatchingBlock&) = default;
};

// The matching blocks of `a` and `b`, whose elements are symbols compared for equality (lines
// hashed to numbers, say). Each step takes the longest common run of the range at hand; among
// runs of that length the one that starts earliest in `a`, and then earliest in `b`. Nothing
// is treated as junk and no element is ignored for being frequent. The blocks come in ascending
// order, and blocks that touch in both sequences are merged into one, so the result is the one
// the classic sequence matcher gives without its junk heuristics; no sentinel block is added.
std::vector<MatchingBlock> matching_blocks(std::span<const std::uint32_t> a,
                                           std::span<const std::uint32_t> b);

}  // namespace marlune::content_replacer

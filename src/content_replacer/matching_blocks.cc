#include "content_replacer/matching_blocks.h"

#include <algorithm>
#include <array>

namespace marlune::content_replacer {
namespace {

// The positions of every symbol in `b`, ascending, in one array: positions of symbol s are
// at[start[s] .. start[s + 1]).
struct SymbolPositions {
  std::vector<std::size_t> start;
  std::vector<std::size_t> at;

  SymbolPositions(std::span<const std::uint32_t> b, std::size_t symbols)
      : start(symbols + 1, 0), at(b.size()) {
    for (const std::uint32_t s : b) ++start[s + 1];
    for (std::size_t s = 0; s < symbols; ++s) start[s + 1] += start[s];
    std::vector<std::size_t> next(start.begin(), start.end() - 1);
    for (std::size_t j = 0; j < b.size(); ++j) at[next[b[j]]++] = j;
  }

  std::span<const std::size_t> of(std::uint32_t symbol) const {
    if (symbol + 1 >= start.size()) return {};
    return std::span<const std::size_t>(at).subspan(start[symbol],
                                                    start[symbol + 1] - start[symbol]);
  }
};

// Longest common runs by dynamic programming over the rows of `a`: the length of the run that
// ends at (i, j) is one more than that ending at (i - 1, j - 1). Only positions of b holding
// a[i] are visited, and a row's lengths are told apart from older rows' by a stamp, so no row
// is ever cleared.
class LongestRunFinder {
 public:
  LongestRunFinder(std::span<const std::uint32_t> a, const SymbolPositions& positions,
                   std::size_t b_size)
      : a_(a), positions_(positions) {
    for (Row& row : rows_) {
      row.length.assign(b_size, 0);
      row.stamp.assign(b_size, 0);
    }
  }

  // The longest run in a[a_lo, a_hi) x b[b_lo, b_hi): the earliest in a, then in b, among
  // the longest. A run of size 0 when there is none.
  MatchingBlock find(std::size_t a_lo, std::size_t a_hi, std::size_t b_lo, std::size_t b_hi) {
    MatchingBlock best{a_lo, b_lo, 0};
    // A fresh pair of stamps, so that the last row of an earlier search never reads as the
    // row before this search's first.
    stamp_ += 2;
    for (std::size_t i = a_lo; i < a_hi; ++i, ++stamp_) {
      Row& current = rows_[stamp_ & 1];
      const Row& previous = rows_[(stamp_ - 1) & 1];
      const std::span<const std::size_t> js = positions_.of(a_[i]);
      auto it = std::lower_bound(js.begin(), js.end(), b_lo);
      for (; it != js.end() && *it < b_hi; ++it) {
        const std::size_t j = *it;
        const std::size_t k =
            j > b_lo && previous.stamp[j - 1] == stamp_ - 1 ? previous.length[j - 1] + 1 : 1;
        current.length[j] = k;
        current.stamp[j] = stamp_;
        // Strictly longer only: rows and positions are visited in ascending order, so the
        // first run to reach a length is the earliest one of that length.
        if (k > best.size) best = {i + 1 - k, j + 1 - k, k};
      }
    }
    return best;
  }

 private:
  struct Row {
    std::vector<std::size_t> length;
    std::vector<std::size_t> stamp;
  };

  std::span<const std::uint32_t> a_;
  const SymbolPositions& positions_;
  std::array<Row, 2> rows_;
  std::size_t stamp_ = 1;
};

}  // namespace

std::vector<MatchingBlock> matching_blocks(std::span<const std::uint32_t> a,
                                           std::span<const std::uint32_t> b) {
  std::vector<MatchingBlock> blocks;
  if (a.empty() || b.empty()) return blocks;
  std::uint32_t symbols = 0;
  for (const std::uint32_t s : b) symbols = std::max(symbols, s + 1);
  const SymbolPositions positions(b, symbols);
  LongestRunFinder finder(a, positions, b.size());

  struct Range {
    std::size_t a_lo, a_hi, b_lo, b_hi;
  };
  std::vector<Range> pending{{0, a.size(), 0, b.size()}};
  while (!pending.empty()) {
    const Range r = pending.back();
    pending.pop_back();
    const MatchingBlock found = finder.find(r.a_lo, r.a_hi, r.b_lo, r.b_hi);
    if (found.size == 0) continue;
    blocks.push_back(found);
    if (r.a_lo < found.a_start && r.b_lo < found.b_start) {
      pending.push_back({r.a_lo, found.a_start, r.b_lo, found.b_start});
    }
    if (found.a_start + found.size < r.a_hi && found.b_start + found.size < r.b_hi) {
      pending.push_back({found.a_start + found.size, r.a_hi, found.b_start + found.size, r.b_hi});
    }
  }
  std::sort(blocks.begin(), blocks.end(),
            [](const MatchingBlock& x, const MatchingBlock& y) { return x.a_start < y.a_start; });
  std::vector<MatchingBlock> merged;
  for (const MatchingBlock& block : blocks) {
    if (!merged.empty() && merged.back().a_start + merged.back().size == block.a_start &&
        merged.back().b_start + merged.back().size == block.b_start) {
      merged.back().size += block.size;
    } else {
      merged.push_back(block);
    }
  }
  return merged;
}

}  // namespace marlune::content_replacer

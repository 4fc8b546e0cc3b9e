#include "content_replacer/matching_blocks.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace marlune::content_replacer {
namespace {

// The suffix automaton of one stretch of b (Blumer et al. 1985): every substring of it
// corresponds to one state, and the substrings of one state end at the same positions. It is
// built in one pass over the stretch, with at most twice as many states as the stretch has
// elements, so a search for the longest common run costs time linear in both stretches however
// often symbols repeat (a run of blank lines or closing braces would make the dynamic program
// over equal positions quadratic).
class SuffixAutomaton {
 public:
  explicit SuffixAutomaton(std::span<const std::uint32_t> text) {
    states_.reserve(2 * text.size() + 1);
    next_.reserve(3 * text.size() + 1);
    states_.push_back({0, kNoState, 0, {}});
    std::uint32_t last = 0;
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
      const std::uint32_t symbol = text[pos];
      const auto current = static_cast<std::uint32_t>(states_.size());
      states_.push_back({states_[last].length + 1, kNoState, pos, {}});
      std::uint32_t p = last;
      while (p != kNoState && !find(p, symbol)) {
        add(p, symbol, current);
        p = states_[p].link;
      }
      if (p == kNoState) {
        states_[current].link = 0;
      } else {
        const std::uint32_t q = *find(p, symbol);
        if (states_[p].length + 1 == states_[q].length) {
          states_[current].link = q;
        } else {
          const auto clone = static_cast<std::uint32_t>(states_.size());
          states_.push_back(
              {states_[p].length + 1, states_[q].link, states_[q].first_end, states_[q].symbols});
          for (const std::uint32_t s : states_[clone].symbols) next_[key(clone, s)] = *find(q, s);
          while (p != kNoState && find(p, symbol) == q) {
            next_[key(p, symbol)] = clone;
            p = states_[p].link;
          }
          states_[q].link = clone;
          states_[current].link = clone;
        }
      }
      last = current;
    }
  }

  // The longest run of a[a_lo, a_hi) that occurs in the text, as a block whose b_start is its
  // earliest start in the text plus `b_offset`; the earliest in a among the longest. Size 0
  // when no element of a occurs in the text.
  MatchingBlock longest_run(std::span<const std::uint32_t> a, std::size_t a_lo, std::size_t a_hi,
                            std::size_t b_offset) const {
    MatchingBlock best{a_lo, b_offset, 0};
    std::uint32_t state = 0;
    std::size_t length = 0;
    for (std::size_t i = a_lo; i < a_hi; ++i) {
      // The longest suffix of the run so far that can be extended by a[i].
      std::optional<std::uint32_t> to = find(state, a[i]);
      while (!to && state != 0) {
        state = states_[state].link;
        length = states_[state].length;
        to = find(state, a[i]);
      }
      if (!to) {
        length = 0;
        continue;
      }
      state = *to;
      ++length;
      // Strictly longer only, so that the earliest run in a of the longest length wins; the
      // state's first end gives its earliest start in b.
      if (length > best.size) {
        best = {i + 1 - length, b_offset + states_[state].first_end + 1 - length, length};
      }
    }
    return best;
  }

 private:
  static constexpr std::uint32_t kNoState = static_cast<std::uint32_t>(-1);

  struct State {
    std::size_t length;                  // of the longest substring of the state
    std::uint32_t link;                  // the state of its longest suffix that ends elsewhere too
    std::size_t first_end;               // where its earliest occurrence ends
    std::vector<std::uint32_t> symbols;  // those with a transition, to copy them on a split
  };

  static std::uint64_t key(std::uint32_t state, std::uint32_t symbol) {
    return (std::uint64_t{state} << 32) | symbol;
  }

  std::optional<std::uint32_t> find(std::uint32_t state, std::uint32_t symbol) const {
    const auto it = next_.find(key(state, symbol));
    if (it == next_.end()) return std::nullopt;
    return it->second;
  }

  void add(std::uint32_t state, std::uint32_t symbol, std::uint32_t to) {
    next_.emplace(key(state, symbol), to);
    states_[state].symbols.push_back(symbol);
  }

  std::vector<State> states_;
  std::unordered_map<std::uint64_t, std::uint32_t> next_;
};

}  // namespace

std::vector<MatchingBlock> matching_blocks(std::span<const std::uint32_t> a,
                                           std::span<const std::uint32_t> b) {
  std::vector<MatchingBlock> blocks;
  struct Range {
    std::size_t a_lo, a_hi, b_lo, b_hi;
  };
  std::vector<Range> pending;
  if (!a.empty() && !b.empty()) pending.push_back({0, a.size(), 0, b.size()});
  while (!pending.empty()) {
    const Range r = pending.back();
    pending.pop_back();
    const SuffixAutomaton automaton(b.subspan(r.b_lo, r.b_hi - r.b_lo));
    const MatchingBlock found = automaton.longest_run(a, r.a_lo, r.a_hi, r.b_lo);
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

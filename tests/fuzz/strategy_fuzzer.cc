// One strategy of the replacement cascade, chosen at build time by MARLUNE_FUZZ_STRATEGY: every
// candidate stands in the content (verbatim, or as a join of content lines where the content's
// "\r\n" endings keep a multi-line join from occurring), the list is what the strategy's plain
// definition yields, and a second call yields the same list.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "content_replacer/levenshtein.h"
#include "content_replacer/strategies.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/references.h"
#include "text/lines.h"

#ifndef MARLUNE_FUZZ_STRATEGY
#error "MARLUNE_FUZZ_STRATEGY must name the strategy to fuzz"
#endif

namespace {

using marlune::fuzz::quoted;
using marlune::fuzz::ref::Candidates;
using marlune::fuzz::ref::Lines;
namespace cr = marlune::content_replacer;
namespace ref = marlune::fuzz::ref;
namespace text = marlune::text;

constexpr std::string_view kName = MARLUNE_FUZZ_STRATEGY;

// The block-anchor choice: real (non-blank) anchors, and per start line the end line whose block
// size is nearest the number of search lines within a tolerance, earlier on a tie; one block is
// always taken, among several the most similar one if it reaches 0.3.
Candidates block_anchor(std::string_view content, std::string_view find) {
  Lines s = text::split_lines(find);
  if (s.size() < 3) return {};
  if (s.back().empty()) s.pop_back();
  const std::size_t n = s.size();
  const std::string_view first = text::trim(s[0]), last = text::trim(s[n - 1]);
  if (first.empty() || last.empty()) return {};
  const std::size_t t = std::max<std::size_t>(2, n / 4);
  const std::size_t smallest = std::max<std::size_t>(3, n > t ? n - t : 0), largest = n + t;
  const Lines c = text::split_lines(content);
  std::vector<std::pair<std::size_t, std::size_t>> blocks;
  for (std::size_t i = 0; i < c.size(); ++i) {
    if (text::trim(c[i]) != first) continue;
    std::size_t best_end = 0, best_gap = SIZE_MAX;
    for (std::size_t k = i + 2; k < c.size(); ++k) {
      const std::size_t lines = k - i + 1;
      if (lines < smallest || lines > largest || text::trim(c[k]) != last) continue;
      const std::size_t gap = lines > n ? lines - n : n - lines;
      if (gap < best_gap) best_gap = gap, best_end = k;
    }
    if (best_gap != SIZE_MAX) blocks.emplace_back(i, best_end);
  }
  if (blocks.empty()) return {};
  if (blocks.size() == 1) return {ref::window(c, blocks[0].first, blocks[0].second - blocks[0].first + 1)};
  double best = -1.0;
  std::size_t chosen = 0;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const double similarity =
        cr::calculate_block_similarity(c, s, blocks[b].first, blocks[b].second, n);
    if (similarity > best) best = similarity, chosen = b;
  }
  if (best < 0.3) return {};
  return {ref::window(c, blocks[chosen].first, blocks[chosen].second - blocks[chosen].first + 1)};
}

struct Strategy {
  std::string_view name;
  cr::Strategy fast;
  Candidates (*plain)(std::string_view, std::string_view);
};

constexpr Strategy kStrategies[] = {
    {"simple", cr::simple_replacer, ref::simple},
    {"line_trimmed", cr::line_trimmed_replacer, ref::line_trimmed},
    {"block_anchor", cr::block_anchor_replacer, block_anchor},
    {"whitespace_normalized", cr::whitespace_normalized_replacer, ref::whitespace_normalized},
    {"indentation_flexible", cr::indentation_flexible_replacer, ref::indentation_flexible},
    {"escape_normalized", cr::escape_normalized_replacer, ref::escape_normalized},
    {"trimmed_boundary", cr::trimmed_boundary_replacer, ref::trimmed_boundary},
    {"context_aware", cr::context_aware_replacer, ref::context_aware},
};

const Strategy& chosen_strategy() {
  for (const Strategy& s : kStrategies) {
    if (s.name == kName) return s;
  }
  std::abort();
}

std::string listing(const Candidates& list) {
  std::string out = "[";
  for (const auto& c : list) out += (out.size() > 1 ? ", " : "") + quoted(c);
  return out + "]";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Strategy& strategy = chosen_strategy();
  marlune::fuzz::FuzzInput in(data, size);
  const std::string content = in.text();
  const std::string find = in.text();
  const std::string detail = std::string(strategy.name) + " content " + quoted(content) +
                             " find " + quoted(find);

  // The table the driver runs holds the function under its name.
  const auto entry = std::find_if(cr::kStrategies.begin(), cr::kStrategies.end(),
                                  [](const cr::StrategyEntry& e) { return e.name == kName; });
  FUZZ_CHECK(entry != cr::kStrategies.end() && entry->function == strategy.fast, detail);

  const Candidates candidates = strategy.fast(content, find);
  const Lines lines = text::split_lines(content);
  for (const std::string& candidate : candidates) {
    FUZZ_CHECK(marlune::fuzz::is_valid_utf8(candidate), detail + " candidate " + quoted(candidate));
    const bool verbatim = ref::contains(content, candidate);
    const bool crlf_join = ref::contains(content, "\r\n") && ref::contains(candidate, "\n") &&
                           ref::is_window(lines, candidate);
    FUZZ_CHECK(verbatim || crlf_join, detail + " candidate " + quoted(candidate));
  }
  const Candidates expected = strategy.plain(content, find);
  FUZZ_CHECK(candidates == expected,
             detail + "\n got      " + listing(candidates) + "\n expected " + listing(expected));
  FUZZ_CHECK(strategy.fast(content, find) == candidates, detail);
  return 0;
}

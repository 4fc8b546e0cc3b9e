// One strategy of the replacement cascade, chosen at build time by MARLUNE_FUZZ_STRATEGY: every
// candidate stands in the content (verbatim, or as a join of content lines where the content's
// "\r\n" endings keep a multi-line join from occurring), the list is what the strategy's plain
// definition yields (for the block anchor: obeys its defining property), and a second call
// yields the same list.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "content_replacer/strategies.h"
// The cascade also runs over content prepared once for all strategies, where that exists.
#if __has_include("content_replacer/prepared_content.h")
#include "content_replacer/prepared_content.h"
#define MARLUNE_FUZZ_PREPARED 1
#endif
#include "fuzz/fuzz_input.h"
#include "support/plain_references.h"
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

// The block-anchor strategy is checked by what any of its choices must satisfy rather than
// against one plain choice: at most one candidate, none for fewer than three search lines, and
// a candidate of at least three content lines whose first and last lines, trimmed, are the
// first and last search lines (after a trailing empty one is dropped), neither of them blank.
void check_block_anchor(std::string_view content, std::string_view find, const Candidates& got,
                        const std::string& detail) {
  Lines s = text::split_lines(find);
  if (s.size() < 3) {
    FUZZ_CHECK(got.empty(), detail);
    return;
  }
  FUZZ_CHECK(got.size() <= 1, detail);
  if (got.empty()) return;
  if (s.back().empty()) s.pop_back();
  const Lines c = text::split_lines(content);
  const Lines block = text::split_lines(got[0]);
  FUZZ_CHECK(block.size() >= 3 && ref::is_window(c, got[0], block.size()), detail);
  const std::string_view first = text::trim(block.front()), last = text::trim(block.back());
  FUZZ_CHECK(!first.empty() && !last.empty(), detail);
  FUZZ_CHECK(first == text::trim(s.front()) && last == text::trim(s.back()), detail);
}

struct Strategy {
  std::string_view name;
  cr::Strategy fast;
  Candidates (*plain)(std::string_view, std::string_view);
};

constexpr Strategy kStrategies[] = {
    {"simple", cr::simple_replacer, ref::simple},
    {"line_trimmed", cr::line_trimmed_replacer, ref::line_trimmed},
    {"block_anchor", cr::block_anchor_replacer, nullptr},
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
  const std::string detail =
      std::string(strategy.name) + " content " + quoted(content) + " find " + quoted(find);

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
  if (strategy.plain == nullptr) {
    check_block_anchor(content, find, candidates, detail + " got " + listing(candidates));
  } else {
    const Candidates expected = strategy.plain(content, find);
    FUZZ_CHECK(candidates == expected,
               detail + "\n got      " + listing(candidates) + "\n expected " + listing(expected));
  }
  FUZZ_CHECK(strategy.fast(content, find) == candidates, detail);

#if MARLUNE_FUZZ_PREPARED
  // Over content prepared once, as the driver runs the cascade: the earlier strategies build
  // and leave behind whatever parts of the content they ask for first, and the list is the same.
  cr::PreparedContent shared(content);
  for (const cr::StrategyEntry& e : cr::kStrategies) {
    const Candidates list = e.on_prepared(shared, find);
    if (&e == &*entry) {
      FUZZ_CHECK(list == candidates,
                 detail + " prepared after the earlier strategies " + listing(list));
      break;
    }
  }
  cr::PreparedContent fresh(content);
  FUZZ_CHECK(entry->on_prepared(fresh, find) == candidates, detail + " prepared");
#endif
  return 0;
}

// The bit-parallel edit distance, its bounded form and the block similarity against the
// textbook dynamic programme, for any lengths (one machine word and several) and any bound.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "content_replacer/levenshtein.h"
#include "fuzz/fuzz_input.h"
#include "support/plain_references.h"
#include "text/lines.h"

namespace {

using marlune::fuzz::quoted;
using marlune::test_support::reference_levenshtein;
namespace cr = marlune::content_replacer;
namespace text = marlune::text;

// The interior-line similarity of a block, step by step.
double reference_block_similarity(const std::vector<std::string_view>& content,
                                  const std::vector<std::string_view>& search, std::size_t start,
                                  std::size_t end, std::size_t count) {
  const std::size_t block = end - start + 1;
  const std::size_t lines_to_check =
      std::min(block >= 2 ? block - 2 : 0, count >= 2 ? count - 2 : 0);
  if (lines_to_check == 0) return 1.0;
  double sum = 0.0;
  int pairs = 0;
  for (std::size_t j = 1; j <= lines_to_check; ++j) {
    const std::string_view c = text::trim(content[start + j]), s = text::trim(search[j]);
    const std::size_t max_len = std::max(c.size(), s.size());
    if (max_len == 0) continue;
    sum += 1.0 - static_cast<double>(reference_levenshtein(c, s)) / static_cast<double>(max_len);
    ++pairs;
  }
  return pairs == 0 ? 1.0 : sum / pairs;
}

// A bound of one byte, two bytes, near the largest size, or zero: three bytes in all.
std::size_t decode_bound(marlune::fuzz::FuzzInput& in) {
  const std::uint8_t mode = in.byte();
  const std::uint16_t value = in.u16();
  switch (mode % 4) {
    case 0:
      return value & 0xFF;
    case 1:
      return value;
    case 2:
      return std::numeric_limits<std::size_t>::max() - value;
    default:
      return 0;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  marlune::fuzz::FuzzInput in(data, size);
  const std::size_t bound = decode_bound(in);
  const std::string a = in.text();
  const std::string b = in.text();
  const std::string detail =
      "a " + quoted(a) + " b " + quoted(b) + " bound " + std::to_string(bound);

  const std::size_t expected = reference_levenshtein(a, b);
  const std::size_t distance = cr::levenshtein_distance(a, b);
  FUZZ_CHECK(distance == expected, detail + " distance " + std::to_string(distance) + " expected " +
                                       std::to_string(expected));
  FUZZ_CHECK(cr::levenshtein_distance(b, a) == expected, detail);

  const std::size_t bounded = cr::levenshtein_distance_bounded(a, b, bound);
  if (expected <= bound) {
    FUZZ_CHECK(bounded == expected, detail + " bounded " + std::to_string(bounded));
  } else {
    FUZZ_CHECK(bounded > bound, detail + " bounded " + std::to_string(bounded));
  }

  // The block similarity over the lines of the two texts, for a block and count the input picks.
  const std::vector<std::string_view> content = text::split_lines(a);
  const std::vector<std::string_view> search = text::split_lines(b);
  if (!content.empty() && !search.empty()) {
    const std::size_t start = in.byte() % content.size();
    const std::size_t end = start + in.byte() % (content.size() - start);
    const std::size_t count = search.size();
    const double similarity = cr::calculate_block_similarity(content, search, start, end, count);
    const double want = reference_block_similarity(content, search, start, end, count);
    FUZZ_CHECK(similarity == want, detail + " block " + std::to_string(start) + ".." +
                                       std::to_string(end) + " similarity " +
                                       std::to_string(similarity) + " expected " +
                                       std::to_string(want));
    FUZZ_CHECK(similarity >= 0.0 && similarity <= 1.0, detail);
  }
  return 0;
}

// The textbook edit distance: a two-row dynamic programme over decoded code points, m x n cell
// updates with no shortcuts. The fast implementation is checked against it and timed against it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <string_view>
#include <vector>

#include "text/utf8.h"

namespace marlune::test_support {

inline std::vector<char32_t> decode_all(std::string_view s) {
  std::vector<char32_t> out;
  for (std::size_t pos = 0; pos < s.size();) out.push_back(text::decode_utf8(s, pos));
  return out;
}

inline std::size_t reference_levenshtein(std::string_view a, std::string_view b) {
  const std::vector<char32_t> A = decode_all(a);
  const std::vector<char32_t> B = decode_all(b);
  const std::size_t m = A.size();
  const std::size_t n = B.size();
  if (m == 0) return n;
  if (n == 0) return m;
  std::vector<std::size_t> prev(n + 1);
  std::vector<std::size_t> cur(n + 1);
  std::iota(prev.begin(), prev.end(), std::size_t{0});
  for (std::size_t i = 1; i <= m; ++i) {
    cur[0] = i;
    for (std::size_t j = 1; j <= n; ++j) {
      const std::size_t cost = A[i - 1] == B[j - 1] ? 0 : 1;
      cur[j] = std::min({prev[j - 1] + cost, cur[j - 1] + 1, prev[j] + 1});
    }
    std::swap(prev, cur);
  }
  return prev[n];
}

}  // namespace marlune::test_support

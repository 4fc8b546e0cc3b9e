// Plain versions of the engine routines that the unit tests and the fuzz targets compare
// against: each written as the literal sequence of steps of the behaviour it pins down, every
// window rebuilt and normalized afresh, no fast paths. Slow, and meant for small inputs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "content_replacer/levenshtein.h"
#include "support/reference_levenshtein.h"
#include "text/lines.h"
#include "text/unicode_data.h"
#include "text/utf8.h"

namespace marlune::fuzz::ref {

using Lines = std::vector<std::string_view>;
using Candidates = std::vector<std::string>;

inline std::string replace_all(std::string_view s, std::string_view from, std::string_view to) {
  std::string out;
  std::size_t pos = 0;
  for (std::size_t hit; (hit = s.find(from, pos)) != std::string_view::npos;) {
    out.append(s.substr(pos, hit - pos)).append(to);
    pos = hit + from.size();
  }
  return out.append(s.substr(pos));
}

inline bool contains(std::string_view s, std::string_view x) {
  return s.find(x) != std::string_view::npos;
}

inline bool listed(const Candidates& list, std::string_view s) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

inline std::string window(const Lines& lines, std::size_t start, std::size_t count) {
  return text::join_lines(std::span(lines).subspan(start, count));
}

// Whether `candidate` is the join of `count` consecutive lines of `lines` (any count when
// `count` is 0).
inline bool is_window(const Lines& lines, std::string_view candidate, std::size_t count = 0) {
  for (std::size_t k = 1; k <= lines.size(); ++k) {
    if (count != 0 && k != count) continue;
    for (std::size_t i = 0; i + k <= lines.size(); ++i) {
      if (window(lines, i, k) == candidate) return true;
    }
  }
  return false;
}

// ---- normalizing helpers ---------------------------------------------------------------------

inline std::string normalize_whitespace(std::string_view text) {
  std::string out;
  bool after_space = true;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t begin = pos;
    if (text::is_white_space(text::decode_utf8(text, pos))) {
      if (!after_space) out.push_back(' ');
      after_space = true;
    } else {
      out.append(text.substr(begin, pos - begin));
      after_space = false;
    }
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  for (const char p : std::string_view(":;,()[]{}")) {
    out = replace_all(out, std::string{' ', p}, std::string{p});
    out = replace_all(out, std::string{p, ' '}, std::string{p});
  }
  return out;
}

// Removes whole leading characters while they fit into the common byte count, so that no
// character is ever cut.
inline std::string remove_common_indentation(std::string_view text) {
  const Lines lines = text::split_lines(text);
  if (std::all_of(lines.begin(), lines.end(), text::is_blank)) return std::string(text);
  std::size_t common = SIZE_MAX;
  for (const auto line : lines) {
    if (!text::is_blank(line)) common = std::min(common, text::indent_bytes(line));
  }
  Lines cut;
  for (auto line : lines) {
    std::size_t removed = 0;
    while (!text::is_blank(line) && removed < common) {
      const std::size_t len = text::sequence_length(static_cast<unsigned char>(line[0]));
      if (removed + len > common) break;
      removed += len;
      line.remove_prefix(len);
    }
    cut.push_back(line);
  }
  return text::join_lines(cut);
}

inline std::string unescape_string(std::string_view text) {
  std::string s(text);
  for (const auto& [from, to] : {std::pair{"\\n", "\n"},
                                 {"\\t", "\t"},
                                 {"\\r", "\r"},
                                 {"\\'", "'"},
                                 {"\\\"", "\""},
                                 {"\\`", "`"},
                                 {"\\$", "$"},
                                 {"\\\\", "\\"}}) {
    s = replace_all(s, from, to);
  }
  return s;
}

// ---- strategies whose candidate lists are fully determined -----------------------------------

inline Lines search_lines_without_trailing_empty(std::string_view find) {
  Lines s = text::split_lines(find);
  if (!s.empty() && s.back().empty()) s.pop_back();
  return s;
}

inline Candidates simple(std::string_view content, std::string_view find) {
  if (contains(content, find)) return {std::string(find)};
  return {};
}

inline Candidates line_trimmed(std::string_view content, std::string_view find) {
  const Lines c = text::split_lines(content);
  const Lines s = search_lines_without_trailing_empty(find);
  Candidates out;
  if (s.empty() || c.size() < s.size()) return out;
  for (std::size_t i = 0; i + s.size() <= c.size(); ++i) {
    bool all = true;
    for (std::size_t j = 0; j < s.size(); ++j) all &= text::trim(c[i + j]) == text::trim(s[j]);
    if (all) out.push_back(window(c, i, s.size()));
  }
  return out;
}

inline Candidates whitespace_normalized(std::string_view content, std::string_view find) {
  const std::string nf = normalize_whitespace(find);
  if (normalize_whitespace(content) == nf) return {std::string(content)};
  const Lines c = text::split_lines(content);
  const std::size_t m = text::split_lines(find).size();
  Candidates out;
  if (m < 2 || c.size() < m) {
    for (const auto line : c) {
      if (normalize_whitespace(line) == nf && !listed(out, line)) out.emplace_back(line);
    }
    return out;
  }
  for (std::size_t i = 0; i + m <= c.size(); ++i) {
    const std::string w = window(c, i, m);
    if (normalize_whitespace(w) == nf && !listed(out, w)) out.push_back(w);
  }
  return out;
}

inline Candidates indentation_flexible(std::string_view content, std::string_view find) {
  const std::string nf = remove_common_indentation(find);
  const Lines c = text::split_lines(content);
  const std::size_t k = text::split_lines(find).size();
  Candidates out;
  if (k == 0 || k > c.size()) return out;
  for (std::size_t i = 0; i + k <= c.size(); ++i) {
    const std::string w = window(c, i, k);
    if (remove_common_indentation(w) == nf) out.push_back(w);
  }
  return out;
}

inline Candidates escape_normalized(std::string_view content, std::string_view find) {
  const std::string u = unescape_string(find);
  Candidates out;
  if (contains(content, u)) out.push_back(u);
  const Lines c = text::split_lines(content);
  const std::size_t k = text::split_lines(u).size();
  if (k == 0 || k > c.size()) return out;
  for (std::size_t i = 0; i + k <= c.size(); ++i) {
    const std::string w = window(c, i, k);
    if (unescape_string(w) == u && !listed(out, w)) out.push_back(w);
  }
  return out;
}

inline Candidates trimmed_boundary(std::string_view content, std::string_view find) {
  const std::string_view t = text::trim(find);
  Candidates out;
  if (t == find) return out;
  if (contains(content, t)) out.emplace_back(t);
  const Lines c = text::split_lines(content);
  const std::size_t k = text::split_lines(find).size();
  if (k == 0 || k > c.size()) return out;
  for (std::size_t i = 0; i + k <= c.size(); ++i) {
    const std::string w = window(c, i, k);
    if (text::trim(w) == t && !listed(out, w)) out.push_back(w);
  }
  return out;
}

inline Candidates block_anchor(std::string_view content, std::string_view find) {
  Lines s = text::split_lines(find);
  if (s.size() < 3) return {};
  if (s.back().empty()) s.pop_back();
  const std::size_t n = s.size();
  if (text::trim(s[0]).empty() || text::trim(s[n - 1]).empty()) return {};
  const std::size_t t = std::max<std::size_t>(2, n / 4);
  const Lines c = text::split_lines(content);
  std::vector<std::pair<std::size_t, std::size_t>> blocks;
  for (std::size_t i = 0; i < c.size(); ++i) {
    if (text::trim(c[i]) != text::trim(s[0]) || i + 2 >= c.size()) continue;
    // Every end line, kept when the block size is within t of n and strictly nearer n than
    // the best so far.
    std::size_t best_end = 0;
    std::size_t best_gap = SIZE_MAX;
    for (std::size_t k = i + 2; k < c.size(); ++k) {
      if (text::trim(c[k]) != text::trim(s[n - 1])) continue;
      const std::size_t size = k - i + 1;
      const std::size_t gap = size > n ? size - n : n - size;
      if (gap <= t && gap < best_gap) best_end = k, best_gap = gap;
    }
    if (best_gap != SIZE_MAX) blocks.emplace_back(i, best_end);
  }
  if (blocks.empty()) return {};
  double best = -1.0;
  std::size_t chosen = 0;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const double sim =
        content_replacer::calculate_block_similarity(c, s, blocks[b].first, blocks[b].second, n);
    if (sim > best) best = sim, chosen = b;
  }
  if (best < (blocks.size() == 1 ? 0.0 : 0.3)) return {};
  return {window(c, blocks[chosen].first, blocks[chosen].second - blocks[chosen].first + 1)};
}

inline Candidates context_aware(std::string_view content, std::string_view find) {
  const Lines s = text::split_lines(find);
  if (s.size() < 3) return {};
  const std::size_t n = s.back().empty() ? s.size() - 1 : s.size();
  const std::string_view first = text::trim(s[0]), last = text::trim(s[n - 1]);
  const Lines c = text::split_lines(content);
  Candidates out;
  for (std::size_t i = 0; i < c.size(); ++i) {
    if (text::trim(c[i]) != first || i + 2 >= c.size()) continue;
    std::size_t k = i + 2;
    while (k < c.size() && text::trim(c[k]) != last) ++k;
    if (k == c.size() || k - i + 1 != n) continue;
    std::size_t total = 0, matching = 0;
    for (std::size_t m = 1; m + 1 < n; ++m) {
      const std::string_view b = text::trim(c[i + m]), t = text::trim(s[m]);
      if (b.empty() && t.empty()) continue;
      ++total;
      matching += b == t;
    }
    if (total > 0 && static_cast<double>(matching) / static_cast<double>(total) < 0.5) continue;
    out.push_back(window(c, i, n));
  }
  return out;
}

// ---- diagnostics -----------------------------------------------------------------------------

inline constexpr std::size_t kDiffLimit = 2000;
inline constexpr std::string_view kDiffTruncated = "\n...(diff truncated)";

inline std::string match_diff(std::string_view old_string, std::string_view window_text) {
  const Lines a = text::split_lines(old_string), b = text::split_lines(window_text);
  std::string out = "--- SEARCH\n+++ CLOSEST MATCH\n";
  for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
    const std::string_view x = i < a.size() ? a[i] : "", y = i < b.size() ? b[i] : "";
    if (x == y) {
      out.append(" ").append(x).append("\n");
      continue;
    }
    if (i < a.size()) out.append("-").append(x).append("\n");
    if (i < b.size()) out.append("+").append(y).append("\n");
  }
  return out;
}

// The distance is the engine's: the levenshtein target pins it to the plain programme, and the
// plain programme over every examined window of a long text would starve this search.
inline double similarity(std::string_view old_string, std::string_view window_text) {
  return 1.0 -
         static_cast<double>(content_replacer::levenshtein_distance(old_string, window_text)) /
             static_cast<double>(std::max(old_string.size(), window_text.size()));
}

// The window starts the closest-match search examines, ascending.
inline std::set<std::size_t> examined_starts(const Lines& c, const Lines& s) {
  std::set<std::size_t> starts;
  const std::size_t m = c.size(), n = s.size();
  if (n == 0 || m < n) return starts;
  const auto first = std::find_if_not(s.begin(), s.end(), text::is_blank);
  if (first == s.end()) return starts;
  for (std::size_t j = 0; j < m; ++j) {
    if (!contains(c[j], *first)) continue;
    for (std::size_t st = j >= 5 ? j - 5 : 0; st < std::min(m - n + 1, j + 6); ++st) {
      starts.insert(st);
    }
  }
  if (starts.empty()) {
    for (std::size_t st = 0; st <= std::min(m - n, std::size_t{99}); ++st) starts.insert(st);
  }
  return starts;
}

// The best similarity among the examined windows that reach 0.8, or absent.
inline std::optional<double> best_similarity(std::string_view content, std::string_view old) {
  const Lines c = text::split_lines(content), s = text::split_lines(old);
  std::optional<double> best;
  for (const std::size_t st : examined_starts(c, s)) {
    const std::string w = window(c, st, s.size());
    if (w.empty()) continue;
    const double sim = similarity(old, w);
    if (sim >= 0.8 && (!best || sim > *best)) best = sim;
  }
  return best;
}

inline std::vector<std::size_t> match_locations(std::string_view content, std::string_view old) {
  const Lines c = text::split_lines(content), s = text::split_lines(old);
  const std::string_view first = s.empty() ? std::string_view() : s[0];
  std::vector<std::size_t> out;
  for (std::size_t j = 0; j < c.size(); ++j) {
    if (!first.empty() && !contains(c[j], first)) continue;
    if (s.size() <= 1 || contains(window(c, j, std::min(s.size(), c.size() - j)), old)) {
      out.push_back(j + 1);
    }
  }
  return out;
}

}  // namespace marlune::fuzz::ref

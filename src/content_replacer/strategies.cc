#include "content_replacer/strategies.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "content_replacer/levenshtein.h"
#include "content_replacer/substring_search.h"
#include "text/lines.h"
#include "text/unicode_data.h"
#include "text/utf8.h"

// How the window scans stay linear.
//
// Every window scan below decides "does the normal form of the window of k lines starting at
// line i equal the normal form of find?" without building the window. Three of the normal
// forms (collapsed whitespace, decoded escapes, trimmed ends) are local: the form of a window
// is a contiguous stretch of one string made once from all content lines, so each window costs
// one length test plus one question to a cursor that walks the occurrences of the normalized
// find in that string. The fourth (common indentation removed) depends on the window through
// its smallest indent; there the indent-free part of every line is matched as a sequence of
// line keys with Knuth-Morris-Pratt (Knuth, Morris and Pratt 1977), and only the windows that pass
// have their indents compared. A window string is built only when it becomes a candidate.

namespace marlune::content_replacer {
namespace {

using Lines = std::vector<std::string_view>;

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

constexpr std::size_t kFewestSearchLines = 3;   // block anchor, context aware
constexpr std::size_t kFewestBlockSpan = 2;     // end line at least this far below the start
constexpr double kSingleBlockThreshold = 0.0;   // accepted when >=
constexpr double kSeveralBlockThreshold = 0.3;  // accepted when >=
constexpr double kInteriorMatchRatio = 0.5;     // rejected when below

bool contains(std::string_view haystack, std::string_view needle) {
  return find_first(haystack, needle) != kNoOccurrence;
}

constexpr bool is_ascii_space(unsigned char b) {
  return b == ' ' || (b >= 0x09 && b <= 0x0D);
}

constexpr bool is_punctuation(unsigned char b) {
  switch (b) {
    case ':':
    case ';':
    case ',':
    case '(':
    case ')':
    case '[':
    case ']':
    case '{':
    case '}':
      return true;
    default:
      return false;
  }
}

std::vector<std::string_view> trimmed(std::span<const std::string_view> lines) {
  std::vector<std::string_view> out;
  out.reserve(lines.size());
  for (const auto line : lines) out.push_back(text::trim(line));
  return out;
}

std::string join(std::span<const std::string_view> lines, std::size_t first, std::size_t count) {
  return text::join_lines(lines.subspan(first, count));
}

void drop_trailing_empty_line(Lines& lines) {
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
}

// The line without one final "\r". Joining lines with "\n" and splitting the join again loses
// that "\r" from every line but the last, so this is how a line of a window reads once the
// window is split.
std::string_view without_final_cr(std::string_view line) {
  return !line.empty() && line.back() == '\r' ? line.substr(0, line.size() - 1) : line;
}

// Where removing `common` bytes of indentation may cut `line` (common <= its indent): the
// largest character boundary that is at most `common`. Indentation is removed in whole
// characters only, so a line whose indent holds a multi-byte whitespace character straddling
// the common width (a no-break space against a single space elsewhere) keeps that character.
std::size_t indentation_cut(std::string_view line, std::size_t common) {
  return text::floor_char_boundary(line, common);
}

// Remembers by content which strings a candidate list already holds, without a second copy of
// each: the set stores indexes into the list and hashes the strings they designate.
class ListedSet {
 public:
  explicit ListedSet(CandidateList& list) : list_(list), set_(0, Hash{&list}, Equal{&list}) {}

  // Appends `s` to the list unless the list already holds it.
  void append(std::string_view s) {
    if (set_.find(s) != set_.end()) return;
    list_.emplace_back(s);
    set_.insert(list_.size() - 1);
  }

 private:
  struct Hash {
    using is_transparent = void;
    const CandidateList* list;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    std::size_t operator()(std::size_t index) const { return (*this)((*list)[index]); }
  };
  struct Equal {
    using is_transparent = void;
    const CandidateList* list;
    std::string_view view(std::string_view s) const { return s; }
    std::string_view view(std::size_t index) const { return (*list)[index]; }
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
      return view(a) == view(b);
    }
  };
  CandidateList& list_;
  std::unordered_set<std::size_t, Hash, Equal> set_;
};

// Answers "does `needle` (non-empty) start at byte `pos` of `haystack`?" for positions asked in
// nondecreasing order, walking the occurrences once: linear in the haystack however many
// positions are asked about and however much the occurrences overlap.
class OccurrenceCursor {
 public:
  OccurrenceCursor(std::string_view haystack, std::string_view needle)
      : scanner_(haystack, needle) {}

  bool occurs_at(std::size_t pos) {
    if (!started_) {
      current_ = scanner_.next();
      started_ = true;
    }
    while (current_ < pos) current_ = scanner_.next();  // kNoOccurrence ends the walk
    return current_ == pos;
  }

 private:
  OccurrenceScanner scanner_;
  std::size_t current_ = kNoOccurrence;
  bool started_ = false;
};

// Every start i at which text[i + j] == pattern[j] for all j (byte equality), ascending:
// Knuth-Morris-Pratt over small integers that stand for the distinct pattern lines. A text
// line equal to no pattern line becomes -1, which matches nothing. Linear in the number of
// lines plus the bytes hashed, however repetitive the lines are. An empty pattern starts at
// every i from 0 to text.size().
std::vector<std::size_t> find_line_sequence(std::span<const std::string_view> text,
                                            std::span<const std::string_view> pattern) {
  std::vector<std::size_t> starts;
  const std::size_t m = pattern.size();
  if (m > text.size()) return starts;
  if (m == 0) {
    for (std::size_t i = 0; i <= text.size(); ++i) starts.push_back(i);
    return starts;
  }
  std::unordered_map<std::string_view, int> ids;
  std::vector<int> p(m);
  for (std::size_t j = 0; j < m; ++j) {
    p[j] = ids.try_emplace(pattern[j], static_cast<int>(ids.size())).first->second;
  }
  std::vector<std::size_t> border(m + 1, 0);  // border[j]: longest proper border of p[0, j)
  for (std::size_t j = 1, b = 0; j < m; ++j) {
    while (b > 0 && p[j] != p[b]) b = border[b];
    if (p[j] == p[b]) ++b;
    border[j + 1] = b;
  }
  std::size_t q = 0;  // length of the pattern prefix matched so far
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto hit = ids.find(text[i]);
    const int id = hit == ids.end() ? -1 : hit->second;
    while (q > 0 && id != p[q]) q = border[q];
    if (id == p[q]) ++q;
    if (q == m) {
      starts.push_back(i + 1 - m);
      q = border[m];
    }
  }
  return starts;
}

// next[j]: the smallest j' >= j with lines[j'] equal to `wanted`, or kNone.
std::vector<std::size_t> next_equal_line(std::span<const std::string_view> lines,
                                         std::string_view wanted) {
  std::vector<std::size_t> next(lines.size() + 1, kNone);
  for (std::size_t j = lines.size(); j-- > 0;) next[j] = lines[j] == wanted ? j : next[j + 1];
  return next;
}

// prev[j]: the largest j' <= j with lines[j'] equal to `wanted`, or kNone.
std::vector<std::size_t> previous_equal_line(std::span<const std::string_view> lines,
                                             std::string_view wanted) {
  std::vector<std::size_t> prev(lines.size(), kNone);
  for (std::size_t j = 0; j < lines.size(); ++j) {
    prev[j] = lines[j] == wanted ? j : j > 0 ? prev[j - 1] : kNone;
  }
  return prev;
}

// For each line, the nearest non-blank line at or after it and at or before it (kNone where
// there is none), so that a window's first and last non-blank lines cost O(1).
struct NonBlankIndex {
  std::vector<std::size_t> next;
  std::vector<std::size_t> prev;

  // `blank(j)` tells whether line j of `count` is blank.
  template <typename IsBlank>
  NonBlankIndex(std::size_t count, IsBlank blank) : next(count + 1, kNone), prev(count, kNone) {
    for (std::size_t j = count; j-- > 0;) next[j] = blank(j) ? next[j + 1] : j;
    for (std::size_t j = 0; j < count; ++j) {
      prev[j] = next[j] == j ? j : j > 0 ? prev[j - 1] : kNone;
    }
  }

  // First non-blank line of the window [first, last], or kNone for an all-blank window.
  std::size_t first_in(std::size_t first, std::size_t last) const {
    return next[first] <= last ? next[first] : kNone;
  }
};

// Byte length of the indentation of each line; a line is blank when that is its whole length.
std::vector<std::size_t> indents(std::span<const std::string_view> lines) {
  std::vector<std::size_t> out;
  out.reserve(lines.size());
  for (const auto line : lines) out.push_back(text::indent_bytes(line));
  return out;
}

// The smallest indentation among the non-blank lines, or kNone when all are blank.
std::size_t common_indent(std::span<const std::string_view> lines) {
  std::size_t common = kNone;
  for (const auto line : lines) {
    const std::size_t indent = text::indent_bytes(line);
    if (indent < line.size()) common = std::min(common, indent);
  }
  return common;
}

// The lines joined with "\n" into one string, with the offset at which each line starts, so
// that the window of lines [i, i + k) is the stretch from start[i] to the end of line i + k - 1.
struct JoinedLines {
  std::string joined;
  std::vector<std::size_t> start;

  explicit JoinedLines(std::span<const std::string_view> lines) {
    start.reserve(lines.size());
    std::size_t total = lines.empty() ? 0 : lines.size() - 1;
    for (const auto line : lines) total += line.size();
    joined.reserve(total);
    for (const auto line : lines) {
      if (!start.empty()) joined.push_back('\n');
      start.push_back(joined.size());
      joined.append(line);
    }
  }
};

// Appends the whitespace-normalized form of a text given in pieces: words (maximal runs of
// non-whitespace) joined by single spaces, no space at either end, and no space next to any
// of ":;,()[]{}". Dropping a space because of punctuation on either side gives the same text as
// removing " p" and then "p " for each punctuation character in turn: a collapsed space always
// has non-space characters on both sides, and removing it brings no other space next to
// anything new.
class WhitespaceNormalizer {
 public:
  explicit WhitespaceNormalizer(std::string& out) : out_(out) {}

  void append(std::string_view s) {
    std::size_t pos = 0;
    while (pos < s.size()) {
      const auto b = static_cast<unsigned char>(s[pos]);
      std::size_t next = pos;
      bool space;
      if (b < 0x80) {
        space = is_ascii_space(b);
        ++next;
      } else {
        space = text::is_white_space(text::decode_utf8(s, next));
      }
      if (space) {
        gap_ = true;
      } else {
        if (gap_ && !out_.empty() && !is_punctuation(out_.back()) && !is_punctuation(b)) {
          out_.push_back(' ');
        }
        gap_ = false;
        out_.append(s.data() + pos, next - pos);
      }
      pos = next;
    }
  }

  // Whitespace between the previous piece and the next one (a line break).
  void separate() { gap_ = true; }

 private:
  std::string& out_;
  bool gap_ = false;
};

// Decodes the backslash escapes of `s` onto `out` in one pass. The decoding is defined as eight
// replace-all passes, one after another: a backslash followed by n, t, r, apostrophe, double
// quote, backtick or dollar sign becomes line feed, tab, carriage return or that character, and
// last a doubled backslash becomes one. The first seven passes never create or destroy each
// other's pairs (none of them produces a backslash), so together they decode every backslash
// directly followed by one of those letters; the last pass then halves each run of r
// backslashes left over, rounding up. A run of r backslashes followed by such a letter thus
// gives r / 2 backslashes and the decoded character (two backslashes and n give a backslash
// and a line feed), any other run gives (r + 1) / 2 backslashes.
void append_unescaped(std::string& out, std::string_view s) {
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t slash = s.find('\\', pos);
    if (slash == std::string_view::npos) {
      out.append(s.substr(pos));
      return;
    }
    out.append(s.substr(pos, slash - pos));
    std::size_t end = slash;
    while (end < s.size() && s[end] == '\\') ++end;
    const std::size_t run = end - slash;
    char decoded = 0;
    if (end < s.size()) {
      switch (s[end]) {
        case 'n':
          decoded = '\n';
          break;
        case 't':
          decoded = '\t';
          break;
        case 'r':
          decoded = '\r';
          break;
        case '\'':
        case '"':
        case '`':
        case '$':
          decoded = s[end];
          break;
        default:
          break;
      }
    }
    if (decoded != 0) {
      out.append(run / 2, '\\');
      out.push_back(decoded);
      pos = end + 1;
    } else {
      out.append((run + 1) / 2, '\\');
      pos = end;
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Helpers

std::string normalize_whitespace(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  WhitespaceNormalizer(out).append(text);
  return out;
}

std::string remove_common_indentation(std::string_view text) {
  const Lines lines = text::split_lines(text);
  const std::size_t common = common_indent(lines);
  if (common == kNone) return std::string(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t j = 0; j < lines.size(); ++j) {
    if (j > 0) out.push_back('\n');
    const auto line = lines[j];
    out.append(text::is_blank(line) ? line : line.substr(indentation_cut(line, common)));
  }
  return out;
}

std::string unescape_string(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_unescaped(out, text);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Line-based strategies

CandidateList line_trimmed_replacer(std::string_view content, std::string_view find) {
  Lines search = text::split_lines(find);
  drop_trailing_empty_line(search);
  const Lines lines = text::split_lines(content);
  CandidateList out;
  if (search.empty() || lines.size() < search.size()) return out;
  const auto trimmed_lines = trimmed(lines);
  const auto trimmed_search = trimmed(search);
  for (const std::size_t i : find_line_sequence(trimmed_lines, trimmed_search)) {
    out.push_back(join(lines, i, search.size()));
  }
  return out;
}

// For a block from `start`, the end line whose trimmed text is `last` and whose block size is
// nearest the search text's `n` lines, within `tolerance` lines either way and at least the
// fewest block lines; on a tie the earlier. kNone when there is none. `next_last` and
// `prev_last` give the nearest such line at or after, and at or before, each line.
std::size_t nearest_sized_end(std::span<const std::size_t> next_last,
                              std::span<const std::size_t> prev_last, std::size_t start,
                              std::size_t n, std::size_t tolerance) {
  const std::size_t line_count = prev_last.size();
  const std::size_t ideal = start + n - 1;
  const std::size_t lowest = std::max(start + kFewestBlockSpan, ideal - std::min(ideal, tolerance));
  const std::size_t highest = std::min(line_count - 1, ideal + tolerance);
  if (lowest > highest) return kNone;
  const std::size_t pivot = std::clamp(ideal, lowest, highest);
  const std::size_t before = prev_last[pivot];
  const std::size_t after = next_last[pivot];
  const bool before_fits = before != kNone && before >= lowest;
  const bool after_fits = after != kNone && after <= highest;
  if (before_fits && after_fits) {
    const std::size_t before_gap = ideal > before ? ideal - before : before - ideal;
    const std::size_t after_gap = ideal > after ? ideal - after : after - ideal;
    return after_gap < before_gap ? after : before;
  }
  if (before_fits) return before;
  if (after_fits) return after;
  return kNone;
}

CandidateList block_anchor_replacer(std::string_view content, std::string_view find) {
  Lines search = text::split_lines(find);
  CandidateList out;
  if (search.size() < kFewestSearchLines) return out;
  drop_trailing_empty_line(search);
  const std::size_t n = search.size();
  const auto first = text::trim(search.front());
  const auto last = text::trim(search.back());
  // A blank line matches every blank line of the content, so it anchors nothing: a block
  // hung on it could start or end almost anywhere.
  if (first.empty() || last.empty()) return out;
  // A block far longer or shorter than the search text is not that text, however well its
  // ends match: accepting one would delete or keep whole stretches of the file.
  const std::size_t tolerance = std::max<std::size_t>(2, n / 4);

  const Lines lines = text::split_lines(content);
  const auto trimmed_lines = trimmed(lines);
  const auto next_last = next_equal_line(trimmed_lines, last);
  const auto prev_last = previous_equal_line(trimmed_lines, last);
  std::vector<std::pair<std::size_t, std::size_t>> blocks;
  for (std::size_t i = 0; i + kFewestBlockSpan < lines.size(); ++i) {
    if (trimmed_lines[i] != first) continue;
    const std::size_t k = nearest_sized_end(next_last, prev_last, i, n, tolerance);
    if (k != kNone) blocks.emplace_back(i, k);
  }
  if (blocks.empty()) return out;

  // A single block is accepted whatever its similarity (every similarity is >= the threshold
  // of 0), so its similarity is not computed.
  static_assert(kSingleBlockThreshold <= 0.0);
  std::size_t chosen = 0;
  if (blocks.size() > 1) {
    double best = -1.0;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
      const double s =
          calculate_block_similarity(lines, search, blocks[b].first, blocks[b].second, n);
      if (s > best) {
        best = s;
        chosen = b;
        if (best >= 1.0) break;  // nothing later can score strictly higher
      }
    }
    if (best < kSeveralBlockThreshold) return out;
  }
  const auto [i, k] = blocks[chosen];
  out.push_back(join(lines, i, k - i + 1));
  return out;
}

CandidateList context_aware_replacer(std::string_view content, std::string_view find) {
  const Lines search = text::split_lines(find);
  CandidateList out;
  if (search.size() < kFewestSearchLines) return out;
  const std::size_t n = search.size() - (search.back().empty() ? 1 : 0);
  const auto first = text::trim(search[0]);
  const auto last = text::trim(search[n - 1]);

  const auto trimmed_search = trimmed(search);
  const Lines lines = text::split_lines(content);
  const auto trimmed_lines = trimmed(lines);
  const auto next_last = next_equal_line(trimmed_lines, last);
  // Accepted blocks end at their nearest matching end line and have exactly n lines, so two of
  // them start at least n - 2 lines apart: comparing their interiors is linear overall.
  for (std::size_t i = 0; i + kFewestBlockSpan < lines.size(); ++i) {
    if (trimmed_lines[i] != first) continue;
    const std::size_t k = next_last[i + kFewestBlockSpan];
    if (k == kNone || k - i + 1 != n) continue;
    std::size_t total = 0;
    std::size_t matching = 0;
    for (std::size_t m = 1; m + 1 < n; ++m) {
      const auto b = trimmed_lines[i + m];
      const auto t = trimmed_search[m];
      if (b.empty() && t.empty()) continue;
      ++total;
      if (b == t) ++matching;
    }
    if (total > 0 &&
        static_cast<double>(matching) / static_cast<double>(total) < kInteriorMatchRatio) {
      continue;
    }
    out.push_back(join(lines, i, n));
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Normalizing strategies

CandidateList simple_replacer(std::string_view content, std::string_view find) {
  if (contains(content, find)) return {std::string(find)};
  return {};
}

CandidateList whitespace_normalized_replacer(std::string_view content, std::string_view find) {
  const std::string nf = normalize_whitespace(find);
  const Lines lines = text::split_lines(content);

  // The normalized content, made line by line: line j's own form is
  // normalized.substr(start[j], end[j] - start[j]) (empty for a blank line), and the form of a
  // window runs from the start of its first non-blank line to the end of its last one.
  std::string normalized;
  normalized.reserve(content.size());
  std::vector<std::size_t> start(lines.size());
  std::vector<std::size_t> end(lines.size());
  {
    WhitespaceNormalizer normalizer(normalized);
    for (std::size_t j = 0; j < lines.size(); ++j) {
      const std::size_t before = normalized.size();
      normalizer.append(lines[j]);
      normalizer.separate();
      // A line's own form never starts with a space, so a leading space is the separator.
      start[j] = before + (normalized.size() > before && normalized[before] == ' ' ? 1 : 0);
      end[j] = normalized.size();
    }
  }
  // Line breaks are whitespace, so this is the form of the whole content.
  if (normalized == nf) return {std::string(content)};

  CandidateList out;
  ListedSet listed(out);
  const std::size_t m = text::split_lines(find).size();
  if (m < 2 || lines.size() < m) {
    for (std::size_t j = 0; j < lines.size(); ++j) {
      if (std::string_view(normalized).substr(start[j], end[j] - start[j]) == nf) {
        listed.append(lines[j]);
      }
    }
    return out;
  }

  // A line is blank exactly when its own form is empty.
  const NonBlankIndex non_blank(lines.size(), [&](std::size_t j) { return start[j] == end[j]; });
  OccurrenceCursor cursor(normalized, nf);
  std::string window;
  for (std::size_t i = 0; i + m <= lines.size(); ++i) {
    const std::size_t f = non_blank.first_in(i, i + m - 1);
    bool match;
    if (f == kNone) {
      match = nf.empty();
    } else {
      const std::size_t a = start[f];
      const std::size_t b = end[non_blank.prev[i + m - 1]];
      match = !nf.empty() && b - a == nf.size() && cursor.occurs_at(a);
    }
    if (!match) continue;
    window.clear();
    text::append_joined(window, std::span(lines).subspan(i, m));
    listed.append(window);
  }
  return out;
}

CandidateList indentation_flexible_replacer(std::string_view content, std::string_view find) {
  const Lines search = text::split_lines(find);
  const Lines lines = text::split_lines(content);
  const std::size_t k = search.size();
  CandidateList out;
  if (k == 0 || k > lines.size()) return out;
  const std::span<const std::string_view> all_lines(lines);

  const std::size_t common = common_indent(search);
  if (common == kNone) {
    // An all-blank find is its own normal form, and only an all-blank window (returned
    // unchanged) can equal it: compare the windows with find as stretches of the joined lines.
    const JoinedLines joined(lines);
    const auto indent = indents(lines);
    const NonBlankIndex non_blank(lines.size(),
                                  [&](std::size_t j) { return indent[j] == lines[j].size(); });
    OccurrenceCursor cursor(joined.joined, find);
    for (std::size_t i = 0; i + k <= lines.size(); ++i) {
      if (non_blank.first_in(i, i + k - 1) != kNone) continue;
      const std::size_t a = joined.start[i];
      const std::size_t b = joined.start[i + k - 1] + lines[i + k - 1].size();
      if (b - a == find.size() && cursor.occurs_at(a)) out.push_back(join(lines, i, k));
    }
    return out;
  }

  // The lines of the normal form of find (joined with "\n" they make it).
  Lines wanted(k);
  for (std::size_t r = 0; r < k; ++r) {
    const auto line = search[r];
    wanted[r] = text::is_blank(line) ? line : line.substr(indentation_cut(line, common));
  }
  // A window of k lines reads, once joined and split again, as its lines with one final "\r"
  // removed from all but the last, and without the last if that one is empty. It matches only
  // if it has k such lines (the last content line of the window is not empty) and each of them,
  // with the window's common indentation removed, equals the wanted line. The part of a line
  // after its indentation (or the whole line, when blank) does not depend on the window, so
  // those keys are matched first; only the windows that pass have their indents compared.
  const auto key = [](std::string_view line) {
    const auto body = text::trim_start(line);
    return body.empty() ? line : body;
  };
  Lines inner_keys(lines.size());
  for (std::size_t j = 0; j < lines.size(); ++j) inner_keys[j] = key(without_final_cr(lines[j]));
  Lines wanted_keys(k - 1);
  for (std::size_t r = 0; r + 1 < k; ++r) wanted_keys[r] = key(wanted[r]);
  const auto last_key = key(wanted[k - 1]);

  for (const std::size_t i : find_line_sequence(inner_keys, wanted_keys)) {
    if (i + k > lines.size()) break;
    const auto last_line = lines[i + k - 1];
    if (last_line.empty() || key(last_line) != last_key) continue;
    const std::size_t window_common = common_indent(all_lines.subspan(i, k));
    bool match = true;
    for (std::size_t r = 0; r < k && match; ++r) {
      const auto line = r + 1 < k ? without_final_cr(lines[i + r]) : lines[i + r];
      if (!text::is_blank(line)) {
        match = line.substr(indentation_cut(line, window_common)) == wanted[r];
      }
    }
    if (match) out.push_back(join(lines, i, k));
  }
  return out;
}

CandidateList escape_normalized_replacer(std::string_view content, std::string_view find) {
  const std::string u = unescape_string(find);
  CandidateList out;
  ListedSet listed(out);
  if (contains(content, u)) listed.append(u);
  const std::size_t k = text::split_lines(u).size();
  const Lines lines = text::split_lines(content);
  if (k == 0 || k > lines.size()) return out;

  // Escapes never span a line break, so a window decodes to the decoded lines joined with
  // "\n": a stretch of the decoded content lines, decoded once.
  std::string decoded;
  decoded.reserve(content.size());
  std::vector<std::size_t> start(lines.size());
  std::vector<std::size_t> end(lines.size());
  for (std::size_t j = 0; j < lines.size(); ++j) {
    if (j > 0) decoded.push_back('\n');
    start[j] = decoded.size();
    append_unescaped(decoded, lines[j]);
    end[j] = decoded.size();
  }
  OccurrenceCursor cursor(decoded, u);
  std::string window;
  for (std::size_t i = 0; i + k <= lines.size(); ++i) {
    const std::size_t a = start[i];
    if (end[i + k - 1] - a != u.size() || !cursor.occurs_at(a)) continue;
    window.clear();
    text::append_joined(window, std::span(lines).subspan(i, k));
    listed.append(window);
  }
  return out;
}

CandidateList trimmed_boundary_replacer(std::string_view content, std::string_view find) {
  const auto t = text::trim(find);
  CandidateList out;
  if (t.size() == find.size()) return out;
  ListedSet listed(out);
  if (contains(content, t)) listed.append(t);
  const std::size_t k = text::split_lines(find).size();
  const Lines lines = text::split_lines(content);
  if (k == 0 || k > lines.size()) return out;

  // Trimming a window strips its leading and trailing blank lines and the outer whitespace of
  // its first and last non-blank lines: what is left is a stretch of the joined lines.
  const JoinedLines joined(lines);
  const auto indent = indents(lines);
  const NonBlankIndex non_blank(lines.size(),
                                [&](std::size_t j) { return indent[j] == lines[j].size(); });
  std::optional<OccurrenceCursor> cursor;
  if (!t.empty()) cursor.emplace(joined.joined, t);
  std::string window;
  for (std::size_t i = 0; i + k <= lines.size(); ++i) {
    const std::size_t f = non_blank.first_in(i, i + k - 1);
    bool match;
    if (f == kNone) {
      match = t.empty();
    } else if (t.empty()) {
      match = false;
    } else {
      const std::size_t l = non_blank.prev[i + k - 1];
      const std::size_t a = joined.start[f] + indent[f];
      const std::size_t b = joined.start[l] + text::trim_end(lines[l]).size();
      match = b - a == t.size() && cursor->occurs_at(a);
    }
    if (!match) continue;
    window.clear();
    text::append_joined(window, std::span(lines).subspan(i, k));
    listed.append(window);
  }
  return out;
}

}  // namespace marlune::content_replacer

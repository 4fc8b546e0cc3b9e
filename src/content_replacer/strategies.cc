#include "content_replacer/strategies.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "content_replacer/levenshtein.h"
#include "content_replacer/prepared_content.h"
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

constexpr std::size_t kFewestSearchLines = 3;   // block anchor, context aware
constexpr std::size_t kFewestBlockSpan = 2;     // end line at least this far below the start
constexpr double kSingleBlockThreshold = 0.0;   // accepted when >=
constexpr double kSeveralBlockThreshold = 0.3;  // accepted when >=
constexpr double kInteriorMatchRatio = 0.5;     // rejected when below

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

// Every start line of a block, ascending: a line whose trimmed text is the search text's first
// line (`firsts` lists those) with at least the fewest block lines from it to the end of the
// content.
template <typename Visit>
void for_each_anchor(std::span<const std::size_t> firsts, std::size_t line_count, Visit visit) {
  for (const std::size_t i : firsts) {
    if (i + kFewestBlockSpan >= line_count) return;
    visit(i);
  }
}

// The first of the ascending `positions` at or after `line`, or kNoLine.
std::size_t first_at_or_after(std::span<const std::size_t> positions, std::size_t line) {
  const auto hit = std::lower_bound(positions.begin(), positions.end(), line);
  return hit == positions.end() ? kNoLine : *hit;
}

// The last of the ascending `positions` at or before `line`, or kNoLine.
std::size_t last_at_or_before(std::span<const std::size_t> positions, std::size_t line) {
  const auto hit = std::upper_bound(positions.begin(), positions.end(), line);
  return hit == positions.begin() ? kNoLine : *(hit - 1);
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

  // The same for the window `lines` joined with "\n", built in a buffer reused across calls.
  void append_window(std::span<const std::string_view> lines) {
    window_.clear();
    text::append_joined(window_, lines);
    append(window_);
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
  std::string window_;
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

// Every start i at which key(i + j) == pattern[j] for all j (byte equality), ascending, for
// text lines 0 .. text_lines - 1 whose keys `key` gives: Knuth-Morris-Pratt over small integers
// that stand for the distinct pattern lines. A text line equal to no pattern line becomes -1,
// which matches nothing. Linear in the number of lines plus the bytes hashed, however repetitive
// the lines are. An empty pattern starts at every i from 0 to text_lines.
template <typename Key>
std::vector<std::size_t> find_line_sequence(std::size_t text_lines, Key key,
                                            std::span<const std::string_view> pattern) {
  std::vector<std::size_t> starts;
  const std::size_t m = pattern.size();
  if (m > text_lines) return starts;
  if (m == 0) {
    for (std::size_t i = 0; i <= text_lines; ++i) starts.push_back(i);
    return starts;
  }
  std::unordered_map<std::string_view, int> ids;
  std::vector<int> p(m);
  for (std::size_t j = 0; j < m; ++j) {
    p[j] = ids.try_emplace(pattern[j], static_cast<int>(ids.size())).first->second;
  }
  const std::vector<std::size_t> border = prefix_borders(p);
  // Most text lines differ in length or in their first byte from every pattern line: masks of
  // the lengths and of the first bytes, modulo 64, turn those away before any hashing.
  std::uint64_t lengths = 0;
  std::uint64_t heads = 0;
  for (const auto line : pattern) {
    lengths |= std::uint64_t{1} << (line.size() % 64);
    if (!line.empty()) heads |= std::uint64_t{1} << (static_cast<unsigned char>(line[0]) % 64);
  }
  std::size_t q = 0;  // length of the pattern prefix matched so far
  for (std::size_t i = 0; i < text_lines; ++i) {
    int id = -1;
    const std::string_view line = key(i);
    if (((lengths >> (line.size() % 64)) & 1) &&
        (line.empty() || ((heads >> (static_cast<unsigned char>(line[0]) % 64)) & 1))) {
      const auto hit = ids.find(line);
      if (hit != ids.end()) id = hit->second;
    }
    // Before any of the pattern is matched, a line that is not its first line changes nothing.
    if (q == 0 && id != p[0]) continue;
    while (q > 0 && id != p[q]) q = border[q];
    if (id == p[q]) ++q;
    if (q == m) {
      starts.push_back(i + 1 - m);
      q = border[m];
    }
  }
  return starts;
}

// What common_indent gives for lines that are all blank: there is no indentation to remove.
constexpr std::size_t kAllBlank = static_cast<std::size_t>(-1);

// The smallest indentation among the non-blank lines, or kAllBlank when all are blank.
std::size_t common_indent(std::span<const std::string_view> lines) {
  std::size_t common = kAllBlank;
  for (const auto line : lines) {
    const std::size_t indent = text::indent_bytes(line);
    if (indent < line.size()) common = std::min(common, indent);
  }
  return common;
}

// How the whitespace normalizer treats each byte: ASCII whitespace and punctuation have their
// own rules, other ASCII bytes are copied in runs, and a multi-byte character is decoded.
enum class ByteKind : unsigned char { kWord, kSpace, kPunctuation, kMultiByte };

constexpr std::array<ByteKind, 256> make_byte_kinds() {
  std::array<ByteKind, 256> kinds{};
  for (std::size_t b = 0; b < kinds.size(); ++b) {
    const auto byte = static_cast<unsigned char>(b);
    kinds[b] = byte >= 0x80                 ? ByteKind::kMultiByte
               : text::is_ascii_space(byte) ? ByteKind::kSpace
               : is_punctuation(byte)       ? ByteKind::kPunctuation
                                            : ByteKind::kWord;
  }
  return kinds;
}
constexpr std::array<ByteKind, 256> kByteKinds = make_byte_kinds();

// Where the normalizer's output goes: appended to a string, or compared with an expected form
// as it is made, which stops at the first byte that departs from it without building anything.
class StringSink {
 public:
  explicit StringSink(std::string& out) : out_(out) {}
  void put(char c) { out_.push_back(c); }
  void put_run(const char* p, std::size_t n) { out_.append(p, n); }
  bool failed() const { return false; }

 private:
  std::string& out_;
};

class FormMatcher {
 public:
  explicit FormMatcher(std::string_view expected) : expected_(expected) {}
  void put(char c) {
    if (pos_ < expected_.size() && expected_[pos_] == c) {
      ++pos_;
    } else {
      failed_ = true;
    }
  }
  void put_run(const char* p, std::size_t n) {
    if (n <= expected_.size() - pos_ && std::memcmp(expected_.data() + pos_, p, n) == 0) {
      pos_ += n;
    } else {
      failed_ = true;
    }
  }
  bool failed() const { return failed_; }
  // Whether everything written so far is the whole expected form.
  bool matched() const { return !failed_ && pos_ == expected_.size(); }

 private:
  std::string_view expected_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

// Writes the whitespace-normalized form of a text given in pieces to its sink: words (maximal runs
// of non-whitespace) joined by single spaces, no space at either end, and no space next to any of
// ":;,()[]{}". Dropping a space because of punctuation on either side gives the same text as
// removing " p" and then "p " for each punctuation character in turn: a collapsed space always
// has non-space characters on both sides, and removing it brings no other space next to
// anything new.
template <typename Sink>
class WhitespaceNormalizer {
 public:
  explicit WhitespaceNormalizer(Sink& sink) : sink_(sink) {}

  // Stops early once the sink has failed: nothing written after that can matter.
  void append(std::string_view s) {
    const char* p = s.data();
    const char* const end = p + s.size();
    while (p < end && !sink_.failed()) {
      const auto b = static_cast<unsigned char>(*p);
      switch (kByteKinds[b]) {
        case ByteKind::kWord: {
          open_word(false);
          // Source text is mostly runs of plain ASCII: each run goes out in one piece.
          const char* const run = p;
          do {
            ++p;
          } while (p < end && kByteKinds[static_cast<unsigned char>(*p)] == ByteKind::kWord);
          sink_.put_run(run, static_cast<std::size_t>(p - run));
          last_ = p[-1];
          break;
        }
        case ByteKind::kSpace:
          gap_ = true;
          do {
            ++p;
          } while (p < end && kByteKinds[static_cast<unsigned char>(*p)] == ByteKind::kSpace);
          break;
        case ByteKind::kPunctuation:
          open_word(true);
          sink_.put(*p);
          last_ = *p++;
          break;
        case ByteKind::kMultiByte: {
          std::size_t next = static_cast<std::size_t>(p - s.data());
          const std::size_t from = next;
          if (text::is_white_space(text::decode_utf8(s, next))) {
            gap_ = true;
          } else {
            open_word(false);
            sink_.put_run(s.data() + from, next - from);
            last_ = s[next - 1];
          }
          p = s.data() + next;
          break;
        }
      }
    }
  }

  // Whitespace between the previous piece and the next one (a line break).
  void separate() { gap_ = true; }

 private:
  // Before a character that is not whitespace: the pending gap becomes one space, unless
  // punctuation stands on either side of it or nothing has been written yet.
  void open_word(bool punctuation) {
    if (gap_ && !punctuation && written_ && !is_punctuation(static_cast<unsigned char>(last_))) {
      sink_.put(' ');
    }
    gap_ = false;
    written_ = true;
  }

  Sink& sink_;
  char last_ = 0;         // the last byte written, once written_
  bool written_ = false;  // whether anything has been written
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
  StringSink sink(out);
  WhitespaceNormalizer(sink).append(text);
  return out;
}

std::string remove_common_indentation(std::string_view text) {
  const Lines lines = text::split_lines(text);
  const std::size_t common = common_indent(lines);
  if (common == kAllBlank) return std::string(text);
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

namespace prepared {

CandidateList line_trimmed_replacer(PreparedContent& content, std::string_view find) {
  Lines search = text::split_lines(find);
  drop_trailing_empty_line(search);
  const auto lines = content.lines();
  CandidateList out;
  if (search.empty() || lines.size() < search.size()) return out;
  const auto trimmed_search = trimmed(search);
  const auto trimmed_lines = content.trimmed_lines();
  const auto trimmed_line = [&](std::size_t j) { return trimmed_lines[j]; };
  for (const std::size_t i : find_line_sequence(lines.size(), trimmed_line, trimmed_search)) {
    out.push_back(join(lines, i, search.size()));
  }
  return out;
}

}  // namespace prepared

namespace {

// For a block from `start`, the end line whose trimmed text is `last` and whose block size is
// nearest the search text's `search_lines`, within `tolerance` lines either way and at least
// the fewest block lines; on a tie the earlier. kNoLine when there is none. `lasts` lists the
// lines whose trimmed text is `last`, ascending.
std::size_t nearest_sized_end(std::span<const std::size_t> lasts, std::size_t line_count,
                              std::size_t start, std::size_t search_lines, std::size_t tolerance) {
  const std::size_t ideal = start + search_lines - 1;
  const std::size_t lowest = std::max(start + kFewestBlockSpan, ideal - std::min(ideal, tolerance));
  const std::size_t highest = std::min(line_count - 1, ideal + tolerance);
  if (lowest > highest) return kNoLine;
  const std::size_t pivot = std::clamp(ideal, lowest, highest);
  const std::size_t before = last_at_or_before(lasts, pivot);
  const std::size_t after = first_at_or_after(lasts, pivot);
  const bool before_fits = before != kNoLine && before >= lowest;
  const bool after_fits = after != kNoLine && after <= highest;
  if (before_fits && after_fits) {
    const std::size_t before_gap = ideal > before ? ideal - before : before - ideal;
    const std::size_t after_gap = ideal > after ? ideal - after : after - ideal;
    return after_gap < before_gap ? after : before;
  }
  if (before_fits) return before;
  if (after_fits) return after;
  return kNoLine;
}

}  // namespace

namespace prepared {

CandidateList block_anchor_replacer(PreparedContent& content, std::string_view find) {
  Lines search = text::split_lines(find);
  CandidateList out;
  if (search.size() < kFewestSearchLines) return out;
  drop_trailing_empty_line(search);
  const std::size_t search_lines = search.size();
  const auto first = text::trim(search.front());
  const auto last = text::trim(search.back());
  // A blank line matches every blank line of the content, so it anchors nothing: a block
  // hung on it could start or end almost anywhere.
  if (first.empty() || last.empty()) return out;
  // A block far longer or shorter than the search text is not that text, however well its
  // ends match: accepting one would delete or keep whole stretches of the file.
  const std::size_t tolerance = std::max<std::size_t>(2, search_lines / 4);

  const auto lines = content.lines();
  const auto firsts = content.lines_trimmed_to(first);
  const auto lasts = content.lines_trimmed_to(last);
  std::vector<std::pair<std::size_t, std::size_t>> blocks;
  for_each_anchor(firsts, lines.size(), [&](std::size_t i) {
    const std::size_t end = nearest_sized_end(lasts, lines.size(), i, search_lines, tolerance);
    if (end != kNoLine) blocks.emplace_back(i, end);
  });
  if (blocks.empty()) return out;

  // A single block is accepted whatever its similarity (every similarity is >= the threshold
  // of 0), so its similarity is not computed.
  static_assert(kSingleBlockThreshold <= 0.0);
  std::size_t chosen = 0;
  if (blocks.size() > 1) {
    double best = -1.0;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
      const double similarity = calculate_block_similarity(lines, search, blocks[b].first,
                                                           blocks[b].second, search_lines);
      if (similarity > best) {
        best = similarity;
        chosen = b;
        if (best >= 1.0) break;  // nothing later can score strictly higher
      }
    }
    if (best < kSeveralBlockThreshold) return out;
  }
  const auto [start, end] = blocks[chosen];
  out.push_back(join(lines, start, end - start + 1));
  return out;
}

CandidateList context_aware_replacer(PreparedContent& content, std::string_view find) {
  const Lines search = text::split_lines(find);
  CandidateList out;
  if (search.size() < kFewestSearchLines) return out;
  const std::size_t search_lines = search.size() - (search.back().empty() ? 1 : 0);
  const auto first = text::trim(search[0]);
  const auto last = text::trim(search[search_lines - 1]);

  const auto trimmed_search = trimmed(search);
  const auto lines = content.lines();
  const auto trimmed_lines = content.trimmed_lines();
  const auto firsts = content.lines_trimmed_to(first);
  const auto lasts = content.lines_trimmed_to(last);
  // Accepted blocks end at their nearest matching end line and have exactly search_lines
  // lines, so two of them start at least search_lines - 2 lines apart: comparing their
  // interiors is linear overall.
  for_each_anchor(firsts, lines.size(), [&](std::size_t i) {
    const std::size_t end = first_at_or_after(lasts, i + kFewestBlockSpan);
    if (end == kNoLine || end - i + 1 != search_lines) return;
    std::size_t total = 0;
    std::size_t matching = 0;
    for (std::size_t r = 1; r + 1 < search_lines; ++r) {
      const auto block_line = trimmed_lines[i + r];
      const auto search_line = trimmed_search[r];
      if (block_line.empty() && search_line.empty()) continue;
      ++total;
      if (block_line == search_line) ++matching;
    }
    if (total > 0 &&
        static_cast<double>(matching) / static_cast<double>(total) < kInteriorMatchRatio) {
      return;
    }
    out.push_back(join(lines, i, search_lines));
  });
  return out;
}

// ---------------------------------------------------------------------------------------------
// Normalizing strategies

CandidateList simple_replacer(PreparedContent& content, std::string_view find) {
  if (content.contains(find)) return {std::string(find)};
  return {};
}

}  // namespace prepared

namespace {

// The window scan of the whitespace-normalized strategy from the normal form of the whole
// content, made once: every window is then a stretch of that form. Linear however many
// windows could match.
CandidateList whitespace_normalized_by_full_form(PreparedContent& content, std::string_view nf,
                                                 std::size_t window_lines) {
  const auto lines = content.lines();

  // The normalized content, made line by line: line j's own form is
  // normalized.substr(start[j], end[j] - start[j]) (empty for a blank line), and the form of a
  // window runs from the start of its first non-blank line to the end of its last one.
  std::string normalized;
  normalized.reserve(content.text().size());
  std::vector<std::size_t> start(lines.size());
  std::vector<std::size_t> end(lines.size());
  {
    StringSink sink(normalized);
    WhitespaceNormalizer normalizer(sink);
    for (std::size_t j = 0; j < lines.size(); ++j) {
      const std::size_t before = normalized.size();
      normalizer.append(lines[j]);
      normalizer.separate();
      // A line's own form never starts with a space, so a leading space is the separator.
      start[j] = before + (normalized.size() > before && normalized[before] == ' ' ? 1 : 0);
      end[j] = normalized.size();
    }
  }
  // The caller has compared the form of the whole content with nf, and leaves this the
  // window scan only, for a non-empty nf.
  CandidateList out;
  ListedSet listed(out);
  const NonBlankIndex& non_blank = content.non_blank();
  OccurrenceCursor cursor(normalized, nf);
  for (std::size_t i = 0; i + window_lines <= lines.size(); ++i) {
    const std::size_t last = i + window_lines - 1;
    const std::size_t first_text = non_blank.first_in(i, last);
    if (first_text == kNoLine) continue;
    const std::size_t a = start[first_text];
    const std::size_t b = end[non_blank.prev[last]];
    if (b - a == nf.size() && cursor.occurs_at(a)) {
      listed.append_window(lines.subspan(i, window_lines));
    }
  }
  return out;
}

// Whether lines [first, last], normalized as one text (a line break is whitespace), give
// exactly `nf`. Normalizing stops as soon as the form departs from `nf` or outgrows it: the
// form of a prefix of the lines is a prefix of the form of all of them.
bool normalizes_to(std::span<const std::string_view> lines, std::size_t first, std::size_t last,
                   std::string_view nf) {
  FormMatcher matcher(nf);
  WhitespaceNormalizer normalizer(matcher);
  for (std::size_t j = first; j <= last && !matcher.failed(); ++j) {
    if (j > first) normalizer.separate();
    normalizer.append(lines[j]);
  }
  return matcher.matched();
}

// Whether the form of `line` on its own already departs from `nf` (is not a prefix of it).
bool departs_from(std::string_view line, std::string_view nf) {
  FormMatcher matcher(nf);
  WhitespaceNormalizer(matcher).append(line);
  return matcher.failed();
}

// How the normal form of a text begins, to pick out the lines that can start a match without
// normalizing the others: with its first word (a run of bytes that are neither space nor
// punctuation), or with a punctuation character. Normalizing never changes, splits or joins a
// word, so a non-blank line can begin a text of form `nf` only if its own text, after its
// indentation, begins with the same word (or character), followed by a separator.
class FormStart {
 public:
  // `nf` is not empty.
  explicit FormStart(std::string_view nf) {
    std::size_t k = 0;
    while (k < nf.size() && nf[k] != ' ' && !is_punctuation(static_cast<unsigned char>(nf[k]))) {
      ++k;
    }
    word_ = k > 0;
    head_ = nf.substr(0, word_ ? k : 1);
  }

  bool may_begin(std::string_view body) const {
    // Most lines differ from the head in their first byte: that comes before a full compare.
    if (body.empty() || body[0] != head_[0] || !body.starts_with(head_)) return false;
    if (!word_ || body.size() == head_.size()) return true;
    const auto next = static_cast<unsigned char>(body[head_.size()]);
    if (next < 0x80) return text::is_ascii_space(next) || is_punctuation(next);
    std::size_t pos = head_.size();
    return text::is_white_space(text::decode_utf8(body, pos));
  }

 private:
  std::string_view head_;
  bool word_ = false;
};

}  // namespace

namespace prepared {

CandidateList whitespace_normalized_replacer(PreparedContent& content, std::string_view find) {
  const std::string nf = normalize_whitespace(find);
  const std::size_t window_lines = text::split_lines(find).size();
  const auto lines = content.lines();
  // Line breaks are whitespace, so the lines normalized together give the form of the whole
  // content.
  if (lines.empty() ? nf.empty() : normalizes_to(lines, 0, lines.size() - 1, nf)) {
    return {std::string(content.text())};
  }

  CandidateList out;
  ListedSet listed(out);
  const auto indent = content.indents();
  const NonBlankIndex& non_blank = content.non_blank();
  // The non-blank lines that may begin a text of form nf, ascending. A line's trimmed text
  // begins with the form's first word exactly when the line does after its indentation (that
  // word holds no whitespace), and is followed by whitespace or nothing exactly when the line is.
  std::vector<std::size_t> beginners;
  if (!nf.empty()) {
    const FormStart form_start(nf);
    const auto trimmed = content.trimmed_lines();
    for (std::size_t j = 0; j < lines.size(); ++j) {
      if (!trimmed[j].empty() && form_start.may_begin(trimmed[j])) beginners.push_back(j);
    }
  }
  if (window_lines < 2 || lines.size() < window_lines) {
    if (nf.empty()) {
      for (std::size_t j = 0; j < lines.size(); ++j) {
        if (indent[j] == lines[j].size()) listed.append(lines[j]);
      }
    }
    for (const std::size_t j : beginners) {
      if (normalizes_to(lines, j, j, nf)) listed.append(lines[j]);
    }
    return out;
  }
  if (nf.empty()) {
    // Only a window of blank lines has an empty form.
    for (std::size_t i = 0; i + window_lines <= lines.size(); ++i) {
      if (non_blank.first_in(i, i + window_lines - 1) == kNoLine) {
        listed.append_window(lines.subspan(i, window_lines));
      }
    }
    return out;
  }

  // The windows whose first non-blank line is j start after the non-blank line before j (or
  // at the top), at j at the latest, and reach j; so each window belongs to one such line, and
  // visiting the beginners in order visits their windows in order. visit(i, j) gets each one.
  const auto for_each_window = [&](auto visit) {
    const std::size_t last_start = lines.size() - window_lines;
    for (const std::size_t j : beginners) {
      const std::size_t before = j > 0 ? non_blank.prev[j - 1] : kNoLine;
      std::size_t i = before == kNoLine ? 0 : before + 1;
      if (j + 1 > window_lines) i = std::max(i, j + 1 - window_lines);
      for (; i <= std::min(j, last_start); ++i) {
        if (!visit(i, j)) return;
      }
    }
  };
  // The windows of a beginner are normalized one by one. On text where very many windows
  // begin that way (a file of one repeated line), that costs more than normalizing the whole
  // content once: the full form takes over.
  const std::size_t budget = 4 * lines.size() + 256;
  std::size_t work = 0;
  for_each_window([&](std::size_t i, std::size_t j) {
    work += i + window_lines - j;
    return work <= budget;
  });
  if (work > budget) return whitespace_normalized_by_full_form(content, nf, window_lines);

  // The form of a window's first line is a prefix of the window's form: when that line alone
  // departs from nf, so do all the windows it begins. Windows of one beginner that end on the
  // same non-blank line normalize to the same text.
  std::size_t checked_first = kNoLine;
  bool first_departs = false;
  std::size_t tested_first = kNoLine;
  std::size_t tested_last = kNoLine;
  bool tested_match = false;
  for_each_window([&](std::size_t i, std::size_t j) {
    if (j != checked_first) {
      checked_first = j;
      first_departs = departs_from(lines[j], nf);
    }
    if (first_departs) return true;
    const std::size_t last_text = non_blank.prev[i + window_lines - 1];
    if (j != tested_first || last_text != tested_last) {
      tested_first = j;
      tested_last = last_text;
      tested_match = normalizes_to(lines, j, last_text, nf);
    }
    if (tested_match) listed.append_window(lines.subspan(i, window_lines));
    return true;
  });
  return out;
}

CandidateList indentation_flexible_replacer(PreparedContent& content, std::string_view find) {
  const Lines search = text::split_lines(find);
  const auto lines = content.lines();
  const std::size_t window_lines = search.size();
  CandidateList out;
  if (window_lines == 0 || window_lines > lines.size()) return out;

  const std::size_t common = common_indent(search);
  if (common == kAllBlank) {
    // An all-blank find is its own normal form, and only an all-blank window (returned
    // unchanged) can equal it: compare the windows with find as stretches of the joined lines.
    const JoinedLines& joined = content.joined();
    const NonBlankIndex& non_blank = content.non_blank();
    OccurrenceCursor cursor(joined.joined, find);
    for (std::size_t i = 0; i + window_lines <= lines.size(); ++i) {
      const std::size_t last = i + window_lines - 1;
      if (non_blank.first_in(i, last) != kNoLine) continue;
      const std::size_t a = joined.start[i];
      const std::size_t b = joined.start[last] + lines[last].size();
      if (b - a == find.size() && cursor.occurs_at(a)) out.push_back(join(lines, i, window_lines));
    }
    return out;
  }

  // The lines of the normal form of find (joined with "\n" they make it).
  Lines wanted(window_lines);
  for (std::size_t r = 0; r < window_lines; ++r) {
    const auto line = search[r];
    wanted[r] = text::is_blank(line) ? line : line.substr(indentation_cut(line, common));
  }
  // A window reads, once joined and split again, as its lines with one final "\r" removed
  // from all but the last, and without the last if that one is empty. It matches only if it
  // has window_lines such lines (the last content line of the window is not empty) and each
  // of them, with the window's common indentation removed, equals the wanted line. The part of
  // a line after its indentation (or the whole line, when blank) does not depend on the
  // window, so those keys are matched first; only the windows that pass have their indents
  // compared.
  const auto key = [](std::string_view line) {
    const auto body = text::trim_start(line);
    return body.empty() ? line : body;
  };
  // The key of a content line, from its known indentation: removing a final "\r" leaves the
  // indentation of a non-blank line as it is.
  const auto indent = content.indents();
  const auto inner_key = [&](std::size_t j) {
    const auto line = lines[j];
    return without_final_cr(indent[j] < line.size() ? line.substr(indent[j]) : line);
  };
  Lines wanted_keys(window_lines - 1);
  for (std::size_t r = 0; r + 1 < window_lines; ++r) wanted_keys[r] = key(wanted[r]);
  const auto last_key = key(wanted[window_lines - 1]);

  for (const std::size_t i : find_line_sequence(lines.size(), inner_key, wanted_keys)) {
    if (i + window_lines > lines.size()) break;
    const auto last_line = lines[i + window_lines - 1];
    if (last_line.empty() || key(last_line) != last_key) continue;
    const std::size_t window_common = common_indent(lines.subspan(i, window_lines));
    bool match = true;
    for (std::size_t r = 0; r < window_lines && match; ++r) {
      const auto line = r + 1 < window_lines ? without_final_cr(lines[i + r]) : lines[i + r];
      if (!text::is_blank(line)) {
        match = line.substr(indentation_cut(line, window_common)) == wanted[r];
      }
    }
    if (match) out.push_back(join(lines, i, window_lines));
  }
  return out;
}

CandidateList escape_normalized_replacer(PreparedContent& content, std::string_view find) {
  const std::string u = unescape_string(find);
  CandidateList out;
  ListedSet listed(out);
  if (content.contains(u)) listed.append(u);
  const std::size_t window_lines = text::split_lines(u).size();
  const auto lines = content.lines();
  if (window_lines == 0 || window_lines > lines.size()) return out;

  // Escapes never span a line break, so a window decodes to its decoded lines joined with
  // "\n", and it matches when those lines spell `u` one after the other. Most lines hold no
  // backslash and are their own decoding; most windows fail on their first line. Where many
  // windows run long before they fail (a file of one repeated line), the whole content is
  // decoded once instead and every window read off it.
  std::string scratch;
  const auto decoded_line = [&](std::size_t j) -> std::string_view {
    const auto line = lines[j];
    if (line.find('\\') == std::string_view::npos) return line;
    scratch.clear();
    append_unescaped(scratch, line);
    return scratch;
  };
  // The bytes of u before its first backslash, and before its first line break.
  const std::size_t plain_prefix = std::min(u.find('\\'), u.size());
  const std::string_view plain_head = std::string_view(u).substr(0, plain_prefix);
  const std::size_t first_line_size = std::min(u.find('\n'), u.size());
  const std::size_t budget = 4 * lines.size() + 256;
  std::size_t work = 0;
  std::size_t i = 0;
  for (; i + window_lines <= lines.size() && work <= budget; ++i) {
    // A first byte that is no backslash is its own decoding: most windows end here.
    const auto head = lines[i];
    if (!head.empty() && head[0] != '\\' && (u.empty() || head[0] != u[0])) continue;
    // Decoding never lengthens a line, and the first line of a window decodes to at least
    // the first line of u. Up to its first backslash a line is its own decoding, so a line
    // that departs from u before either of them holds a backslash, at a byte that is no
    // backslash, cannot begin it either.
    const std::size_t same = common_prefix_length(head, plain_head);
    if (head.size() < first_line_size ||
        (same < std::min(head.size(), plain_prefix) && head[same] != '\\')) {
      ++work;
      continue;
    }
    std::size_t pos = 0;
    bool match = true;
    for (std::size_t r = 0; r < window_lines && match; ++r) {
      ++work;
      if (r > 0) {
        match = pos < u.size() && u[pos] == '\n';
        ++pos;
        if (!match) break;
      }
      const auto decoded = decoded_line(i + r);
      match = u.compare(pos, decoded.size(), decoded) == 0 && u.size() - pos >= decoded.size();
      pos += decoded.size();
    }
    if (match && pos == u.size()) listed.append_window(lines.subspan(i, window_lines));
  }
  if (i + window_lines > lines.size()) return out;

  std::string decoded;
  decoded.reserve(content.text().size());
  std::vector<std::size_t> start(lines.size());
  std::vector<std::size_t> end(lines.size());
  for (std::size_t j = 0; j < lines.size(); ++j) {
    if (j > 0) decoded.push_back('\n');
    start[j] = decoded.size();
    append_unescaped(decoded, lines[j]);
    end[j] = decoded.size();
  }
  OccurrenceCursor cursor(decoded, u);
  for (; i + window_lines <= lines.size(); ++i) {
    const std::size_t a = start[i];
    if (end[i + window_lines - 1] - a != u.size() || !cursor.occurs_at(a)) continue;
    listed.append_window(lines.subspan(i, window_lines));
  }
  return out;
}

CandidateList trimmed_boundary_replacer(PreparedContent& content, std::string_view find) {
  const auto t = text::trim(find);
  CandidateList out;
  if (t.size() == find.size()) return out;
  ListedSet listed(out);
  const bool occurs = content.contains(t);
  if (occurs) listed.append(t);
  const std::size_t window_lines = text::split_lines(find).size();
  const auto lines = content.lines();
  if (window_lines == 0 || window_lines > lines.size()) return out;
  const JoinedLines& joined = content.joined();
  // Joined lines that are a stretch of the content itself hold t only where the content does.
  if (!t.empty() && !occurs && joined.joined.data() == content.text().data()) return out;

  // Trimming a window strips its leading and trailing blank lines and the outer whitespace of
  // its first and last non-blank lines: what is left is a stretch of the joined lines.
  const auto indent = content.indents();
  const auto trimmed = content.trimmed_lines();
  const NonBlankIndex& non_blank = content.non_blank();
  std::optional<OccurrenceCursor> cursor;
  if (!t.empty()) cursor.emplace(joined.joined, t);
  for (std::size_t i = 0; i + window_lines <= lines.size(); ++i) {
    const std::size_t last = i + window_lines - 1;
    const std::size_t first_text = non_blank.first_in(i, last);
    bool match;
    if (first_text == kNoLine) {
      match = t.empty();
    } else if (t.empty()) {
      match = false;
    } else {
      const std::size_t last_text = non_blank.prev[last];
      const std::size_t a = joined.start[first_text] + indent[first_text];
      // A non-blank line ends its trimmed text where the line itself, trimmed at the end, ends.
      const std::size_t b = joined.start[last_text] + indent[last_text] + trimmed[last_text].size();
      match = b - a == t.size() && cursor->occurs_at(a);
    }
    if (match) listed.append_window(lines.subspan(i, window_lines));
  }
  return out;
}

}  // namespace prepared

// The cascade's strategies on their own, each over content it prepares for itself.
namespace {
template <PreparedStrategy strategy>
CandidateList on_own_content(std::string_view content, std::string_view find) {
  PreparedContent prepared_content(content);
  return strategy(prepared_content, find);
}
}  // namespace

CandidateList simple_replacer(std::string_view content, std::string_view find) {
  return on_own_content<prepared::simple_replacer>(content, find);
}
CandidateList line_trimmed_replacer(std::string_view content, std::string_view find) {
  return on_own_content<prepared::line_trimmed_replacer>(content, find);
}
CandidateList block_anchor_replacer(std::string_view content, std::string_view find) {
  return on_own_content<prepared::block_anchor_replacer>(content, find);
}
CandidateList whitespace_normalized_replacer(std::string_view content, std::string_view find) {
  return on_own_content<prepared::whitespace_normalized_replacer>(content, find);
}
CandidateList indentation_flexible_replacer(std::string_view content, std::string_view find) {
  return on_own_content<prepared::indentation_flexible_replacer>(content, find);
}
CandidateList escape_normalized_replacer(std::string_view content, std::string_view find) {
  return on_own_content<prepared::escape_normalized_replacer>(content, find);
}
CandidateList trimmed_boundary_replacer(std::string_view content, std::string_view find) {
  return on_own_content<prepared::trimmed_boundary_replacer>(content, find);
}
CandidateList context_aware_replacer(std::string_view content, std::string_view find) {
  return on_own_content<prepared::context_aware_replacer>(content, find);
}

}  // namespace marlune::content_replacer

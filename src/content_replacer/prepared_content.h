// What the strategies of one replacement derive from the content alone: its lines, their
// trimmed forms and indentation, and the lines joined with "\n". A failing edit runs all eight
// strategies over the same content, so each part is made once per call, the first time a
// strategy asks for it, and shared by the rest.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "content_replacer/substring_search.h"

namespace marlune::content_replacer {

// Sentinel for "no such line" in the line indexes below.
inline constexpr std::size_t kNoLine = static_cast<std::size_t>(-1);

// For each line, the nearest non-blank line at or after it and at or before it (kNoLine where
// there is none), so that a window's first and last non-blank lines cost O(1).
struct NonBlankIndex {
  std::vector<std::size_t> next;  // one entry more than lines: next[count] == kNoLine
  std::vector<std::size_t> prev;

  // `blank(j)` tells whether line j of `count` is blank. The arrays are made in the storage
  // given, whatever it held: `prev` first, in one forward pass, then `next` from it.
  template <typename IsBlank>
  NonBlankIndex(std::size_t count, IsBlank blank, std::vector<std::size_t> next_storage = {},
                std::vector<std::size_t> prev_storage = {})
      : next(std::move(next_storage)), prev(std::move(prev_storage)) {
    prev.clear();
    std::size_t last = kNoLine;
    for (std::size_t j = 0; j < count; ++j) {
      if (!blank(j)) last = j;
      prev.push_back(last);
    }
    next.resize(count + 1);
    next[count] = kNoLine;
    for (std::size_t j = count; j-- > 0;) next[j] = prev[j] == j ? j : next[j + 1];
  }

  // First non-blank line of the window [first, last], or kNoLine for an all-blank window.
  std::size_t first_in(std::size_t first, std::size_t last) const {
    return next[first] <= last ? next[first] : kNoLine;
  }
};

// The lines joined with "\n" into one string, with the offset at which each line starts, so
// that the window of lines [i, i + k) is the stretch from start[i] to the end of line i + k - 1.
// Content without "\r" is its own join (less a final "\n"), so then nothing is copied.
struct JoinedLines {
  std::string_view joined;
  std::vector<std::size_t> start;

  // `start` is made in the storage given, whatever it held.
  JoinedLines(std::string_view text, std::span<const std::string_view> lines,
              std::vector<std::size_t> start_storage = {});
  // `joined` may point into the object itself.
  JoinedLines(const JoinedLines&) = delete;
  JoinedLines& operator=(const JoinedLines&) = delete;

 private:
  std::string storage_;
};

class PreparedContent {
 public:
  explicit PreparedContent(std::string_view content) : text_(content) {}
  // Leaves the memory of the per-line arrays to the next content prepared on this thread,
  // within a bound (see the definition).
  ~PreparedContent();
  PreparedContent(const PreparedContent&) = delete;
  PreparedContent& operator=(const PreparedContent&) = delete;

  std::string_view text() const { return text_; }
  // Where `needle` first occurs in the content (kNoOccurrence when it does not), and whether
  // it does. The exact text, its unescaped form and the candidate then placed are usually the
  // same string, so the last answer is kept.
  std::size_t first_occurrence(std::string_view needle);
  bool contains(std::string_view needle) { return first_occurrence(needle) != kNoOccurrence; }
  std::span<const std::string_view> lines();
  std::span<const std::string_view> trimmed_lines();
  // Byte length of each line's indentation; a line is blank when that is its whole length.
  std::span<const std::size_t> indents();
  const NonBlankIndex& non_blank();
  const JoinedLines& joined();
  // The lines whose trimmed text is `wanted`, ascending. The block strategies both look for
  // the search text's first and last lines, so the answers are kept.
  std::span<const std::size_t> lines_trimmed_to(std::string_view wanted);

 private:
  void split();

  std::string_view text_;
  std::optional<std::pair<std::string, std::size_t>> last_occurrence_;
  std::optional<std::vector<std::string_view>> lines_;
  std::optional<std::vector<std::string_view>> trimmed_;
  std::optional<std::vector<std::size_t>> indents_;
  std::optional<NonBlankIndex> non_blank_;
  std::optional<JoinedLines> joined_;
  // A deque: a span handed out stays valid while more answers are added.
  std::deque<std::pair<std::string, std::vector<std::size_t>>> trimmed_to_;
};

// The most per-line array memory a thread keeps for the next content it prepares, and what it
// keeps now (for tests).
inline constexpr std::size_t kSpareLineArrayBytes = std::size_t{8} << 20;
std::size_t spare_line_array_bytes();

}  // namespace marlune::content_replacer

// Line splitting, trimming and joining over UTF-8 text. Lines and trimmed lines are views into
// the text they came from; only joining builds a new string.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace marlune::text {

// The ASCII whitespace bytes: tab, line feed, vertical tab, form feed, carriage return, space.
constexpr bool is_ascii_space(unsigned char b) {
  return b == ' ' || (b >= 0x09 && b <= 0x0D);
}

// Calls visit(pos) with the position of every "\n" of `text`, in ascending order. Lines of
// source text are short, so where SSE2 is at hand the bytes are tested sixteen at a time and
// each 64-byte block's newlines are read off one bit mask, instead of one library search per
// line; a block holds a newline or two, so the loop over a mask's bits ends at a place the
// branch predictor learns. The last, shorter block is tested from a zero-padded copy, so that
// `visit` is called from one place only and is inlined there.
template <typename Visit>
void for_each_newline(std::string_view text, Visit visit) {
#if defined(__SSE2__)
  constexpr std::size_t kBlock = 64;
  const __m128i newlines = _mm_set1_epi8('\n');
  for (std::size_t i = 0; i < text.size(); i += kBlock) {
    const char* block = text.data() + i;
    alignas(16) char tail[kBlock];
    if (text.size() - i < kBlock) {
      std::memset(tail, 0, kBlock);
      std::memcpy(tail, block, text.size() - i);
      block = tail;
    }
    std::uint64_t mask = 0;
    for (std::size_t k = 0; k < kBlock; k += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + k));
      const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newlines)));
      mask |= std::uint64_t{hits} << k;
    }
    for (; mask != 0; mask &= mask - 1) {
      visit(i + static_cast<std::size_t>(__builtin_ctzll(mask)));
    }
  }
#else
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') visit(i);
  }
#endif
}

// Visits the lines of `text`: cuts it after every "\n". Each piece loses its "\n" and then one "\r"
// if it ended in
// "\r\n". A last piece without "\n" is a line only if it is non-empty, and it keeps a trailing
// "\r". The empty text has no lines.
template <typename Visit>
void for_each_line(std::string_view text, Visit visit) {
  std::size_t start = 0;
  for_each_newline(text, [&](std::size_t newline) {
    const std::size_t end = newline > start && text[newline - 1] == '\r' ? newline - 1 : newline;
    visit(text.substr(start, end - start));
    start = newline + 1;
  });
  if (start < text.size()) visit(text.substr(start));
}

// The lines of `text`, cut as for_each_line cuts them.
std::vector<std::string_view> split_lines(std::string_view text);

// Removes White_Space characters from both ends / from the start / from the end.
std::string_view trim(std::string_view s);
std::string_view trim_start(std::string_view s);
std::string_view trim_end(std::string_view s);

// A line is blank when trimming leaves nothing.
inline bool is_blank(std::string_view s) {
  return trim_start(s).empty();
}

// Byte length of the leading run of White_Space characters.
inline std::size_t indent_bytes(std::string_view s) {
  return s.size() - trim_start(s).size();
}

// The lines joined with "\n" between consecutive lines and nothing after the last.
std::string join_lines(std::span<const std::string_view> lines);

// Appends the join of `lines` to `out`.
void append_joined(std::string& out, std::span<const std::string_view> lines);

// Number of "\n" bytes in `s`.
std::size_t count_newlines(std::string_view s);

}  // namespace marlune::text

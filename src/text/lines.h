// Line splitting, trimming and joining over UTF-8 text. Lines and trimmed lines are views into
// the text they came from; only joining builds a new string.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace marlune::text {

// The ASCII whitespace bytes: tab, line feed, vertical tab, form feed, carriage return, space.
constexpr bool is_ascii_space(unsigned char b) {
  return b == ' ' || (b >= 0x09 && b <= 0x0D);
}

// Cuts `text` after every "\n". Each piece loses its "\n" and then one "\r" if it ended in
// "\r\n". A last piece without "\n" is a line only if it is non-empty, and it keeps a trailing
// "\r". The empty text has no lines.
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

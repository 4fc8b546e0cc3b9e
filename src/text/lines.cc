#include "text/lines.h"

#include <algorithm>
#include <cstring>

#include "text/unicode_data.h"
#include "text/utf8.h"

namespace marlune::text {

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  lines.reserve(count_newlines(text) + 1);
  for_each_line(text, [&](std::string_view line) { lines.push_back(line); });
  return lines;
}

std::string_view trim_start(std::string_view s) {
  std::size_t pos = 0;
  // Indentation is mostly runs of spaces: eight at a time first.
  static constexpr char kEightSpaces[] = "        ";
  while (s.size() - pos >= 8 && std::memcmp(s.data() + pos, kEightSpaces, 8) == 0) pos += 8;
  while (pos < s.size()) {
    const auto b = static_cast<unsigned char>(s[pos]);
    if (b < 0x80) {
      if (!is_ascii_space(b)) break;
      ++pos;
      continue;
    }
    std::size_t next = pos;
    if (!is_white_space(decode_utf8(s, next))) break;
    pos = next;
  }
  return s.substr(pos);
}

std::string_view trim_end(std::string_view s) {
  std::size_t end = s.size();
  while (end > 0) {
    const auto b = static_cast<unsigned char>(s[end - 1]);
    if (b < 0x80) {
      if (!is_ascii_space(b)) break;
      --end;
      continue;
    }
    std::size_t start = end;
    if (!is_white_space(decode_utf8_backward(s, start))) break;
    end = start;
  }
  return s.substr(0, end);
}

std::string_view trim(std::string_view s) {
  return trim_end(trim_start(s));
}

void append_joined(std::string& out, std::span<const std::string_view> lines) {
  if (lines.empty()) return;
  std::size_t total = lines.size() - 1;
  for (const auto line : lines) total += line.size();
  out.reserve(out.size() + total);
  out.append(lines[0]);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    out.push_back('\n');
    out.append(lines[i]);
  }
}

std::string join_lines(std::span<const std::string_view> lines) {
  std::string out;
  append_joined(out, lines);
  return out;
}

std::size_t count_newlines(std::string_view s) {
  // Sixteen bytes at a time: each comparison yields -1 in the lanes that hold "\n", which
  // subtracting adds to per-lane counters; those are summed before they can overflow.
  using Lanes = unsigned char __attribute__((vector_size(16)));
  constexpr std::size_t kWidth = sizeof(Lanes);
  constexpr std::size_t kMaxRounds = 255;  // a lane counter holds at most 255
  const Lanes newlines = {'\n', '\n', '\n', '\n', '\n', '\n', '\n', '\n',
                          '\n', '\n', '\n', '\n', '\n', '\n', '\n', '\n'};
  std::size_t count = 0;
  std::size_t i = 0;
  while (s.size() - i >= kWidth) {
    Lanes counters = {};
    const std::size_t rounds = std::min(kMaxRounds, (s.size() - i) / kWidth);
    for (std::size_t r = 0; r < rounds; ++r, i += kWidth) {
      Lanes bytes;
      std::memcpy(&bytes, s.data() + i, kWidth);
      counters -= reinterpret_cast<Lanes>(bytes == newlines);
    }
    for (std::size_t lane = 0; lane < kWidth; ++lane) count += counters[lane];
  }
  for (; i < s.size(); ++i) count += s[i] == '\n';
  return count;
}

}  // namespace marlune::text

// The UTF-8, line and case helpers against their definitions, character by character.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "support/plain_references.h"
#include "text/case_mapping.h"
#include "text/lines.h"
#include "text/unicode_data.h"
#include "text/utf8.h"

namespace {

using marlune::fuzz::quoted;
namespace text = marlune::text;

std::vector<char32_t> decode(std::string_view s) {
  std::vector<char32_t> out;
  for (std::size_t pos = 0; pos < s.size();) out.push_back(text::decode_utf8(s, pos));
  return out;
}

std::string encode(const std::vector<char32_t>& cps) {
  std::string out;
  for (const char32_t cp : cps) text::append_utf8(out, cp);
  return out;
}

// Cut after every "\n"; a piece loses its "\n" and then one "\r"; a last piece without "\n" is
// a line only when non-empty.
std::vector<std::string> reference_lines(std::string_view s) {
  std::vector<std::string> out;
  std::string piece;
  for (const char c : s) {
    if (c != '\n') {
      piece += c;
      continue;
    }
    if (!piece.empty() && piece.back() == '\r') piece.pop_back();
    out.push_back(piece);
    piece.clear();
  }
  if (!piece.empty()) out.push_back(piece);
  return out;
}

std::size_t leading_space_bytes(std::string_view s) {
  std::size_t pos = 0;
  while (pos < s.size()) {
    std::size_t next = pos;
    if (!text::is_white_space(text::decode_utf8(s, next))) break;
    pos = next;
  }
  return pos;
}

std::size_t trailing_space_bytes(std::string_view s) {
  std::size_t end = s.size();
  while (end > 0) {
    std::size_t prev = end;
    if (!text::is_white_space(text::decode_utf8_backward(s, prev))) break;
    end = prev;
  }
  return s.size() - end;
}

// Full lowercase with the Final_Sigma condition, code point by code point.
std::string reference_lower(std::string_view s) {
  const std::vector<char32_t> cps = decode(s);
  std::vector<char32_t> out;
  for (std::size_t i = 0; i < cps.size(); ++i) {
    if (cps[i] != 0x03A3) {
      char32_t mapped[3];
      const std::size_t n = text::lower_full(cps[i], mapped);
      out.insert(out.end(), mapped, mapped + n);
      continue;
    }
    std::size_t before = i;
    while (before > 0 && text::is_case_ignorable(cps[before - 1])) --before;
    std::size_t after = i + 1;
    while (after < cps.size() && text::is_case_ignorable(cps[after])) ++after;
    const bool final = before > 0 && text::is_cased(cps[before - 1]) &&
                       (after == cps.size() || !text::is_cased(cps[after]));
    out.push_back(final ? 0x03C2 : 0x03C3);
  }
  return encode(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  marlune::fuzz::FuzzInput in(data, size);
  const std::size_t pos = in.u16();
  const std::string s = in.text();
  const std::string detail = "text " + quoted(s);

  // Decoding, forward and backward, and encoding round-trip.
  const std::vector<char32_t> cps = decode(s);
  FUZZ_CHECK(encode(cps) == s, detail);
  FUZZ_CHECK(text::char_count(s) == cps.size(), detail);
  std::vector<char32_t> backward;
  for (std::size_t end = s.size(); end > 0;)
    backward.insert(backward.begin(), text::decode_utf8_backward(s, end));
  FUZZ_CHECK(backward == cps, detail);
  bool ascii = true;
  for (const char c : s) ascii &= static_cast<unsigned char>(c) < 0x80;
  FUZZ_CHECK(text::is_ascii(s) == ascii, detail);

  // Character boundaries.
  const std::size_t floor = text::floor_char_boundary(s, pos);
  FUZZ_CHECK(floor <= s.size() && floor <= pos, detail + " pos " + std::to_string(pos));
  FUZZ_CHECK(floor == s.size() || !text::is_continuation_byte(static_cast<unsigned char>(s[floor])),
             detail);
  FUZZ_CHECK(
      pos >= s.size() || pos - floor < text::sequence_length(static_cast<unsigned char>(s[floor])),
      detail);
  const std::size_t chars = pos % (cps.size() + 2);
  std::string prefix;
  for (std::size_t i = 0; i < std::min(chars, cps.size()); ++i) text::append_utf8(prefix, cps[i]);
  FUZZ_CHECK(text::prefix_bytes_for_chars(s, chars) == prefix.size(), detail);

  // Lines: splitting, the reusing form, joining and counting.
  const std::vector<std::string_view> lines = text::split_lines(s);
  const std::vector<std::string> expected_lines = reference_lines(s);
  FUZZ_CHECK(std::vector<std::string>(lines.begin(), lines.end()) == expected_lines, detail);
  std::string joined;
  for (std::size_t i = 0; i < lines.size(); ++i) joined.append(i ? "\n" : "").append(lines[i]);
  FUZZ_CHECK(text::join_lines(lines) == joined, detail);
  std::string appended = "x";
  text::append_joined(appended, lines);
  FUZZ_CHECK(appended == "x" + joined, detail);
  FUZZ_CHECK(
      text::count_newlines(s) == static_cast<std::size_t>(std::count(s.begin(), s.end(), '\n')),
      detail);

  // Trimming yields views of the same text with exactly the White_Space ends removed.
  const std::size_t lead = leading_space_bytes(s);
  const std::size_t trail = lead == s.size() ? 0 : trailing_space_bytes(s);
  const std::string_view start_trimmed = text::trim_start(s);
  const std::string_view end_trimmed = text::trim_end(s);
  const std::string_view trimmed = text::trim(s);
  FUZZ_CHECK(start_trimmed.data() == s.data() + lead && start_trimmed.size() == s.size() - lead,
             detail);
  FUZZ_CHECK(end_trimmed.data() == s.data() &&
                 end_trimmed.size() == (lead == s.size() ? 0 : s.size() - trail),
             detail);
  FUZZ_CHECK(trimmed == std::string_view(s).substr(lead, s.size() - lead - trail), detail);
  FUZZ_CHECK(trimmed.empty() || trimmed.data() == s.data() + lead, detail);
  FUZZ_CHECK(text::is_blank(s) == (lead == s.size()), detail);
  FUZZ_CHECK(text::indent_bytes(s) == lead, detail);

  // Case mapping: the whole-string lowercase and the per-character lookups agree with the full
  // mappings they are defined by.
  FUZZ_CHECK(text::to_lower_full(s) == reference_lower(s),
             detail + " lower " + quoted(text::to_lower_full(s)));
  for (const char32_t cp : cps) {
    char32_t lower[3];
    const std::size_t n = text::lower_full(cp, lower);
    FUZZ_CHECK(n >= 1 && n <= 3, detail);
    FUZZ_CHECK(text::lower_first(cp) == lower[0], detail + " cp " + std::to_string(cp));
  }
  // Any code point, also one a text cannot hold (a surrogate), is answered from the tables
  // without reading outside them.
  const char32_t any = in.u32() % 0x110000;
  char32_t scratch[3];
  const std::size_t n = text::lower_full(any, scratch);
  FUZZ_CHECK(n >= 1 && n <= 3 && text::lower_first(any) == scratch[0], "cp " + std::to_string(any));
  (void)text::upper_first(any);
  (void)text::is_cased(any);
  (void)text::is_case_ignorable(any);
  const bool listed_space = (any >= 0x09 && any <= 0x0D) || any == 0x20 || any == 0x85 ||
                            any == 0xA0 || any == 0x1680 || (any >= 0x2000 && any <= 0x200A) ||
                            any == 0x2028 || any == 0x2029 || any == 0x202F || any == 0x205F ||
                            any == 0x3000;
  FUZZ_CHECK(text::is_white_space(any) == listed_space, "cp " + std::to_string(any));
  return 0;
}

// UTF-8 helpers shared by the engines. Every text that reaches an engine is valid UTF-8 (the
// module boundary refuses strings without a UTF-8 form), so decoding here does not validate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace marlune::text {

inline constexpr bool is_continuation_byte(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// Number of bytes of the character whose first byte is `lead`.
inline constexpr std::size_t sequence_length(unsigned char lead) {
  return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// Decodes the character that starts at byte `pos` of `s` and moves `pos` past it.
inline char32_t decode_utf8(std::string_view s, std::size_t& pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + pos;
  const unsigned char lead = p[0];
  if (lead < 0x80) {
    pos += 1;
    return lead;
  }
  if (lead < 0xE0) {
    pos += 2;
    return (char32_t(lead & 0x1F) << 6) | (p[1] & 0x3F);
  }
  if (lead < 0xF0) {
    pos += 3;
    return (char32_t(lead & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
  }
  pos += 4;
  return (char32_t(lead & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
         (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
}

// Decodes the character that ends just before byte `end` of `s` and moves `end` to its start.
inline char32_t decode_utf8_backward(std::string_view s, std::size_t& end) {
  std::size_t start = end - 1;
  while (start > 0 && is_continuation_byte(static_cast<unsigned char>(s[start]))) --start;
  std::size_t pos = start;
  const char32_t cp = decode_utf8(s, pos);
  end = start;
  return cp;
}

inline void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    const char buf[2] = {static_cast<char>(0xC0 | (cp >> 6)),
                         static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(buf, 2);
  } else if (cp < 0x10000) {
    const char buf[3] = {static_cast<char>(0xE0 | (cp >> 12)),
                         static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                         static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(buf, 3);
  } else {
    const char buf[4] = {
        static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
        static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(buf, 4);
  }
}

// True when every byte of `s` is below 0x80; checks eight bytes at a time.
inline bool is_ascii(std::string_view s) {
  const char* p = s.data();
  std::size_t n = s.size();
  std::uint64_t acc = 0;
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    acc |= word;
    p += 8;
    n -= 8;
  }
  while (n > 0) {
    acc |= static_cast<unsigned char>(*p++);
    --n;
  }
  return (acc & 0x8080808080808080ULL) == 0;
}

// Number of characters (Unicode scalar values) in `s`.
inline std::size_t char_count(std::string_view s) {
  std::size_t count = 0;
  for (const char c : s) count += !is_continuation_byte(static_cast<unsigned char>(c));
  return count;
}

// The largest character boundary of `s` that is at most `pos` (pos may exceed s.size()).
inline std::size_t floor_char_boundary(std::string_view s, std::size_t pos) {
  if (pos >= s.size()) return s.size();
  while (pos > 0 && is_continuation_byte(static_cast<unsigned char>(s[pos]))) --pos;
  return pos;
}

// Byte offset of the end of the first `chars` characters of `s` (s.size() if it has fewer).
inline std::size_t prefix_bytes_for_chars(std::string_view s, std::size_t chars) {
  std::size_t pos = 0;
  while (chars > 0 && pos < s.size()) {
    pos += sequence_length(static_cast<unsigned char>(s[pos]));
    --chars;
  }
  return pos < s.size() ? pos : s.size();
}

}  // namespace marlune::text

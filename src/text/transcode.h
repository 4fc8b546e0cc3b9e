// Conversion between UTF-8 and fixed-width code-unit arrays of one, two or four bytes per
// character (Latin-1, UCS-2 and UCS-4), the forms in which an interpreter may hold a string.
// Runs of ASCII, by far the most common case in source text, go sixteen characters at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace marlune::text {

// The most UTF-8 bytes that `units` code units of `unit_size` bytes (1, 2 or 4) can need: a
// Latin-1 character takes at most two bytes, a UCS-2 one three, a UCS-4 one four.
constexpr std::size_t utf8_capacity(std::size_t units, std::size_t unit_size) {
  return units * (unit_size == 1 ? 2 : unit_size == 2 ? 3 : 4);
}

// Returned by the encoders when the input holds a surrogate code point (U+D800 to U+DFFF),
// which has no UTF-8 form.
inline constexpr std::size_t kUnencodable = static_cast<std::size_t>(-1);

// Each encoder writes the UTF-8 form of `in[0..units)` to `out`, which must have room for
// utf8_capacity(units, sizeof *in) bytes, and returns the number of bytes written, or
// kUnencodable. UCS-4 input holds code points up to U+10FFFF.
std::size_t latin1_to_utf8(const std::uint8_t* in, std::size_t units, char* out);
std::size_t ucs2_to_utf8(const std::uint16_t* in, std::size_t units, char* out);
std::size_t ucs4_to_utf8(const std::uint32_t* in, std::size_t units, char* out);

// The narrowest fixed-width form that holds every character of a text.
enum class CharWidth { Ascii, Latin1, Ucs2, Ucs4 };

struct Utf8Shape {
  std::size_t chars = 0;  // number of characters, if the text is valid UTF-8
  CharWidth width = CharWidth::Ascii;
};

// The character count and narrowest width of `s`, read from its byte values alone: exact for
// valid UTF-8, and for anything else a guess that the decoders below then refuse.
Utf8Shape utf8_shape(std::string_view s);

// Each decoder writes the characters of `s` to `out`, which has room for exactly `chars` units,
// and returns true when `s` is valid UTF-8 of exactly `chars` characters that all fit the unit.
// Invalid means what a strict decoder refuses: stray or missing continuation bytes, overlong
// forms, surrogates and code points above U+10FFFF. On false, `out` holds garbage.
bool utf8_to_latin1(std::string_view s, std::uint8_t* out, std::size_t chars);
bool utf8_to_ucs2(std::string_view s, std::uint16_t* out, std::size_t chars);
bool utf8_to_ucs4(std::string_view s, std::uint32_t* out, std::size_t chars);

}  // namespace marlune::text

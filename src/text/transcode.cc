#include "text/transcode.h"

#include <bit>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace marlune::text {
namespace {

template <class Unit>
constexpr char32_t kLargestCode = sizeof(Unit) == 1   ? 0xFF
                                  : sizeof(Unit) == 2 ? 0xFFFF
                                                      : 0x10FFFF;

// Writes the UTF-8 form of one code point; false for a surrogate or a value past U+10FFFF.
inline bool put_utf8(char32_t cp, char*& out) {
  if (cp < 0x80) {
    *out++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    out += 2;
  } else if (cp < 0x10000) {
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    out += 3;
  } else {
    if (cp > 0x10FFFF) return false;
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    out += 4;
  }
  return true;
}

// Decodes the multi-byte sequence at p[i] (p[i] >= 0x80) strictly and moves i past it.
inline bool take_sequence(const unsigned char* p, std::size_t n, std::size_t& i, char32_t& cp) {
  const unsigned char lead = p[i];
  const auto is_tail = [](unsigned char b) { return (b & 0xC0) == 0x80; };
  if (lead < 0xC2) return false;  // a stray continuation byte, or an overlong two-byte form
  if (lead < 0xE0) {
    if (n - i < 2 || !is_tail(p[i + 1])) return false;
    cp = (char32_t(lead & 0x1F) << 6) | (p[i + 1] & 0x3F);
    i += 2;
    return true;
  }
  if (lead < 0xF0) {
    if (n - i < 3) return false;
    // E0 would be overlong below A0; ED would be a surrogate from A0.
    const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
    if (p[i + 1] < low || p[i + 1] > high || !is_tail(p[i + 2])) return false;
    cp = (char32_t(lead & 0x0F) << 12) | (char32_t(p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F);
    i += 3;
    return true;
  }
  if (lead < 0xF5) {
    if (n - i < 4) return false;
    // F0 would be overlong below 90; F4 would pass U+10FFFF from 90.
    const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
    if (p[i + 1] < low || p[i + 1] > high || !is_tail(p[i + 2]) || !is_tail(p[i + 3])) {
      return false;
    }
    cp = (char32_t(lead & 0x07) << 18) | (char32_t(p[i + 1] & 0x3F) << 12) |
         (char32_t(p[i + 2] & 0x3F) << 6) | (p[i + 3] & 0x3F);
    i += 4;
    return true;
  }
  return false;
}

#if defined(__SSE2__)

// Sixteen code units: whether all are ASCII (checked first, with as few operations as the
// width allows, since that is the common case), the units narrowed to bytes (exact for the
// ASCII ones), and a mask with bit j set when unit j is not ASCII.
template <class Unit>
struct Block;

template <>
struct Block<std::uint8_t> {
  __m128i v;
  explicit Block(const std::uint8_t* in)
      : v(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))) {}
  unsigned non_ascii() const { return static_cast<unsigned>(_mm_movemask_epi8(v)); }
  bool all_ascii() const { return non_ascii() == 0; }
  __m128i bytes() const { return v; }
};

template <>
struct Block<std::uint16_t> {
  __m128i a, b;
  explicit Block(const std::uint16_t* in)
      : a(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))),
        b(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8))) {}
  static __m128i is_ascii(__m128i x) {
    return _mm_cmpeq_epi16(_mm_and_si128(x, _mm_set1_epi16(static_cast<short>(0xFF80))),
                           _mm_setzero_si128());
  }
  bool all_ascii() const { return _mm_movemask_epi8(is_ascii(_mm_or_si128(a, b))) == 0xFFFF; }
  unsigned non_ascii() const {
    const __m128i ascii = _mm_packs_epi16(is_ascii(a), is_ascii(b));
    return ~static_cast<unsigned>(_mm_movemask_epi8(ascii)) & 0xFFFF;
  }
  __m128i bytes() const { return _mm_packus_epi16(a, b); }
};

template <>
struct Block<std::uint32_t> {
  __m128i a, b, c, d;
  explicit Block(const std::uint32_t* in)
      : a(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))),
        b(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4))),
        c(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8))),
        d(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12))) {}
  static __m128i is_ascii(__m128i x) {
    return _mm_cmpeq_epi32(_mm_and_si128(x, _mm_set1_epi32(static_cast<int>(0xFFFFFF80))),
                           _mm_setzero_si128());
  }
  bool all_ascii() const {
    const __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
    return _mm_movemask_epi8(is_ascii(any)) == 0xFFFF;
  }
  unsigned non_ascii() const {
    const __m128i ascii = _mm_packs_epi16(_mm_packs_epi32(is_ascii(a), is_ascii(b)),
                                          _mm_packs_epi32(is_ascii(c), is_ascii(d)));
    return ~static_cast<unsigned>(_mm_movemask_epi8(ascii)) & 0xFFFF;
  }
  // Signed saturation keeps ASCII values as they are; the others turn to garbage.
  __m128i bytes() const { return _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)); }
};

// Widens sixteen bytes to sixteen code units at `out`.
template <class Unit>
inline void store_widened(Unit* out, __m128i v) {
  const __m128i zero = _mm_setzero_si128();
  auto* o = reinterpret_cast<__m128i*>(out);
  if constexpr (sizeof(Unit) == 1) {
    _mm_storeu_si128(o, v);
  } else {
    const __m128i low = _mm_unpacklo_epi8(v, zero);
    const __m128i high = _mm_unpackhi_epi8(v, zero);
    if constexpr (sizeof(Unit) == 2) {
      _mm_storeu_si128(o, low);
      _mm_storeu_si128(o + 1, high);
    } else {
      _mm_storeu_si128(o, _mm_unpacklo_epi16(low, zero));
      _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(low, zero));
      _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(high, zero));
      _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(high, zero));
    }
  }
}

#endif  // __SSE2__

template <class Unit>
std::size_t encode(const Unit* in, std::size_t units, char* out) {
  char* const start = out;
  std::size_t i = 0;
#if defined(__SSE2__)
  // Before block i at most utf8_capacity(i) bytes are written, so the 16-byte store always
  // lands inside the capacity the caller provides.
  for (; i + 16 <= units; i += 16) {
    // Long ASCII runs first, two blocks per step.
    for (; i + 48 <= units; i += 32, out += 32) {
      const Block<Unit> first(in + i), second(in + i + 16);
      if (!first.all_ascii() || !second.all_ascii()) break;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), first.bytes());
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), second.bytes());
    }
    const Block<Unit> block(in + i);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block.bytes());
    if (block.all_ascii()) {
      out += 16;
      continue;
    }
    // The ASCII units before the first other one are already in place; the rest of the block
    // goes one character at a time, over what the store left.
    const auto ascii_prefix = static_cast<unsigned>(std::countr_zero(block.non_ascii()));
    out += ascii_prefix;
    for (std::size_t j = i + ascii_prefix; j < i + 16; ++j) {
      if (!put_utf8(in[j], out)) return kUnencodable;
    }
  }
#endif
  for (; i < units; ++i) {
    if (!put_utf8(in[i], out)) return kUnencodable;
  }
  return static_cast<std::size_t>(out - start);
}

template <class Unit>
bool decode(std::string_view s, Unit* out, std::size_t chars) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  std::size_t o = 0;
  char32_t cp = 0;
#if defined(__SSE2__)
  while (n - i >= 16 && chars - o >= 16) {
    // Long ASCII runs first, two blocks per step.
    for (; n - i >= 32 && chars - o >= 32; i += 32, o += 32) {
      const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
      if (_mm_movemask_epi8(_mm_or_si128(first, second)) != 0) break;
      store_widened(out + o, first);
      store_widened(out + o + 16, second);
    }
    if (n - i < 16 || chars - o < 16) break;
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const auto non_ascii = static_cast<unsigned>(_mm_movemask_epi8(v));
    store_widened(out + o, v);
    if (non_ascii == 0) {
      i += 16;
      o += 16;
      continue;
    }
    const auto ascii_prefix = static_cast<std::size_t>(std::countr_zero(non_ascii));
    i += ascii_prefix;
    o += ascii_prefix;
    // The run of multi-byte characters that starts here, up to the next ASCII byte.
    do {
      if (o == chars || !take_sequence(p, n, i, cp) || cp > kLargestCode<Unit>) return false;
      out[o++] = static_cast<Unit>(cp);
    } while (i < n && p[i] >= 0x80);
  }
#endif
  while (i < n) {
    if (o == chars) return false;
    if (p[i] < 0x80) {
      out[o++] = p[i++];
      continue;
    }
    if (!take_sequence(p, n, i, cp) || cp > kLargestCode<Unit>) return false;
    out[o++] = static_cast<Unit>(cp);
  }
  return o == chars;
}

CharWidth width_of_largest_byte(unsigned char largest) {
  // Lead bytes C2 and C3 start U+0080 to U+00FF; C4 to EF start U+0100 to U+FFFF.
  if (largest < 0x80) return CharWidth::Ascii;
  if (largest < 0xC4) return CharWidth::Latin1;
  if (largest < 0xF0) return CharWidth::Ucs2;
  return CharWidth::Ucs4;
}

}  // namespace

std::size_t latin1_to_utf8(const std::uint8_t* in, std::size_t units, char* out) {
  return encode(in, units, out);
}
std::size_t ucs2_to_utf8(const std::uint16_t* in, std::size_t units, char* out) {
  return encode(in, units, out);
}
std::size_t ucs4_to_utf8(const std::uint32_t* in, std::size_t units, char* out) {
  return encode(in, units, out);
}

Utf8Shape utf8_shape(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  std::size_t continuation = 0;
  unsigned char largest = 0;
#if defined(__SSE2__)
  // Continuation bytes (80 to BF) are the signed bytes below -64. Their per-lane counts are
  // gathered in bytes for at most 255 blocks at a time, then summed.
  const __m128i below = _mm_set1_epi8(-64);
  __m128i largest_lanes = _mm_setzero_si128();
  while (n - i >= 16) {
    __m128i counts = _mm_setzero_si128();
    int round = 0;
    for (; round < 254 && n - i >= 32; round += 2, i += 32) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
      counts =
          _mm_sub_epi8(counts, _mm_add_epi8(_mm_cmplt_epi8(v, below), _mm_cmplt_epi8(w, below)));
      largest_lanes = _mm_max_epu8(largest_lanes, _mm_max_epu8(v, w));
    }
    for (; round < 255 && n - i >= 16; ++round, i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      counts = _mm_sub_epi8(counts, _mm_cmplt_epi8(v, below));
      largest_lanes = _mm_max_epu8(largest_lanes, v);
    }
    const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    continuation += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                    static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
  }
  alignas(16) unsigned char lanes[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), largest_lanes);
  for (const unsigned char lane : lanes) largest = lane > largest ? lane : largest;
#endif
  for (; i < n; ++i) {
    continuation += (p[i] & 0xC0) == 0x80;
    largest = p[i] > largest ? p[i] : largest;
  }
  return {n - continuation, width_of_largest_byte(largest)};
}

bool utf8_to_latin1(std::string_view s, std::uint8_t* out, std::size_t chars) {
  return decode(s, out, chars);
}
bool utf8_to_ucs2(std::string_view s, std::uint16_t* out, std::size_t chars) {
  return decode(s, out, chars);
}
bool utf8_to_ucs4(std::string_view s, std::uint32_t* out, std::size_t chars) {
  return decode(s, out, chars);
}

}  // namespace marlune::text

#include "text/transcode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace marlune::text {
namespace {

// ---- Plain references, one code point at a time ----

std::optional<std::string> reference_encode(const std::vector<char32_t>& cps) {
  std::string out;
  for (const char32_t cp : cps) {
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return std::nullopt;
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

// Strict decoding by the definition: the length from the lead byte, continuation bytes after
// it, and the value in the range that length is for (no overlong forms), never a surrogate.
std::optional<std::vector<char32_t>> reference_decode(std::string_view s) {
  std::vector<char32_t> out;
  std::size_t i = 0;
  while (i < s.size()) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t length;
    char32_t cp;
    if (lead < 0x80) {
      length = 1, cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, cp = lead & 0x07;
    } else {
      return std::nullopt;
    }
    if (s.size() - i < length) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
      const auto byte = static_cast<unsigned char>(s[i + k]);
      if ((byte & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (byte & 0x3F);
    }
    const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < smallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return std::nullopt;
    }
    out.push_back(cp);
    i += length;
  }
  return out;
}

CharWidth reference_width(const std::vector<char32_t>& cps) {
  char32_t largest = 0;
  for (const char32_t cp : cps) largest = cp > largest ? cp : largest;
  return largest < 0x80      ? CharWidth::Ascii
         : largest < 0x100   ? CharWidth::Latin1
         : largest < 0x10000 ? CharWidth::Ucs2
                             : CharWidth::Ucs4;
}

// ---- Calls with buffers of exactly the stated size, so that the sanitizer sees any overrun ----

template <class Unit>
std::optional<std::string> encode(const std::vector<char32_t>& cps, std::size_t offset = 0) {
  // `offset` leading units shift the input off its allocation's alignment.
  auto in = std::make_unique<Unit[]>(offset + cps.size());
  for (std::size_t i = 0; i < cps.size(); ++i) in[offset + i] = static_cast<Unit>(cps[i]);
  const std::size_t capacity = utf8_capacity(cps.size(), sizeof(Unit));
  auto out = std::make_unique<char[]>(capacity);
  std::size_t size;
  if constexpr (sizeof(Unit) == 1) {
    size = latin1_to_utf8(in.get() + offset, cps.size(), out.get());
  } else if constexpr (sizeof(Unit) == 2) {
    size = ucs2_to_utf8(in.get() + offset, cps.size(), out.get());
  } else {
    size = ucs4_to_utf8(in.get() + offset, cps.size(), out.get());
  }
  if (size == kUnencodable) return std::nullopt;
  EXPECT_LE(size, capacity);
  return std::string(out.get(), size);
}

template <class Unit>
std::optional<std::vector<char32_t>> decode(std::string_view s, std::size_t chars) {
  auto out = std::make_unique<Unit[]>(chars);
  bool ok;
  if constexpr (sizeof(Unit) == 1) {
    ok = utf8_to_latin1(s, out.get(), chars);
  } else if constexpr (sizeof(Unit) == 2) {
    ok = utf8_to_ucs2(s, out.get(), chars);
  } else {
    ok = utf8_to_ucs4(s, out.get(), chars);
  }
  if (!ok) return std::nullopt;
  return std::vector<char32_t>(out.get(), out.get() + chars);
}

// ---- Random texts: mostly ASCII with scattered wider characters, or dense wide text ----

char32_t random_code_point(std::mt19937& rng, char32_t largest, int ascii_percent) {
  std::uniform_int_distribution<int> percent(0, 99);
  if (largest < 0x80 || percent(rng) < ascii_percent) {
    return std::uniform_int_distribution<char32_t>(0, 0x7F)(rng);
  }
  // Favour the edges of each encoded length, where the off-by-one faults live.
  static constexpr char32_t edges[] = {0x80,   0xFF,   0x100,  0x7FF,   0x800,    0xD7FF,
                                       0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x10FFFF, 0x1F600};
  char32_t cp;
  do {
    cp = percent(rng) < 30 ? edges[std::uniform_int_distribution<int>(0, 11)(rng)]
                           : std::uniform_int_distribution<char32_t>(0x80, largest)(rng);
  } while (cp > largest || (cp >= 0xD800 && cp <= 0xDFFF));
  return cp;
}

std::vector<char32_t> random_text(std::mt19937& rng, char32_t largest) {
  static constexpr int ascii_percents[] = {100, 99, 90, 50, 0};
  const int ascii_percent = ascii_percents[std::uniform_int_distribution<int>(0, 4)(rng)];
  const std::size_t size = std::uniform_int_distribution<std::size_t>(0, 200)(rng);
  std::vector<char32_t> cps(size);
  for (char32_t& cp : cps) cp = random_code_point(rng, largest, ascii_percent);
  return cps;
}

template <class Unit>
void check_encoder_against_reference(char32_t largest, unsigned seed) {
  std::mt19937 rng(seed);
  for (int round = 0; round < 3000; ++round) {
    std::vector<char32_t> cps = random_text(rng, largest);
    const bool with_surrogate = largest > 0xFF && !cps.empty() && round % 5 == 0;
    if (with_surrogate) {
      cps[std::uniform_int_distribution<std::size_t>(0, cps.size() - 1)(rng)] =
          std::uniform_int_distribution<char32_t>(0xD800, 0xDFFF)(rng);
    }
    const std::size_t offset = static_cast<std::size_t>(round % 3);
    ASSERT_EQ(encode<Unit>(cps, offset), reference_encode(cps)) << "round " << round;
  }
}

TEST(EncodeUtf8, Latin1MatchesReference) {
  check_encoder_against_reference<std::uint8_t>(0xFF, 1);
}
TEST(EncodeUtf8, Ucs2MatchesReferenceAndRefusesSurrogates) {
  check_encoder_against_reference<std::uint16_t>(0xFFFF, 2);
}
TEST(EncodeUtf8, Ucs4MatchesReferenceAndRefusesSurrogates) {
  check_encoder_against_reference<std::uint32_t>(0x10FFFF, 3);
}

TEST(EncodeUtf8, RefusesASurrogateAtEveryPositionOfABlock) {
  for (std::size_t at = 0; at < 40; ++at) {
    std::vector<char32_t> cps(40, 'a');
    cps[at] = 0xDC00;
    EXPECT_EQ(encode<std::uint16_t>(cps), std::nullopt) << at;
    cps[at] = 0xD83D;
    EXPECT_EQ(encode<std::uint32_t>(cps), std::nullopt) << at;
  }
}

TEST(EncodeUtf8, FillsTheWorstCaseCapacityExactly) {
  // Every character at its widest for the unit: the buffer must be just big enough.
  EXPECT_EQ(encode<std::uint8_t>(std::vector<char32_t>(37, 0xFF))->size(), 74u);
  EXPECT_EQ(encode<std::uint16_t>(std::vector<char32_t>(37, 0xFFFF))->size(), 111u);
  EXPECT_EQ(encode<std::uint32_t>(std::vector<char32_t>(37, 0x10FFFF))->size(), 148u);
}

TEST(Utf8Shape, CountsCharactersAndFindsTheNarrowestWidth) {
  std::mt19937 rng(4);
  static constexpr char32_t largest[] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};
  for (int round = 0; round < 4000; ++round) {
    const std::vector<char32_t> cps = random_text(rng, largest[round % 4]);
    const std::string utf8 = *reference_encode(cps);
    const Utf8Shape shape = utf8_shape(utf8);
    ASSERT_EQ(shape.chars, cps.size()) << round;
    ASSERT_EQ(shape.width, reference_width(cps)) << round;
  }
  EXPECT_EQ(utf8_shape("").chars, 0u);
  EXPECT_EQ(utf8_shape(std::string(300 * 16, '\xC3')).width, CharWidth::Latin1);
  EXPECT_EQ(utf8_shape(std::string(300 * 16, '\x80')).chars, 0u);  // past 255 rounds of counts
}

template <class Unit>
void check_decoder_on_valid_text(unsigned seed) {
  std::mt19937 rng(seed);
  static constexpr char32_t largest[] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};
  for (int round = 0; round < 4000; ++round) {
    const std::vector<char32_t> cps = random_text(rng, largest[round % 4]);
    const std::string utf8 = *reference_encode(cps);
    const bool fits = reference_width(cps) <= (sizeof(Unit) == 1   ? CharWidth::Latin1
                                               : sizeof(Unit) == 2 ? CharWidth::Ucs2
                                                                   : CharWidth::Ucs4);
    ASSERT_EQ(decode<Unit>(utf8, cps.size()), fits ? std::optional(cps) : std::nullopt) << round;
    // A wrong character count is refused whichever way it is off.
    ASSERT_EQ(decode<Unit>(utf8, cps.size() + 1), std::nullopt) << round;
    if (!cps.empty()) {
      ASSERT_EQ(decode<Unit>(utf8, cps.size() - 1), std::nullopt) << round;
    }
  }
}

TEST(DecodeUtf8, Latin1RoundTripsAndRefusesWiderText) {
  check_decoder_on_valid_text<std::uint8_t>(5);
}
TEST(DecodeUtf8, Ucs2RoundTripsAndRefusesWiderText) {
  check_decoder_on_valid_text<std::uint16_t>(6);
}
TEST(DecodeUtf8, Ucs4RoundTrips) {
  check_decoder_on_valid_text<std::uint32_t>(7);
}

TEST(DecodeUtf8, AgreesWithTheReferenceOnDamagedText) {
  std::mt19937 rng(8);
  for (int round = 0; round < 20000; ++round) {
    std::string utf8 = *reference_encode(random_text(rng, 0x10FFFF));
    if (utf8.empty()) continue;
    // Overwrite, insert or drop a byte, or cut the text short.
    const std::size_t at = std::uniform_int_distribution<std::size_t>(0, utf8.size() - 1)(rng);
    const auto byte = static_cast<char>(std::uniform_int_distribution<int>(0x80, 0xFF)(rng));
    switch (round % 4) {
      case 0:
        utf8[at] = byte;
        break;
      case 1:
        utf8.insert(utf8.begin() + static_cast<std::ptrdiff_t>(at), byte);
        break;
      case 2:
        utf8.erase(at, 1);
        break;
      default:
        utf8.resize(at);
    }
    const auto expected = reference_decode(utf8);
    // The decoder is handed the count that utf8_shape reports, as its callers do.
    const std::size_t chars = utf8_shape(utf8).chars;
    const bool valid = expected && expected->size() == chars;
    ASSERT_EQ(decode<std::uint32_t>(utf8, chars), valid ? expected : std::nullopt) << round;
  }
}

TEST(DecodeUtf8, RefusesEveryMalformedForm) {
  const std::string bad[] = {
      "\x80",              // a continuation byte alone
      "\xC0\xAF",          // overlong two-byte forms
      "\xC1\xBF",          //
      "\xE0\x9F\xBF",      // overlong three-byte form
      "\xED\xA0\x80",      // a surrogate, U+D800
      "\xED\xBF\xBF",      // U+DFFF
      "\xF0\x8F\xBF\xBF",  // overlong four-byte form
      "\xF4\x90\x80\x80",  // past U+10FFFF
      "\xF5\x80\x80\x80",  // lead bytes that never occur
      "\xFF",              //
      "\xE2\x82",          // cut short
      "\xC3\x28",          // a lead byte without its continuation
  };
  for (const std::string& form : bad) {
    // Alone, after a long ASCII run (the vector path), and followed by one.
    for (const std::string& text :
         {form, std::string(40, 'a') + form, form + std::string(40, 'a')}) {
      EXPECT_EQ(decode<std::uint32_t>(text, utf8_shape(text).chars), std::nullopt) << text;
    }
  }
  // The edges of the valid ranges pass.
  EXPECT_EQ(decode<std::uint32_t>("\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF", 3),
            (std::vector<char32_t>{0xD7FF, 0xE000, 0x10FFFF}));
}

}  // namespace
}  // namespace marlune::text

#include "text/unicode_data.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "text/case_mapping.h"
#include "text/unicode_tables.h"
#include "text/utf8.h"

namespace marlune::text {
namespace {

using Mapping = std::u32string;

Mapping lower_of(char32_t cp) {
  char32_t out[3];
  return Mapping(out, lower_full(cp, out));
}

// The full uppercase mapping, straight from the tables: the text library offers only its first
// code point.
Mapping upper_of(char32_t cp) {
  char32_t out[3];
  return Mapping(
      out, unicode_tables::full_mapping(unicode_tables::kUpperMulti, cp, upper_first(cp), out));
}

std::string code_point_name(char32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp));
  return buf;
}

std::string utf8(const Mapping& cps) {
  std::string out;
  for (const char32_t cp : cps) append_utf8(out, cp);
  return out;
}

TEST(WhiteSpace, IsExactlyTheTwentyFiveCodePoints) {
  const std::set<char32_t> members = {
      0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680,
      0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
      0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
  };
  ASSERT_EQ(members.size(), 25u);
  for (char32_t cp = 0; cp <= 0x110000; ++cp) {
    ASSERT_EQ(is_white_space(cp), members.count(cp) == 1) << code_point_name(cp);
  }
}

TEST(WhiteSpace, ExcludesLookAlikes) {
  // Zero width space, the information separators that isspace() accepts, the Mongolian vowel
  // separator (White_Space until Unicode 6.3) and the byte order mark.
  for (const char32_t cp : {0x200B, 0x001C, 0x001D, 0x001E, 0x001F, 0x180E, 0xFEFF}) {
    EXPECT_FALSE(is_white_space(cp)) << code_point_name(cp);
  }
}

struct CaseRow {
  char32_t cp;
  Mapping lower;
  Mapping upper;
};

void PrintTo(const CaseRow& row, std::ostream* os) {
  *os << code_point_name(row.cp);
}

class KnownMappings : public testing::TestWithParam<CaseRow> {};

TEST_P(KnownMappings, FullAndFirstAgree) {
  const CaseRow& row = GetParam();
  EXPECT_EQ(lower_of(row.cp), row.lower);
  EXPECT_EQ(upper_of(row.cp), row.upper);
  EXPECT_EQ(lower_first(row.cp), row.lower[0]);
  EXPECT_EQ(upper_first(row.cp), row.upper[0]);
}

INSTANTIATE_TEST_SUITE_P(
    UnicodeData, KnownMappings,
    testing::Values(CaseRow{U'A', U"a", U"A"}, CaseRow{U'z', U"z", U"Z"}, CaseRow{U'@', U"@", U"@"},
                    CaseRow{U'[', U"[", U"["}, CaseRow{U'`', U"`", U"`"}, CaseRow{U'{', U"{", U"{"},
                    CaseRow{0x0130, U"i\u0307", U"\u0130"},  // dotted capital I: two code points
                    CaseRow{0x00DF, U"\u00DF", U"SS"},       // sharp s
                    CaseRow{0x1E9E, U"\u00DF", U"\u1E9E"},   // capital sharp s
                    CaseRow{0x212A, U"k", U"\u212A"},        // Kelvin sign
                    CaseRow{0x01C5, U"\u01C6", U"\u01C4"},   // title-case Dz with caron
                    CaseRow{0x0149, U"\u0149", U"\u02BCN"},  // n preceded by apostrophe
                    CaseRow{0x0390, U"\u0390", U"\u0399\u0308\u0301"},  // three code points
                    CaseRow{0x1F80, U"\u1F80", U"\u1F08\u0399"},        // with ypogegrammeni
                    CaseRow{0x1F88, U"\u1F80", U"\u1F08\u0399"},        // with prosgegrammeni
                    CaseRow{0xFB00, U"\uFB00", U"FF"},                  // ligature ff
                    CaseRow{0x03A3, U"\u03C3", U"\u03A3"},              // sigma out of context
                    CaseRow{0x03C2, U"\u03C2", U"\u03A3"},              // final sigma
                    CaseRow{0x0345, U"\u0345", U"\u0399"},              // combining ypogegrammeni
                    CaseRow{0x13A0, U"\uAB70", U"\u13A0"},           // Cherokee: the largest delta
                    CaseRow{0x1E900, U"\U0001E922", U"\U0001E900"},  // Adlam, the last cased script
                    CaseRow{0x1E943, U"\U0001E943", U"\U0001E921"},
                    CaseRow{0xE0041, U"\U000E0041", U"\U000E0041"},
                    CaseRow{0x10FFFF, U"\U0010FFFF", U"\U0010FFFF"},
                    CaseRow{0x110000, Mapping(1, 0x110000), Mapping(1, 0x110000)}));

struct PropertyRow {
  char32_t cp;
  bool cased;
  bool case_ignorable;
};

void PrintTo(const PropertyRow& row, std::ostream* os) {
  *os << code_point_name(row.cp);
}

class CaseProperties : public testing::TestWithParam<PropertyRow> {};

TEST_P(CaseProperties, MatchTheDatabase) {
  const PropertyRow& row = GetParam();
  EXPECT_EQ(is_cased(row.cp), row.cased) << code_point_name(row.cp);
  EXPECT_EQ(is_case_ignorable(row.cp), row.case_ignorable) << code_point_name(row.cp);
}

INSTANTIATE_TEST_SUITE_P(
    UnicodeData, CaseProperties,
    testing::Values(PropertyRow{U'A', true, false}, PropertyRow{U'1', false, false},
                    PropertyRow{U' ', false, false},
                    PropertyRow{U'\'', false, true},   // Single_Quote
                    PropertyRow{U'.', false, true},    // MidNumLet
                    PropertyRow{U':', false, true},    // MidLetter
                    PropertyRow{U'^', false, true},    // Sk
                    PropertyRow{0x00AA, true, false},  // Other_Lowercase
                    PropertyRow{0x00B7, false, true}, PropertyRow{0x01C5, true, false},
                    PropertyRow{0x02B0, true, true},  // modifier letter
                    PropertyRow{0x0301, false, true}, PropertyRow{0x0345, true, true},
                    PropertyRow{0x2160, true, false},  // Roman numeral
                    PropertyRow{0x1E943, true, false},
                    PropertyRow{0x1E944, false, true},  // Adlam alif lengthener
                    PropertyRow{0xE0001, false, true},  // language tag
                    PropertyRow{0xE01EF, false, true}, PropertyRow{0xE01F0, false, false},
                    PropertyRow{0x110000, false, false}));

struct LowerRow {
  std::string text;
  std::string lowered;
};

void PrintTo(const LowerRow& row, std::ostream* os) {
  *os << '"' << row.text << '"';
}

class ToLowerFull : public testing::TestWithParam<LowerRow> {};

TEST_P(ToLowerFull, AppliesFullMappingsAndFinalSigma) {
  EXPECT_EQ(to_lower_full(GetParam().text), GetParam().lowered);
}

INSTANTIATE_TEST_SUITE_P(
    CaseMapping, ToLowerFull,
    testing::Values(LowerRow{"", ""}, LowerRow{"Hello, World: 42", "hello, world: 42"},
                    LowerRow{"\u0130", "i\u0307"},               // the string grows
                    LowerRow{"\u00C0B\u023A", "\u00E0b\u2C65"},  // 2 bytes lower to 3
                    LowerRow{"\u03A3", "\u03C3"},                // nothing cased before
                    LowerRow{"\u0391\u03A3", "\u03B1\u03C2"},
                    LowerRow{"\u0391\u03A3 \u0392", "\u03B1\u03C2 \u03B2"},
                    LowerRow{"\u0391\u03A3\u0392", "\u03B1\u03C3\u03B2"},  // cased after
                    LowerRow{"\u0391'\u03A3", "\u03B1'\u03C2"},            // ignorable before
                    LowerRow{"\u0391\u03A3'", "\u03B1\u03C2'"},
                    LowerRow{"\u0391\u03A3\u00B7\u0301\u0392", "\u03B1\u03C3\u00B7\u0301\u03B2"},
                    LowerRow{"\u0391\u03A3\u03A3", "\u03B1\u03C3\u03C2"},
                    LowerRow{"1\u03A3", "1\u03C3"}, LowerRow{"A\u03A3", "a\u03C2"},
                    LowerRow{"\u0130\u03A3", "i\u0307\u03C2"},
                    // Cased and case-ignorable at once: skipped, not taken as the cased letter.
                    LowerRow{"\u02B0\u03A3", "\u02B0\u03C3"},
                    LowerRow{"\u0391\u03A3\u02B0", "\u03B1\u03C2\u02B0"},
                    LowerRow{"\u039F\u0394\u039F\u03A3 STRASSE",
                             "\u03BF\u03B4\u03BF\u03C2 strasse"}));

// The plain definition, code point by code point, to check the byte-level walk against.
std::string reference_lower(std::string_view text) {
  std::vector<char32_t> cps;
  for (std::size_t pos = 0; pos < text.size();) cps.push_back(decode_utf8(text, pos));
  Mapping out;
  for (std::size_t i = 0; i < cps.size(); ++i) {
    if (cps[i] != 0x03A3) {
      out += lower_of(cps[i]);
      continue;
    }
    std::size_t before = i;
    while (before > 0 && is_case_ignorable(cps[before - 1])) --before;
    std::size_t after = i + 1;
    while (after < cps.size() && is_case_ignorable(cps[after])) ++after;
    const bool final =
        before > 0 && is_cased(cps[before - 1]) && (after == cps.size() || !is_cased(cps[after]));
    out += final ? U'\u03C2' : U'\u03C3';
  }
  return utf8(out);
}

TEST(ToLowerFull, AgreesWithTheReferenceOnRandomText) {
  const std::vector<char32_t> alphabet = {U'A',   U'b',   U' ',   U'\'',   U'.',   0x00B7, 0x0301,
                                          0x0345, 0x02B0, 0x0391, 0x03A3,  0x03C3, 0x03C2, 0x0130,
                                          0x00DF, 0x1E9E, 0x13A0, 0x1E900, U'1'};
  std::mt19937 rng(20240601);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> length(0, 12);
  for (int round = 0; round < 20000; ++round) {
    Mapping cps;
    for (int n = length(rng); n > 0; --n) cps.push_back(alphabet[pick(rng)]);
    const std::string text = utf8(cps);
    ASSERT_EQ(to_lower_full(text), reference_lower(text)) << text;
  }
}

}  // namespace
}  // namespace marlune::text

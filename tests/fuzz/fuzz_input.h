// Decoding of fuzz bytes into the arguments of an engine call, and the check that turns a broken
// property into a crash that libFuzzer records.
//
// An input is a sequence of fields. A text field is a two-byte little-endian length followed by
// that many bytes (fewer when the input ends first). Every text reaching an engine is valid
// UTF-8, as the module boundary guarantees, so the bytes are repaired: valid sequences stay,
// and each byte that does not start a valid sequence becomes one character from a table of
// characters the engines treat specially (multi-byte White_Space, line separators, characters
// whose case mapping changes length). A mutator flipping one high bit thus reaches them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "text/utf8.h"

namespace marlune::fuzz {

// Reports a broken property with the values involved and aborts, so that libFuzzer saves the
// input as a crash.
[[noreturn]] inline void property_failed(const char* file, int line, const char* condition,
                                         const std::string& detail) {
  std::fprintf(stderr, "%s:%d: property failed: %s\n%s\n", file, line, condition, detail.c_str());
  std::abort();
}

#define FUZZ_CHECK(condition, detail)                                                           \
  do {                                                                                          \
    if (!(condition)) ::marlune::fuzz::property_failed(__FILE__, __LINE__, #condition, detail); \
  } while (0)

// A text in a readable form for failure reports: control characters and backslashes escaped.
inline std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\x";
          out += kHex[(c >> 4) & 0xF];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

// The characters an invalid byte stands for.
inline constexpr std::string_view kSpecialCharacters[] = {
    "\xC2\xA0",          // no-break space
    "\xE3\x80\x80",      // ideographic space
    "\xC2\x85",          // next line (White_Space, not a line break for splitting)
    "\xE2\x80\xA8",      // line separator
    "\xE2\x80\x83",      // em space
    "\xC3\xA9",          // e with acute
    "\xCE\xA3",          // capital sigma (final-sigma rule)
    "\xC4\xB0",          // capital I with dot above (lowercases to two characters)
    "\xC3\x9F",          // sharp s (uppercases to two characters)
    "\xE1\xBA\x9E",      // capital sharp s
    "\xF0\x9F\x98\x80",  // a four-byte character
    "\xCC\x81",          // combining acute accent (case-ignorable)
    "\xC7\x85",          // titlecase digraph
    "\xE2\x84\xAA",      // Kelvin sign
    "\r\n",
    "\t",
};

// Appends `bytes` to `out` as valid UTF-8 by the rule above.
inline void append_repaired(std::string& out, std::string_view bytes) {
  constexpr std::size_t kSpecials = sizeof(kSpecialCharacters) / sizeof(kSpecialCharacters[0]);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char lead = p[i];
    std::size_t len = 0;
    if (lead < 0x80) {
      len = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      len = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      len = 4;
    }
    bool valid = len > 0 && i + len <= n;
    for (std::size_t k = 1; valid && k < len; ++k) valid = text::is_continuation_byte(p[i + k]);
    if (valid && len == 3) {
      // No overlong forms and no surrogates.
      valid = !(lead == 0xE0 && p[i + 1] < 0xA0) && !(lead == 0xED && p[i + 1] >= 0xA0);
    } else if (valid && len == 4) {
      valid = !(lead == 0xF0 && p[i + 1] < 0x90) && !(lead == 0xF4 && p[i + 1] >= 0x90);
    }
    if (valid) {
      out.append(bytes.substr(i, len));
      i += len;
    } else {
      out.append(kSpecialCharacters[lead % kSpecials]);
      i += 1;
    }
  }
}

inline std::string repaired(std::string_view bytes) {
  std::string out;
  append_repaired(out, bytes);
  return out;
}

// Whether `s` is valid UTF-8 without surrogates and overlong forms.
inline bool is_valid_utf8(std::string_view s) {
  return repaired(s) == s;
}

// Reads fields front to back. Reading past the end yields zeros and empty texts, so every byte
// string decodes to some call.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size)
      : data_(reinterpret_cast<const char*>(data), size) {}

  bool empty() const { return pos_ >= data_.size(); }

  std::uint8_t byte() { return empty() ? 0 : static_cast<std::uint8_t>(data_[pos_++]); }
  bool flag() { return (byte() & 1) != 0; }
  // Little-endian; the low part is read first.
  std::uint16_t u16() {
    const std::uint16_t low = byte();
    return static_cast<std::uint16_t>(low | (byte() << 8));
  }
  std::uint32_t u32() {
    const std::uint32_t low = u16();
    return low | (static_cast<std::uint32_t>(u16()) << 16);
  }

  // The raw bytes of a length-prefixed field.
  std::string_view raw() {
    const std::size_t length = u16();
    const std::size_t available = data_.size() - std::min(pos_, data_.size());
    const std::string_view out =
        data_.substr(std::min(pos_, data_.size()), std::min(length, available));
    pos_ += out.size();
    return out;
  }

  // A length-prefixed text field, repaired to valid UTF-8.
  std::string text() { return repaired(raw()); }

 private:
  std::string_view data_;
  std::size_t pos_ = 0;
};

}  // namespace marlune::fuzz

#include "text/case_mapping.h"

#include "text/unicode_data.h"
#include "text/utf8.h"

namespace marlune::text {
namespace {

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;

char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// The Final_Sigma condition for the capital sigma occupying bytes [start, end) of `text`: the
// nearest character before it that is not case-ignorable exists and is cased, and the nearest
// one after it that is not case-ignorable is absent or not cased. A character that is both
// cased and case-ignorable (U+0345, the modifier letters U+02B0...) is skipped like any other
// case-ignorable one, as str.lower() does.
//
// Each scan stops at the first character that is not case-ignorable, and a sigma is not one, so
// a run of case-ignorable characters is scanned at most twice: by the sigma before it and by
// the sigma after it. The whole lowering stays linear.
bool is_final_sigma(std::string_view text, std::size_t start, std::size_t end) {
  bool cased_before = false;
  for (std::size_t pos = start; pos > 0;) {
    const char32_t cp = decode_utf8_backward(text, pos);
    if (!is_case_ignorable(cp)) {
      cased_before = is_cased(cp);
      break;
    }
  }
  if (!cased_before) return false;
  for (std::size_t pos = end; pos < text.size();) {
    const char32_t cp = decode_utf8(text, pos);
    if (!is_case_ignorable(cp)) return !is_cased(cp);
  }
  return true;
}

}  // namespace

std::string to_lower_full(std::string_view text) {
  std::string out;
  if (is_ascii(text)) {
    out.resize(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) out[i] = ascii_lower(text[i]);
    return out;
  }
  out.reserve(text.size() + text.size() / 4);
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      out.push_back(ascii_lower(text[pos++]));
      continue;
    }
    const std::size_t start = pos;
    const char32_t cp = decode_utf8(text, pos);
    if (cp == kCapitalSigma) {
      append_utf8(out, is_final_sigma(text, start, pos) ? kFinalSigma : kSmallSigma);
      continue;
    }
    char32_t mapped[3];
    const std::size_t n = lower_full(cp, mapped);
    for (std::size_t i = 0; i < n; ++i) append_utf8(out, mapped[i]);
  }
  return out;
}

}  // namespace marlune::text

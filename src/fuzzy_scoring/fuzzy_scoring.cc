#include "fuzzy_scoring/fuzzy_scoring.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "text/case_mapping.h"
#include "text/unicode_data.h"
#include "text/utf8.h"

namespace marlune::fuzzy_scoring {
namespace {

// ---------------------------------------------------------------------------------------------
// Case mapping

// lower_first / upper_first restricted to ASCII, where they only move 'A'..'Z' and 'a'..'z'.
// ASCII never maps outside ASCII, so a string that is all ASCII needs no decoding and no call
// into the Unicode tables.
constexpr std::array<unsigned char, 128> make_ascii_table(char from, char to) {
  std::array<unsigned char, 128> table{};
  for (int c = 0; c < 128; ++c) {
    table[c] = static_cast<unsigned char>(c >= from && c <= to ? c ^ 0x20 : c);
  }
  return table;
}
constexpr auto kAsciiLower = make_ascii_table('A', 'Z');
constexpr auto kAsciiUpper = make_ascii_table('a', 'z');

inline char32_t lower_of(char32_t c) {
  return c < 0x80 ? kAsciiLower[c] : text::lower_first(c);
}
inline char32_t upper_of(char32_t c) {
  return c < 0x80 ? kAsciiUpper[c] : text::upper_first(c);
}

// The pattern decoded and lowered once: scoring only ever compares lower(pattern character).
// Short patterns live in an inline buffer so that a call allocates nothing.
class LoweredPattern {
 public:
  explicit LoweredPattern(std::string_view pattern) {
    char32_t* out = inline_.data();
    if (pattern.size() > inline_.size()) {  // at most one code point per byte
      heap_ = std::make_unique<char32_t[]>(pattern.size());
      out = heap_.get();
    }
    std::size_t pos = 0;
    while (pos < pattern.size()) out[size_++] = lower_of(text::decode_utf8(pattern, pos));
    data_ = out;
  }
  LoweredPattern(const LoweredPattern&) = delete;
  LoweredPattern& operator=(const LoweredPattern&) = delete;

  std::size_t size() const { return size_; }
  char32_t operator[](std::size_t i) const { return data_[i]; }

 private:
  std::array<char32_t, 64> inline_;
  std::unique_ptr<char32_t[]> heap_;
  const char32_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// ---------------------------------------------------------------------------------------------
// The scoring pass

// Every addition of the score wraps modulo 2^32, so the running values are kept unsigned and
// read back as signed only where they are compared.
inline std::uint32_t wrap(std::int32_t v) {
  return static_cast<std::uint32_t>(v);
}
inline std::int32_t as_signed(std::uint32_t v) {
  return static_cast<std::int32_t>(v);
}

// The next character of `s` at byte `pos`, and lower_first / upper_first of a character, for
// text known to be ASCII or not.
template <bool kAscii>
inline char32_t next_char(std::string_view s, std::size_t& pos) {
  if constexpr (kAscii) {
    return static_cast<unsigned char>(s[pos++]);
  } else {
    return text::decode_utf8(s, pos);
  }
}
template <bool kAscii>
inline char32_t lower_in(char32_t c) {
  if constexpr (kAscii) {
    return kAsciiLower[c];
  } else {
    return lower_of(c);
  }
}
template <bool kAscii>
inline char32_t upper_in(char32_t c) {
  if constexpr (kAscii) {
    return kAsciiUpper[c];
  } else {
    return upper_of(c);
  }
}

// The parameters as the pass adds them: every addition wraps modulo 2^32.
struct WrappedParams {
  explicit WrappedParams(const FuzzyMatchParams& params)
      : adj_bonus(wrap(params.adj_bonus)),
        sep_bonus(wrap(params.sep_bonus)),
        camel_bonus(wrap(params.camel_bonus)),
        lead_penalty(wrap(params.lead_penalty)),
        unmatched_penalty(wrap(params.unmatched_penalty)),
        max_lead_penalty(params.max_lead_penalty) {}
  std::uint32_t adj_bonus;
  std::uint32_t sep_bonus;
  std::uint32_t camel_bonus;
  std::uint32_t lead_penalty;
  std::uint32_t unmatched_penalty;
  std::int32_t max_lead_penalty;  // compared, never added as it is
};

// The state of the scoring pass between two characters of the string.
struct ScoreState {
  std::uint32_t score = 0;
  std::size_t pattern_index = 0;
  bool holding = false;  // whether a best letter is held
  char32_t best_lower = 0;
  std::uint32_t best_letter_score = 0;
  bool prev_matched = false;
  bool prev_lower = false;
  bool prev_separator = true;
  std::uint32_t lead_total = 0;
};

// Never the lowercase of a character, so it stands for "no character to watch for".
constexpr char32_t kNoCharacter = 0x110000;

// A run of characters that neither match the next pattern character `p` nor rematch the held
// one costs unmatched_penalty per character and leaves only the last one's case and separator
// flags behind. Such runs make up most of a string, so they are skipped in a tight loop. A
// pending pattern-repeat commit can wait until the run ends: the held bonus is then added when
// the next pattern character matches or at the end, and additions commute. Leaves `pos` at the
// first character not skipped; returns whether that is the end of the string.
template <bool kAscii>
inline bool skip_unmatched_run(ScoreState& st, bool has_next, char32_t p, std::string_view s,
                               std::size_t& pos, const WrappedParams& params) {
  const char32_t watch_next = has_next ? p : kNoCharacter;
  const char32_t watch_held = st.holding ? st.best_lower : kNoCharacter;
  std::uint32_t run = 0;  // counts modulo 2^32: k additions of x wrap to k * x
  char32_t last = 0;
  while (pos < s.size()) {
    const std::size_t at = pos;
    const char32_t c = next_char<kAscii>(s, pos);
    if (const char32_t lo = lower_in<kAscii>(c); lo == watch_next || lo == watch_held) {
      pos = at;
      break;
    }
    last = c;
    ++run;
  }
  if (run == 0) return false;
  st.score += run * params.unmatched_penalty;
  st.lead_total += run * params.lead_penalty;
  st.prev_matched = false;
  const char32_t lo = lower_in<kAscii>(last), up = upper_in<kAscii>(last);
  st.prev_lower = last == lo && lo != up;
  st.prev_separator = last == U'_' || last == U' ';
  return pos == s.size();
}

// One greedy left-to-right pass. A string character that equals (after lowering) the next
// pattern character advances the pattern and becomes the held candidate; a later equal
// character may displace the held one when its bonus is at least as large. The held bonus is
// committed when the next pattern character is reached, when the next pattern character is the
// same letter again, or at the end.
template <bool kAsciiInput>
FuzzyScore score_lowered(const LoweredPattern& pattern, std::string_view s,
                         const FuzzyMatchParams& raw_params) {
  const std::size_t n = pattern.size();
  const WrappedParams params(raw_params);
  ScoreState st;
  std::size_t pos = 0;
  while (pos < s.size()) {
    const bool has_next = st.pattern_index < n;
    const char32_t p = has_next ? pattern[st.pattern_index] : 0;
    if (skip_unmatched_run<kAsciiInput>(st, has_next, p, s, pos, params)) break;

    const char32_t c = next_char<kAsciiInput>(s, pos);
    const char32_t lo = lower_in<kAsciiInput>(c), up = upper_in<kAsciiInput>(c);
    const bool next_match = has_next && p == lo;
    const bool rematch = st.holding && st.best_lower == lo;
    const bool advanced = next_match && st.holding;
    const bool pattern_repeat = st.holding && has_next && st.best_lower == p;

    if (advanced || pattern_repeat) {
      st.score += st.best_letter_score;
      st.holding = false;
      st.best_letter_score = 0;
    }
    if (next_match || rematch) {
      std::uint32_t new_score = 0;
      if (st.pattern_index == 0) {
        st.score += wrap(std::max(as_signed(st.lead_total), params.max_lead_penalty));
      }
      if (st.prev_matched) new_score += params.adj_bonus;
      if (st.prev_separator) new_score += params.sep_bonus;
      if (st.prev_lower && c == up && lo != up) new_score += params.camel_bonus;
      if (next_match) ++st.pattern_index;
      if (as_signed(new_score) >= as_signed(st.best_letter_score)) {
        if (st.holding) st.score += params.unmatched_penalty;  // the displaced one goes unmatched
        st.holding = true;
        st.best_lower = lo;
        st.best_letter_score = new_score;
      }
      st.prev_matched = true;
    } else {
      st.score += params.unmatched_penalty;
      st.prev_matched = false;
    }
    st.prev_lower = c == lo && lo != up;
    st.prev_separator = c == U'_' || c == U' ';
    st.lead_total += params.lead_penalty;
  }
  if (st.holding) st.score += st.best_letter_score;
  return {st.pattern_index == n, as_signed(st.score)};
}

FuzzyScore score_string(const LoweredPattern& pattern, std::string_view s,
                        const FuzzyMatchParams& params) {
  return text::is_ascii(s) ? score_lowered<true>(pattern, s, params)
                           : score_lowered<false>(pattern, s, params);
}

// ---------------------------------------------------------------------------------------------
// Subsequence prefilter

// The prefilter looks at the text one segment of kSegment bytes at a time and turns it into a
// mask of positions, bit k standing for byte k of the segment.
#if defined(__SSE2__) && !defined(MARLUNE_NO_SIMD)
constexpr std::size_t kSegment = 16;
#else
constexpr std::size_t kSegment = 8;  // one 64-bit word
#endif

// The ASCII characters that lower to one pattern character: byte b is wanted when
// (b | fold) == target. With fold 0x20 and a lower-case letter as target these are both cases
// of the letter, with fold 0 just the target itself. Bytes of multi-byte UTF-8 sequences are
// >= 0x80 and never equal an ASCII target. Both bytes are repeated across a segment.
struct Needle {
  alignas(16) unsigned char fold[kSegment];
  alignas(16) unsigned char target[kSegment];
};

// The needle for pattern character `p` (already lowered); false when no ASCII character
// lowers to it.
bool needle_for(char32_t p, Needle& needle) {
  if (p >= 0x80 || kAsciiLower[p] != p) return false;  // upper-case letters lower to others
  std::memset(needle.fold, kAsciiUpper[p] != p ? 0x20 : 0, kSegment);
  std::memset(needle.target, static_cast<int>(p), kSegment);
  return true;
}

#if defined(__SSE2__) && !defined(MARLUNE_NO_SIMD)

inline __m128i load16(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Positions in the segment of the bytes `needle` wants.
inline std::uint32_t needle_positions(const unsigned char* segment, const Needle& needle) {
  const __m128i v = _mm_or_si128(load16(segment), load16(needle.fold));
  return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, load16(needle.target))));
}

// Whether any byte of the segment is >= 0x80.
inline bool has_high_byte(const unsigned char* segment) {
  return _mm_movemask_epi8(load16(segment)) != 0;
}

#else

// Bytes in memory order: byte k of the text is byte k of the word on every machine.
inline std::uint64_t load_le64(const unsigned char* p) {
  std::uint64_t w = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&w, p, 8);
  } else {
    for (int k = 7; k >= 0; --k) w = (w << 8) | p[k];
  }
  return w;
}

inline std::uint32_t needle_positions(const unsigned char* segment, const Needle& needle) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  const std::uint64_t x = (load_le64(segment) | load_le64(needle.fold)) ^ load_le64(needle.target);
  const std::uint64_t marks = ~(((x & kLow7) + kLow7) | x | kLow7);  // 0x80 in each zero byte
  return static_cast<std::uint32_t>(((marks >> 7) * 0x0102040810204080ULL) >> 56);  // gather
}

inline bool has_high_byte(const unsigned char* segment) {
  return (load_le64(segment) & 0x8080808080808080ULL) != 0;
}

#endif

// Greedy in-order search for the needles in `s`, one segment at a time: after a hit the rest
// of the segment is searched for the next needle, and a needle missing from the segment moves
// the search on to the next one. True when every needle was found. Otherwise `non_ascii` tells
// whether `s` held a byte >= 0x80 (every segment has been looked at then).
bool find_needles_in_order(std::span<const Needle> needles, std::string_view s, bool& non_ascii) {
  const auto* data = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t size = s.size();
  constexpr std::uint32_t kAll = (std::uint32_t{1} << kSegment) - 1;
  alignas(16) unsigned char padded[kSegment];
  std::size_t i = 0;
  non_ascii = false;
  for (std::size_t pos = 0; pos < size; pos += kSegment) {
    const unsigned char* segment = data + pos;
    std::uint32_t live = kAll;  // the bytes of the segment still to be searched
    if (const std::size_t rest = size - pos; rest < kSegment) {
      if (size >= kSegment) {
        // Search the last kSegment bytes of the text, skipping those already searched.
        segment = data + size - kSegment;
        live = (kAll << (kSegment - rest)) & kAll;
      } else {
        // A text shorter than a segment is copied and padded with zero bytes, which must not
        // count as hits: a needle can be NUL.
        std::memset(padded, 0, kSegment);
        std::memcpy(padded, data, size);
        segment = padded;
        live = (std::uint32_t{1} << size) - 1;
      }
    }
    for (;;) {
      const std::uint32_t hits = needle_positions(segment, needles[i]) & live;
      if (hits == 0) break;
      if (++i == needles.size()) return true;
      live &= ~(hits ^ (hits - 1));  // drop the hit and the bytes before it
    }
    non_ascii = non_ascii || has_high_byte(segment);
  }
  return false;
}

// Greedy test, on decoded code points, of whether the lowered pattern is a subsequence of the
// lowered string. This is exactly the condition under which the scoring pass matches.
bool is_lowered_subsequence(const LoweredPattern& pattern, std::string_view s) {
  std::size_t i = 0;
  std::size_t pos = 0;
  while (pos < s.size()) {
    if (lower_of(text::decode_utf8(s, pos)) == pattern[i] && ++i == pattern.size()) return true;
  }
  return false;
}

// Decides cheaply whether a candidate matches the pattern, so that only matching candidates
// are scored. It never disagrees with the scoring pass.
class MatchFilter {
 public:
  explicit MatchFilter(const LoweredPattern& pattern) : pattern_(pattern) {
    needles_.resize(pattern.size());
    for (std::size_t i = 0; ascii_ && i < pattern.size(); ++i) {
      ascii_ = needle_for(pattern[i], needles_[i]);
    }
  }

  bool matches(std::string_view candidate) const {
    if (ascii_) {
      bool non_ascii = false;
      if (find_needles_in_order(needles_, candidate, non_ascii)) return true;
      // Only a non-ASCII character can still supply what is missing (U+212A lowers to 'k').
      if (!non_ascii) return false;
    } else if (text::is_ascii(candidate)) {
      return false;  // some pattern character is not the lowercase of any ASCII character
    }
    return is_lowered_subsequence(pattern_, candidate);
  }

 private:
  const LoweredPattern& pattern_;
  bool ascii_ = true;  // every pattern character is the lowercase of some ASCII character
  std::vector<Needle> needles_;
};

// ---------------------------------------------------------------------------------------------
// Plain subsequence tests

// Whether the code points of `pattern` occur in order in `s`. Searching for a character's
// whole UTF-8 sequence from a character boundary can only stop at a character boundary (a lead
// byte is never a continuation byte), so byte search gives the code-point answer.
bool is_code_point_subsequence(std::string_view pattern, std::string_view s) {
  std::size_t from = 0;
  std::size_t pos = 0;
  while (pos < pattern.size()) {
    const std::size_t len = text::sequence_length(static_cast<unsigned char>(pattern[pos]));
    const std::size_t found =
        len == 1 ? s.find(pattern[pos], from) : s.find(pattern.substr(pos, len), from);
    if (found == std::string_view::npos) return false;
    from = found + len;
    pos += len;
  }
  return true;
}

// Case-insensitive subsequence test for two ASCII strings.
bool is_ascii_folded_subsequence(std::string_view pattern, std::string_view s) {
  const auto lower = [](char b) { return kAsciiLower[static_cast<unsigned char>(b)]; };
  std::size_t i = 0;
  for (const char c : s) {
    if (lower(c) == lower(pattern[i]) && ++i == pattern.size()) return true;
  }
  return false;
}

}  // namespace

FuzzyScore fuzzy_match(std::string_view pattern, std::string_view instring,
                       const FuzzyMatchParams& params) {
  if (pattern.empty() || instring.empty()) return {false, 0};
  const LoweredPattern lowered(pattern);
  return score_string(lowered, instring, params);
}

bool fuzzy_match_simple(std::string_view pattern, std::string_view instring, bool case_sensitive) {
  if (pattern.empty()) return true;
  if (instring.empty()) return false;
  if (case_sensitive) return is_code_point_subsequence(pattern, instring);
  if (text::is_ascii(pattern) && text::is_ascii(instring)) {
    return is_ascii_folded_subsequence(pattern, instring);
  }
  return is_code_point_subsequence(text::to_lower_full(pattern), text::to_lower_full(instring));
}

// Candidate texts are usually scattered over the heap; asking for one a few places ahead hides
// most of the memory latency of the short scans.
constexpr std::size_t kPrefetchDistance = 8;

inline void prefetch(const void* p) {
#if defined(__GNUC__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

std::vector<RankedCandidate> get_best_matches(std::string_view search_string,
                                              std::span<const std::string_view> candidates) {
  std::vector<RankedCandidate> ranked;
  if (search_string.empty()) return ranked;
  const LoweredPattern pattern(search_string);
  const MatchFilter filter(pattern);
  const FuzzyMatchParams params;
  for (std::size_t index = 0; index < candidates.size(); ++index) {
    const std::string_view candidate = candidates[index];
    if (index + kPrefetchDistance < candidates.size()) {
      prefetch(candidates[index + kPrefetchDistance].data());
    }
    if (!filter.matches(candidate)) continue;
    const FuzzyScore result = score_string(pattern, candidate, params);
    if (result.matched) ranked.push_back({index, result.score});
  }
  std::stable_sort(
      ranked.begin(), ranked.end(),
      [](const RankedCandidate& a, const RankedCandidate& b) { return a.score > b.score; });
  return ranked;
}

}  // namespace marlune::fuzzy_scoring

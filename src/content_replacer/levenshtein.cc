// Edit distance: bit-parallel dynamic programme after Myers (1999), "A fast bit-vector algorithm
// for approximate string matching based on dynamic programming", in the formulation of Hyyrö
// (2003), "A bit-vector algorithm for computing Levenshtein and Damerau edit distances".
//
// The shorter string is the pattern (rows i = 1..m), the longer the text (columns j = 1..n), and
// D[i][j] is the distance between the first i pattern characters and the first j text characters.
// One column of D is kept as bit vectors of vertical deltas: bit i-1 of Pv / Mv is set when
// D[i][j] - D[i-1][j] is +1 / -1. Each text character advances the column by a fixed number of
// word operations; Peq[c] has bit i-1 set when pattern character i equals c. Patterns longer
// than 64 characters are split into 64-row blocks that hand their bottom row's horizontal delta
// to the block below (Myers' block-based variant).
//
// The block variant only computes the blocks that meet the Ukkonen band of a bound k (the
// longer length when no bound is given, which the distance never exceeds) and follows the value
// of the final diagonal, which never decreases along it, to give up as soon as the result must
// exceed k. Cells outside the band and blocks entering it are over-estimated, never
// under-estimated, while every cell of an alignment of cost <= k is computed exactly: the result
// is exact when it is at most k and above k otherwise.
#include "content_replacer/levenshtein.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "text/lines.h"
#include "text/utf8.h"

namespace marlune::content_replacer {
namespace {

using Word = std::uint64_t;
constexpr std::size_t kWordBits = 64;
constexpr Word kHighBit = Word{1} << (kWordBits - 1);

// A multi-block pattern with more distinct characters than this keeps its match table sparse:
// a dense table would cost more to clear than the sparse one costs to read, and its size would
// no longer be linear in the pattern length.
constexpr std::size_t kMaxDenseSymbols = 0x100;
// Scratch buffers that grew beyond this are released when the call ends.
constexpr std::size_t kRetainedScratchBytes = std::size_t{1} << 20;

// ----- Common prefix and suffix -----

std::size_t common_prefix_bytes(std::string_view a, std::string_view b) {
  const std::size_t limit = std::min(a.size(), b.size());
  std::size_t i = 0;
  for (; i + 8 <= limit; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) break;
  }
  while (i < limit && a[i] == b[i]) ++i;
  return i;
}

std::size_t common_suffix_bytes(std::string_view a, std::string_view b) {
  const std::size_t limit = std::min(a.size(), b.size());
  const char* ea = a.data() + a.size();
  const char* eb = b.data() + b.size();
  std::size_t i = 0;
  for (; i + 8 <= limit; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, ea - i - 8, 8);
    std::memcpy(&y, eb - i - 8, 8);
    if (x != y) break;
  }
  while (i < limit &&
         ea[-1 - static_cast<std::ptrdiff_t>(i)] == eb[-1 - static_cast<std::ptrdiff_t>(i)])
    ++i;
  return i;
}

// Removes the longest common prefix and suffix of whole characters; they never change the distance.
// Equal bytes up to a position mean equal character boundaries up to it, so cutting both strings
// at a boundary of `a` cuts `b` at one of its own boundaries too.
void strip_common_affixes(std::string_view& a, std::string_view& b) {
  const std::size_t prefix = text::floor_char_boundary(a, common_prefix_bytes(a, b));
  a.remove_prefix(prefix);
  b.remove_prefix(prefix);
  std::size_t suffix = common_suffix_bytes(a, b);
  while (suffix > 0 && text::is_continuation_byte(static_cast<unsigned char>(a[a.size() - suffix])))
    --suffix;
  a.remove_suffix(suffix);
  b.remove_suffix(suffix);
}

// ----- Symbols -----

// Numbers the distinct code points of a pattern 1, 2, ...; 0 stands for every code point the
// pattern lacks. ASCII goes through a direct table, other code points through an
// open-addressing hash table with linear probing.
class SymbolTable {
 public:
  struct Slot {
    char32_t code_point;
    std::uint32_t id;  // 0: empty slot
  };

  // `slots.size()` is a power of two, at least 8 and at least twice the number of distinct
  // non-ASCII code points that will be inserted, so probing always reaches an empty slot.
  explicit SymbolTable(std::span<Slot> slots)
      : slots_(slots),
        mask_(slots.size() - 1),
        shift_(32 - static_cast<unsigned>(std::countr_zero(slots.size()))) {
    std::fill(std::begin(ascii_), std::end(ascii_), 0u);
    std::fill(slots.begin(), slots.end(), Slot{0, 0});
  }

  std::uint32_t insert(char32_t cp) {
    if (cp < 0x80) {
      std::uint32_t& id = ascii_[cp];
      if (id == 0) id = next_id_++;
      return id;
    }
    for (std::size_t i = home(cp);; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.id == 0) {
        slot = {cp, next_id_++};
        return slot.id;
      }
      if (slot.code_point == cp) return slot.id;
    }
  }

  std::uint32_t find(char32_t cp) const {
    if (cp < 0x80) return ascii_[cp];
    for (std::size_t i = home(cp);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.id == 0) return 0;
      if (slot.code_point == cp) return slot.id;
    }
  }

  // Ids handed out so far lie in [0, symbol_count()).
  std::uint32_t symbol_count() const { return next_id_; }

  static std::size_t slots_for(std::size_t non_ascii_chars) {
    return std::bit_ceil(std::max<std::size_t>(8, 2 * non_ascii_chars));
  }

 private:
  std::size_t home(char32_t cp) const {
    return (static_cast<std::uint32_t>(cp) * 0x9E3779B1u) >> shift_;
  }

  std::uint32_t ascii_[0x80];
  std::span<Slot> slots_;
  std::size_t mask_;
  unsigned shift_;
  std::uint32_t next_id_ = 1;
};

std::size_t count_non_ascii_chars(std::string_view s) {
  std::size_t count = 0;
  for (const char c : s) count += static_cast<unsigned char>(c) >= 0xC0;
  return count;
}

// Text cursors yield the symbols of the text, one per character, in order.
struct AsciiText {
  const unsigned char* p;
  unsigned next() { return *p++; }
};

struct Utf8Text {
  std::string_view s;
  std::size_t pos;
  const SymbolTable* symbols;
  std::uint32_t next() { return symbols->find(text::decode_utf8(s, pos)); }
};

// ----- Match tables of multi-block patterns -----

// Peq as a dense table: words consecutive blocks per symbol.
struct DensePeq {
  const Word* table;
  std::size_t words;

  struct Column {
    const Word* row;
    Word next(std::size_t block) const { return row[block]; }
  };
  Column column(std::size_t symbol, std::size_t /*first_block*/) const {
    return {table + symbol * words};
  }
};

struct SparseEntry {
  std::size_t block;
  Word mask;
};

// Peq as lists of the non-zero (block, mask) entries of each symbol, ordered by block.
struct SparsePeq {
  const SparseEntry* entries;
  const std::size_t* offsets;  // entries of symbol s: [offsets[s], offsets[s + 1])

  struct Column {
    const SparseEntry* cur;
    const SparseEntry* end;
    // Called with consecutive blocks, starting at the column's first block.
    Word next(std::size_t block) {
      if (cur != end && cur->block == block) return (cur++)->mask;
      return 0;
    }
  };
  Column column(std::size_t symbol, std::size_t first_block) const {
    const SparseEntry* begin = entries + offsets[symbol];
    const SparseEntry* end = entries + offsets[symbol + 1];
    if (first_block > 0) {
      begin =
          std::lower_bound(begin, end, first_block,
                           [](const SparseEntry& e, std::size_t block) { return e.block < block; });
    }
    return {begin, end};
  }
};

// Per-thread buffers of the multi-block paths, reused across calls.
struct Scratch {
  std::vector<Word> peq, pv, mv;
  std::vector<std::size_t> offsets, last_block;
  std::vector<std::uint32_t> pattern_ids;
  std::vector<SymbolTable::Slot> slots;
  std::vector<SparseEntry> entries;

  std::size_t bytes() const {
    return (peq.capacity() + pv.capacity() + mv.capacity()) * sizeof(Word) +
           (offsets.capacity() + last_block.capacity()) * sizeof(std::size_t) +
           pattern_ids.capacity() * sizeof(std::uint32_t) +
           slots.capacity() * sizeof(SymbolTable::Slot) + entries.capacity() * sizeof(SparseEntry);
  }
};

// Hands out this thread's scratch and drops it again after a call that made it unusually large.
class ScratchLease {
 public:
  ScratchLease() : scratch_(thread_scratch()) {}
  ~ScratchLease() {
    if (scratch_.bytes() > kRetainedScratchBytes) scratch_ = Scratch{};
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  Scratch& operator*() { return scratch_; }

 private:
  static Scratch& thread_scratch() {
    thread_local Scratch scratch;
    return scratch;
  }
  Scratch& scratch_;
};

// ----- Bit-parallel distance -----

// Pattern of 1 to 64 characters (m), text of n >= m characters. `peq(symbol)` is the match mask
// of a text symbol. With Bounded, returns k + 1 once the distance is known to exceed k.
template <bool Bounded, typename Text, typename PeqLookup>
std::size_t single_word_distance(Text text, std::size_t n, std::size_t m, const PeqLookup& peq,
                                 [[maybe_unused]] std::size_t k) {
  Word Pv = ~Word{0};
  Word Mv = 0;
  std::size_t score = m;  // D[m][j]
  const unsigned last = static_cast<unsigned>(m - 1);
  [[maybe_unused]] const std::size_t d = n - m;
  [[maybe_unused]] std::size_t diag = d;  // D[j - d][j] once j >= d: never exceeds D[m][n]
  for (std::size_t j = 1; j <= n; ++j) {
    const Word Eq = peq(text.next());
    const Word Xv = Eq | Mv;
    const Word Xh = (((Eq & Pv) + Pv) ^ Pv) | Eq;
    Word Ph = Mv | ~(Xh | Pv);
    Word Mh = Pv & Xh;
    score += static_cast<std::size_t>((Ph >> last) & 1);
    score -= static_cast<std::size_t>((Mh >> last) & 1);
    if constexpr (Bounded) {
      if (j > d) {
        // Bit i of D0 = Xh | Mv is set when D[i+1][j] = D[i][j-1] (a free diagonal step).
        diag += 1 - static_cast<std::size_t>(((Xh | Mv) >> (j - 1 - d)) & 1);
        if (diag > k) return k + 1;
      }
    }
    Ph = (Ph << 1) | 1;  // D[0][j] - D[0][j-1] = +1
    Mh <<= 1;
    Pv = Mh | ~(Xv | Ph);
    Mv = Ph & Xv;
  }
  return score;
}

// Pattern of more than 64 characters (m), text of n >= m characters, in ceil(m / 64) blocks.
// Returns k + 1 once the distance is known to exceed k; k = n asks for the exact distance, since
// the distance never exceeds n, and still saves the corners of the matrix outside the band.
template <typename Text, typename Peq>
std::size_t block_distance(Text text, std::size_t n, std::size_t m, const Peq& peq, std::size_t k,
                           Scratch& s) {
  const std::size_t words = (m + kWordBits - 1) / kWordBits;
  const std::size_t last_block = words - 1;
  const Word last_row_bit = Word{1} << ((m - 1) % kWordBits);
  s.pv.resize(words);
  s.mv.resize(words);
  Word* pv = s.pv.data();
  Word* mv = s.mv.data();

  const std::size_t d = n - m;
  // Ukkonen band: cell (i, j) can lie on an alignment of cost <= k only if
  // |j - i| + |(n - j) - (m - i)| <= k, that is j - (k + d) / 2 <= i <= j + (k - d) / 2.
  // Only the blocks that meet the band are computed.
  const std::size_t rows_above = (k + d) / 2;
  const std::size_t rows_below = (k - d) / 2;
  std::size_t diag = d;         // D[j - d][j] once j >= d; never exceeds the final distance
  std::size_t initialized = 0;  // blocks [0, initialized) have state
  std::size_t score = 0;        // D at the bottom row of block `last`

  for (std::size_t j = 1; j <= n; ++j) {
    const std::size_t first = j > rows_above ? (j - rows_above - 1) / kWordBits : 0;
    const std::size_t last = (std::min(m, j + rows_below) - 1) / kWordBits;
    // A block entering the band starts as if its rows rose by one each from the row above:
    // an upper bound on the true column, which is exact again wherever it can matter.
    for (; initialized <= last; ++initialized) {
      pv[initialized] = ~Word{0};
      mv[initialized] = 0;
      score += std::min(kWordBits, m - initialized * kWordBits);
    }

    auto column = peq.column(text.next(), first);
    // Horizontal delta entering the top of the first block: +1 on row 0, and assumed +1 (an
    // upper bound again) below a block that has left the band.
    Word carry_p = 1;
    Word carry_m = 0;
    const std::size_t diag_block = (j - 1 - d) / kWordBits;  // used once j > d
    Word diag_D0 = 0;
    // Advances block b by one column and leaves the bottom row's horizontal delta in
    // carry_p / carry_m.
    auto advance = [&](std::size_t b, Word high) {
      Word Eq = column.next(b);
      const Word Pv = pv[b];
      const Word Mv = mv[b];
      const Word Xv = Eq | Mv;
      Eq |= carry_m;  // a -1 from above makes the top row's diagonal step free
      const Word Xh = (((Eq & Pv) + Pv) ^ Pv) | Eq;
      Word Ph = Mv | ~(Xh | Pv);
      Word Mh = Pv & Xh;
      const Word out_p = (Ph & high) != 0;
      const Word out_m = (Mh & high) != 0;
      Ph = (Ph << 1) | carry_p;
      Mh = (Mh << 1) | carry_m;
      pv[b] = Mh | ~(Xv | Ph);
      mv[b] = Ph & Xv;
      carry_p = out_p;
      carry_m = out_m;
      diag_D0 = b == diag_block ? Xh | Mv : diag_D0;
    };
    for (std::size_t b = first; b < last; ++b) advance(b, kHighBit);
    advance(last, last == last_block ? last_row_bit : kHighBit);
    score += static_cast<std::size_t>(carry_p) - static_cast<std::size_t>(carry_m);

    if (j > d) {
      // Bit i of D0 = Xh | Mv is set when D[i+1][j] = D[i][j-1] (a free diagonal step).
      diag += 1 - static_cast<std::size_t>((diag_D0 >> ((j - 1 - d) % kWordBits)) & 1);
      if (diag > k) return k + 1;
    }
  }
  return score;
}

// ----- Drivers -----

template <bool Bounded>
std::size_t ascii_distance(std::string_view pattern, std::string_view text, std::size_t k) {
  const auto* p = reinterpret_cast<const unsigned char*>(pattern.data());
  const auto* t = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t m = pattern.size();
  const std::size_t n = text.size();
  if (m <= kWordBits) {
    Word peq[0x80];
    // Only the entries that will be read need clearing; for short pairs that is cheaper than
    // clearing all of them.
    if (m + n < 0x80) {
      for (std::size_t i = 0; i < n; ++i) peq[t[i]] = 0;
      for (std::size_t i = 0; i < m; ++i) peq[p[i]] = 0;
    } else {
      std::fill(std::begin(peq), std::end(peq), Word{0});
    }
    for (std::size_t i = 0; i < m; ++i) peq[p[i]] |= Word{1} << i;
    return single_word_distance<Bounded>(AsciiText{t}, n, m, [&](unsigned c) { return peq[c]; }, k);
  }
  ScratchLease lease;
  Scratch& s = *lease;
  const std::size_t words = (m + kWordBits - 1) / kWordBits;
  s.peq.assign(0x80 * words, 0);
  for (std::size_t i = 0; i < m; ++i)
    s.peq[p[i] * words + i / kWordBits] |= Word{1} << (i % kWordBits);
  return block_distance(AsciiText{t}, n, m, DensePeq{s.peq.data(), words}, k, s);
}

template <bool Bounded>
std::size_t unicode_distance(std::string_view pattern, std::string_view text, std::size_t m,
                             std::size_t n, std::size_t k) {
  const std::size_t slot_count = SymbolTable::slots_for(count_non_ascii_chars(pattern));
  if (m <= kWordBits) {
    SymbolTable::Slot slots[2 * kWordBits];
    SymbolTable symbols(std::span(slots, slot_count));
    Word peq[kWordBits + 1] = {};
    std::size_t pos = 0;
    for (std::size_t i = 0; i < m; ++i) {
      peq[symbols.insert(text::decode_utf8(pattern, pos))] |= Word{1} << i;
    }
    return single_word_distance<Bounded>(
        Utf8Text{text, 0, &symbols}, n, m, [&](std::uint32_t id) { return peq[id]; }, k);
  }

  ScratchLease lease;
  Scratch& s = *lease;
  s.slots.resize(slot_count);
  SymbolTable symbols(s.slots);
  s.pattern_ids.resize(m);
  std::size_t pos = 0;
  for (std::size_t i = 0; i < m; ++i) {
    s.pattern_ids[i] = symbols.insert(text::decode_utf8(pattern, pos));
  }
  const std::size_t sigma = symbols.symbol_count();
  const std::size_t words = (m + kWordBits - 1) / kWordBits;
  const Utf8Text cursor{text, 0, &symbols};

  if (sigma <= kMaxDenseSymbols) {
    s.peq.assign(sigma * words, 0);
    for (std::size_t i = 0; i < m; ++i) {
      s.peq[s.pattern_ids[i] * words + i / kWordBits] |= Word{1} << (i % kWordBits);
    }
    return block_distance(cursor, n, m, DensePeq{s.peq.data(), words}, k, s);
  }

  // Sparse table: count the blocks each symbol occurs in, lay the lists out back to back, fill.
  constexpr std::size_t kNoBlockYet = ~std::size_t{0};
  s.offsets.assign(sigma + 1, 0);
  s.last_block.assign(sigma, kNoBlockYet);
  for (std::size_t i = 0; i < m; ++i) {
    const std::uint32_t id = s.pattern_ids[i];
    if (s.last_block[id] != i / kWordBits) {
      s.last_block[id] = i / kWordBits;
      ++s.offsets[id + 1];
    }
  }
  for (std::size_t id = 0; id < sigma; ++id) s.offsets[id + 1] += s.offsets[id];
  s.entries.assign(s.offsets[sigma], SparseEntry{0, 0});
  // last_block now serves as the fill position of each symbol's list.
  std::copy(s.offsets.begin(), s.offsets.end() - 1, s.last_block.begin());
  for (std::size_t i = 0; i < m; ++i) {
    const std::uint32_t id = s.pattern_ids[i];
    const std::size_t block = i / kWordBits;
    std::size_t& fill = s.last_block[id];
    if (fill == s.offsets[id] || s.entries[fill - 1].block != block) {
      s.entries[fill++] = SparseEntry{block, 0};
    }
    s.entries[fill - 1].mask |= Word{1} << (i % kWordBits);
  }
  return block_distance(cursor, n, m, SparsePeq{s.entries.data(), s.offsets.data()}, k, s);
}

template <bool Bounded>
std::size_t edit_distance(std::string_view a, std::string_view b,
                          [[maybe_unused]] std::size_t max_distance) {
  strip_common_affixes(a, b);
  const bool ascii = text::is_ascii(a) && text::is_ascii(b);
  std::size_t m = ascii ? a.size() : text::char_count(a);
  std::size_t n = ascii ? b.size() : text::char_count(b);
  if (m > n) {
    std::swap(a, b);
    std::swap(m, n);
  }
  if (m == 0) return n;
  std::size_t k = n;  // the distance never exceeds the longer length
  if constexpr (Bounded) {
    k = std::min(max_distance, n);
    if (n - m > k) return k + 1;
    // What is left after stripping differs, so the distance is at least 1.
    if (k == 0) return 1;
  }
  return ascii ? ascii_distance<Bounded>(a, b, k) : unicode_distance<Bounded>(a, b, m, n, k);
}

}  // namespace

std::size_t levenshtein_distance(std::string_view a, std::string_view b) {
  return edit_distance<false>(a, b, 0);
}

std::size_t levenshtein_distance_bounded(std::string_view a, std::string_view b,
                                         std::size_t max_distance) {
  return edit_distance<true>(a, b, max_distance);
}

double calculate_block_similarity(std::span<const std::string_view> content_lines,
                                  std::span<const std::string_view> search_lines,
                                  std::size_t block_start, std::size_t block_end,
                                  std::size_t search_line_count) {
  if (block_end < block_start) return 1.0;
  const std::size_t block_size = block_end - block_start + 1;
  std::size_t lines_to_check = std::min(block_size > 2 ? block_size - 2 : 0,
                                        search_line_count > 2 ? search_line_count - 2 : 0);
  // Never read past either list, whatever the caller passes.
  lines_to_check =
      std::min(lines_to_check,
               content_lines.size() > block_start ? content_lines.size() - block_start - 1 : 0);
  lines_to_check = std::min(lines_to_check, search_lines.empty() ? 0 : search_lines.size() - 1);

  double sum = 0.0;
  std::int32_t count = 0;
  for (std::size_t j = 1; j <= lines_to_check; ++j) {
    const std::string_view c = text::trim(content_lines[block_start + j]);
    const std::string_view s = text::trim(search_lines[j]);
    const std::size_t max_len = std::max(c.size(), s.size());
    if (max_len == 0) continue;
    sum += 1.0 - static_cast<double>(levenshtein_distance(c, s)) / static_cast<double>(max_len);
    ++count;
  }
  return count == 0 ? 1.0 : sum / static_cast<double>(count);
}

}  // namespace marlune::content_replacer

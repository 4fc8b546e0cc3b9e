#include "streaming_matcher/streaming_matcher.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "content_replacer/levenshtein.h"
#include "streaming_matcher/streaming_matcher_internal.h"
#include "text/lines.h"
#include "text/utf8.h"

// How the alignment is kept, and why it is cheap:
//
// Only the last row of the matrix is kept. A new row reads nothing but the row above, and the
// result of a run needs, for every end column of the last row, where walking the steps back from
// it ends and how many pairings (Diagonal steps) the walk makes. That walk is itself a recurrence
// over the same neighbours as the cost: an Up step continues the walk of the cell above, a Left
// step that of the cell to the left, a Diagonal step that of the cell above-left plus one
// pairing, and a walk that reaches row 0 or column 0 stops there. So each cell carries its walk
// forward. The matcher needs O(S) memory whatever the length of the query, and no backtracking:
// stored directions would take (Q + 1) x (S + 1) cells, and walking back from up to S end
// candidates up to Q + S steps each would make every run quadratic.
//
// A pairing that costs 13 never wins a cell (r, c): the cell above, (r - 1, c), is the right
// neighbour of the pairing's origin (r - 1, c - 1), so by its own Left step it costs at most
// origin + 3; going Up therefore costs at most origin + 13, and a Diagonal wins only when it is
// strictly cheaper. A cell only needs to know whether its lines are equal (cost 0) or similar
// (cost 1). Before a row is computed, one pass over the source lines finds the few that may be
// either, cheapest test first: the byte length must lie in the query line's range of lengths
// that can be similar (equal lines included); then hash and bytes decide equality, and a
// character-count bound of the edit distance rules out most of the rest. The row itself asks
// for the bounded edit distance only where a similar pairing (origin + 1) would win the cell.

namespace marlune::streaming_matcher {
namespace {

using content_replacer::levenshtein_distance_bounded;

constexpr std::uint32_t kUpCost = 10;
constexpr std::uint32_t kLeftCost = 3;
constexpr std::uint32_t kSimilarCost = 1;
constexpr double kSimilarityThreshold = 0.8;
constexpr float kAcceptanceThreshold = 0.8f;
constexpr std::uint32_t kMaxHintDistance = 200;
constexpr std::uint32_t kMaxCost = std::numeric_limits<std::uint32_t>::max();

// Every cost in row r is at most 10 r (each cell is at most the cell above + 10), so below this
// row no addition of 3, 10 or 13 can reach the saturation point and plain addition is exact.
constexpr std::size_t kLastPlainRow = (kMaxCost - 13) / kUpCost;

constexpr std::uint64_t kWalkPairing = 1;
constexpr std::uint64_t walk_start(std::size_t column) {
  return std::uint64_t{column} << 32;
}

// --- Similarity -------------------------------------------------------------------------------

constexpr bool similar_enough(std::size_t difference, std::size_t m) {
  return 1.0 - static_cast<double>(difference) / static_cast<double>(m) >= kSimilarityThreshold;
}

// Rounded division and subtraction are monotone, so for a fixed m the distances that pass are
// exactly 0..k; m / 5 is within one or two of k.
constexpr std::size_t compute_max_similar_distance(std::size_t m) {
  std::size_t d = m / 5;
  while (d > 0 && !similar_enough(d, m)) --d;
  while (d + 1 < m && similar_enough(d + 1, m)) ++d;
  return d;
}

constexpr auto kMaxDistanceTable = [] {
  std::array<std::uint16_t, 4096> t{};
  for (std::size_t m = 1; m < t.size(); ++m) {
    t[m] = static_cast<std::uint16_t>(compute_max_similar_distance(m));
  }
  return t;
}();

std::size_t max_distance_for(std::size_t m) {
  return m < kMaxDistanceTable.size() ? kMaxDistanceTable[m] : compute_max_similar_distance(m);
}

// Characters are counted in 32 buckets. Letters share a bucket with their other case, and the
// punctuation of program text is spread over the rest.
constexpr std::array<std::uint8_t, 128> kAsciiBucket = [] {
  std::array<std::uint8_t, 128> b{};
  for (auto& v : b) v = 31;
  for (int c = 'a'; c <= 'z'; ++c) b[c] = b[c - 'a' + 'A'] = static_cast<std::uint8_t>(c - 'a');
  for (int c = '0'; c <= '9'; ++c) b[c] = 26;
  for (const char c : std::string_view(" \t")) b[static_cast<unsigned char>(c)] = 27;
  for (const char c : std::string_view("()[]{}")) b[static_cast<unsigned char>(c)] = 28;
  for (const char c : std::string_view(".,:;_")) b[static_cast<unsigned char>(c)] = 29;
  for (const char c : std::string_view("=+-*/<>!&|%^~")) b[static_cast<unsigned char>(c)] = 30;
  return b;
}();

// Counts saturate at 15 and two buckets share a byte: 16 bytes a line keep the table of a large
// source small enough to stay in cache, and counts above 15 are rare in a line.
CharHistogram character_histogram(std::string_view s) {
  std::array<std::uint8_t, 32> counts{};
  const auto bump = [&counts](std::size_t bucket) {
    if (counts[bucket] != 15) ++counts[bucket];
  };
  std::size_t pos = 0;
  while (pos < s.size()) {
    const auto byte = static_cast<unsigned char>(s[pos]);
    if (byte < 0x80) {
      bump(kAsciiBucket[byte]);
      ++pos;
    } else {
      bump(text::decode_utf8(s, pos) % 32);
    }
  }
  CharHistogram h;
  for (std::size_t i = 0; i < h.size(); ++i) {
    h[i] = static_cast<std::uint8_t>(counts[2 * i] | counts[2 * i + 1] << 4);
  }
  return h;
}

// A lower bound of the character edit distance. For each character x let a(x) and b(x) count it
// in the two strings. Every edit lowers sum_x max(0, a(x) - b(x)) by at most one (a deletion or
// substitution removes one character, an insertion removes none), and the sum is 0 once the
// strings are equal; likewise with a and b swapped. Merging characters into buckets and
// saturating the counts only lowers these sums, so they stay bounds.
std::size_t histogram_distance_bound(const CharHistogram& a, const CharHistogram& b) {
#if defined(__SSE2__)
  const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a.data()));
  const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b.data()));
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i a_low = _mm_and_si128(va, nibble);
  const __m128i a_high = _mm_and_si128(_mm_srli_epi16(va, 4), nibble);
  const __m128i b_low = _mm_and_si128(vb, nibble);
  const __m128i b_high = _mm_and_si128(_mm_srli_epi16(vb, 4), nibble);
  const __m128i zero = _mm_setzero_si128();
  const __m128i a_excess =
      _mm_sad_epu8(_mm_add_epi8(_mm_subs_epu8(a_low, b_low), _mm_subs_epu8(a_high, b_high)), zero);
  const __m128i b_excess =
      _mm_sad_epu8(_mm_add_epi8(_mm_subs_epu8(b_low, a_low), _mm_subs_epu8(b_high, a_high)), zero);
  const auto sum = [](__m128i v) {
    return static_cast<std::size_t>(_mm_cvtsi128_si64(v) +
                                    _mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)));
  };
  return std::max(sum(a_excess), sum(b_excess));
#else
  std::size_t a_excess = 0;
  std::size_t b_excess = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    for (const int shift : {0, 4}) {
      const int x = (a[i] >> shift) & 0x0F, y = (b[i] >> shift) & 0x0F;
      a_excess += x > y ? x - y : 0;
      b_excess += y > x ? y - x : 0;
    }
  }
  return std::max(a_excess, b_excess);
#endif
}

// A trimmed query line with what every cell of its row reads.
struct QueryLine {
  std::string_view text;
  std::uint64_t hash = 0;
  CharHistogram histogram{};
  // Byte lengths lb with 1 - |la - lb| / max(la, lb) >= 0.8 form the range
  // [min_length, min_length + length_span]. For an empty line it is [0, 0]: only an empty line
  // can be paired with it, and only as equal.
  std::size_t min_length = 0;
  std::size_t length_span = 0;
};

QueryLine make_query_line(std::string_view line) {
  QueryLine q;
  q.text = text::trim(line);
  q.hash = std::hash<std::string_view>{}(q.text);
  q.histogram = character_histogram(q.text);
  const std::size_t la = q.text.size();
  if (la == 0) return q;
  // Shorter lines: m = la, so the bound is the same for all of them.
  q.min_length = la - max_distance_for(la);
  // Longer lines: (lb - la) / lb grows with lb, and so does its rounded value, so the passing
  // lengths end at the first failing one.
  std::size_t extra = la / 4 + 1;
  while (extra > 0 && !similar_enough(extra, la + extra)) --extra;
  while (similar_enough(extra + 1, la + extra + 1)) ++extra;
  q.length_span = la + extra - q.min_length;
  return q;
}

// Whether two trimmed lines, not equal and with lengths in the similarity range, are similar by
// their edit distance. Only the distances up to the largest similar one matter.
bool similar_by_distance(std::string_view a, std::string_view b) {
  const std::size_t k = max_distance_for(std::max(a.size(), b.size()));
  return levenshtein_distance_bounded(a, b, k) <= k;
}

// --- Rows -------------------------------------------------------------------------------------

template <bool kSaturating>
std::uint32_t add_cost(std::uint32_t a, std::uint32_t b) {
  if constexpr (kSaturating) {
    return a > kMaxCost - b ? kMaxCost : a + b;
  } else {
    return a + b;
  }
}

// The trimmed source lines, laid out for the row loops.
struct SourceView {
  const std::size_t* trimmed_length;
  const TrimmedLine* lines;
  const CharHistogram* histograms;
  const char* text;
  std::size_t count;

  std::string_view trimmed(std::size_t j) const {
    return {text + lines[j].begin, trimmed_length[j]};
  }
};

// Writes, in ascending order, the source lines that are equal to query line q or pass every test
// of similarity short of the edit distance, then a sentinel (line = count). The first pass only
// collects the lines whose lengths are in range, without branches; the second decides on them.
// Both branch in a way the processor predicts well, unlike a test per cell in the row itself.
void find_pairing_candidates(const SourceView& source, const QueryLine& q, PairingCandidate* out) {
  constexpr std::size_t kBlock = 512;
  std::uint32_t in_range[kBlock];
  const std::size_t la = q.text.size();
  for (std::size_t first = 0; first < source.count; first += kBlock) {
    const std::size_t last = std::min(first + kBlock, source.count);
    std::size_t n = 0;
    for (std::size_t j = first; j < last; ++j) {
      in_range[n] = static_cast<std::uint32_t>(j);
      n += source.trimmed_length[j] - q.min_length <= q.length_span;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t j = in_range[i];
      const std::size_t lb = source.trimmed_length[j];
      const TrimmedLine& line = source.lines[j];
      if (lb == la && line.hash == q.hash && source.trimmed(j) == q.text) {
        *out++ = {j, true};
      } else if (la != 0 && histogram_distance_bound(q.histogram, source.histograms[j]) <=
                                max_distance_for(std::max(la, lb))) {
        *out++ = {j, false};
      }
    }
  }
  *out = {static_cast<std::uint32_t>(source.count), false};
}

// Computes row `cur` from row `prev` for query line q, given the cost of its column 0 and the
// candidates of find_pairing_candidates: every other pairing costs 13 and cannot win. Returns the
// least cost of columns 1..S (kMaxCost when there are none).
template <bool kSaturating>
std::uint32_t compute_row(const SourceView& source, const QueryLine& q,
                          const PairingCandidate* candidate, std::uint32_t column0_cost,
                          const Row& prev, Row& cur) {
  const std::uint32_t* prev_cost = prev.cost.data();
  const std::uint64_t* prev_walk = prev.walk.data();
  std::uint32_t* cost = cur.cost.data();
  std::uint64_t* walk = cur.walk.data();
  AlignmentDirection* direction = cur.direction.data();

  cost[0] = column0_cost;
  walk[0] = 0;  // a walk that reaches column 0 stops there without pairings
  direction[0] = AlignmentDirection::Up;
  std::uint32_t left_cost = column0_cost;
  std::uint64_t left_walk = 0;
  std::uint32_t min_cost = kMaxCost;
  std::size_t candidate_column = std::size_t{candidate->line} + 1;
  for (std::size_t c = 1; c <= source.count; ++c) {
    const std::uint32_t up = add_cost<kSaturating>(prev_cost[c], kUpCost);
    const std::uint32_t left = add_cost<kSaturating>(left_cost, kLeftCost);
    const bool go_left = left < up;
    std::uint32_t best = go_left ? left : up;
    std::uint64_t best_walk = go_left ? left_walk : prev_walk[c];
    AlignmentDirection best_direction = go_left ? AlignmentDirection::Left : AlignmentDirection::Up;
    if (c == candidate_column) [[unlikely]] {
      const std::uint32_t origin = prev_cost[c - 1];
      if (origin < best) {
        const bool pairs = candidate->equal || (origin + kSimilarCost < best &&
                                                similar_by_distance(q.text, source.trimmed(c - 1)));
        if (pairs) {
          best = origin + (candidate->equal ? 0 : kSimilarCost);
          best_walk = prev_walk[c - 1] + kWalkPairing;
          best_direction = AlignmentDirection::Diagonal;
        }
      }
      ++candidate;
      candidate_column = std::size_t{candidate->line} + 1;
    }
    cost[c] = best;
    walk[c] = best_walk;
    direction[c] = best_direction;
    left_cost = best;
    left_walk = best_walk;
    min_cost = std::min(min_cost, best);
  }
  return min_cost;
}

}  // namespace

std::size_t max_similar_distance(std::size_t m) {
  return max_distance_for(m);
}

LinePairing pair_lines(std::string_view a, std::string_view b) {
  const QueryLine q = make_query_line(a);
  const std::string_view tb = text::trim(b);
  if (tb.size() - q.min_length > q.length_span) return LinePairing::Dissimilar;
  if (tb == q.text) return LinePairing::Equal;
  if (q.text.empty() || histogram_distance_bound(q.histogram, character_histogram(tb)) >
                            max_distance_for(std::max(q.text.size(), tb.size()))) {
    return LinePairing::Dissimilar;
  }
  return similar_by_distance(q.text, tb) ? LinePairing::Similar : LinePairing::Dissimilar;
}

AlignmentState::AlignmentState(const std::vector<std::string_view>& source_lines)
    : line_count(source_lines.size()) {
  const std::size_t count = line_count;
  // The walk record packs a column and a pairing count (at most the column) into 32 bits each.
  // A source of 2^32 lines would need far more memory for its lines than exists anyway.
  if (count > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();

  std::size_t total = 0;
  for (const auto line : source_lines) total += line.size() + 1;
  joined_source.reserve(total);
  trimmed_lengths.reserve(count);
  trimmed_lines.reserve(count);
  trimmed_histograms.reserve(count);
  for (const auto line : source_lines) {
    const std::size_t offset = joined_source.size();
    joined_source.append(line);
    joined_source.push_back('\n');
    const std::string_view trimmed = text::trim(line);
    trimmed_lengths.push_back(trimmed.size());
    trimmed_lines.push_back({std::hash<std::string_view>{}(trimmed),
                             offset + static_cast<std::size_t>(trimmed.data() - line.data())});
    trimmed_histograms.push_back(character_histogram(trimmed));
  }
  if (!joined_source.empty()) joined_source.pop_back();  // no line end after the last line

  // Row 0: every alignment may start after any number of skipped source lines at no cost.
  for (Row* r : {&row, &spare_rows[0], &spare_rows[1]}) {
    r->cost.assign(count + 1, 0);
    r->walk.resize(count + 1);
    r->direction.assign(count + 1, AlignmentDirection::Diagonal);
  }
  for (std::size_t c = 0; c <= count; ++c) row.walk[c] = walk_start(c);
  pairing_candidates.resize(count + 1);
}

Alignment AlignmentState::resolve_location_fuzzy(const std::vector<std::string>& new_lines,
                                                 const std::vector<std::size_t>& line_offsets) {
  const std::size_t count = line_count;
  const SourceView source{trimmed_lengths.data(), trimmed_lines.data(), trimmed_histograms.data(),
                          joined_source.data(), count};
  const Row* prev = &row;
  int target = 0;
  std::size_t r = aligned_rows;
  std::uint32_t min_cost = 0;
  for (const std::string& line : new_lines) {
    ++r;
    const QueryLine q = make_query_line(line);
    find_pairing_candidates(source, q, pairing_candidates.data());
    Row& cur = spare_rows[target];
    const PairingCandidate* candidates = pairing_candidates.data();
    if (r <= kLastPlainRow) {
      min_cost = compute_row<false>(source, q, candidates, static_cast<std::uint32_t>(r * kUpCost),
                                    *prev, cur);
    } else {
      // Column 0 saturates like the Up steps it consists of.
      const std::uint32_t column0 = add_cost<true>(prev->cost[0], kUpCost);
      min_cost = compute_row<true>(source, q, candidates, column0, *prev, cur);
    }
    prev = &cur;
    target ^= 1;
  }
  const int last = target ^ 1;
  const Row& last_row = spare_rows[last];

  // End candidates: the columns of the cheapest last-row cells, in ascending order. A walk makes
  // `matched` pairings over `span` source lines; it is accepted when the pairings make up at
  // least 80% of the larger of the span and the query.
  Alignment result{last, {}};
  if (count == 0) return result;
  const auto query_count = static_cast<float>(r);
  const std::uint32_t* cost = last_row.cost.data();
  for (std::size_t c = 1; c <= count; ++c) {
    if (cost[c] != min_cost) continue;
    const std::uint64_t walk = last_row.walk[c];
    const std::size_t start = walk >> 32;
    const auto matched = static_cast<float>(walk & 0xFFFFFFFFu);
    const auto span = static_cast<float>(c - start);
    if (matched / std::max(span, query_count) >= kAcceptanceThreshold) {
      result.matches.push_back({line_offsets[start], line_offsets[c] - 1});
    }
  }
  return result;
}

void AlignmentState::commit(std::size_t added, const Alignment& alignment) noexcept {
  aligned_rows += added;
  std::swap(row, spare_rows[alignment.row]);
}

std::size_t AlignmentState::row_bytes() const {
  std::size_t bytes = 0;
  for (const Row* r : {&row, &spare_rows[0], &spare_rows[1]}) {
    bytes += r->cost.capacity() * sizeof(std::uint32_t) +
             r->walk.capacity() * sizeof(std::uint64_t) +
             r->direction.capacity() * sizeof(AlignmentDirection);
  }
  return bytes;
}

StreamingFuzzyMatcher::StreamingFuzzyMatcher(std::string_view source_text) {
  const std::vector<std::string_view> lines = text::split_lines(source_text);
  source_lines_.reserve(lines.size());
  source_line_offsets_.reserve(lines.size() + 1);
  std::size_t offset = 0;
  for (const auto line : lines) {
    source_line_offsets_.push_back(offset);
    source_lines_.emplace_back(line);
    offset += line.size() + 1;
  }
  source_line_offsets_.push_back(offset);
  alignment_ = std::make_unique<AlignmentState>(lines);
}

StreamingFuzzyMatcher::~StreamingFuzzyMatcher() = default;
StreamingFuzzyMatcher::StreamingFuzzyMatcher(StreamingFuzzyMatcher&&) noexcept = default;
StreamingFuzzyMatcher& StreamingFuzzyMatcher::operator=(StreamingFuzzyMatcher&&) noexcept = default;

void StreamingFuzzyMatcher::reserve_query_lines(std::size_t added) {
  const std::size_t needed = query_lines_.size() + added;
  if (needed > query_lines_.capacity()) {
    query_lines_.reserve(std::max(needed, 2 * query_lines_.capacity()));
  }
}

void StreamingFuzzyMatcher::commit(std::vector<std::string>& new_lines,
                                   Alignment& alignment) noexcept {
  // Capacity was reserved and strings move without allocating, so nothing here can fail.
  for (std::string& line : new_lines) query_lines_.push_back(std::move(line));
  alignment_->commit(new_lines.size(), alignment);
  matches_.swap(alignment.matches);
}

std::optional<ByteRange> StreamingFuzzyMatcher::push(std::string_view chunk,
                                                     std::optional<std::uint32_t> line_hint) {
  const std::size_t last_newline = chunk.rfind('\n');
  if (last_newline == std::string_view::npos) {
    const std::size_t needed = incomplete_line_.size() + chunk.size();
    if (needed > incomplete_line_.capacity()) {
      incomplete_line_.reserve(std::max(needed, 2 * incomplete_line_.capacity()));
    }
    incomplete_line_.append(chunk);
  } else {
    std::string completed;
    completed.reserve(incomplete_line_.size() + last_newline + 1);
    completed.append(incomplete_line_).append(chunk.substr(0, last_newline + 1));
    const std::vector<std::string_view> pieces = text::split_lines(completed);
    std::vector<std::string> new_lines(pieces.begin(), pieces.end());
    std::string rest(chunk.substr(last_newline + 1));
    reserve_query_lines(new_lines.size());
    Alignment alignment = alignment_->resolve_location_fuzzy(new_lines, source_line_offsets_);
    commit(new_lines, alignment);
    incomplete_line_.swap(rest);
  }
  if (line_hint) line_hint_ = line_hint;
  if (auto best = select_best_match()) return best;
  if (!matches_.empty()) return matches_.front();
  return std::nullopt;
}

std::vector<ByteRange> StreamingFuzzyMatcher::finish() {
  if (incomplete_line_.empty()) return matches_;
  std::vector<std::string> new_lines{incomplete_line_};  // a trailing "\r" stays
  reserve_query_lines(1);
  Alignment alignment = alignment_->resolve_location_fuzzy(new_lines, source_line_offsets_);
  std::vector<ByteRange> result = alignment.matches;
  commit(new_lines, alignment);
  incomplete_line_.clear();
  return result;
}

std::optional<ByteRange> StreamingFuzzyMatcher::select_best_match() const {
  if (matches_.empty()) return std::nullopt;
  if (matches_.size() == 1) return matches_.front();
  if (!line_hint_) return std::nullopt;
  const std::uint32_t hint = *line_hint_;
  std::optional<ByteRange> choice;
  std::uint32_t choice_distance = 0;
  for (const ByteRange& range : matches_) {
    const auto after =
        std::upper_bound(source_line_offsets_.begin(), source_line_offsets_.end(), range.start);
    const auto line = static_cast<std::uint32_t>(after - source_line_offsets_.begin() - 1);
    const std::uint32_t distance = line > hint ? line - hint : hint - line;
    if (distance > kMaxHintDistance) continue;
    if (!choice || distance < choice_distance) {
      choice = range;
      choice_distance = distance;
    }
  }
  return choice;
}

std::string StreamingFuzzyMatcher::get_text(ByteRange range) const {
  const std::string_view joined = alignment_->joined_source;
  const std::size_t start = text::floor_char_boundary(joined, range.start);
  const std::size_t end = text::floor_char_boundary(joined, range.end);
  if (start >= end) return {};
  return std::string(joined.substr(start, end - start));
}

}  // namespace marlune::streaming_matcher

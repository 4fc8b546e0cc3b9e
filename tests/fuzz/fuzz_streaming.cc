// The streaming matcher fed a query in chunks the input chooses, with line hints, selections,
// text extraction and flushes in between. Every range it reports lies inside the joined source,
// from the start of a line to the end of a line; the text of any range is cut at character
// boundaries; each answer of push is the hinted choice among the current matches or the first
// of them; the matches are those of the plain alignment; and the chunking changes nothing: a
// second matcher given each stretch between two flushes as one push ends in the same state.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "streaming_matcher/streaming_matcher.h"
#include "streaming_matcher/streaming_matcher_internal.h"
#include "support/reference_alignment.h"
#include "text/lines.h"
#include "text/utf8.h"

namespace {

using marlune::fuzz::quoted;
using marlune::streaming_matcher::ByteRange;
using marlune::streaming_matcher::StreamingFuzzyMatcher;
using marlune::streaming_matcher::StreamingMatcherTestHook;
namespace text = marlune::text;

std::string show(const std::optional<ByteRange>& r) {
  return r ? std::to_string(r->start) + ".." + std::to_string(r->end) : "none";
}

std::string show(const std::vector<ByteRange>& ranges) {
  std::string out = "[";
  for (const ByteRange& r : ranges) out += (out.size() > 1 ? ", " : "") + show(r);
  return out + "]";
}

class Checker {
 public:
  Checker(const std::string& source, std::string detail)
      : source_lines_(text::split_lines(source)),
        joined_(text::join_lines(source_lines_)),
        source_(source),
        detail_(std::move(detail)) {
    offsets_.push_back(0);
    for (const auto line : source_lines_) offsets_.push_back(offsets_.back() + line.size() + 1);
  }

  const std::string& detail() const { return detail_; }
  void note(const std::string& step) { detail_ += " " + step; }

  // From the first byte of a line to the last byte of a line at or after it.
  void check_range(const ByteRange& r) const {
    const auto first = std::find(offsets_.begin(), offsets_.end() - 1, r.start);
    FUZZ_CHECK(first != offsets_.end() - 1, detail_ + " range " + show(r));
    bool ends_a_line = false;
    for (auto k = first; k + 1 != offsets_.end(); ++k) ends_a_line |= *(k + 1) - 1 == r.end;
    FUZZ_CHECK(ends_a_line && r.end <= joined_.size(), detail_ + " range " + show(r));
  }

  // Any range, made here or not: the ends clamped to the joined text and moved back to the
  // start of their character.
  void check_text(const StreamingFuzzyMatcher& m, const ByteRange& r) const {
    const std::size_t start = text::floor_char_boundary(joined_, std::min(r.start, joined_.size()));
    const std::size_t end = text::floor_char_boundary(joined_, std::min(r.end, joined_.size()));
    const std::string want = start < end ? joined_.substr(start, end - start) : std::string();
    FUZZ_CHECK(m.get_text(r) == want, detail_ + " get_text " + show(r));
  }

  // The plain choice among the current matches with the latest hint.
  std::optional<ByteRange> expected_selection(const std::vector<ByteRange>& matches,
                                              std::optional<std::uint32_t> hint) const {
    if (matches.empty()) return std::nullopt;
    if (matches.size() == 1) return matches[0];
    if (!hint) return std::nullopt;
    std::optional<ByteRange> best;
    std::uint32_t best_distance = 0;
    for (const ByteRange& r : matches) {
      const auto line = static_cast<std::uint32_t>(
          std::upper_bound(offsets_.begin(), offsets_.end(), r.start) - offsets_.begin() - 1);
      const std::uint32_t d = line > *hint ? line - *hint : *hint - line;
      if (d > 200) continue;
      if (!best || d < best_distance) best = r, best_distance = d;
    }
    return best;
  }

  // The matches are those of the plain alignment of the query received so far.
  void check_matches(const StreamingFuzzyMatcher& m) const {
    const std::vector<ByteRange>& matches = StreamingMatcherTestHook::matches(m);
    if (m.query_lines().empty()) {
      FUZZ_CHECK(matches.empty(), detail_);
      return;
    }
    const auto expected = marlune::test_support::reference_alignment(source_, m.query_lines());
    FUZZ_CHECK(matches == expected.ranges,
               detail_ + " matches " + show(matches) + " expected " + show(expected.ranges));
    for (const ByteRange& r : matches) {
      check_range(r);
      FUZZ_CHECK(m.get_text(r) == joined_.substr(r.start, r.end - r.start), detail_);
    }
  }

 private:
  std::vector<std::string_view> source_lines_;
  std::string joined_;
  std::vector<std::size_t> offsets_;
  const std::string& source_;
  std::string detail_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  marlune::fuzz::FuzzInput in(data, size);
  const std::string source = in.text();
  const std::string query = in.text();
  Checker check(source, "source " + quoted(source) + " query " + quoted(query));

  StreamingFuzzyMatcher matcher(source);
  StreamingFuzzyMatcher whole(source);  // gets each stretch between flushes in one push
  std::optional<std::uint32_t> hint;
  std::size_t pos = 0;      // how much of the query has been pushed
  std::size_t stretch = 0;  // where the stretch not yet given to `whole` begins

  const auto flush_both = [&] {
    whole.push(std::string_view(query).substr(stretch, pos - stretch), std::nullopt);
    stretch = pos;
    const std::vector<ByteRange> got = matcher.finish();
    const std::vector<ByteRange> want = whole.finish();
    FUZZ_CHECK(got == want, check.detail() + " finish " + show(got) + " one push " + show(want));
    FUZZ_CHECK(matcher.query_lines() == whole.query_lines(), check.detail());
    FUZZ_CHECK(got == StreamingMatcherTestHook::matches(matcher), check.detail());
    FUZZ_CHECK(matcher.finish() == got, check.detail() + " second finish");
    check.check_matches(matcher);
  };

  while (!in.empty()) {
    const std::uint8_t op = in.byte();
    switch (op % 8) {
      case 0:
      case 1:
      case 2:
      case 3: {  // push the next chunk, cut at a character boundary, maybe with a hint
        const std::size_t length = op % 4 == 3 ? in.u16() : in.byte() % 32;
        const std::size_t end =
            text::floor_char_boundary(query, std::min(query.size(), pos + length));
        std::optional<std::uint32_t> given;
        if (op & 0x10) given = (op & 0x20) ? in.u32() : in.u16() % 512;
        if (given) hint = given;
        const std::string_view chunk = std::string_view(query).substr(pos, end - pos);
        check.note("push" + std::to_string(chunk.size()) +
                   (given ? "@" + std::to_string(*given) : ""));
        const std::size_t lines_before = matcher.query_lines().size();
        const std::optional<ByteRange> got = matcher.push(chunk, given);
        pos = end;
        const std::vector<ByteRange>& matches = StreamingMatcherTestHook::matches(matcher);
        std::optional<ByteRange> want = check.expected_selection(matches, hint);
        if (!want && !matches.empty()) want = matches.front();
        FUZZ_CHECK(got == want, check.detail() + " push returned " + show(got) + " expected " +
                                    show(want) + " of " + show(matches));
        if (got) check.check_range(*got);
        // The plain alignment is quadratic in the query; on long queries it runs at flushes only.
        if (matcher.query_lines().size() != lines_before && matcher.query_lines().size() <= 16) {
          check.check_matches(matcher);
        }
        break;
      }
      case 4: {  // select without changing anything
        const std::optional<ByteRange> got = matcher.select_best_match();
        FUZZ_CHECK(
            got == check.expected_selection(StreamingMatcherTestHook::matches(matcher), hint),
            check.detail() + " select " + show(got));
        FUZZ_CHECK(matcher.select_best_match() == got, check.detail());
        break;
      }
      case 5: {  // the text of any range
        const std::size_t start = in.u16(), end = in.u16();
        check.check_text(matcher, {start, end});
        break;
      }
      case 6:  // flush the partial line; both matchers then hold the same lines
        if (op & 0x10) {
          check.note("finish");
          flush_both();
        }
        break;
      default:
        break;
    }
  }
  // The rest of the query, then a final flush.
  matcher.push(std::string_view(query).substr(pos), std::nullopt);
  pos = query.size();
  flush_both();
  for (const ByteRange& r : matcher.finish()) check.check_text(matcher, r);
  return 0;
}

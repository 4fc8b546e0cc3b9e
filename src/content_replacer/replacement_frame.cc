#include "content_replacer/replacement_frame.h"

#include <array>
#include <cstdint>
#include <numeric>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "content_replacer/matching_blocks.h"
#include "text/lines.h"

namespace marlune::content_replacer {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// The escapes the escape-decoding strategy decodes.
constexpr std::array<std::string_view, 8> kEscapes = {"\\n",  "\\t", "\\r", "\\'",
                                                      "\\\"", "\\`", "\\$", "\\\\"};

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The pieces of `text` between its "\n" bytes: one more than it has line breaks, so that a
// final line break gives an empty last piece. A "\r" stays in its piece.
std::vector<std::string_view> pieces(std::string_view text) {
  std::vector<std::string_view> out;
  out.reserve(text::count_newlines(text) + 1);
  std::size_t start = 0;
  text::for_each_newline(text, [&](std::size_t newline) {
    out.push_back(text.substr(start, newline - start));
    start = newline + 1;
  });
  out.push_back(text.substr(start));
  return out;
}

// The leading run of spaces and tabs.
std::string_view lead(std::string_view line) {
  std::size_t n = 0;
  while (n < line.size() && (line[n] == ' ' || line[n] == '\t')) ++n;
  return line.substr(0, n);
}

std::size_t leading_run(std::string_view s, char c) {
  std::size_t n = 0;
  while (n < s.size() && s[n] == c) ++n;
  return n;
}

// A map of indentations: a shift replaces the prefix `from` by `to`; a unit change turns a
// leading run of r characters `from_unit` into r * numerator / denominator characters
// `to_unit`. apply() appends the image of `indent` to `out`, or says there is none.
struct IndentMap {
  bool shift = true;
  std::string_view from, to;
  char from_unit = 0, to_unit = 0;
  std::uint64_t numerator = 0, denominator = 1;

  bool apply(std::string_view indent, std::string& out) const {
    if (shift) {
      if (!indent.starts_with(from)) return false;
      out.append(to);
      out.append(indent.substr(from.size()));
      return true;
    }
    const std::size_t run = leading_run(indent, from_unit);
    const std::uint64_t scaled = run * numerator;
    if (scaled % denominator != 0) return false;
    out.append(scaled / denominator, to_unit);
    out.append(indent.substr(run));
    return true;
  }

  auto key() const {
    return std::make_tuple(shift, from, to, from_unit, to_unit, numerator, denominator);
  }
};

using IndentPair = std::pair<std::string_view, std::string_view>;

// The first candidate map that maps every pair exactly: the shifts read off each pair in turn
// (what is left of the two indentations once their common ending is set aside), then the unit
// changes read off each pair of non-empty indentations. A map that was tried already is not
// tried again, and a map fails at the first pair it gets wrong, so this stays close to linear
// in the number of distinct pairs.
std::optional<IndentMap> fitting_map(const std::vector<IndentPair>& pairs) {
  std::set<decltype(IndentMap{}.key())> tried;
  std::string image;
  const auto fits = [&](const IndentMap& map) {
    if (!tried.insert(map.key()).second) return false;
    for (const auto& [from, to] : pairs) {
      image.clear();
      if (!map.apply(from, image) || image != to) return false;
    }
    return true;
  };
  for (const auto& [from, to] : pairs) {
    std::size_t common = 0;
    while (common < from.size() && common < to.size() &&
           from[from.size() - 1 - common] == to[to.size() - 1 - common]) {
      ++common;
    }
    IndentMap map;
    map.from = from.substr(0, from.size() - common);
    map.to = to.substr(0, to.size() - common);
    if (fits(map)) return map;
  }
  for (const auto& [from, to] : pairs) {
    if (from.empty() || to.empty()) continue;
    IndentMap map;
    map.shift = false;
    map.from_unit = from[0];
    map.to_unit = to[0];
    const std::uint64_t to_run = leading_run(to, to[0]);
    const std::uint64_t from_run = leading_run(from, from[0]);
    const std::uint64_t divisor = std::gcd(to_run, from_run);
    map.numerator = to_run / divisor;
    map.denominator = from_run / divisor;
    if (fits(map)) return map;
  }
  return std::nullopt;
}

}  // namespace

bool unescapes_replacement(std::string_view old_fit, std::string_view new_string) {
  const bool old_breaks = contains(old_fit, "\n");
  const bool new_breaks = contains(new_string, "\n");
  if (!old_breaks && !new_breaks && contains(old_fit, "\\n") && contains(new_string, "\\n")) {
    return true;
  }
  bool any = false;
  for (const std::string_view escape : kEscapes) {
    if (!contains(new_string, escape)) continue;
    if (!contains(old_fit, escape)) return false;
    any = true;
  }
  return any && (old_breaks || !new_breaks);
}

std::optional<std::string> rebased_replacement(std::string_view old_fit, std::string_view candidate,
                                               std::string_view new_string) {
  const std::vector<std::string_view> old_lines = pieces(old_fit);
  const std::vector<std::string_view> found_lines = pieces(candidate);
  if (old_lines.size() != found_lines.size()) return std::nullopt;
  const std::vector<std::string_view> new_lines = pieces(new_string);

  // Lines kept by the edit: the matching blocks of the trimmed old and new lines.
  std::unordered_map<std::string_view, std::uint32_t> symbol_of;
  const auto symbols = [&](const std::vector<std::string_view>& lines) {
    std::vector<std::uint32_t> out;
    out.reserve(lines.size());
    for (const std::string_view line : lines) {
      const auto next = static_cast<std::uint32_t>(symbol_of.size());
      out.push_back(symbol_of.try_emplace(text::trim(line), next).first->second);
    }
    return out;
  };
  const std::vector<std::uint32_t> old_symbols = symbols(old_lines);
  const std::vector<std::uint32_t> new_symbols = symbols(new_lines);
  std::vector<std::size_t> kept_from(new_lines.size(), kNone);
  std::size_t old_votes = 0, file_votes = 0;
  for (const MatchingBlock& block : matching_blocks(old_symbols, new_symbols)) {
    for (std::size_t t = 0; t < block.size; ++t) {
      const std::size_t i = block.a_start + t, j = block.b_start + t;
      kept_from[j] = i;
      if (text::is_blank(new_lines[j]) || old_lines[i] == found_lines[i]) continue;
      if (new_lines[j] == old_lines[i]) ++old_votes;
      if (new_lines[j] == found_lines[i]) ++file_votes;
    }
  }
  // A line the edit itself re-indents may land on the file's indentation by chance; a
  // replacement written in the file's frame has most of its kept lines there.
  if (old_votes <= 2 * file_votes) return std::nullopt;

  std::vector<IndentPair> pairs;
  std::set<IndentPair> seen;
  for (std::size_t i = 0; i < old_lines.size(); ++i) {
    if (text::is_blank(old_lines[i]) || text::is_blank(found_lines[i])) continue;
    const IndentPair pair{lead(old_lines[i]), lead(found_lines[i])};
    if (seen.insert(pair).second) pairs.push_back(pair);
  }
  const std::optional<IndentMap> map = fitting_map(pairs);
  if (!map) return std::nullopt;

  std::string out;
  out.reserve(new_string.size() + new_string.size() / 4);
  for (std::size_t j = 0; j < new_lines.size(); ++j) {
    if (j > 0) out.push_back('\n');
    const std::string_view line = new_lines[j];
    const std::size_t i = kept_from[j];
    if (i != kNone && line == old_lines[i]) {
      out.append(found_lines[i]);
    } else if (text::is_blank(line)) {
      out.append(line);
    } else {
      const std::string_view indent = lead(line);
      if (!map->apply(indent, out)) return std::nullopt;
      out.append(line.substr(indent.size()));
    }
  }
  return out;
}

}  // namespace marlune::content_replacer

// Plain C entry points loaded by the Python tests through ctypes: the Unicode tables, so they can
// be compared with the running interpreter's own case mappings, and the matching blocks of two
// sequences, so they can be compared with the standard library's sequence matcher.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "content_replacer/matching_blocks.h"
#include "text/case_mapping.h"
#include "text/unicode_data.h"
#include "text/unicode_tables.h"

#define MARLUNE_PROBE extern "C" __attribute__((visibility("default")))

namespace {

// What marlune_probe_map_code_points computes for each code point.
enum ProbeMapping : int { kLowerFull = 0, kUpperFull = 1, kLowerFirst = 2, kUpperFirst = 3 };

// The full uppercase mapping. No engine needs it, so the text library does not offer it; the
// probe does, because comparing it with the interpreter's checks that the first code points the
// engines use were taken from the full mappings.
std::size_t upper_full(char32_t cp, char32_t out[3]) {
  namespace tables = marlune::text::unicode_tables;
  return tables::full_mapping(tables::kUpperMulti, cp, marlune::text::upper_first(cp), out);
}

}  // namespace

MARLUNE_PROBE const char* marlune_probe_unicode_version() {
  static const std::string version(marlune::text::unicode_version());
  return version.c_str();
}

// Maps `count` code points in one call, so a test can cover every code point cheaply. Writes
// four slots per code point to `out`: the length of the mapping (1 to 3) and the mapping,
// padded with zeros. `mapping` is one of ProbeMapping. Returns 0, or -1 for an unknown mapping.
MARLUNE_PROBE int marlune_probe_map_code_points(const std::uint32_t* cps, std::size_t count,
                                                int mapping, std::uint32_t* out) {
  if (mapping < kLowerFull || mapping > kUpperFirst) return -1;
  for (std::size_t i = 0; i < count; ++i) {
    const auto cp = static_cast<char32_t>(cps[i]);
    char32_t buf[3] = {0, 0, 0};
    std::size_t n = 1;
    switch (mapping) {
      case kLowerFull:
        n = marlune::text::lower_full(cp, buf);
        break;
      case kUpperFull:
        n = upper_full(cp, buf);
        break;
      case kLowerFirst:
        buf[0] = marlune::text::lower_first(cp);
        break;
      default:
        buf[0] = marlune::text::upper_first(cp);
        break;
    }
    std::uint32_t* slot = out + 4 * i;
    slot[0] = static_cast<std::uint32_t>(n);
    for (std::size_t k = 0; k < 3; ++k) slot[1 + k] = buf[k];
  }
  return 0;
}

// to_lower_full over the UTF-8 text [text, text + size). Returns the size of the result in
// bytes and copies it to `out` when it fits in `capacity` bytes (nothing is copied otherwise,
// so the caller can retry with a larger buffer).
MARLUNE_PROBE std::size_t marlune_probe_to_lower_full(const char* text, std::size_t size, char* out,
                                                      std::size_t capacity) {
  const std::string lowered = marlune::text::to_lower_full(std::string_view(text, size));
  if (lowered.size() <= capacity && !lowered.empty()) {
    std::memcpy(out, lowered.data(), lowered.size());
  }
  return lowered.size();
}

// The matching blocks of a[0, a_size) and b[0, b_size). Writes three numbers a block (start in
// a, start in b, size) to `out`, which has room for min(a_size, b_size) blocks, and returns the
// number of blocks.
MARLUNE_PROBE std::size_t marlune_probe_matching_blocks(const std::uint32_t* a, std::size_t a_size,
                                                        const std::uint32_t* b, std::size_t b_size,
                                                        std::size_t* out) {
  const auto blocks = marlune::content_replacer::matching_blocks({a, a_size}, {b, b_size});
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    out[3 * k] = blocks[k].a_start;
    out[3 * k + 1] = blocks[k].b_start;
    out[3 * k + 2] = blocks[k].size;
  }
  return blocks.size();
}

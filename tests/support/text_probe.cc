// Plain C entry points over the Unicode tables, loaded by the Python tests through ctypes so the
// tables can be compared with the running interpreter's own case mappings.
#include <cstdint>
#include <cstring>

#include "text/unicode_data.h"

extern "C" {

__attribute__((visibility("default"))) const char* marlune_probe_unicode_version() {
  static const std::string_view version = marlune::text::unicode_version();
  return version.data();
}

__attribute__((visibility("default"))) std::uint32_t marlune_probe_lower_full(
    std::uint32_t cp, std::uint32_t* out) {
  char32_t buf[3];
  const std::size_t n = marlune::text::lower_full(static_cast<char32_t>(cp), buf);
  for (std::size_t i = 0; i < n; ++i) out[i] = buf[i];
  return static_cast<std::uint32_t>(n);
}

__attribute__((visibility("default"))) std::uint32_t marlune_probe_upper_full(
    std::uint32_t cp, std::uint32_t* out) {
  char32_t buf[3];
  const std::size_t n = marlune::text::upper_full(static_cast<char32_t>(cp), buf);
  for (std::size_t i = 0; i < n; ++i) out[i] = buf[i];
  return static_cast<std::uint32_t>(n);
}

__attribute__((visibility("default"))) std::uint32_t marlune_probe_lower_first(std::uint32_t cp) {
  return marlune::text::lower_first(static_cast<char32_t>(cp));
}

__attribute__((visibility("default"))) std::uint32_t marlune_probe_upper_first(std::uint32_t cp) {
  return marlune::text::upper_first(static_cast<char32_t>(cp));
}

__attribute__((visibility("default"))) int marlune_probe_is_white_space(std::uint32_t cp) {
  return marlune::text::is_white_space(static_cast<char32_t>(cp)) ? 1 : 0;
}
}

// Conversion between str objects and the UTF-8 text the engines work on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "module/python_ref.h"
#include "text/transcode.h"

namespace marlune::module {

// New str from UTF-8 bytes (null with an exception set on failure).
OwnedRef make_str(std::string_view text);

// The same str, built by a decoder that is quicker than make_str's for text that holds
// characters past U+00FF, and slower for text that holds none, which it has to scan twice.
OwnedRef make_wide_str(std::string_view text);

// The same str for text whose character count and narrowest width are known beforehand, as
// utf8_shape would find them: made at once in that width with no pass to find them, and for
// ASCII text copied as it is. A shape that does not fit the text leaves the work to make_str.
OwnedRef make_str_of_shape(std::string_view text, text::Utf8Shape shape);

}  // namespace marlune::module

// Conversion between str objects and the UTF-8 text the engines work on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "module/python_ref.h"

namespace marlune::module {

// New str from UTF-8 bytes (null with an exception set on failure).
OwnedRef make_str(std::string_view text);

}  // namespace marlune::module

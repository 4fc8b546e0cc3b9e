// The one place where C++ exceptions become Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace marlune::module {

// Sets the Python exception for a C++ exception caught at the boundary: std::bad_alloc becomes
// MemoryError, anything else the module's internal error type.
void set_exception_from_current();

// Runs `body` (which returns a new reference or null with an exception set) so that no C++
// exception unwinds into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_exception_from_current();
    return nullptr;
  }
}

}  // namespace marlune::module

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/errors.h"

#include <exception>
#include <new>

#include "module/once_object.h"

namespace marlune::module {
namespace {

// Raised for a broken invariant inside native code. It derives from BaseException so that a
// caller's `except Exception` does not silently swallow a fault of this module.
OnceObject internal_error_type;

PyObject* get_internal_error_type() {
  return internal_error_type.get([] {
    return PyErr_NewExceptionWithDoc("_marlune_search.InternalError",
                                     "An internal fault of the _marlune_search module.",
                                     PyExc_BaseException, nullptr);
  });
}

}  // namespace

void set_exception_from_current() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    if (PyObject* type = get_internal_error_type()) PyErr_SetString(type, error.what());
  } catch (...) {
    if (PyObject* type = get_internal_error_type()) {
      PyErr_SetString(type, "unknown native exception");
    }
  }
}

}  // namespace marlune::module

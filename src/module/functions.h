// The module's functions and classes, registered by module.cc in their fixed order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace marlune::module {

extern PyMethodDef fuzzy_match_method;
extern PyMethodDef get_best_matches_method;
extern PyMethodDef fuzzy_match_simple_method;
extern PyMethodDef replace_content_method;
extern PyMethodDef try_replace_content_method;

// The StreamingFuzzyMatcher class, created once on first use (borrowed; null on failure).
PyTypeObject* streaming_fuzzy_matcher_type();

// Casts a fast-call entry point to the generic method pointer type of PyMethodDef.
using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_method(FastcallFunction function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace marlune::module

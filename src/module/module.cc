// Module entry point: creates the module once per process and registers its functions and
// classes, in a fixed order, each appended to __all__.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "module/errors.h"
#include "module/functions.h"
#include "module/once_object.h"
#include "module/python_ref.h"
#include "module/records.h"

namespace marlune::module {
namespace {

// The module keeps process-wide state (its type objects), so it belongs to the first
// interpreter that imports it.
std::atomic<std::int64_t> owning_interpreter{-1};

OnceObject module_object;
OnceObject all_name;
OnceObject name_name;

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_marlune_search",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

PyObject* interned(OnceObject& cell, const char* text) {
  return cell.get([text] { return PyUnicode_InternFromString(text); });
}

// Appends `name` to the module's __all__ (creating the list if needed) and sets the attribute.
bool add_to_module(PyObject* module, PyObject* name, PyObject* object) {
  PyObject* all_key = interned(all_name, "__all__");
  if (all_key == nullptr) return false;
  OwnedRef all = OwnedRef::steal(PyObject_GetAttr(module, all_key));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = OwnedRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_key, all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    return false;
  }
  return PyList_Append(all.get(), name) == 0 && PyObject_SetAttr(module, name, object) == 0;
}

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef& definition) {
  OwnedRef function = OwnedRef::steal(PyCMethod_New(&definition, module, module_name, nullptr));
  if (!function) return false;
  PyObject* name_key = interned(name_name, "__name__");
  if (name_key == nullptr) return false;
  OwnedRef name = OwnedRef::steal(PyObject_GetAttr(function.get(), name_key));
  return name && add_to_module(module, name.get(), function.get());
}

bool add_class(PyObject* module, PyTypeObject* type) {
  if (type == nullptr) return false;
  OwnedRef name = OwnedRef::steal(PyType_GetName(type));
  return name && add_to_module(module, name.get(), reinterpret_cast<PyObject*>(type));
}

PyObject* create_module() {
  OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
  if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
  // Every function runs its native work under the interpreter lock, so ask for it on
  // free-threaded builds.
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return nullptr;
#endif
  OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  for (PyMethodDef* definition :
       {&fuzzy_match_method, &get_best_matches_method, &fuzzy_match_simple_method,
        &replace_content_method, &try_replace_content_method}) {
    if (!add_function(module.get(), module_name.get(), *definition)) return nullptr;
  }
  for (PyTypeObject* (*type)() :
       {streaming_fuzzy_matcher_type, match_range_type, replace_result_type,
        try_replace_result_type, fuzzy_match_info_type}) {
    if (!add_class(module.get(), type())) return nullptr;
  }
  return module.release();
}

PyObject* init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_marlune_search does not support sub-interpreters: it is already loaded by "
                    "another interpreter of this process");
    return nullptr;
  }
  PyObject* module = module_object.get(create_module);
  return module == nullptr ? nullptr : Py_NewRef(module);
}

}  // namespace
}  // namespace marlune::module

PyMODINIT_FUNC PyInit__marlune_search(void) {
  return marlune::module::guarded([] { return marlune::module::init_module(); });
}

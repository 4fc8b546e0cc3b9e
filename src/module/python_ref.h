// Ownership of interpreter references, and the small constructors every wrapper uses to hand
// new objects back to the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace marlune::module {

// An owned (strong) reference, released exactly once; `release()` hands it to the caller.
class OwnedRef {
 public:
  OwnedRef() = default;
  // Takes over a new reference (which may be null).
  static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
  // Makes a new strong reference to an object the caller only borrows.
  static OwnedRef new_ref(PyObject* object) {
    Py_XINCREF(object);
    return OwnedRef(object);
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit OwnedRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// A new list of `size` items, item i being `make_item(i)` (an OwnedRef, empty with an exception
// set on failure). The list is only handed out once every slot is filled, so no caller ever
// sees a list with holes.
template <class MakeItem>
OwnedRef new_list(std::size_t size, MakeItem&& make_item) {
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
  if (!list) return {};
  for (std::size_t i = 0; i < size; ++i) {
    OwnedRef item = make_item(i);
    if (!item) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

}  // namespace marlune::module

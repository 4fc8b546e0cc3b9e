// Ownership of interpreter references, once-only process state and the one place where C++
// exceptions become Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>

namespace marlune::module {

// An owned (strong) reference, released exactly once; `release()` hands it to the caller.
class OwnedRef {
 public:
  OwnedRef() = default;
  // Takes over a new reference (which may be null).
  static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
  // Adds a reference to a borrowed object.
  static OwnedRef borrow(PyObject* object) {
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

// A process-wide object made once and never released. A thread that finds another thread in
// the middle of making it detaches from the interpreter while it waits, so the maker (which
// may need the interpreter, e.g. for an import) can finish. A failed attempt leaves the cell
// empty so that a later call tries again.
class OnceObject {
 public:
  // `make` returns a new reference or null with an exception set. Returns a borrowed reference.
  template <class Make>
  PyObject* get(Make&& make) {
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
    if (!mutex_.try_lock()) {
      PyThreadState* state = PyEval_SaveThread();
      mutex_.lock();
      PyEval_RestoreThread(state);
    }
    std::lock_guard<std::mutex> guard(mutex_, std::adopt_lock);
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
    PyObject* made = make();
    if (made != nullptr) value_.store(made, std::memory_order_release);
    return made;
  }

  PyObject* peek() const { return value_.load(std::memory_order_acquire); }

 private:
  std::atomic<PyObject*> value_{nullptr};
  std::mutex mutex_;
};

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

// New str from UTF-8 bytes.
inline OwnedRef make_str(std::string_view text) {
  return OwnedRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace marlune::module

// Process-wide objects that are made once, on first use, and never released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <mutex>

namespace marlune::module {

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

 private:
  std::atomic<PyObject*> value_{nullptr};
  std::mutex mutex_;
};

}  // namespace marlune::module

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/text_objects.h"

namespace marlune::module {

OwnedRef make_str(std::string_view text) {
  return OwnedRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace marlune::module

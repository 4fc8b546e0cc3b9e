#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/arguments.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "module/once_object.h"
#include "text/transcode.h"

namespace marlune::module {
namespace {

// The pending exception, taken out of the interpreter's error indicator.
struct PendingException {
#if PY_VERSION_HEX >= 0x030C0000
  OwnedRef value;
  static PendingException fetch() { return {OwnedRef::steal(PyErr_GetRaisedException())}; }
  void restore() { PyErr_SetRaisedException(value.release()); }
#else
  OwnedRef value;
  static PendingException fetch() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(traceback);
    Py_XDECREF(type);
    return {OwnedRef::steal(value)};
  }
  void restore() {
    PyObject* value_object = value.release();
    if (value_object == nullptr) return;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value_object));
    Py_INCREF(type);
    PyErr_Restore(type, value_object, PyException_GetTraceback(value_object));
  }
#endif
};

// Raises TypeError "'<type>' object cannot be cast as '<target>'", where <type> is the
// qualified name of the object's type and `target` the name of what was expected (a str).
void set_cast_error(PyObject* object, PyObject* target) {
  OwnedRef qualname = OwnedRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%U'", qualname.get(), target);
}

void set_cast_error(PyObject* object, const char* target) {
  OwnedRef name = OwnedRef::steal(PyUnicode_FromString(target));
  if (name) set_cast_error(object, name.get());
}

// Index of the parameter called `name`, or -1.
Py_ssize_t find_parameter(const FunctionDescription& description, PyObject* name) {
  if (!PyUnicode_Check(name)) return -1;
  for (std::size_t i = 0; i < description.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, description.parameters[i]) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

bool bind_positional(const FunctionDescription& description, PyObject* const* args,
                     Py_ssize_t nargs, ArgumentSlots slots) {
  const auto count = static_cast<Py_ssize_t>(description.parameters.size());
  for (Py_ssize_t i = 0; i < nargs && i < count; ++i) slots[i] = args[i];
  if (nargs <= count) return true;
  const char* verb = nargs == 1 ? "was" : "were";
  if (description.required == description.parameters.size()) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                 description.display_name, count, nargs, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 description.display_name, static_cast<Py_ssize_t>(description.required), count,
                 nargs, verb);
  }
  return false;
}

bool bind_keyword(const FunctionDescription& description, PyObject* name, PyObject* value,
                  ArgumentSlots slots) {
  const Py_ssize_t index = find_parameter(description, name);
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 description.display_name, name);
    return false;
  }
  if (slots[index] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'",
                 description.display_name, name);
    return false;
  }
  slots[index] = value;
  return true;
}

bool check_required(const FunctionDescription& description, ArgumentSlots slots) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < description.required; ++i) missing += slots[i] == nullptr;
  if (missing == 0) return true;
  std::string names;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < description.required; ++i) {
    if (slots[i] != nullptr) continue;
    ++listed;
    if (listed > 1) {
      if (missing > 2) names += ",";
      names += listed == missing ? " and " : " ";
    }
    names += "'";
    names += description.parameters[i];
    names += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s",
               description.display_name, static_cast<Py_ssize_t>(missing),
               missing == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

// collections.abc.Sequence, imported the first time a non-sequence is refused.
OnceObject sequence_abc;

// Attribute names looked up on type objects, interned once: the interpreter's attribute cache
// of a type keeps the name object it was asked with, so a new string per call would leave
// a varying number of them alive there.
OnceObject module_name_key;
OnceObject qualname_key;

PyObject* interned(OnceObject& cell, const char* text) {
  return cell.get([text] { return PyUnicode_InternFromString(text); });
}

PyObject* get_sequence_abc() {
  return sequence_abc.get([]() -> PyObject* {
    OwnedRef abc = OwnedRef::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return nullptr;
    return PyObject_GetAttrString(abc.get(), "Sequence");
  });
}

}  // namespace

bool extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, ArgumentSlots slots) {
  if (!bind_positional(description, args, nargs, slots)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      if (!bind_keyword(description, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) {
        return false;
      }
    }
  }
  return check_required(description, slots);
}

bool extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                  PyObject* kwargs, ArgumentSlots slots) {
  if (!bind_positional(description, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), slots)) {
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!bind_keyword(description, name, value, slots)) return false;
    }
  }
  return check_required(description, slots);
}

bool argument_extraction_error(const char* parameter) {
  PendingException pending = PendingException::fetch();
  if (!pending.value ||
      Py_TYPE(pending.value.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    pending.restore();
    return false;
  }
  OwnedRef message =
      OwnedRef::steal(PyUnicode_FromFormat("argument '%s': %S", parameter, pending.value.get()));
  if (!message) return false;
  OwnedRef error = OwnedRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!error) return false;
  if (PyObject* cause = PyException_GetCause(pending.value.get())) {
    PyException_SetCause(error.get(), cause);  // steals the new reference
  }
  PyErr_SetObject(PyExc_TypeError, error.get());
  return false;
}

bool convert_text(PyObject* object, const char* parameter, std::string_view& out) {
  if (object == nullptr) return true;
  if (!PyUnicode_Check(object)) {
    set_cast_error(object, "str");
    return argument_extraction_error(parameter);
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return argument_extraction_error(parameter);
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

namespace {

// Whether the interpreter already holds the string's UTF-8 form, so that asking for it costs
// nothing: always for ASCII strings, whose data is their UTF-8 form, and for any other string
// once something has asked for that form.
bool has_utf8_form(PyObject* object) {
  if (PyUnicode_IS_ASCII(object)) return true;
  auto* compact = reinterpret_cast<PyCompactUnicodeObject*>(object);
  return __atomic_load_n(&compact->utf8, __ATOMIC_ACQUIRE) != nullptr;
}

// The UTF-8 form of a ready string transcoded into `out`; false (with nothing set) when the
// string holds a surrogate, which has no UTF-8 form.
bool transcode_to_utf8(PyObject* object, TextArgument& out) {
  const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(object));
  const void* data = PyUnicode_DATA(object);
  const int kind = PyUnicode_KIND(object);
  const auto unit_size = static_cast<std::size_t>(kind);
  auto buffer = std::make_unique_for_overwrite<char[]>(text::utf8_capacity(length, unit_size));
  std::size_t size = text::kUnencodable;
  switch (kind) {
    case PyUnicode_1BYTE_KIND:
      size = text::latin1_to_utf8(static_cast<const std::uint8_t*>(data), length, buffer.get());
      break;
    case PyUnicode_2BYTE_KIND:
      size = text::ucs2_to_utf8(static_cast<const std::uint16_t*>(data), length, buffer.get());
      break;
    case PyUnicode_4BYTE_KIND:
      size = text::ucs4_to_utf8(static_cast<const std::uint32_t*>(data), length, buffer.get());
      break;
  }
  if (size == text::kUnencodable) return false;
  out.buffer = std::move(buffer);
  out.text = std::string_view(out.buffer.get(), size);
  return true;
}

}  // namespace

bool convert_text(PyObject* object, const char* parameter, TextArgument& out) {
  if (object == nullptr) return true;
  if (!PyUnicode_Check(object)) return convert_text(object, parameter, out.text);
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(object) < 0) return argument_extraction_error(parameter);
#endif
  out.length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(object));
  switch (PyUnicode_KIND(object)) {
    case PyUnicode_1BYTE_KIND:
      out.width = PyUnicode_IS_ASCII(object) ? text::CharWidth::Ascii : text::CharWidth::Latin1;
      break;
    case PyUnicode_2BYTE_KIND:
      out.width = text::CharWidth::Ucs2;
      break;
    default:
      out.width = text::CharWidth::Ucs4;
      break;
  }
  if (!has_utf8_form(object) && transcode_to_utf8(object, out)) return true;
  // A string with a surrogate goes to the interpreter too, which raises its own
  // UnicodeEncodeError for it.
  return convert_text(object, parameter, out.text);
}

namespace {

// numpy's boolean scalar type ("numpy.bool_", called "numpy.bool" in newer releases).
bool is_numpy_bool_type(PyTypeObject* type) {
  PyObject* key = interned(module_name_key, "__module__");
  OwnedRef name = OwnedRef::steal(PyType_GetName(type));
  OwnedRef module_name = OwnedRef::steal(
      key != nullptr ? PyObject_GetAttr(reinterpret_cast<PyObject*>(type), key) : nullptr);
  if (!name || !module_name || !PyUnicode_Check(module_name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(module_name.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

}  // namespace

bool convert_bool(PyObject* object, const char* parameter, bool& out) {
  if (object == nullptr) return true;
  if (object == Py_True || object == Py_False) {
    out = object == Py_True;
    return true;
  }
  PyTypeObject* type = Py_TYPE(object);
  if (!is_numpy_bool_type(type)) {
    set_cast_error(object, "bool");
    return argument_extraction_error(parameter);
  }
  inquiry to_bool = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
  if (to_bool == nullptr) {
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                 reinterpret_cast<PyObject*>(type));
    return argument_extraction_error(parameter);
  }
  const int truth = to_bool(object);
  if (truth < 0) return argument_extraction_error(parameter);
  out = truth != 0;
  return true;
}

namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

bool convert_long(PyObject* object, const char* parameter, long& out) {
  out = PyLong_AsLong(object);
  if (out == -1 && PyErr_Occurred()) return argument_extraction_error(parameter);
  return true;
}

}  // namespace

bool convert_int32(PyObject* object, const char* parameter, std::int32_t& out) {
  if (object == nullptr) return true;
  long value = 0;
  if (!convert_long(object, parameter, value)) return false;
  if (value < INT32_MIN || value > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return argument_extraction_error(parameter);
  }
  out = static_cast<std::int32_t>(value);
  return true;
}

bool convert_optional_uint32(PyObject* object, const char* parameter,
                             std::optional<std::uint32_t>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return true;
  }
  long value = 0;
  if (!convert_long(object, parameter, value)) return false;
  if (value < 0 || static_cast<unsigned long>(value) > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return argument_extraction_error(parameter);
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

namespace {

bool append_text_item(PyObject* item, std::vector<std::string_view>& out) {
  if (!PyUnicode_Check(item)) {
    set_cast_error(item, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(item, &size);
  if (data == nullptr) return false;
  out.emplace_back(data, static_cast<std::size_t>(size));
  return true;
}

// The most items reserved up front from a sequence's claimed length.
constexpr std::size_t kMaxReservedItems = std::size_t{1} << 16;

bool extract_text_items(PyObject* object, std::vector<std::string_view>& out,
                        std::vector<OwnedRef>& keep_alive) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    PyObject* abc = get_sequence_abc();
    if (abc == nullptr) return false;
    PyObject* key = interned(qualname_key, "__qualname__");
    if (key == nullptr) return false;
    OwnedRef abc_name = OwnedRef::steal(PyObject_GetAttr(abc, key));
    if (!abc_name) return false;
    set_cast_error(object, abc_name.get());
    return false;
  }
  // Exact lists and tuples are walked in place: nothing runs Python code while we read them,
  // so their items stay alive and in order for the whole call.
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
    PyObject** items = PySequence_Fast_ITEMS(object);
    out.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (!append_text_item(items[i], out)) return false;
    }
    return true;
  }
  // The length is only a hint: a sequence may claim far more items than it yields, so the
  // reservation is capped and the vectors grow from there if the items keep coming.
  const Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    const std::size_t capacity = std::min(static_cast<std::size_t>(hint), kMaxReservedItems);
    out.reserve(capacity);
    keep_alive.reserve(capacity);
  }
  OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
    if (!append_text_item(item.get(), out)) return false;
    keep_alive.push_back(std::move(item));
  }
  return !PyErr_Occurred();
}

}  // namespace

bool convert_text_sequence(PyObject* object, const char* parameter,
                           std::vector<std::string_view>& out, std::vector<OwnedRef>& keep_alive) {
  if (object == nullptr) return true;
  out.clear();
  if (!extract_text_items(object, out, keep_alive)) return argument_extraction_error(parameter);
  return true;
}

bool convert_record(PyObject* object, const char* parameter, PyTypeObject* type, PyObject*& out) {
  if (object == nullptr) return true;
  if (PyObject_TypeCheck(object, type)) {
    out = object;
    return true;
  }
  OwnedRef expected = OwnedRef::steal(PyType_GetQualName(type));
  if (expected) set_cast_error(object, expected.get());
  return argument_extraction_error(parameter);
}

}  // namespace marlune::module

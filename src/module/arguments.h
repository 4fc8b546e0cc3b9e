// Binding of call arguments to parameters and conversion of each argument kind. Every function,
// method and constructor of the module goes through these, so they all speak with one voice.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "module/python_ref.h"
#include "text/transcode.h"

namespace marlune::module {

// What a call needs to bind its arguments: the name shown in messages ("fuzzy_match()",
// "StreamingFuzzyMatcher.push()"), the parameter names in order, and how many leading ones are
// required. Every parameter may be given by position or by keyword.
struct FunctionDescription {
  const char* display_name;
  std::span<const char* const> parameters;
  std::size_t required;
};

// Slots for the bound arguments (borrowed references; null where a parameter was not given).
using ArgumentSlots = std::span<PyObject*>;

// Binds a fast call's positional array and keyword-name tuple to `slots`
// (slots.size() == parameters.size()). Returns false with TypeError set on a binding error.
bool extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, ArgumentSlots slots);

// The same binding for a call given as an argument tuple and a keyword dictionary (null when
// there are no keywords); keywords are taken in the dictionary's order.
bool extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                  PyObject* kwargs, ArgumentSlots slots);

// Replaces the pending exception of a failed conversion of `parameter`: an exception of exactly
// TypeError becomes TypeError("argument '<parameter>': <message>"); anything else stays.
// Always returns false, so converters can `return argument_extraction_error(...)`.
bool argument_extraction_error(const char* parameter);

// Converters, one per argument kind. Each returns true with the native value, or false with
// the interpreter's exception set (already rewritten by argument_extraction_error). Each takes
// the parameter's slot as it is: an omitted argument (null) leaves `out` holding the default the
// caller put there, so call sites never test slots themselves.

// text: a read-only view of the string's UTF-8 form, valid while `object` lives.
bool convert_text(PyObject* object, const char* parameter, std::string_view& out);

// A text argument for a call that reads its whole text once. The UTF-8 form that the string
// already has (every ASCII string has one) is viewed in place; for any other string it is
// transcoded from the interpreter's own representation into `buffer`, which the interpreter
// would otherwise do far more slowly and then keep beside the string for its lifetime.
struct TextArgument {
  std::string_view text;
  std::unique_ptr<char[]> buffer;
  // The string's length in characters and the narrowest width that holds them all, read off
  // how the interpreter stores it, which is always in that narrowest width.
  std::size_t length = 0;
  text::CharWidth width = text::CharWidth::Ascii;
};

// The same conversion, values and errors as above, with the text held by `out`.
bool convert_text(PyObject* object, const char* parameter, TextArgument& out);

// boolean: exactly True or False, or numpy's bool.
bool convert_bool(PyObject* object, const char* parameter, bool& out);

// 32-bit signed integer through the interpreter's C long conversion.
bool convert_int32(PyObject* object, const char* parameter, std::int32_t& out);

// Optional unsigned 32-bit integer: omitted and None both mean absent.
bool convert_optional_uint32(PyObject* object, const char* parameter,
                             std::optional<std::uint32_t>& out);

// A sequence of str (not a str itself), as views of the items' UTF-8 forms. `keep_alive`
// receives references that keep the viewed strings alive for the rest of the call.
bool convert_text_sequence(PyObject* object, const char* parameter,
                           std::vector<std::string_view>& out, std::vector<OwnedRef>& keep_alive);

// record: an instance of `type` (a borrowed reference to the argument itself).
bool convert_record(PyObject* object, const char* parameter, PyTypeObject* type, PyObject*& out);

}  // namespace marlune::module

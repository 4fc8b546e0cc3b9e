#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/records.h"

#include <cmath>
#include <cstdio>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "module/errors.h"
#include "module/once_object.h"
#include "module/text_objects.h"
#include "text/utf8.h"

namespace marlune::module {
namespace {

using content_replacer::FuzzyMatch;

// A record object: the interpreter's header followed by the native payload, which is built
// with placement new when the record is made and destroyed in tp_dealloc.
template <class Payload>
struct Record {
  PyObject_HEAD Payload payload;
};

template <class Payload>
Payload& payload_of(PyObject* self) {
  return reinterpret_cast<Record<Payload>*>(self)->payload;
}

template <class Payload>
void record_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  payload_of<Payload>(self).~Payload();
  type->tp_free(self);
  Py_DECREF(type);
}

template <class Payload>
OwnedRef new_record(PyTypeObject* type, Payload&& payload) {
  if (type == nullptr) return {};
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return {};
  static_assert(std::is_nothrow_move_constructible_v<Payload>);
  new (&payload_of<Payload>(self)) Payload(std::move(payload));
  return OwnedRef::steal(self);
}

constexpr unsigned kRecordFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyObject* type_from_spec(PyType_Spec& spec) {
  return PyType_FromSpec(&spec);
}

// A read-only attribute without a doc string: every record field is one.
constexpr PyGetSetDef read_only(const char* name, getter get) {
  return {.name = name, .get = get, .set = nullptr, .doc = nullptr, .closure = nullptr};
}

PyObject* new_size(std::size_t value) {
  return PyLong_FromSize_t(value);
}

PyObject* new_str(const std::string& value) {
  return make_str(value).release();
}

// Shows at most the first 50 bytes of a matched text; a longer text is cut at the last
// character boundary at or before byte 50 and marked with "...".
std::string preview(std::string_view text) {
  constexpr std::size_t kLimit = 50;
  if (text.size() <= kLimit) return std::string(text);
  std::string shown(text.substr(0, text::floor_char_boundary(text, kLimit)));
  shown += "...";
  return shown;
}

std::string format_two_decimals(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // The widest finite double prints in fewer than 320 characters.
  char buffer[400];
  const int size = std::snprintf(buffer, sizeof buffer, "%.2f", value);
  return std::string(buffer, static_cast<std::size_t>(size));
}

// A name written inside double quotes: quotes and backslashes escaped, control characters
// written as escapes.
std::string quoted(std::string_view value) {
  std::string out = "\"";
  for (const char c : value) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

PyObject* repr_of(std::string text) {
  return new_str(text);
}

// ---- MatchRange ----

struct MatchRangeData {
  std::size_t start = 0;
  std::size_t end = 0;
};

PyObject* match_range_get_start(PyObject* self, void*) {
  return new_size(payload_of<MatchRangeData>(self).start);
}
PyObject* match_range_get_end(PyObject* self, void*) {
  return new_size(payload_of<MatchRangeData>(self).end);
}

PyObject* match_range_repr(PyObject* self) {
  return guarded([&] {
    const auto& r = payload_of<MatchRangeData>(self);
    return repr_of("MatchRange(start=" + std::to_string(r.start) +
                   ", end=" + std::to_string(r.end) + ")");
  });
}

PyObject* match_range_richcompare(PyObject* self, PyObject* other, int op) {
  PyTypeObject* type = match_range_type();
  if (type == nullptr) return nullptr;
  switch (op) {
    case Py_EQ: {
      if (!PyObject_TypeCheck(self, type) || !PyObject_TypeCheck(other, type)) {
        Py_RETURN_NOTIMPLEMENTED;
      }
      const auto& a = payload_of<MatchRangeData>(self);
      const auto& b = payload_of<MatchRangeData>(other);
      return PyBool_FromLong(a.start == b.start && a.end == b.end);
    }
    case Py_NE: {
      OwnedRef equal = OwnedRef::steal(PyObject_RichCompare(self, other, Py_EQ));
      if (!equal) return nullptr;
      const int truth = PyObject_IsTrue(equal.get());
      if (truth < 0) return nullptr;
      return PyBool_FromLong(!truth);
    }
    default:
      Py_RETURN_NOTIMPLEMENTED;
  }
}

PyGetSetDef match_range_getset[] = {
    read_only("start", match_range_get_start),
    read_only("end", match_range_get_end),
    {},  // sentinel
};

PyType_Slot match_range_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for a match range.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<MatchRangeData>)},
    {Py_tp_repr, reinterpret_cast<void*>(match_range_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(match_range_richcompare)},
    {Py_tp_getset, match_range_getset},
    {0, nullptr},
};

PyType_Spec match_range_spec = {
    .name = "builtins.MatchRange",
    .basicsize = sizeof(Record<MatchRangeData>),
    .itemsize = 0,
    .flags = kRecordFlags,
    .slots = match_range_slots,
};

// ---- ReplaceResult ----

// A text of a replacement, built straight in its known shape, or else through the decoder that
// suits what the call's arguments held.
PyObject* replacement_text(const ReplaceResultData& r, const std::string& text,
                           const std::optional<text::Utf8Shape>& shape) {
  if (shape) return make_str_of_shape(text, *shape).release();
  return (r.hints.wide_text ? make_wide_str(text) : make_str(text)).release();
}

PyObject* replace_result_get_content(PyObject* self, void*) {
  const auto& r = payload_of<ReplaceResultData>(self);
  return replacement_text(r, r.content, r.hints.content_shape);
}
PyObject* replace_result_get_matched_text(PyObject* self, void*) {
  const auto& r = payload_of<ReplaceResultData>(self);
  std::optional<text::Utf8Shape> shape;  // a known content shape means an ASCII matched text
  if (r.hints.content_shape) shape = text::Utf8Shape{r.matched_text.size(), text::CharWidth::Ascii};
  return replacement_text(r, r.matched_text, shape);
}
PyObject* replace_result_get_start_line(PyObject* self, void*) {
  return new_size(payload_of<ReplaceResultData>(self).start_line);
}
PyObject* replace_result_get_end_line(PyObject* self, void*) {
  return new_size(payload_of<ReplaceResultData>(self).end_line);
}
PyObject* replace_result_get_strategy(PyObject* self, void*) {
  return new_str(payload_of<ReplaceResultData>(self).strategy);
}

PyObject* replace_result_repr(PyObject* self) {
  return guarded([&] {
    const auto& r = payload_of<ReplaceResultData>(self);
    return repr_of("ReplaceResult(start_line=" + std::to_string(r.start_line) +
                   ", end_line=" + std::to_string(r.end_line) + ", strategy='" + r.strategy +
                   "', matched_text='" + preview(r.matched_text) + "')");
  });
}

PyGetSetDef replace_result_getset[] = {
    read_only("content", replace_result_get_content),
    read_only("matched_text", replace_result_get_matched_text),
    read_only("start_line", replace_result_get_start_line),
    read_only("end_line", replace_result_get_end_line),
    read_only("strategy", replace_result_get_strategy),
    {},  // sentinel
};

PyType_Slot replace_result_slots[] = {
    {Py_tp_doc, const_cast<char*>("Result of a successful replacement operation.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<ReplaceResultData>)},
    {Py_tp_repr, reinterpret_cast<void*>(replace_result_repr)},
    {Py_tp_getset, replace_result_getset},
    {0, nullptr},
};

PyType_Spec replace_result_spec = {
    .name = "builtins.ReplaceResult",
    .basicsize = sizeof(Record<ReplaceResultData>),
    .itemsize = 0,
    .flags = kRecordFlags,
    .slots = replace_result_slots,
};

// ---- FuzzyMatchInfo ----

PyObject* fuzzy_match_info_get_similarity(PyObject* self, void*) {
  return PyFloat_FromDouble(payload_of<FuzzyMatch>(self).similarity);
}
PyObject* fuzzy_match_info_get_start_line(PyObject* self, void*) {
  return new_size(payload_of<FuzzyMatch>(self).start_line);
}
PyObject* fuzzy_match_info_get_end_line(PyObject* self, void*) {
  return new_size(payload_of<FuzzyMatch>(self).end_line);
}
PyObject* fuzzy_match_info_get_text(PyObject* self, void*) {
  return new_str(payload_of<FuzzyMatch>(self).text);
}
PyObject* fuzzy_match_info_get_diff(PyObject* self, void*) {
  return new_str(payload_of<FuzzyMatch>(self).diff);
}

PyObject* fuzzy_match_info_repr(PyObject* self) {
  return guarded([&] {
    const auto& r = payload_of<FuzzyMatch>(self);
    return repr_of("FuzzyMatchInfo(similarity=" + format_two_decimals(r.similarity) + ", lines=" +
                   std::to_string(r.start_line) + "-" + std::to_string(r.end_line) + ")");
  });
}

PyGetSetDef fuzzy_match_info_getset[] = {
    read_only("similarity", fuzzy_match_info_get_similarity),
    read_only("start_line", fuzzy_match_info_get_start_line),
    read_only("end_line", fuzzy_match_info_get_end_line),
    read_only("text", fuzzy_match_info_get_text),
    read_only("diff", fuzzy_match_info_get_diff),
    {},  // sentinel
};

PyType_Slot fuzzy_match_info_slots[] = {
    {Py_tp_doc, const_cast<char*>("Information about a fuzzy match when replacement fails.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<FuzzyMatch>)},
    {Py_tp_repr, reinterpret_cast<void*>(fuzzy_match_info_repr)},
    {Py_tp_getset, fuzzy_match_info_getset},
    {0, nullptr},
};

PyType_Spec fuzzy_match_info_spec = {
    .name = "builtins.FuzzyMatchInfo",
    .basicsize = sizeof(Record<FuzzyMatch>),
    .itemsize = 0,
    .flags = kRecordFlags,
    .slots = fuzzy_match_info_slots,
};

// ---- TryReplaceResult ----

PyObject* optional_str(const std::optional<std::string>& value) {
  if (!value) Py_RETURN_NONE;
  return new_str(*value);
}

PyObject* try_replace_result_get_success(PyObject* self, void*) {
  return PyBool_FromLong(payload_of<TryReplaceResultData>(self).success);
}
PyObject* try_replace_result_get_result(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto& r = payload_of<TryReplaceResultData>(self);
    if (!r.result) Py_RETURN_NONE;
    return new_replace_result(ReplaceResultData(*r.result)).release();
  });
}
PyObject* try_replace_result_get_error(PyObject* self, void*) {
  return optional_str(payload_of<TryReplaceResultData>(self).error);
}
PyObject* try_replace_result_get_error_type(PyObject* self, void*) {
  return optional_str(payload_of<TryReplaceResultData>(self).error_type);
}
PyObject* try_replace_result_get_closest_match(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto& r = payload_of<TryReplaceResultData>(self);
    if (!r.closest_match) Py_RETURN_NONE;
    return new_fuzzy_match_info(FuzzyMatch(*r.closest_match)).release();
  });
}
PyObject* try_replace_result_get_locations(PyObject* self, void*) {
  const auto& r = payload_of<TryReplaceResultData>(self);
  if (!r.locations) Py_RETURN_NONE;
  const std::vector<std::size_t>& locations = *r.locations;
  return new_list(locations.size(),
                  [&](std::size_t i) { return OwnedRef::steal(new_size(locations[i])); })
      .release();
}

PyObject* try_replace_result_repr(PyObject* self) {
  return guarded([&] {
    const auto& r = payload_of<TryReplaceResultData>(self);
    if (r.success) {
      return repr_of(r.result ? "TryReplaceResult(success=True, result=Some(" +
                                    quoted(r.result->strategy) + "))"
                              : "TryReplaceResult(success=True, result=None)");
    }
    return repr_of(r.error_type ? "TryReplaceResult(success=False, error_type=Some(" +
                                      quoted(*r.error_type) + "))"
                                : "TryReplaceResult(success=False, error_type=None)");
  });
}

int try_replace_result_bool(PyObject* self) {
  return payload_of<TryReplaceResultData>(self).success ? 1 : 0;
}

PyGetSetDef try_replace_result_getset[] = {
    read_only("success", try_replace_result_get_success),
    read_only("result", try_replace_result_get_result),
    read_only("error", try_replace_result_get_error),
    read_only("error_type", try_replace_result_get_error_type),
    read_only("closest_match", try_replace_result_get_closest_match),
    read_only("locations", try_replace_result_get_locations),
    {},  // sentinel
};

PyType_Slot try_replace_result_slots[] = {
    {Py_tp_doc, const_cast<char*>("Result from try_replace_content - either success with result, "
                                  "or failure with error details.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<TryReplaceResultData>)},
    {Py_tp_repr, reinterpret_cast<void*>(try_replace_result_repr)},
    {Py_nb_bool, reinterpret_cast<void*>(try_replace_result_bool)},
    {Py_tp_getset, try_replace_result_getset},
    {0, nullptr},
};

PyType_Spec try_replace_result_spec = {
    .name = "builtins.TryReplaceResult",
    .basicsize = sizeof(Record<TryReplaceResultData>),
    .itemsize = 0,
    .flags = kRecordFlags,
    .slots = try_replace_result_slots,
};

OnceObject match_range_type_object;
OnceObject replace_result_type_object;
OnceObject fuzzy_match_info_type_object;
OnceObject try_replace_result_type_object;

PyTypeObject* as_type(PyObject* object) {
  return reinterpret_cast<PyTypeObject*>(object);
}

}  // namespace

PyTypeObject* match_range_type() {
  return as_type(match_range_type_object.get([] { return type_from_spec(match_range_spec); }));
}
PyTypeObject* replace_result_type() {
  return as_type(
      replace_result_type_object.get([] { return type_from_spec(replace_result_spec); }));
}
PyTypeObject* fuzzy_match_info_type() {
  return as_type(
      fuzzy_match_info_type_object.get([] { return type_from_spec(fuzzy_match_info_spec); }));
}
PyTypeObject* try_replace_result_type() {
  return as_type(
      try_replace_result_type_object.get([] { return type_from_spec(try_replace_result_spec); }));
}

OwnedRef new_match_range(std::size_t start, std::size_t end) {
  return new_record(match_range_type(), MatchRangeData{start, end});
}
OwnedRef new_replace_result(ReplaceResultData&& value) {
  return new_record(replace_result_type(), std::move(value));
}
OwnedRef new_fuzzy_match_info(FuzzyMatch&& value) {
  return new_record(fuzzy_match_info_type(), std::move(value));
}
OwnedRef new_try_replace_result(TryReplaceResultData&& value) {
  return new_record(try_replace_result_type(), std::move(value));
}

MatchRangeFields match_range_fields(PyObject* match_range) {
  const auto& r = payload_of<MatchRangeData>(match_range);
  return {r.start, r.end};
}

}  // namespace marlune::module

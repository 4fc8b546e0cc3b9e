// The Python class StreamingFuzzyMatcher: owns one engine and guards it with an access flag, so
// that an overlapping use is refused at once instead of corrupting the matcher.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "module/arguments.h"
#include "module/errors.h"
#include "module/functions.h"
#include "module/once_object.h"
#include "module/python_ref.h"
#include "module/records.h"
#include "module/text_objects.h"
#include "streaming_matcher/streaming_matcher.h"

namespace marlune::module {
namespace {

using Engine = streaming_matcher::StreamingFuzzyMatcher;
using streaming_matcher::ByteRange;

struct MatcherObject {
  PyObject_HEAD Engine engine;
  // 0 when free, -1 while one caller holds it exclusively, n > 0 while n callers read it.
  std::atomic<int> access;
};

MatcherObject* as_matcher(PyObject* self) {
  return reinterpret_cast<MatcherObject*>(self);
}

// Holds exclusive or shared access for the length of a call.
class Access {
 public:
  static std::optional<Access> exclusive(MatcherObject* self) {
    int expected = 0;
    if (!self->access.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return std::nullopt;
    }
    return Access(self);
  }

  static std::optional<Access> shared(MatcherObject* self) {
    int current = self->access.load(std::memory_order_relaxed);
    do {
      if (current < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return std::nullopt;
      }
    } while (!self->access.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
    return Access(self);
  }

  Access(Access&& other) noexcept : self_(std::exchange(other.self_, nullptr)) {}
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;
  Access& operator=(Access&&) = delete;
  ~Access() {
    if (self_ == nullptr) return;
    if (self_->access.load(std::memory_order_relaxed) < 0) {
      self_->access.store(0, std::memory_order_release);
    } else {
      self_->access.fetch_sub(1, std::memory_order_release);
    }
  }

 private:
  explicit Access(MatcherObject* self) : self_(self) {}
  MatcherObject* self_;
};

OwnedRef optional_range(const std::optional<ByteRange>& range) {
  if (!range) return OwnedRef::new_ref(Py_None);
  return new_match_range(range->start, range->end);
}

OwnedRef string_list(const std::vector<std::string>& strings) {
  return new_list(strings.size(), [&](std::size_t i) { return make_str(strings[i]); });
}

// ---- constructor and destructor ----

constexpr std::array<const char*, 1> kNewParameters = {"source_text"};
const FunctionDescription kNewDescription{"StreamingFuzzyMatcher.__new__()", kNewParameters, 1};

PyObject* matcher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, kNewParameters.size()> slots{};
    if (!extract_arguments_tuple_dict(kNewDescription, args, kwargs, slots)) return nullptr;
    std::string_view source_text;
    if (!convert_text(slots[0], "source_text", source_text)) return nullptr;
    Engine engine(source_text);
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_matcher(self)->engine) Engine(std::move(engine));
    new (&as_matcher(self)->access) std::atomic<int>(0);
    return self;
  });
}

void matcher_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_matcher(self)->engine.~Engine();
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- methods ----

constexpr const char* kPushDoc =
    "push($self, chunk, line_hint=None)\n--\n\n"
    "Push a new chunk of text and get the best match found so far.\n\n"
    "This method accumulates text chunks and processes complete lines.\n"
    "Partial lines are buffered internally until a newline is received.\n\n"
    "Args:\n"
    "    chunk: Text chunk to add to the query\n"
    "    line_hint: Optional line number hint for match selection\n\n"
    "Returns:\n"
    "    MatchRange if a match has been found, None otherwise";

constexpr std::array<const char*, 2> kPushParameters = {"chunk", "line_hint"};
const FunctionDescription kPushDescription{"StreamingFuzzyMatcher.push()", kPushParameters, 1};

PyObject* matcher_push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, kPushParameters.size()> slots{};
    if (!extract_arguments_fastcall(kPushDescription, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    std::string_view chunk;
    std::optional<std::uint32_t> line_hint;
    if (!convert_text(slots[0], "chunk", chunk)) return nullptr;
    if (!convert_optional_uint32(slots[1], "line_hint", line_hint)) return nullptr;
    auto access = Access::exclusive(as_matcher(self));
    if (!access) return nullptr;
    return optional_range(as_matcher(self)->engine.push(chunk, line_hint)).release();
  });
}

constexpr const char* kFinishDoc =
    "finish($self)\n--\n\n"
    "Finish processing and return all final matches.\n\n"
    "This processes any remaining incomplete line before returning\n"
    "the final match results.\n\n"
    "Returns:\n"
    "    List of all found MatchRange objects";

PyObject* matcher_finish(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto access = Access::exclusive(as_matcher(self));
    if (!access) return nullptr;
    const std::vector<ByteRange> ranges = as_matcher(self)->engine.finish();
    return new_list(ranges.size(),
                    [&](std::size_t i) { return new_match_range(ranges[i].start, ranges[i].end); })
        .release();
  });
}

constexpr const char* kSelectBestMatchDoc =
    "select_best_match($self)\n--\n\n"
    "Return the best match considering line hints.\n\n"
    "Returns:\n"
    "    Best MatchRange, or None if no suitable match found";

PyObject* matcher_select_best_match(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto access = Access::shared(as_matcher(self));
    if (!access) return nullptr;
    return optional_range(as_matcher(self)->engine.select_best_match()).release();
  });
}

constexpr const char* kGetTextDoc =
    "get_text($self, match_range)\n--\n\n"
    "Get the text for a given range from the source.\n\n"
    "Args:\n"
    "    match_range: The MatchRange to extract text for\n\n"
    "Returns:\n"
    "    The matched text as a string";

constexpr std::array<const char*, 1> kGetTextParameters = {"match_range"};
const FunctionDescription kGetTextDescription{"StreamingFuzzyMatcher.get_text()",
                                              kGetTextParameters, 1};

PyObject* matcher_get_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, kGetTextParameters.size()> slots{};
    if (!extract_arguments_fastcall(kGetTextDescription, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    PyTypeObject* range_type = match_range_type();
    PyObject* match_range = nullptr;
    if (range_type == nullptr ||
        !convert_record(slots[0], "match_range", range_type, match_range)) {
      return nullptr;
    }
    const MatchRangeFields fields = match_range_fields(match_range);
    auto access = Access::shared(as_matcher(self));
    if (!access) return nullptr;
    return make_str(as_matcher(self)->engine.get_text({fields.start, fields.end})).release();
  });
}

// ---- properties ----

PyObject* matcher_query_lines(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    auto access = Access::shared(as_matcher(self));
    if (!access) return nullptr;
    return string_list(as_matcher(self)->engine.query_lines()).release();
  });
}

PyObject* matcher_source_lines(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    auto access = Access::shared(as_matcher(self));
    if (!access) return nullptr;
    return string_list(as_matcher(self)->engine.source_lines()).release();
  });
}

PyMethodDef matcher_methods[] = {
    {.ml_name = "push",
     .ml_meth = as_method(matcher_push),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = kPushDoc},
    {.ml_name = "finish", .ml_meth = matcher_finish, .ml_flags = METH_NOARGS, .ml_doc = kFinishDoc},
    {.ml_name = "select_best_match",
     .ml_meth = matcher_select_best_match,
     .ml_flags = METH_NOARGS,
     .ml_doc = kSelectBestMatchDoc},
    {.ml_name = "get_text",
     .ml_meth = as_method(matcher_get_text),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = kGetTextDoc},
    {},  // sentinel
};

PyGetSetDef matcher_getset[] = {
    {.name = "query_lines",
     .get = matcher_query_lines,
     .set = nullptr,
     .doc = "Returns the accumulated query lines.",
     .closure = nullptr},
    {.name = "source_lines",
     .get = matcher_source_lines,
     .set = nullptr,
     .doc = "Returns the source lines.",
     .closure = nullptr},
    {},  // sentinel
};

constexpr const char* kClassDoc =
    "StreamingFuzzyMatcher(source_text)\n--\n\n"
    "A streaming fuzzy matcher that processes text chunks incrementally.\n\n"
    "This matcher is designed for real-time matching scenarios like code editing\n"
    "where text arrives in chunks (e.g., from an LLM streaming response).\n\n"
    "Example:\n"
    "    >>> matcher = StreamingFuzzyMatcher(\"function foo() {\\n    return 42;\\n}\")\n"
    "    >>> result = matcher.push(\"function foo() {\\n\", None)\n"
    "    >>> print(result)  # MatchRange with the match location";

PyType_Slot matcher_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(matcher_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(matcher_dealloc)},
    {Py_tp_methods, matcher_methods},
    {Py_tp_getset, matcher_getset},
    {0, nullptr},
};

PyType_Spec matcher_spec = {
    .name = "builtins.StreamingFuzzyMatcher",
    .basicsize = sizeof(MatcherObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = matcher_slots,
};

OnceObject matcher_type_object;

}  // namespace

PyTypeObject* streaming_fuzzy_matcher_type() {
  return reinterpret_cast<PyTypeObject*>(
      matcher_type_object.get([] { return PyType_FromSpec(&matcher_spec); }));
}

}  // namespace marlune::module

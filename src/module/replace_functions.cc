// Python entry points of the replacement engine.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "content_replacer/replace_content.h"
#include "module/arguments.h"
#include "module/errors.h"
#include "module/functions.h"
#include "module/records.h"
#include "module/text_objects.h"
#include "text/transcode.h"
#include "text/utf8.h"

namespace marlune::module {
namespace {

namespace replacer = marlune::content_replacer;

constexpr const char* kReplaceContentDoc =
    "replace_content(content, old_string, new_string, replace_all=False, line_hint=None)\n--\n\n"
    "Replace content using multiple fallback strategies.\n"
    "\n"
    "Tries various matching strategies in order until one succeeds:\n"
    "1. Simple - Direct string matching\n"
    "2. Line-trimmed - Line-by-line matching with trimmed whitespace\n"
    "3. Block-anchor - Multi-line matching using first/last line anchors\n"
    "4. Whitespace-normalized - Normalized whitespace matching\n"
    "5. Indentation-flexible - Matching with flexible indentation\n"
    "6. Escape-normalized - Handle escape sequence differences\n"
    "7. Trimmed-boundary - Match with trimmed boundaries\n"
    "8. Context-aware - Use anchor lines for context matching\n"
    "\n"
    "Args:\n"
    "    content: The text content to search within\n"
    "    old_string: Text to find and replace\n"
    "    new_string: Replacement text\n"
    "    replace_all: If True, replace all occurrences (default: False)\n"
    "    line_hint: Optional line number hint for disambiguation when multiple matches exist\n"
    "\n"
    "Returns:\n"
    "    ReplaceResult with the new content and match information\n"
    "\n"
    "Raises:\n"
    "    ValueError: If old_string equals new_string, not found, or multiple matches without "
    "line_hint";

constexpr const char* kTryReplaceContentDoc =
    "try_replace_content(content, old_string, new_string, replace_all=False, line_hint=None)\n"
    "--\n\n"
    "Try to replace content, returning a result object instead of raising.\n"
    "\n"
    "This is useful when you want to handle errors programmatically rather than\n"
    "catching exceptions. The returned object is falsy on failure, truthy on success.\n"
    "\n"
    "Args:\n"
    "    content: The text content to search within\n"
    "    old_string: Text to find and replace\n"
    "    new_string: Replacement text\n"
    "    replace_all: If True, replace all occurrences (default: False)\n"
    "    line_hint: Optional line number hint for disambiguation\n"
    "\n"
    "Returns:\n"
    "    TryReplaceResult with:\n"
    "    - success: bool\n"
    "    - result: ReplaceResult if success, None otherwise\n"
    "    - error: Error message if failed, None otherwise\n"
    "    - error_type: \"not_found\", \"multiple_matches\", or \"no_change\" if failed\n"
    "    - closest_match: FuzzyMatchInfo if a close match was found\n"
    "    - locations: List of line numbers if multiple matches found";

constexpr std::array<const char*, 5> kReplaceParameters = {"content", "old_string", "new_string",
                                                           "replace_all", "line_hint"};

const FunctionDescription kReplaceContentDescription{"replace_content()", kReplaceParameters, 3};
const FunctionDescription kTryReplaceContentDescription{"try_replace_content()", kReplaceParameters,
                                                        3};

struct Replacement {
  replacer::ReplaceOutcome outcome;
  ReplacementTextHints hints;
};

// The length and width of a new content, where the arguments settle them. A matched text of
// ASCII holds none of the content's other characters, so what is kept of the content holds them
// all and keeps the content's width; the text that went in adds its own.
// Otherwise the record finds the shape when it builds the str.
std::optional<text::Utf8Shape> settled_content_shape(const TextArgument& content,
                                                     const TextArgument& new_string,
                                                     const replacer::ReplaceOutcome& outcome) {
  const auto* success = std::get_if<replacer::ReplaceSuccess>(&outcome);
  if (success == nullptr) return std::nullopt;
  const std::string_view matched = success->matched_text;
  if (content.width != text::CharWidth::Ascii && !text::is_ascii(matched)) return std::nullopt;
  // A rewritten insert holds characters of new_string and whitespace of the content, so only
  // its own reading tells its shape.
  const std::string_view inserted =
      success->rewritten_insert
          ? std::string_view(*success->rewritten_insert)
          : new_string.text.substr(success->inserted_offset, success->inserted_size);
  const text::Utf8Shape inserted_shape =
      new_string.width == text::CharWidth::Ascii && !success->rewritten_insert
          ? text::Utf8Shape{inserted.size(), text::CharWidth::Ascii}
          : text::utf8_shape(inserted);
  // Each character of an ASCII matched text is one byte.
  const std::size_t n = success->replacements;
  return text::Utf8Shape{content.length - n * matched.size() + n * inserted_shape.chars,
                         std::max(content.width, inserted_shape.width)};
}

// Binds and converts the five arguments, then runs the driver once.
std::optional<Replacement> run_replacement(const FunctionDescription& description,
                                           PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  std::array<PyObject*, kReplaceParameters.size()> slots{};
  if (!extract_arguments_fastcall(description, args, nargs, kwnames, slots)) return std::nullopt;
  TextArgument content, old_string, new_string;
  bool replace_all = false;
  std::optional<std::uint32_t> line_hint;
  if (!convert_text(slots[0], "content", content) ||
      !convert_text(slots[1], "old_string", old_string) ||
      !convert_text(slots[2], "new_string", new_string) ||
      !convert_bool(slots[3], "replace_all", replace_all) ||
      !convert_optional_uint32(slots[4], "line_hint", line_hint)) {
    return std::nullopt;
  }
  Replacement replacement{replacer::replace_content(content.text, old_string.text, new_string.text,
                                                    replace_all, line_hint),
                          {}};
  replacement.hints.wide_text = std::max(content.width, new_string.width) >= text::CharWidth::Ucs2;
  replacement.hints.content_shape = settled_content_shape(content, new_string, replacement.outcome);
  return replacement;
}

std::string_view error_type_name(replacer::ReplaceErrorKind kind) {
  switch (kind) {
    case replacer::ReplaceErrorKind::NoChange:
      return "no_change";
    case replacer::ReplaceErrorKind::NotFound:
      return "not_found";
    case replacer::ReplaceErrorKind::MultipleMatches:
      return "multiple_matches";
  }
  return "";
}

PyObject* replace_content(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto replacement = run_replacement(kReplaceContentDescription, args, nargs, kwnames);
    if (!replacement) return nullptr;
    if (auto* success = std::get_if<replacer::ReplaceSuccess>(&replacement->outcome)) {
      return new_replace_result({std::move(*success), replacement->hints}).release();
    }
    const auto& error = std::get<replacer::ReplaceError>(replacement->outcome);
    OwnedRef message = make_str(error.message);
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
  });
}

PyObject* try_replace_content(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto replacement = run_replacement(kTryReplaceContentDescription, args, nargs, kwnames);
    if (!replacement) return nullptr;
    TryReplaceResultData data;
    if (auto* success = std::get_if<replacer::ReplaceSuccess>(&replacement->outcome)) {
      data.success = true;
      data.result = ReplaceResultData{std::move(*success), replacement->hints};
    } else {
      auto& error = std::get<replacer::ReplaceError>(replacement->outcome);
      data.error = std::move(error.message);
      data.error_type = std::string(error_type_name(error.kind));
      if (error.kind == replacer::ReplaceErrorKind::NotFound) {
        data.closest_match = std::move(error.closest_match);
      } else if (error.kind == replacer::ReplaceErrorKind::MultipleMatches) {
        data.locations = std::move(error.locations);
      }
    }
    return new_try_replace_result(std::move(data)).release();
  });
}

}  // namespace

PyMethodDef replace_content_method = {
    .ml_name = "replace_content",
    .ml_meth = as_method(replace_content),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc = kReplaceContentDoc,
};

PyMethodDef try_replace_content_method = {
    .ml_name = "try_replace_content",
    .ml_meth = as_method(try_replace_content),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc = kTryReplaceContentDoc,
};

}  // namespace marlune::module

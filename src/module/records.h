// The immutable result records handed to Python: MatchRange, ReplaceResult, FuzzyMatchInfo and
// TryReplaceResult. A record holds plain native values and never a Python reference; its
// getters build fresh Python objects on every read.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "content_replacer/diagnostics.h"
#include "content_replacer/replace_content.h"
#include "module/python_ref.h"
#include "text/transcode.h"

namespace marlune::module {

// What the call's arguments tell about a replacement's texts: hints for the fastest way to
// rebuild them as str, never a change to what they are. `wide_text`: the content or the new text
// held characters past U+00FF, so the result most likely does too. `content_shape`: the new
// content's length and width, where the arguments settle them, which they do only when the
// matched text is ASCII, so that its str and the content's are built without a pass to find
// these out.
struct ReplacementTextHints {
  bool wide_text = false;
  std::optional<text::Utf8Shape> content_shape;
};

// A successful replacement as its record holds it.
struct ReplaceResultData : content_replacer::ReplaceSuccess {
  ReplacementTextHints hints;
};

struct TryReplaceResultData {
  bool success = false;
  std::optional<ReplaceResultData> result;
  std::optional<std::string> error;
  std::optional<std::string> error_type;
  std::optional<content_replacer::FuzzyMatch> closest_match;
  std::optional<std::vector<std::size_t>> locations;
};

// The type objects, each created once on first use. Borrowed; null with an exception set when
// creation failed.
PyTypeObject* match_range_type();
PyTypeObject* replace_result_type();
PyTypeObject* fuzzy_match_info_type();
PyTypeObject* try_replace_result_type();

// Native construction: a new record owning the given values (null with an exception set).
OwnedRef new_match_range(std::size_t start, std::size_t end);
OwnedRef new_replace_result(ReplaceResultData&& value);
OwnedRef new_fuzzy_match_info(content_replacer::FuzzyMatch&& value);
OwnedRef new_try_replace_result(TryReplaceResultData&& value);

// The fields of a MatchRange (the object must be an instance of match_range_type()).
struct MatchRangeFields {
  std::size_t start;
  std::size_t end;
};
MatchRangeFields match_range_fields(PyObject* match_range);

}  // namespace marlune::module

// Python entry points of the fuzzy scoring engine.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <string_view>
#include <vector>

#include "fuzzy_scoring/fuzzy_scoring.h"
#include "module/arguments.h"
#include "module/errors.h"
#include "module/functions.h"
#include "module/python_ref.h"
#include "module/text_objects.h"

namespace marlune::module {
namespace {

namespace scoring = marlune::fuzzy_scoring;

// ---- fuzzy_match ----

constexpr const char* kFuzzyMatchDoc =
    "fuzzy_match(pattern, instring, adj_bonus=5, sep_bonus=10, camel_bonus=10, "
    "lead_penalty=..., max_lead_penalty=..., unmatched_penalty=...)\n--\n\n";

constexpr std::array<const char*, 8> kFuzzyMatchParameters = {
    "pattern",     "instring",     "adj_bonus",        "sep_bonus",
    "camel_bonus", "lead_penalty", "max_lead_penalty", "unmatched_penalty"};

const FunctionDescription kFuzzyMatchDescription{"fuzzy_match()", kFuzzyMatchParameters, 2};

PyObject* fuzzy_match(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, kFuzzyMatchParameters.size()> slots{};
    if (!extract_arguments_fastcall(kFuzzyMatchDescription, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    std::string_view pattern, instring;
    if (!convert_text(slots[0], "pattern", pattern)) return nullptr;
    if (!convert_text(slots[1], "instring", instring)) return nullptr;
    scoring::FuzzyMatchParams params;
    std::int32_t* const numbers[] = {&params.adj_bonus,        &params.sep_bonus,
                                     &params.camel_bonus,      &params.lead_penalty,
                                     &params.max_lead_penalty, &params.unmatched_penalty};
    for (std::size_t i = 2; i < slots.size(); ++i) {
      if (!convert_int32(slots[i], kFuzzyMatchParameters[i], *numbers[i - 2])) return nullptr;
    }
    const scoring::FuzzyScore result = scoring::fuzzy_match(pattern, instring, params);
    OwnedRef score = OwnedRef::steal(PyLong_FromLong(result.score));
    if (!score) return nullptr;
    return PyTuple_Pack(2, result.matched ? Py_True : Py_False, score.get());
  });
}

// ---- get_best_matches ----

constexpr const char* kGetBestMatchesDoc = "get_best_matches(search_string, candidates)\n--\n\n";

constexpr std::array<const char*, 2> kGetBestMatchesParameters = {"search_string", "candidates"};

const FunctionDescription kGetBestMatchesDescription{"get_best_matches()",
                                                     kGetBestMatchesParameters, 2};

PyObject* get_best_matches(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, kGetBestMatchesParameters.size()> slots{};
    if (!extract_arguments_fastcall(kGetBestMatchesDescription, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    std::string_view search_string;
    std::vector<std::string_view> candidates;
    std::vector<OwnedRef> keep_alive;
    if (!convert_text(slots[0], "search_string", search_string)) return nullptr;
    if (!convert_text_sequence(slots[1], "candidates", candidates, keep_alive)) return nullptr;

    const std::vector<scoring::RankedCandidate> ranked =
        scoring::get_best_matches(search_string, candidates);
    // The views into an exact list's items are only safe until something can run Python code:
    // creating a tracked container (list, tuple) may start a collection whose finalizers could
    // change that list. So every str is copied out before the first container is made.
    std::vector<OwnedRef> texts;
    texts.reserve(ranked.size());
    for (const scoring::RankedCandidate& entry : ranked) {
      texts.push_back(make_str(candidates[entry.index]));
      if (!texts.back()) return nullptr;
    }
    return new_list(ranked.size(),
                    [&](std::size_t i) {
                      OwnedRef score = OwnedRef::steal(PyLong_FromLong(ranked[i].score));
                      if (!score) return OwnedRef();
                      return OwnedRef::steal(PyTuple_Pack(2, texts[i].get(), score.get()));
                    })
        .release();
  });
}

// ---- fuzzy_match_simple ----

constexpr const char* kFuzzyMatchSimpleDoc =
    "fuzzy_match_simple(pattern, instring, case_sensitive)\n--\n\n";

constexpr std::array<const char*, 3> kFuzzyMatchSimpleParameters = {"pattern", "instring",
                                                                    "case_sensitive"};

const FunctionDescription kFuzzyMatchSimpleDescription{"fuzzy_match_simple()",
                                                       kFuzzyMatchSimpleParameters, 3};

PyObject* fuzzy_match_simple(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, kFuzzyMatchSimpleParameters.size()> slots{};
    if (!extract_arguments_fastcall(kFuzzyMatchSimpleDescription, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    std::string_view pattern, instring;
    bool case_sensitive = false;
    if (!convert_text(slots[0], "pattern", pattern)) return nullptr;
    if (!convert_text(slots[1], "instring", instring)) return nullptr;
    if (!convert_bool(slots[2], "case_sensitive", case_sensitive)) return nullptr;
    return PyBool_FromLong(scoring::fuzzy_match_simple(pattern, instring, case_sensitive));
  });
}

}  // namespace

PyMethodDef fuzzy_match_method = {
    .ml_name = "fuzzy_match",
    .ml_meth = as_method(fuzzy_match),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc = kFuzzyMatchDoc,
};

PyMethodDef get_best_matches_method = {
    .ml_name = "get_best_matches",
    .ml_meth = as_method(get_best_matches),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc = kGetBestMatchesDoc,
};

PyMethodDef fuzzy_match_simple_method = {
    .ml_name = "fuzzy_match_simple",
    .ml_meth = as_method(fuzzy_match_simple),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc = kFuzzyMatchSimpleDoc,
};

}  // namespace marlune::module

"""The record classes themselves: names, docstrings, fields, and what Python code may not do."""

import pytest

import _marlune_search as m

RECORDS = {
    "MatchRange": ("Python wrapper for a match range.", ["start", "end"]),
    "ReplaceResult": (
        "Result of a successful replacement operation.",
        ["content", "matched_text", "start_line", "end_line", "strategy"],
    ),
    "FuzzyMatchInfo": (
        "Information about a fuzzy match when replacement fails.",
        ["similarity", "start_line", "end_line", "text", "diff"],
    ),
    "TryReplaceResult": (
        "Result from try_replace_content - either success with result, or failure with error "
        "details.",
        ["success", "result", "error", "error_type", "closest_match", "locations"],
    ),
}


@pytest.mark.parametrize("name", RECORDS)
def test_class_identity_and_docstring(name):
    cls = getattr(m, name)
    doc, _ = RECORDS[name]
    assert cls.__doc__ == doc
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("name", RECORDS)
def test_fields_are_read_only_descriptors_in_declaration_order(name):
    cls = getattr(m, name)
    _, fields = RECORDS[name]
    descriptors = [key for key, value in vars(cls).items() if type(value).__name__ == "getset_descriptor"]
    assert descriptors == fields
    for field in fields:
        descriptor = vars(cls)[field]
        with pytest.raises((AttributeError, TypeError)):
            descriptor.__set__(object.__new__(object), 1)


@pytest.mark.parametrize("name", RECORDS)
def test_cannot_be_instantiated(name):
    cls = getattr(m, name)
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == f"cannot create 'builtins.{name}' instances"
    with pytest.raises(TypeError):
        cls.__new__(cls)


@pytest.mark.parametrize("name", RECORDS)
def test_cannot_be_subclassed(name):
    cls = getattr(m, name)
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", RECORDS)
def test_no_instance_dict_weakrefs_or_gc(name):
    cls = getattr(m, name)
    assert "__dict__" not in vars(cls)
    assert cls.__weakrefoffset__ == 0
    assert cls.__dictoffset__ == 0
    assert not cls.__flags__ & (1 << 14)  # Py_TPFLAGS_HAVE_GC
    assert not cls.__flags__ & (1 << 10)  # Py_TPFLAGS_BASETYPE


def test_only_match_range_is_unhashable():
    assert m.MatchRange.__hash__ is None
    for name in ("ReplaceResult", "FuzzyMatchInfo", "TryReplaceResult"):
        assert getattr(m, name).__hash__ is object.__hash__


def test_only_try_replace_result_defines_truth():
    assert hasattr(m.TryReplaceResult, "__bool__")
    for name in ("MatchRange", "ReplaceResult", "FuzzyMatchInfo"):
        assert not hasattr(getattr(m, name), "__bool__")

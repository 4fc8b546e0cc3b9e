"""The replacement records as the replacement functions fill them: fields, representations, copies."""

import pytest

import _marlune_search as m


def replaced(matched_text):
    """A ReplaceResult whose matched_text is exactly `matched_text`, found on line 2."""
    return m.replace_content("first\n" + matched_text + "\nlast", matched_text, "NEW")


def not_found():
    return m.try_replace_content("def f():\n    return 1\n", "def f():\n    return 2", "x")


@pytest.mark.parametrize(
    "matched_text, preview",
    [
        ("a\nb", "a\nb"),  # written raw, newline and all
        ("it's \"quoted\" \\ raw", "it's \"quoted\" \\ raw"),
        ("x" * 50, "x" * 50),
        ("x" * 51, "x" * 50 + "..."),
        ("é" * 25, "é" * 25),  # 50 bytes
        ("é" * 26, "é" * 25 + "..."),
        # a character across the byte-50 cut is left out entirely
        ("a" * 49 + "é" + "b", "a" * 49 + "..."),
        ("a" * 48 + "€" + "b", "a" * 48 + "..."),
        ("a" * 47 + "😀" + "b", "a" * 47 + "..."),
        ("a" * 46 + "😀" + "b", "a" * 46 + "😀..."),
    ],
)
def test_replace_result_repr_and_preview(matched_text, preview):
    r = replaced(matched_text)
    lines = matched_text.count("\n")
    expected = (
        f"ReplaceResult(start_line=2, end_line={2 + lines}, strategy='simple', matched_text='{preview}')"
    )
    assert repr(r) == str(r) == expected
    if preview.endswith("..."):
        assert matched_text.startswith(preview[:-3])
        assert len(preview[:-3].encode()) <= 50


def test_replace_result_fields():
    r = m.replace_content("x = 1\ny = 2\n", "y = 2", "y = 3")
    assert type(r) is m.ReplaceResult
    assert (r.content, r.matched_text, r.start_line, r.end_line, r.strategy) == (
        "x = 1\ny = 3\n",
        "y = 2",
        2,
        2,
        "simple",
    )
    assert all(type(value) is int for value in (r.start_line, r.end_line))


@pytest.mark.parametrize(
    "content, old, similarity, text",
    [
        ("def f():\n    return 1\n", "def f():\n    return 2", "0.95", "def f():\n    return 1"),
        ("abcdefgh\n", "abcdefgX", "0.88", "abcdefgh"),  # exactly 0.875: the tie goes to the even digit
        ("a\nabcdefghij\n", "abcdefghXY", "0.80", "abcdefghij"),
    ],
)
def test_fuzzy_match_info_repr(content, old, similarity, text):
    close = m.try_replace_content(content, old, "x").closest_match
    assert type(close) is m.FuzzyMatchInfo
    assert type(close.similarity) is float
    assert f"{close.similarity:.2f}" == similarity
    assert close.text == text
    lines = f"{close.start_line}-{close.end_line}"
    assert repr(close) == str(close) == f"FuzzyMatchInfo(similarity={similarity}, lines={lines})"


# (content, old, new, kwargs, fields of the TryReplaceResult, repr)
OUTCOMES = [
    (
        ("x = 1\ny = 2\n", "y = 2", "y = 3", {}),
        (True, None, None, False, None),
        'TryReplaceResult(success=True, result=Some("simple"))',
    ),
    (
        ("A\nq\nB\n", "A\ny\nB", "z", {}),
        (True, None, None, False, None),
        'TryReplaceResult(success=True, result=Some("block_anchor"))',
    ),
    (
        ("a", "a", "a", {}),
        (False, "old_string and new_string must be different", "no_change", False, None),
        'TryReplaceResult(success=False, error_type=Some("no_change"))',
    ),
    (
        ("def f():\n    return 1\n", "def f():\n    return 2", "x", {}),
        (False, "Search text not found in file.", "not_found", True, None),
        'TryReplaceResult(success=False, error_type=Some("not_found"))',
    ),
    (
        ("alpha\n", "omega", "x", {}),
        (False, "Search text not found in file.", "not_found", False, None),
        'TryReplaceResult(success=False, error_type=Some("not_found"))',
    ),
    (
        ("\n".join(["foo", "bar"] * 7), "foo", "x", {}),
        (False, "Pattern found at multiple locations", "multiple_matches", False, [1, 3, 5, 7, 9, 11, 13]),
        'TryReplaceResult(success=False, error_type=Some("multiple_matches"))',
    ),
]


@pytest.mark.parametrize("call, fields, text", OUTCOMES)
def test_try_replace_result_fields_truth_and_repr(call, fields, text):
    content, old, new, kwargs = call
    success, error_start, error_type, has_closest, locations = fields
    t = m.try_replace_content(content, old, new, **kwargs)
    assert type(t) is m.TryReplaceResult
    assert t.success is success
    assert bool(t) is success
    assert repr(t) == str(t) == text
    assert (t.result is not None) is success
    assert t.error_type == error_type
    assert (t.closest_match is not None) is has_closest
    assert t.locations == locations
    if success:
        assert t.error is None
        assert t.result.content == m.replace_content(content, old, new, **kwargs).content
    else:
        assert t.error.startswith(error_start)
        with pytest.raises(ValueError) as info:
            m.replace_content(content, old, new, **kwargs)
        assert info.value.args == (t.error,)


def test_multiple_matches_keeps_every_location_the_message_cuts():
    t = m.try_replace_content("\n".join(["foo", "bar"] * 7), "foo", "x")
    assert "(lines: 1, 3, 5, 7, 9, ... (7 total))" in t.error
    assert len(t.locations) == 7
    assert all(type(n) is int for n in t.locations)


@pytest.mark.parametrize("field", ["result", "closest_match", "locations"])
def test_getters_return_fresh_copies(field):
    calls = {
        "result": ("x = 1\ny = 2\n", "y = 2", "y = 3"),
        "closest_match": ("def f():\n    return 1\n", "def f():\n    return 2", "x"),
        "locations": ("foo\nbar\nfoo\n", "foo", "x"),
    }
    t = m.try_replace_content(*calls[field])
    first, second = getattr(t, field), getattr(t, field)
    assert first is not second
    if field == "locations":
        assert first == second == [1, 3]
        first.append(99)
        first[0] = 42
        assert t.locations == [1, 3]
    else:
        assert first != second  # identity equality: two copies are two records
        assert repr(first) == repr(second)


def test_nested_copies_hold_equal_values():
    t = m.try_replace_content("def f():\n    return 1\n", "def f():\n    return 2", "x")
    a, b = t.closest_match, t.closest_match
    assert (a.similarity, a.start_line, a.end_line, a.text, a.diff) == (
        b.similarity,
        b.start_line,
        b.end_line,
        b.text,
        b.diff,
    )
    t = m.try_replace_content("x = 1\ny = 2\n", "y = 2", "y = 3")
    a, b = t.result, t.result
    assert (a.content, a.matched_text, a.start_line, a.end_line, a.strategy) == (
        b.content,
        b.matched_text,
        b.start_line,
        b.end_line,
        b.strategy,
    )


def test_records_outlive_their_parent():
    t = m.try_replace_content("def f():\n    return 1\n", "def f():\n    return 2", "x")
    close = t.closest_match
    del t
    assert close.text == "def f():\n    return 1"


RECORDS = {
    "ReplaceResult": (
        lambda: replaced("abc"),
        ["content", "matched_text", "start_line", "end_line", "strategy"],
    ),
    "FuzzyMatchInfo": (
        lambda: not_found().closest_match,
        ["similarity", "start_line", "end_line", "text", "diff"],
    ),
    "TryReplaceResult": (
        not_found,
        ["success", "result", "error", "error_type", "closest_match", "locations"],
    ),
}


@pytest.mark.parametrize("name", RECORDS)
def test_assignment_is_refused(name):
    make, fields = RECORDS[name]
    record = make()
    for field in fields:
        before = repr(getattr(record, field))
        with pytest.raises(AttributeError):
            setattr(record, field, None)
        with pytest.raises(AttributeError):
            delattr(record, field)
        assert repr(getattr(record, field)) == before
    with pytest.raises(AttributeError):
        record.extra = 1

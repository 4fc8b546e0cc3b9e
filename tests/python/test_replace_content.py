"""replace_content and try_replace_content seen from Python: placement, ambiguity, messages, arguments."""

import pytest

import _marlune_search as m

NO_CHANGE = "old_string and new_string must be different"

TIPS = (
    "\n\nDebugging tips:\n"
    "1. Check for exact whitespace/indentation match\n"
    "2. Verify line endings match the file (\\r\\n vs \\n)\n"
    "3. Ensure the search text hasn't been modified\n"
    "4. Try reading the file section first to get exact text"
)

MULTIPLE_ADVICE = (
    "\n\nTo fix, include more surrounding context in old_string to uniquely identify the target "
    "location, or use replace_all=True to replace all occurrences, or provide a line_hint to select "
    "the closest match."
)

NOT_FOUND_HEAD = "Search text not found in file."


def multiple_message(locations, preview):
    return (
        f"Pattern found at multiple locations (lines: {locations}).\n"
        f'Search text starts with: "{preview}"' + MULTIPLE_ADVICE
    )


def failure(content, old, new="X", **kwargs):
    """Runs both entry points and checks that they agree on the failure; returns the record."""
    record = m.try_replace_content(content, old, new, **kwargs)
    assert not record and record.result is None
    with pytest.raises(ValueError) as info:
        m.replace_content(content, old, new, **kwargs)
    assert info.value.args == (record.error,)
    return record


def success(content, old, new="X", **kwargs):
    result = m.replace_content(content, old, new, **kwargs)
    record = m.try_replace_content(content, old, new, **kwargs)
    assert record and record.error is None and record.error_type is None
    nested = record.result
    assert (nested.content, nested.matched_text, nested.start_line, nested.end_line, nested.strategy) == (
        result.content,
        result.matched_text,
        result.start_line,
        result.end_line,
        result.strategy,
    )
    return result


# ---- no change -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "content, old, kwargs",
    [
        ("a", "a", {}),
        ("", "", {}),
        ("abc", "zzz", {}),  # refused before any search, even when old_string is absent
        ("aaa", "a", {"replace_all": True}),
        ("foo\nfoo", "foo", {"line_hint": 2}),
    ],
)
def test_equal_strings_are_refused_before_any_search(content, old, kwargs):
    record = failure(content, old, old, **kwargs)
    assert record.error == NO_CHANGE
    assert record.error_type == "no_change"
    assert (record.closest_match, record.locations) == (None, None)


# ---- not found -----------------------------------------------------------------------------


def test_not_found_message_with_closest_match_and_diff():
    diff = "--- SEARCH\n+++ CLOSEST MATCH\n def f():\n-    return 2\n+    return 1\n"
    record = failure("def f():\n    return 1\n", "def f():\n    return 2")
    assert record.error == (
        NOT_FOUND_HEAD + "\nFirst search line 'def f():' appears at line(s): 1"
        "\nClosest fuzzy match (95.2% similar) at lines 1-2:\n" + diff + TIPS
    )
    assert len(record.error[record.error.index("\n\nDebugging tips:") :].encode()) == 219
    assert record.error_type == "not_found"
    assert record.locations is None
    close = record.closest_match
    assert close.similarity == pytest.approx(1 - 1 / 21)
    assert (close.start_line, close.end_line) == (1, 2)
    assert close.text == "def f():\n    return 1"
    assert close.diff == diff


HIT_LINES = "\n".join(
    ["other"] + ["needle here" if n in (2, 7, 9, 12) else f"line {n}" for n in range(2, 14)]
)


@pytest.mark.parametrize(
    "content, old, hint",
    [
        # at most three line numbers, no ellipsis for the fourth
        (HIT_LINES, "needle\nmissing tail", "\nFirst search line 'needle' appears at line(s): 2, 7, 9"),
        # the first line is trimmed before it is looked up
        ("a\nb x\n", "  x \t\nqqqqqqqq", "\nFirst search line 'x' appears at line(s): 2"),
        ("alpha\nbeta\n", "gamma\ndelta", "\nFirst search line 'gamma' not found anywhere in file"),
        # a blank first line gives no hint even when later lines are not blank
        ("alpha\nbeta\n", "  \ngamma", ""),
        ("", "gamma", "\nFirst search line 'gamma' not found anywhere in file"),
    ],
)
def test_first_line_hint(content, old, hint):
    record = failure(content, old)
    assert record.error_type == "not_found"
    assert record.closest_match is None
    assert record.error == NOT_FOUND_HEAD + hint + TIPS


@pytest.mark.parametrize(
    "content, old, similar",
    [
        ("abcdefghij\n", "abcdefghXY", "80.0"),  # exactly 0.8 qualifies
        ("zz\n" + "a" * 100 + "\n", "a" * 79 + "b" * 21, None),  # 0.79 does not
        ("abcdefgh\n", "abcdefgX", "87.5"),
        # one decimal, rounded half to even: 81.25 and 93.75
        ("abcdefghijklmnop\n", "abcdefghijklmXYZ", "81.2"),
        ("abcdefghijklmnop\n", "abcdefghijklmnoZ", "93.8"),
    ],
)
def test_closest_match_threshold_and_percent(content, old, similar):
    record = failure(content, old)
    assert record.error_type == "not_found"
    if similar is None:
        assert record.closest_match is None
        assert "Closest fuzzy match" not in record.error
    else:
        assert f"\nClosest fuzzy match ({similar}% similar) at lines " in record.error
        assert record.closest_match.similarity == pytest.approx(float(similar) / 100, abs=0.0005)


def test_search_text_with_more_lines_than_content_has_no_closest_match():
    record = failure("def f():\n", "def f():\n    return 2\n    pass")
    assert record.error_type == "not_found"
    assert record.closest_match is None


ROWS = "".join(f"row {n} = value_{n}\n" for n in range(1, 300))


@pytest.mark.parametrize(
    "old, lines",
    [
        # windows around the lines that hold the first search line
        ("row 250 = value_250\nrow 251 = value_25l", (250, 251)),
        # without such a line only the first 100 windows are examined
        ("row 250 = value_25O\nrow 251 = value_251", None),
    ],
)
def test_closest_match_windows(old, lines):
    close = failure(ROWS, old).closest_match
    if lines is None:
        assert close.start_line <= 100
    else:
        assert (close.start_line, close.end_line) == lines
        assert close.text == "row 250 = value_250\nrow 251 = value_251"


def test_extra_search_lines_are_shown_as_removed_lines():
    # the window's empty last line disappears when the window is split again
    record = failure("x\nsome long first line here\n\nbar\n", "some long first line here\nz\n")
    close = record.closest_match
    assert (close.start_line, close.end_line, close.text) == (2, 3, "some long first line here\n")
    assert close.diff == "--- SEARCH\n+++ CLOSEST MATCH\n some long first line here\n-z\n"


def table_with_diff_of(size):
    """A content and a search text whose one window differs in its first line only, padded so
    that the whole diff is `size` bytes long."""
    lines = [f"entry {n:03d} of the table" for n in range(60)]
    first = lines[0].replace("table", "TABLE")
    diff_size = len("--- SEARCH\n+++ CLOSEST MATCH\n") + len(first) + 2 + sum(len(line) + 2 for line in lines)
    lines[-1] += "x" * (size - diff_size)
    old = "\n".join([first] + lines[1:])
    return "\n".join(lines) + "\n", old


@pytest.mark.parametrize("size", [1999, 2000, 2001, 2400])
def test_diff_is_cut_at_2000_bytes(size):
    content, old = table_with_diff_of(size)
    diff = failure(content, old).closest_match.diff
    assert diff.startswith(
        "--- SEARCH\n+++ CLOSEST MATCH\n-entry 000 of the TABLE\n+entry 000 of the table\n"
    )
    if size <= 2000:
        assert len(diff) == size and diff.endswith("x\n")
    else:
        assert len(diff) == 2000 + len("\n...(diff truncated)")
        assert diff.endswith("x" * 10 + "\n...(diff truncated)")


# ---- multiple matches ----------------------------------------------------------------------


def test_multiple_matches_message():
    record = failure("foo\nbar\nfoo\n", "foo")
    assert record.error == multiple_message("1, 3", "foo")
    assert record.error_type == "multiple_matches"
    assert record.locations == [1, 3]
    assert record.closest_match is None


def test_more_than_five_locations_are_summarised():
    content = "\n".join("foo" if n in (1, 4, 6, 8, 10, 12, 14) else "bar" for n in range(1, 16))
    record = failure(content, "foo")
    assert record.locations == [1, 4, 6, 8, 10, 12, 14]
    assert record.error == multiple_message("1, 4, 6, 8, 10, ... (7 total)", "foo")


def test_multi_line_locations_need_the_whole_search_text():
    # "foo" also stands on line 5, but the text from line 5 on is too short to hold 'foo\nbar'.
    record = failure("foo\nbar\nxfoo\nbar\nfoo\n", "foo\nbar")
    assert record.locations == [1, 3]


@pytest.mark.parametrize(
    "first_line, preview",
    [
        ("x" * 60, "x" * 60),
        ("x" * 61, "x" * 60 + "..."),
        ("é" * 40, "é" * 40),  # 80 bytes, but only 40 characters
        ("é" * 61, "é" * 60 + "..."),
        ('"\\' + "😀" * 58 + "zz", '"\\' + "😀" * 58 + "..."),  # quotes and backslashes stay raw
    ],
)
def test_preview_counts_characters(first_line, preview):
    record = failure(f"{first_line}\n{first_line}\n", first_line)
    assert record.error == multiple_message("1, 2", preview)


# ---- line numbers, replace_all, line_hint ---------------------------------------------------------


@pytest.mark.parametrize(
    "content, old, expected, start, end",
    [
        ("x = 1\ny = 2\n", "y = 2", "x = 1\ny = 3\n", 2, 2),
        ("a\nb\nc", "b\n", "a\ny = 3c", 2, 3),
        ("1\n2\n3\nfour\nfive\n6", "four\nfive", "1\n2\n3\ny = 3\n6", 4, 5),
        ("a\r\nb\r\nc\r\n", "b", "a\r\ny = 3\r\nc\r\n", 2, 2),
        ("a\r\nb\r\nc\r\n", "b\r\nc", "a\r\ny = 3\r\n", 2, 3),
        ("a\rb\nc", "c", "a\rb\ny = 3", 2, 2),  # a lone "\r" is no line break
        ("", "", "y = 3", 1, 1),  # the empty text is unique in the empty content
    ],
)
def test_line_numbers(content, old, expected, start, end):
    result = success(content, old, "y = 3")
    assert (result.content, result.start_line, result.end_line) == (expected, start, end)
    assert result.matched_text == old and result.strategy == "simple"


@pytest.mark.parametrize(
    "content, old, kwargs, expected, start",
    [
        ("foo\nbar\nfoo\n", "foo", {"replace_all": True}, "X\nbar\nX\n", 1),
        ("foo\nbar\nfoo\n", "foo", {"replace_all": True, "line_hint": 3}, "X\nbar\nX\n", 1),
        ("aaa", "aa", {"replace_all": True}, "Xa", 1),
        ("ab", "", {"replace_all": True}, "XaXbX", 1),
        ("é\n€", "", {"replace_all": True}, "XéX\nX€X", 1),  # character boundaries, not bytes
        ("foo\nbar\nfoo\n", "foo", {"line_hint": 3}, "foo\nbar\nX\n", 3),
        ("foo\nbar\nfoo\n", "foo", {"line_hint": 2}, "X\nbar\nfoo\n", 1),  # tie goes to the first
        ("foo\nbar\nfoo\n", "foo", {"line_hint": 0}, "X\nbar\nfoo\n", 1),
        ("foo\nbar\nfoo\n", "foo", {"line_hint": 2**32 - 1}, "foo\nbar\nX\n", 3),
        ("foo\nbar\nfoo\n", "bar", {"line_hint": 1}, "foo\nX\nfoo\n", 2),  # unique despite the hint
        ("aaa", "aa", {"line_hint": 1}, "Xa", 1),
        ("éé\né", "", {"line_hint": 2}, "éé\nXé", 2),
        ("a\nfoo\nb\nfoo\nfoo", "foo", {"line_hint": 4}, "a\nfoo\nb\nX\nfoo", 4),
    ],
)
def test_replace_all_and_line_hint(content, old, kwargs, expected, start):
    result = success(content, old, **kwargs)
    assert (result.content, result.start_line, result.strategy) == (expected, start, "simple")


@pytest.mark.parametrize(
    "content, old, locations",
    [
        ("aaa", "aa", [1]),  # overlapping occurrences are not unique
        ("a\nb", "", [1, 2]),  # the empty text stands everywhere
    ],
)
def test_ambiguous_without_hint(content, old, locations):
    record = failure(content, old)
    assert record.error_type == "multiple_matches"
    assert record.locations == locations


# ---- the cascade -----------------------------------------------------------------------------

CONTEXT_CONTENT = "A\np\nqq\nB\nA\np\nz\nB\nA\np\nqq\nB\n"

# (content, old_string, strategy, matched_text, start_line[, what new_string "NEW" became])
CASCADE = [
    ("x = 1\ny = 2\n", "y = 2", "simple", "y = 2", 2),
    ("def f():\n    x = 1\n    y = 2\n", "  x = 1\n  y = 2", "line_trimmed", "    x = 1\n    y = 2", 2),
    ("a\n  foo  \nb", "foo\n", "line_trimmed", "  foo  ", 2),
    ("a\r\n  foo  \r\nb", "foo\n", "line_trimmed", "  foo  ", 2),  # one line occurs in "\r\n" text
    ("a\nb\nc\n", "a\r\nb", "line_trimmed", "a\nb", 1),
    ("\u00a0\u00a0x = 1\ny", "  x = 1\n", "line_trimmed", "\u00a0\u00a0x = 1", 1),  # Unicode indent
    ("A\nq\nB\n", "A\ny\nB", "block_anchor", "A\nq\nB", 1),
    ("A\nA\ny\nB", "A\ny\nB", "simple", "A\ny\nB", 2),
    ("A\nA\ny\nB\n", "A\nyy\nB", "block_anchor", "A\ny\nB", 2),  # the better interior wins
    ("start\nx = foo(a,  b)\nend\n", "x = foo( a, b )", "whitespace_normalized", "x = foo(a,  b)", 2),
    ("a  b\n", "a b", "whitespace_normalized", "a  b\n", 1, "NEW\n"),  # the whole content
    ("a b\na  b\na b\nc", "a b", "whitespace_normalized", "a  b", 2),  # the one unique candidate
    ("a\n\n  \nb", "", "whitespace_normalized", "  ", 3),  # the one distinct blank line
    ('print("hi")\n', 'print(\\"hi\\")', "escape_normalized", 'print("hi")', 1),
    ('x\ns = "say \\"hi\\""\n', 's = "say "hi""', "escape_normalized", 's = "say \\"hi\\""', 2),
    ("x = foo(bar)\n", "\tfoo(bar)", "trimmed_boundary", "foo(bar)", 1),
    (CONTEXT_CONTENT, "A\np\nq\nB", "context_aware", "A\np\nz\nB", 5),
]


@pytest.mark.parametrize("content, old, strategy, matched, start, inserted", [
    row if len(row) == 6 else (*row, "NEW") for row in CASCADE])
def test_each_strategy_through_the_cascade(content, old, strategy, matched, start, inserted):
    result = success(content, old, "NEW")
    assert result.strategy == strategy
    assert result.matched_text == matched
    assert result.start_line == start
    assert result.end_line == start + matched.count("\n")
    position = content.index(matched)
    assert result.content == content[:position] + inserted + content[position + len(matched) :]


def test_block_anchor_refuses_blocks_with_poor_interiors():
    record = failure("A\nq\nB\nA\nr\nB", "A\ny\nB")
    assert record.error_type == "not_found"


# ---- tolerant matches keep the file's shape -----------------------------------------------

# (content, old_string, new_string, new content, strategy)
FITTED = [
    # a candidate rebuilt from lines lacks the final line break(s) of old_string: so does new
    ("x\n  a\n  b\ny\n", "a\nb\n", "A\nB\n", "x\nA\nB\ny\n", "line_trimmed"),
    ("x\n a\n b\n\ny\n", "a\nb\n\n", "A\nB\n\n", "x\nA\nB\n\ny\n", "line_trimmed"),
    ("x\n a\n b\n\ny\n", "a\nb \n  \n", "A\nB \n  \n", "x\nA\nB \n  \ny\n", "line_trimmed"),
    ("x\r\n a\r\ny", "a\n", "A\r\n", "x\r\nA\r\ny", "line_trimmed"),
    ("x\n a", "a\n", "A", "x\nA", "line_trimmed"),  # nothing to give up: new as written
    ("a  b", "\n\na b", "\n\nA B", "A B", "whitespace_normalized"),  # at the start too
    ("x\n\n a\n b\ny", "\na\nb\n", "\nA\nB\n", "x\n\nA\nB\ny", "line_trimmed"),
    # the trimmed old_string, placed inside a line, takes new_string trimmed at the same ends
    (
        "class A:\n    def f():\n        pass\n",
        "\n\n    def f():\n        pass\n\n",
        "\n\n    def f():\n        return 1\n\n",
        "class A:\n    def f():\n        return 1\n",
        "trimmed_boundary",
    ),
    ("x = foo(bar)\n", "\tfoo(bar)", "\tbaz(bar)", "x = baz(bar)\n", "trimmed_boundary"),
    ("x = foo(bar)\n", "foo(bar)  ", "  baz(bar)  ", "x =   baz(bar)\n", "trimmed_boundary"),
    # the exact text keeps new_string whole
    ("a\nb\n\nc", "b\n\n", "B\n\n", "a\nB\n\nc", "simple"),
]


@pytest.mark.parametrize("content, old, new, expected, strategy", FITTED)
def test_tolerant_matches_keep_line_breaks_and_boundary_whitespace(content, old, new, expected, strategy):
    result = success(content, old, new)
    assert (result.content, result.strategy) == (expected, strategy)


@pytest.mark.parametrize(
    "hint, replace_all, expected",
    [(4, False, "  a\n  b\nz\nA\nB\n"), (None, True, "A\nB\nz\nA\nB\n")],
)
def test_fitted_new_string_goes_into_every_replaced_occurrence(hint, replace_all, expected):
    content = "  a\n  b\nz\n  a\n  b\n"
    result = m.replace_content(content, "a\nb\n", "A\nB\n", replace_all=replace_all, line_hint=hint)
    assert (result.content, result.strategy, result.matched_text) == (expected, "line_trimmed", "  a\n  b")


def block_file(interior):
    return "head\nstart\n" + "".join(f"line {i}\n" for i in range(interior)) + "stop\ntail\n"


@pytest.mark.parametrize("interior", range(3, 10))
def test_block_anchor_places_only_blocks_near_the_search_size(interior):
    old = "start\na\nb\nc\nd\ne\nf\nstop\n"  # eight lines: blocks of 6 to 10 lines fit
    record = m.try_replace_content(block_file(interior), old, "X\n")
    if 4 <= interior <= 8:
        assert record.result.strategy == "block_anchor"
        assert record.result.content == "head\nX\ntail\n"
    else:
        assert record.error_type == "not_found"


def test_block_anchor_never_reaches_a_far_end_line():
    body = "".join(f"    y{i} = 0\n" for i in range(950))
    content = "def f():\n    x = 1\n" + body + "    pass\nrest\n"
    old = "def f():\n    x  =  1\n    y  =  2\n    z = 3\n    pass\n"
    record = m.try_replace_content(content, old, "def f():\n    pass\n")
    assert record.result is None  # not 947 lines deleted


@pytest.mark.parametrize("old", ["\nA\nq\nB", "A\nq\n  \n", "\n\nA\nq\nB\n\n"])
def test_block_anchor_does_not_anchor_on_blank_lines(old):
    content = "A\n\nx\ny\nz\nB\n\n\nw\nA\n"
    record = m.try_replace_content(content, old, "NEW")
    assert not record or record.result.strategy != "block_anchor"


@pytest.mark.parametrize(
    "content, old, locations",
    [
        # line-trimmed proposes 'x\ny', which a "\r\n" text never holds, and the joined lines
        # never hold a search text that ends in "\n"
        ("x\r\ny\r\nz\r\n", "x\ny\n", []),
        ("x\r\ny\r\nz\r\n", " x\ny", []),
        ("x\r\ny\r\nz\r\n", "x\ny", [1]),
        ("A\r\nq\r\nB\r\nC\r\n", "A\ny\nB", []),  # block anchor's candidate
    ],
)
def test_candidates_that_never_occur_give_multiple_matches(content, old, locations):
    record = failure(content, old)
    assert record.error_type == "multiple_matches"
    assert record.locations == locations
    head = ", ".join(map(str, locations))
    first = old.split("\n")[0]
    assert record.error == multiple_message(head, first)


# ---- documentation ---------------------------------------------------------------------------

REPLACE_DOC = """Replace content using multiple fallback strategies.

Tries various matching strategies in order until one succeeds:
1. Simple - Direct string matching
2. Line-trimmed - Line-by-line matching with trimmed whitespace
3. Block-anchor - Multi-line matching using first/last line anchors
4. Whitespace-normalized - Normalized whitespace matching
5. Indentation-flexible - Matching with flexible indentation
6. Escape-normalized - Handle escape sequence differences
7. Trimmed-boundary - Match with trimmed boundaries
8. Context-aware - Use anchor lines for context matching

Args:
    content: The text content to search within
    old_string: Text to find and replace
    new_string: Replacement text
    replace_all: If True, replace all occurrences (default: False)
    line_hint: Optional line number hint for disambiguation when multiple matches exist

Returns:
    ReplaceResult with the new content and match information

Raises:
    ValueError: If old_string equals new_string, not found, or multiple matches without line_hint"""

TRY_REPLACE_DOC = """Try to replace content, returning a result object instead of raising.

This is useful when you want to handle errors programmatically rather than
catching exceptions. The returned object is falsy on failure, truthy on success.

Args:
    content: The text content to search within
    old_string: Text to find and replace
    new_string: Replacement text
    replace_all: If True, replace all occurrences (default: False)
    line_hint: Optional line number hint for disambiguation

Returns:
    TryReplaceResult with:
    - success: bool
    - result: ReplaceResult if success, None otherwise
    - error: Error message if failed, None otherwise
    - error_type: "not_found", "multiple_matches", or "no_change" if failed
    - closest_match: FuzzyMatchInfo if a close match was found
    - locations: List of line numbers if multiple matches found"""


@pytest.mark.parametrize(
    "function, doc", [(m.replace_content, REPLACE_DOC), (m.try_replace_content, TRY_REPLACE_DOC)]
)
def test_doc_and_signature(function, doc):
    signature = "(content, old_string, new_string, replace_all=False, line_hint=None)"
    assert function.__doc__ == doc
    assert function.__text_signature__ == signature
    assert function.__module__ == "_marlune_search"


# ---- arguments -------------------------------------------------------------------------------

OVERFLOW = "out of range integral type conversion attempted"
NOT_INTEGER = "object cannot be interpreted as an integer"
MISSING = "{f}() missing"
ABC = ("a", "b", "c")


def cast(parameter, type_name, kind):
    return f"argument '{parameter}': '{type_name}' object cannot be cast as '{kind}'"


@pytest.mark.parametrize("name", ["replace_content", "try_replace_content"])
@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        (ABC, {"line_hint": -1}, OverflowError, OVERFLOW),
        (ABC, {"line_hint": 2**32}, OverflowError, OVERFLOW),
        (ABC, {"line_hint": 2**64}, OverflowError, "Python int too large to convert to C long"),
        (ABC, {"line_hint": 1.5}, TypeError, f"argument 'line_hint': 'float' {NOT_INTEGER}"),
        (ABC, {"line_hint": "1"}, TypeError, f"argument 'line_hint': 'str' {NOT_INTEGER}"),
        (ABC, {"replace_all": 1}, TypeError, cast("replace_all", "int", "bool")),
        (ABC + (None,), {}, TypeError, cast("replace_all", "NoneType", "bool")),
        # conversion runs in parameter order and stops at the first failure
        ((1, 2, 3), {}, TypeError, cast("content", "int", "str")),
        (("a", b"b", "c"), {}, TypeError, cast("old_string", "bytes", "str")),
        (("a", "b", None), {}, TypeError, cast("new_string", "NoneType", "str")),
        (ABC + (0,), {"line_hint": -1}, TypeError, cast("replace_all", "int", "bool")),
        # a bad argument wins over a replacement that would fail
        (("a", "a", "a"), {"line_hint": -1}, OverflowError, OVERFLOW),
        ((), {}, TypeError, MISSING + " 3 required positional arguments: 'content', 'old_string', and "
         "'new_string'"),
        (("a",), {}, TypeError, MISSING + " 2 required positional arguments: 'old_string' and 'new_string'"),
        (("a", "b"), {"line_hint": 1}, TypeError, MISSING + " 1 required positional argument: 'new_string'"),
        (ABC + (False, None, 1), {}, TypeError, "{f}() takes from 3 to 5 positional arguments but 6 were "
         "given"),
        (ABC, {"hint": 1}, TypeError, "{f}() got an unexpected keyword argument 'hint'"),
        (ABC, {"content": "x"}, TypeError, "{f}() got multiple values for argument 'content'"),
        (("a\ud800", "b", "c"), {}, UnicodeEncodeError, None),
        (("a", "\udfff", "c"), {}, UnicodeEncodeError, None),
        (("a", "b", "\ud83d"), {}, UnicodeEncodeError, None),
    ],
)
def test_argument_errors(name, args, kwargs, error, message):
    function = getattr(m, name)
    with pytest.raises(error) as info:
        function(*args, **kwargs)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message.format(f=name)


@pytest.mark.parametrize("name", ["replace_content", "try_replace_content"])
def test_keywords_and_defaults(name):
    function = getattr(m, name)
    content = "foo\nbar\nfoo\n"
    by_keyword = function(content=content, old_string="foo", new_string="X", line_hint=3)
    by_position = function(content, "foo", "X", False, 3)
    by_keyword = getattr(by_keyword, "result", by_keyword)
    by_position = getattr(by_position, "result", by_position)
    assert by_keyword.content == by_position.content == "foo\nbar\nX\n"
    # None is the omitted hint; True is the hint 1; a str subclass is text
    assert m.try_replace_content(content, "foo", "X", line_hint=None).error_type == "multiple_matches"
    assert m.try_replace_content(content, "foo", "X", line_hint=True).result.start_line == 1
    assert m.try_replace_content(type("S", (str,), {})(content), "bar", "X").result.start_line == 2


# ---- hostile input -----------------------------------------------------------------------------

BIG_LINE = "abcdefghij" * 100_000  # 1 MB without a line break


@pytest.mark.parametrize(
    "content, old",
    [
        ("no line breaks at all", "line breaks"),
        ("no line breaks at all", "line  breaks"),
        ("no line breaks at all", "nothing similar"),
        ("\n\n\n", "\n"),
        ("\n\n\n", "\n\n\n\n"),
        ("\n\n\n", "x"),
        ("\r", "\r"),
        ("\r", "\n"),
        ("\r\r\n\r", "\r\n"),
        ("a\rb\rc", "b\rc\n"),
        ("", "x"),
        ("", "\n"),
        (BIG_LINE, "abcdefghijabcdefgXij"),
        (BIG_LINE + "\n" + BIG_LINE[:50], BIG_LINE[:50] + "\n"),
        ("ünï\tcødé\u3000→ ✓\n\u00a0\u00a0x = «1»\n日本語", "x = «1»"),
        ("ünï\tcødé\u3000→ ✓\n\u00a0\u00a0x = «1»\n日本語", "\u2003x = «2»\n日本"),
        ("\u00a0a\n b\n", "a\nb"),  # indents that do not line up on character boundaries
        ("😀\n😀😀\n", "😀"),
    ],
)
@pytest.mark.parametrize("replace_all", [False, True])
def test_hostile_input_gives_a_consistent_outcome(content, old, replace_all):
    record = m.try_replace_content(content, old, "NEW", replace_all=replace_all, line_hint=None)
    if record:
        result = record.result
        position = content.find(result.matched_text)
        assert position >= 0
        assert result.start_line == content.count("\n", 0, position) + 1
        assert result.end_line == result.start_line + result.matched_text.count("\n")
        if not replace_all:
            suffix = content[position + len(result.matched_text) :]
            assert result.content == content[:position] + "NEW" + suffix
    else:
        assert record.error_type in ("not_found", "multiple_matches")
        with pytest.raises(ValueError, match="^(Search text not found|Pattern found at multiple)"):
            m.replace_content(content, old, "NEW", replace_all=replace_all)

"""StreamingFuzzyMatcher from Python: line buffering, alignment results, hint selection, byte
offsets, get_text, the class surface, argument errors and use from several threads."""

import itertools
import struct
import sys
import threading
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _marlune_search as m

Matcher = m.StreamingFuzzyMatcher

FOO = "function foo() {\n    return 42;\n}"
TWICE = "x\nfoo\nbar\ny\nfoo\nbar\nz"  # foo/bar on lines 1-2 (bytes 2..9) and 4-5 (12..19)
FAR_APART = "foo" + "\n" * 1000 + "foo"  # 1001 lines: "foo", 999 empty lines, "foo"


def span(r):
    return None if r is None else (r.start, r.end)


def spans(ranges):
    assert type(ranges) is list
    return [span(r) for r in ranges]


def push_lines(matcher, lines, hint=None):
    return [span(matcher.push(line + "\n", hint)) for line in lines]


def make_range(start, end):
    """A real MatchRange start..end, made by a matcher over a source of ASCII lines."""
    prefix = "x" * (start - 1) + "\n" if start else ""
    r = Matcher(prefix + "y" * (end - start)).push("y" * (end - start) + "\n")
    assert span(r) == (start, end)
    return r


# --- Reference model: the line rule and the alignment written plainly -------------------------

WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B)))
WHITE_SPACE += "\u2028\u2029\u202f\u205f\u3000"


def split_lines(text):
    *pieces, last = text.split("\n")
    lines = [p[:-1] if p.endswith("\r") else p for p in pieces]
    return lines + [last] if last else lines


def levenshtein(a, b):
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j - 1] + (ca != cb), cur[j - 1] + 1, prev[j] + 1))
        prev = cur
    return prev[-1]


def pairing_cost(a, b):
    if a == b:
        return 0
    la, lb = len(a.encode()), len(b.encode())
    if not a or not b:
        return 13
    mx = float(max(la, lb))
    if 1.0 - abs(la - lb) / mx < 0.8 or 1.0 - levenshtein(a, b) / mx < 0.8:
        return 13
    return 1


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def reference_ranges(source_lines, query_lines):
    n = len(source_lines)
    src = [s.strip(WHITE_SPACE) for s in source_lines]
    offsets = [0]
    for s in source_lines:
        offsets.append(offsets[-1] + len(s.encode()) + 1)
    cost, way = [[0] * (n + 1)], [[None] * (n + 1)]
    for r, line in enumerate(query_lines, 1):
        a = line.strip(WHITE_SPACE)
        row, steps = [10 * r], ["up"]
        for c in range(1, n + 1):
            up, left = cost[-1][c] + 10, row[c - 1] + 3
            diagonal = cost[-1][c - 1] + pairing_cost(a, src[c - 1])
            if diagonal < left and diagonal < up:
                row.append(diagonal), steps.append("diagonal")
            elif left < up:
                row.append(left), steps.append("left")
            else:
                row.append(up), steps.append("up")
        cost.append(row), way.append(steps)
    if n == 0 or not query_lines:
        return []
    q, ranges = len(query_lines), []
    for end in range(1, n + 1):
        if cost[q][end] != min(cost[q][1:]):
            continue
        r, c, matched = q, end, 0
        while r > 0 and c > 0:
            step = way[r][c]
            r, c = r - (step != "left"), c - (step != "up")
            matched += step == "diagonal"
        if f32(matched / max(end - c, q)) >= f32(0.8):
            ranges.append((offsets[c], offsets[end - 1] + len(source_lines[end - 1].encode())))
    return ranges


# --- Line buffering and the push / finish protocol --------------------------------------------


def test_function_example_push_finish_push_finish():
    matcher = Matcher(FOO)
    assert matcher.source_lines == ["function foo() {", "    return 42;", "}"]
    assert span(matcher.push("function foo() {\n")) == (0, 16)
    assert span(matcher.push("    return 42;\n", None)) == (0, 31)
    assert spans(matcher.finish()) == [(0, 31)]
    assert span(matcher.push("}")) == (0, 31)  # no line completed: the old matches stand
    assert matcher.query_lines == ["function foo() {", "    return 42;"]
    assert spans(matcher.finish()) == [(0, 33)]
    assert spans(matcher.finish()) == [(0, 33)]
    assert matcher.query_lines == ["function foo() {", "    return 42;", "}"]
    assert matcher.get_text(matcher.finish()[0]) == FOO


@pytest.mark.parametrize(
    "chunks, lines_before_finish, lines_after_finish",
    [
        (["abc\r", "\n"], ["abc"], ["abc"]),  # "\r" and "\n" meet across the chunk boundary
        (["x\n\n"], ["x", ""], ["x", ""]),
        (["tail\r"], [], ["tail\r"]),
        (["a\nb"], ["a"], ["a", "b"]),
        (["a", "", "b", "c\nd", "e\r\n"], ["abc", "de"], ["abc", "de"]),
        (["", ""], [], []),
        (["\r\r\n"], ["\r"], ["\r"]),  # only one "\r" goes with the "\n"
        (["a\rb\n"], ["a\rb"], ["a\rb"]),
        (["\n"], [""], [""]),
        (["é€", "😀\r", "\n\u2028x"], ["é€😀"], ["é€😀", "\u2028x"]),
    ],
)
def test_chunks_become_lines(chunks, lines_before_finish, lines_after_finish):
    matcher = Matcher("abc\nx\n\nde")
    for chunk in chunks:
        matcher.push(chunk)
    assert matcher.query_lines == lines_before_finish
    matcher.finish()
    assert matcher.query_lines == lines_after_finish


def test_two_lines_in_one_chunk_and_a_partial_tail():
    matcher = Matcher("x\n\ny\nhead\ntail\r")
    assert span(matcher.push("x\n\n")) == (0, 2)
    matcher = Matcher("x\n\ny\nhead\ntail\r")
    assert span(matcher.push("head\ntail\r")) == (5, 9)
    assert spans(matcher.finish()) == [(5, 15)]
    assert matcher.query_lines == ["head", "tail\r"]


@pytest.mark.parametrize("chunks", [["a\n", "b\n"], ["a\nb"], [""], []])
def test_empty_source_never_matches(chunks):
    matcher = Matcher("")
    assert matcher.source_lines == []
    assert all(matcher.push(chunk, 0) is None for chunk in chunks)
    assert matcher.select_best_match() is None
    assert matcher.finish() == []
    assert matcher.get_text(make_range(0, 5)) == ""


@pytest.mark.parametrize(
    "source, lines",
    [
        ("a\r\nb\r\n", ["a", "b"]),
        ("a\r\nb\nc", ["a", "b", "c"]),
        ("a\rb", ["a\rb"]),
        ("a\r", ["a\r"]),
        ("\n", [""]),
        ("a\n\nb\n", ["a", "", "b"]),
        ("\r\n\r\n", ["", ""]),
    ],
)
def test_source_lines(source, lines):
    assert Matcher(source).source_lines == lines


def test_crlf_source_ranges_refer_to_the_text_without_carriage_returns():
    matcher = Matcher("a\r\nb\r\n")
    matcher.push("a\r\nb")
    (whole,) = matcher.finish()
    assert span(whole) == (0, 3)
    assert matcher.get_text(whole) == "a\nb"


# --- Alignment results -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "source, query, results",
    [
        ("a\nb\nX\nc\nd\ne", "abcde", [(0, 1), (0, 3), None, (0, 9), (0, 11)]),
        ("a\nx\nb", "ab", [(0, 1), None]),  # 2 pairings over a span of 3
        ("a\nb\nc\nd\ne", ["a", "b", "ZZZ", "c", "d"], [(0, 1), (0, 3), None, None, (0, 7)]),
        # "BETA-X" pairs with "beta" only at cost 13, which ties with an Up step and loses.
        ("alpha\nbeta\ngamma", ["alpha", "BETA-X", "gamma"], [(0, 5), None, None]),
        ("    return 42;\n}", ["return 43;"], [(0, 14)]),
        # Distance 2 over 10 bytes is exactly 0.8: similar.
        ("int a = 1;\nint b = 2;\n", ["int a = 1;", "int c = 3;"], [(0, 10), (0, 21)]),
        ("abcdefghij", ["abcdefghXY"], [(0, 10)]),
        ("abcdefghij", ["abcdefgXYZ"], [None]),
        # Lengths 5 and 4: exactly 0.8 passes; 6 and 4 does not.
        ("abcd", ["abcde"], [(0, 4)]),
        ("abcd", ["abcdef"], [None]),
        # Distance in characters over length in bytes: 1 - 1/6 for three two-byte characters.
        ("ééé", ["éeé"], [(0, 6)]),
        # Trimming removes Unicode white space; a blank query line pairs with an empty line.
        ("\u3000foo\u00a0\n\nbar", ["foo", " \t", "\u2003bar"], [(0, 8), (0, 9), (0, 13)]),
        ("a\nb", [" ", "a"], [None, None]),
    ],
)
def test_results_after_each_line(source, query, results):
    assert push_lines(Matcher(source), query) == results


def test_equal_candidates_come_in_source_order():
    matcher = Matcher(TWICE)
    push_lines(matcher, ["foo", "bar"])
    assert spans(matcher.finish()) == [(2, 9), (12, 19)]
    assert spans(matcher.finish()) == [(2, 9), (12, 19)]


# --- Hint selection ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "source, query, hint, selected, pushed",
    [
        (TWICE, ["foo", "bar"], None, None, (2, 9)),
        (TWICE, ["foo", "bar"], 4, (12, 19), (12, 19)),
        (TWICE, ["foo", "bar"], 3, (12, 19), (12, 19)),
        (TWICE, ["foo", "bar"], 2, (2, 9), (2, 9)),
        (TWICE, ["foo", "bar"], 500, None, (2, 9)),
        (TWICE, ["foo", "bar"], 4294967295, None, (2, 9)),
        ("x\nfoo\nbar\ny\nz\nfoo\nbar", ["foo", "bar"], 3, (2, 9), (2, 9)),  # tie: earliest
        (FAR_APART, ["foo"], 200, (0, 3), (0, 3)),  # exactly 200 lines away is accepted
        (FAR_APART, ["foo"], 201, None, (0, 3)),
        (FAR_APART, ["foo"], 800, (1003, 1006), (1003, 1006)),
        (FAR_APART, ["foo"], 1201, None, (0, 3)),
        (FOO, ["function foo() {"], 4000000000, (0, 16), (0, 16)),  # a single range always wins
    ],
)
def test_hint_selection(source, query, hint, selected, pushed):
    matcher = Matcher(source)
    assert push_lines(matcher, query, hint)[-1] == pushed
    assert span(matcher.select_best_match()) == selected


def test_hint_without_a_new_line_changes_the_choice_and_is_never_cleared():
    matcher = Matcher(TWICE)
    assert push_lines(matcher, ["foo", "bar"]) == [(2, 5), (2, 9)]
    assert matcher.select_best_match() is None
    assert span(matcher.push("", 4)) == (12, 19)
    assert span(matcher.push("", None)) == (12, 19)
    assert span(matcher.push("partial")) == (12, 19)
    assert span(matcher.push("", 1)) == (2, 9)
    assert span(matcher.select_best_match()) == (2, 9)


class IntLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "hint, expected",
    [(True, (0, 3)), (False, (0, 3)), (2, (8, 11)), (IntLike(3), (8, 11)), (IntLike(1), (0, 3))],
)
def test_hint_goes_through_the_integer_protocol(hint, expected):
    matcher = Matcher("foo\nx\ny\nfoo")  # ranges on lines 0 and 3
    push_lines(matcher, ["foo"])
    assert span(matcher.push("", hint)) == expected
    assert span(matcher.select_best_match()) == expected


# --- Byte offsets and get_text -----------------------------------------------------------------


def test_offsets_are_utf8_bytes_not_characters():
    matcher = Matcher("é\nx")
    r = matcher.push("x\n")
    assert span(r) == (3, 4)
    assert matcher.get_text(r) == "x"
    assert "é\nx"[r.start : r.end] == ""  # slicing the str with byte offsets is wrong


@pytest.mark.parametrize(
    "start, end, text",
    [(0, 31, "function foo() {\n    return 42;"), (0, 1000, FOO), (40, 50, ""), (16, 17, "\n")],
)
def test_get_text_clamps_to_the_source(start, end, text):
    assert Matcher(FOO).get_text(make_range(start, end)) == text


JOINED = "aé€😀z"  # bytes: a 0, é 1-2, € 3-5, 😀 6-9, z 10
BOUNDARIES = [0, *itertools.accumulate(len(c.encode()) for c in JOINED)]


def nearest_boundaries(offset):
    return {max(b for b in BOUNDARIES if b <= offset), min(b for b in BOUNDARIES if b >= offset)}


@pytest.mark.parametrize(
    "start, end", [(0, e) for e in range(1, 12)] + [(s, 11) for s in (2, 4, 5, 7, 8, 9)]
)
def test_get_text_never_cuts_a_character(start, end):
    text = Matcher(JOINED).get_text(make_range(start, end))
    assert type(text) is str
    whole = JOINED.encode()
    allowed = {whole[s:e] for s in nearest_boundaries(start) for e in nearest_boundaries(end)}
    assert text.encode() in allowed


# --- Chunking invariance against the plain model --------------------------------------------

# Lines equal after trimming, similar pairs (cost 1), dissimilar ones, blank lines, multi-byte
# text, and pairs similar only because the edit distance is divided by a length in bytes.
SIMILAR = {"foo()": "foo(x)", "ééé": "éeé", "return 42;": "return 43;", "日本語": "日本語x"}
SIMILAR.update({b: a for a, b in SIMILAR.items()})
VOCABULARY = [*SIMILAR, "\u3000foo()", "bar", "fo", "", " ", "x\r"]
vocabulary = st.sampled_from(VOCABULARY)


@st.composite
def source_and_query(draw):
    """A source and a query made from a slice of it, with lines kept, changed a little, replaced,
    dropped or preceded by an extra line."""
    source = draw(st.lists(vocabulary, min_size=1, max_size=8))
    start = draw(st.integers(0, len(source) - 1))
    query = []
    for line in source[start : draw(st.integers(start + 1, len(source)))]:
        edit = draw(st.sampled_from(["keep", "keep", "similar", "other", "drop", "insert"]))
        if edit == "insert":
            query.append(draw(vocabulary))
        if edit in ("keep", "insert"):
            query.append(line)
        elif edit != "drop":
            query.append(SIMILAR.get(line, line) if edit == "similar" else draw(vocabulary))
    return source, query


@settings(max_examples=80, deadline=None)
@given(
    source_and_query=source_and_query(),
    source_ending=st.sampled_from(["\n", "\r\n"]),
    query_ending=st.sampled_from(["\n", "\r\n"]),
    tail=st.sampled_from(["", "fo", "x\r", "é"]),
    data=st.data(),
)
def test_any_chunking_gives_the_same_lines_and_matches(
    source_and_query, source_ending, query_ending, tail, data
):
    source, query = source_and_query
    source_text = source_ending.join(source)
    text = "".join(line + query_ending for line in query) + tail
    cuts = sorted(data.draw(st.lists(st.integers(0, len(text)), max_size=6)))
    chunkings = [
        [text],
        list(text),
        [text[a:b] for a, b in zip([0, *cuts], [*cuts, len(text)])],
    ]
    source_lines, expected_lines = split_lines(source_text), split_lines(text)
    expected = reference_ranges(source_lines, expected_lines)
    matcher = Matcher(source_text)
    for count, line in enumerate(query, 1):  # every row of the alignment, as it grows
        first = reference_ranges(source_lines, expected_lines[:count])[:1] or [None]
        assert span(matcher.push(line + query_ending)) == first[0]
    for chunks in chunkings:
        matcher = Matcher(source_text)
        for chunk in chunks:
            matcher.push(chunk)
        assert matcher.query_lines == split_lines(text[: text.rfind("\n") + 1])
        assert spans(matcher.finish()) == expected
        assert matcher.query_lines == expected_lines


# --- The class surface -------------------------------------------------------------------------

CLASS_DOC = (
    "A streaming fuzzy matcher that processes text chunks incrementally.\n\n"
    "This matcher is designed for real-time matching scenarios like code editing\n"
    "where text arrives in chunks (e.g., from an LLM streaming response).\n\n"
    "Example:\n"
    '    >>> matcher = StreamingFuzzyMatcher("function foo() {\\n    return 42;\\n}")\n'
    '    >>> result = matcher.push("function foo() {\\n", None)\n'
    "    >>> print(result)  # MatchRange with the match location"
)
PUSH_DOC = (
    "Push a new chunk of text and get the best match found so far.\n\n"
    "This method accumulates text chunks and processes complete lines.\n"
    "Partial lines are buffered internally until a newline is received.\n\n"
    "Args:\n"
    "    chunk: Text chunk to add to the query\n"
    "    line_hint: Optional line number hint for match selection\n\n"
    "Returns:\n"
    "    MatchRange if a match has been found, None otherwise"
)
FINISH_DOC = (
    "Finish processing and return all final matches.\n\n"
    "This processes any remaining incomplete line before returning\n"
    "the final match results.\n\n"
    "Returns:\n"
    "    List of all found MatchRange objects"
)
SELECT_DOC = (
    "Return the best match considering line hints.\n\n"
    "Returns:\n"
    "    Best MatchRange, or None if no suitable match found"
)
GET_TEXT_DOC = (
    "Get the text for a given range from the source.\n\n"
    "Args:\n"
    "    match_range: The MatchRange to extract text for\n\n"
    "Returns:\n"
    "    The matched text as a string"
)


@pytest.mark.parametrize(
    "member, doc, signature",
    [
        (Matcher, CLASS_DOC, "(source_text)"),
        (Matcher.push, PUSH_DOC, "($self, chunk, line_hint=None)"),
        (Matcher.finish, FINISH_DOC, "($self)"),
        (Matcher.select_best_match, SELECT_DOC, "($self)"),
        (Matcher.get_text, GET_TEXT_DOC, "($self, match_range)"),
        (Matcher.query_lines, "Returns the accumulated query lines.", None),
        (Matcher.source_lines, "Returns the source lines.", None),
    ],
)
def test_docstrings_and_signatures(member, doc, signature):
    assert member.__doc__ == doc
    if signature is not None:
        assert member.__text_signature__ == signature


def test_type_object():
    assert Matcher.__module__ == "builtins"
    assert Matcher.__name__ == Matcher.__qualname__ == "StreamingFuzzyMatcher"
    assert m.__all__.index("StreamingFuzzyMatcher") == 5
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (Matcher,), {})
    matcher = Matcher("a")
    with pytest.raises(AttributeError):
        matcher.__dict__
    with pytest.raises(AttributeError):
        matcher.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(matcher)
    for name in ("query_lines", "source_lines"):
        with pytest.raises(AttributeError):
            setattr(matcher, name, [])


class Text(str):
    pass


def test_constructor_accepts_keyword_and_str_subclass():
    assert Matcher(source_text="a\nb").source_lines == ["a", "b"]
    assert Matcher(Text("a\nb")).source_lines == ["a", "b"]


NEW = "StreamingFuzzyMatcher.__new__()"
PUSH = "StreamingFuzzyMatcher.push()"
GET_TEXT = "StreamingFuzzyMatcher.get_text()"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: Matcher(5), TypeError, "argument 'source_text': 'int' object cannot be cast as 'str'"),
        (lambda: Matcher(), TypeError, f"{NEW} missing 1 required positional argument: 'source_text'"),
        (lambda: Matcher("a", "b"), TypeError, f"{NEW} takes 1 positional arguments but 2 were given"),
        (lambda: Matcher(source="a"), TypeError, f"{NEW} got an unexpected keyword argument 'source'"),
        (
            lambda: Matcher("a", source_text="b"),
            TypeError,
            f"{NEW} got multiple values for argument 'source_text'",
        ),
        (lambda: Matcher(b"a"), TypeError, "argument 'source_text': 'bytes' object cannot be cast as 'str'"),
        (lambda: Matcher("\ud800"), UnicodeEncodeError, None),
    ],
)
def test_constructor_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        (("x", -1), {}, OverflowError, "out of range integral type conversion attempted"),
        (("x", 2**32), {}, OverflowError, "out of range integral type conversion attempted"),
        (("x", 2**64), {}, OverflowError, None),
        (("x", 2.0), {}, TypeError, "argument 'line_hint': 'float' object cannot be interpreted as an integer"),
        (("x", "3"), {}, TypeError, "argument 'line_hint': 'str' object cannot be interpreted as an integer"),
        ((True,), {}, TypeError, "argument 'chunk': 'bool' object cannot be cast as 'str'"),
        ((None,), {}, TypeError, "argument 'chunk': 'NoneType' object cannot be cast as 'str'"),
        ((1, -1), {}, TypeError, "argument 'chunk': 'int' object cannot be cast as 'str'"),
        (("x\n", 1, 2), {}, TypeError, f"{PUSH} takes from 1 to 2 positional arguments but 3 were given"),
        ((), {}, TypeError, f"{PUSH} missing 1 required positional argument: 'chunk'"),
        ((), {"line_hint": 1}, TypeError, f"{PUSH} missing 1 required positional argument: 'chunk'"),
        (("x\n",), {"hint": 1}, TypeError, f"{PUSH} got an unexpected keyword argument 'hint'"),
        (("x\n",), {"chunk": "y"}, TypeError, f"{PUSH} got multiple values for argument 'chunk'"),
        (("\ud800\n",), {}, UnicodeEncodeError, None),
    ],
)
def test_push_errors_leave_the_matcher_unchanged(args, kwargs, error, message):
    matcher, twin = Matcher(TWICE), Matcher(TWICE)
    for each in (matcher, twin):
        each.push("foo\nbar\nx")
    with pytest.raises(error) as info:
        matcher.push(*args, **kwargs)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    assert matcher.query_lines == twin.query_lines
    assert matcher.select_best_match() is None  # no hint was stored
    assert spans(matcher.finish()) == spans(twin.finish())
    assert matcher.query_lines == twin.query_lines


def test_push_accepts_keywords():
    matcher = Matcher(TWICE)
    assert span(matcher.push(chunk="foo\n", line_hint=3)) == (12, 15)
    assert span(matcher.push(line_hint=4, chunk="bar\n")) == (12, 19)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (((0, 3),), {}, "argument 'match_range': 'tuple' object cannot be cast as 'MatchRange'"),
        ((None,), {}, "argument 'match_range': 'NoneType' object cannot be cast as 'MatchRange'"),
        ((), {}, f"{GET_TEXT} missing 1 required positional argument: 'match_range'"),
        ((0, 1), {}, f"{GET_TEXT} takes 1 positional arguments but 2 were given"),
        ((), {"range": 1}, f"{GET_TEXT} got an unexpected keyword argument 'range'"),
    ],
)
def test_get_text_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Matcher(FOO).get_text(*args, **kwargs)
    assert str(info.value) == message


def test_get_text_by_keyword():
    assert Matcher(FOO).get_text(match_range=make_range(17, 31)) == "    return 42;"


def test_line_lists_are_fresh_copies():
    matcher = Matcher(FOO)
    matcher.push("function foo() {\npartial")
    query, source = matcher.query_lines, matcher.source_lines
    assert query is not matcher.query_lines and source is not matcher.source_lines
    query.append("changed")
    source[0] = "changed"
    assert matcher.query_lines == ["function foo() {"]
    assert matcher.source_lines == ["function foo() {", "    return 42;", "}"]


def test_match_ranges_from_results_behave_as_values():
    matcher = Matcher(FOO)
    first = matcher.push("function foo() {\n")
    again = matcher.push("")
    other = matcher.push("    return 42;\n")
    assert type(first) is m.MatchRange and first is not again
    assert first == again and not first != again
    assert first != other and not first == other
    assert (first == (0, 16)) is False and (first != (0, 16)) is True
    assert repr(first) == str(first) == "MatchRange(start=0, end=16)"
    assert matcher.finish()[0] is not matcher.finish()[0]
    with pytest.raises(TypeError):
        hash(first)
    with pytest.raises(TypeError):
        first < other  # noqa: B015
    with pytest.raises(AttributeError):
        first.start = 1


# --- Threads -----------------------------------------------------------------------------------


def test_threads_with_own_matchers_and_one_shared_matcher():
    source = "\n".join(f"    value_{i} = compute({i})" for i in range(300))
    query = source.split("\n")[100:140]
    expected = push_lines(Matcher(source), query)
    shared = Matcher(FOO)
    shared.push("function foo() {\n    return 42;\n")
    shared_range = shared.select_best_match()
    errors, results = [], []
    barrier = threading.Barrier(8)

    def work(index):
        try:
            barrier.wait()
            own = Matcher(source)
            got = []
            for line in query:
                got.append(span(own.push(line + "\n", index)))
                assert shared.select_best_match() == shared_range
                assert shared.get_text(shared_range) == "function foo() {\n    return 42;"
                assert len(shared.query_lines) >= 2 and len(shared.source_lines) == 3
                shared.push("}")  # exclusive use of the shared matcher, no line completed
            results.append(got)
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append(error)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
    assert results == [expected] * 8
    assert shared.query_lines == ["function foo() {", "    return 42;"]
    shared.finish()  # every exclusive push landed: none was lost or refused
    assert shared.query_lines[-1] == "}" * (8 * len(query))

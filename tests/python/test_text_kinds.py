"""Text of every width the interpreter stores strings in (one, two or four bytes per character)
goes in and comes out of the replacement functions unchanged: the same results as plain str
operations, the narrowest representation, and the interpreter's own error for lone surrogates."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _marlune_search as m

# One character of each width, and the widest character of the width below it, so that a
# result can narrow or widen across every boundary.
WIDE = {
    "latin1": ("é", "\xff"),
    "ucs2": ("中", "\u0100"),
    "ucs4": ("😀", "\U00010000"),
}
CHARS = ["a", "é", "\xff", "\u0100", "中", "\uffff", "\U00010000", "😀", "\U0010ffff"]

LINE = "    value = compute(alpha, beta)  # comment\n"


def fresh(text):
    """An equal str that has never been converted to UTF-8 by anyone."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass")


def expected_edit(content, old, new):
    """The exact edit in plain Python: (content, matched_text, start_line, end_line)."""
    position = content.index(old)
    assert content.find(old, position + 1) < 0, "the edit must have one place, overlaps included"
    start_line = content[:position].count("\n") + 1
    return content.replace(old, new, 1), old, start_line, start_line + old.count("\n")


def observed(result):
    return result.content, result.matched_text, result.start_line, result.end_line


def check_exact_edit(content, old, new):
    want = expected_edit(content, old, new)
    for argument in (fresh, lambda s: s):
        result = m.replace_content(argument(content), argument(old), argument(new))
        assert result.strategy == "simple"
        got = observed(result)
        # str equality compares representations first, so an equal result is also in the
        # narrowest one; the hash and the reported width must agree as well.
        assert got == want
        assert hash(got[0]) == hash(want[0])
        assert got[0].isascii() == want[0].isascii()
        record = m.try_replace_content(argument(content), argument(old), argument(new))
        assert record and observed(record.result) == want


def text_around(char, offset, lines=3):
    """ASCII lines with `char` at column `offset` of the middle one."""
    middle = LINE[:offset] + char + LINE[offset:]
    return LINE * lines + middle + LINE * lines


@pytest.mark.parametrize("char", CHARS)
@pytest.mark.parametrize("offset", [0, 1, 7, 15, 16, 17, 31, 32, 33, 44])
def test_edit_after_a_wide_character_keeps_text_and_lines(char, offset):
    content = text_around(char, offset) + "target line\n" + LINE * 5
    check_exact_edit(content, "target line\n", "replaced line\n")


@pytest.mark.parametrize("char", CHARS)
@pytest.mark.parametrize("where", ["start", "end", "inside", "both ends"])
def test_edit_whose_ends_touch_a_wide_character(char, where):
    pieces = {
        "start": (char + "old text", ""),
        "end": ("old text" + char, ""),
        "inside": ("old " + char + " text", ""),
        "both ends": (char + "old text" + char, ""),
    }
    old = pieces[where][0]
    content = LINE * 4 + "x" + char + old + char + "y\n" + LINE * 4
    check_exact_edit(content, old, "new")
    check_exact_edit(content, old, "new " + char * 20)


@pytest.mark.parametrize("width", list(WIDE))
def test_removing_the_only_wide_character_narrows_the_result(width):
    char, _ = WIDE[width]
    content = LINE * 40 + "name = '" + char + "'\n" + LINE * 40
    check_exact_edit(content, "name = '" + char + "'", "name = 'e'")


@pytest.mark.parametrize("content_char", ["", "é", "中", "😀"])
@pytest.mark.parametrize("new_char", ["", "é", "\u0100", "中", "\U00010000", "😀"])
def test_new_string_wider_or_narrower_than_content(content_char, new_char):
    content = (LINE + content_char) * 30 + "old_call(x)\n" + LINE * 30
    check_exact_edit(content, "old_call(x)", "new_call(" + new_char * 3 + ")")


@pytest.mark.parametrize("width", list(WIDE))
def test_dense_wide_text(width):
    char, narrower = WIDE[width]
    pick = random.Random(width).choice
    content = "".join(pick([char, char, char, narrower, "\n"]) for _ in range(3000)) + "\n"
    old = content[1200:1300]
    check_exact_edit(content, old, narrower * 7 + "\n" + char)


@pytest.mark.parametrize("width", list(WIDE))
def test_replace_all_and_line_hint_on_wide_text(width):
    char, _ = WIDE[width]
    content = ("a " + char + " = 1\n" + LINE) * 50
    old = "a " + char + " = 1"
    result = m.replace_content(fresh(content), fresh(old), "b = 2", replace_all=True)
    assert result.content == content.replace(old, "b = 2")
    assert (result.start_line, result.end_line) == (1, 1)
    hinted = m.replace_content(fresh(content), fresh(old), "b = 2", line_hint=40)
    assert hinted.start_line == 39
    lines = content.split("\n")
    lines[38] = "b = 2"
    assert hinted.content == "\n".join(lines)


@pytest.mark.parametrize("width", list(WIDE))
def test_str_subclass_and_cached_utf8_give_the_same_result(width):
    char, _ = WIDE[width]

    class Text(str):
        pass

    content = LINE * 20 + char + " marker\n" + LINE * 20
    want = expected_edit(content, char + " marker", "done")
    assert observed(m.replace_content(Text(content), Text(char + " marker"), Text("done"))) == want
    cached = fresh(content)
    m.fuzzy_match_simple("x", cached, True)  # asks the interpreter for the UTF-8 form
    assert observed(m.replace_content(cached, char + " marker", "done")) == want


@pytest.mark.parametrize("width", list(WIDE))
def test_failure_records_carry_wide_text(width):
    char, _ = WIDE[width]
    block = "".join(f"def f{i}(x):  # {char * (i + 1)}\n    return x + {i}\n" for i in range(30))
    old = "def f12(x):  # " + char * 13 + "\n    return x + 99"
    record = m.try_replace_content(fresh(block), fresh(old), "new")
    assert not record and record.error_type == "not_found"
    match = record.closest_match
    assert match.text == "def f12(x):  # " + char * 13 + "\n    return x + 12"
    assert (match.start_line, match.end_line) == (25, 26)
    assert char * 13 in match.diff
    repeated = (char + " repeated line\n") * 3
    ambiguous = m.try_replace_content(fresh(repeated), char + " repeated line", "x")
    assert ambiguous.error_type == "multiple_matches" and ambiguous.locations == [1, 2, 3]
    assert char in ambiguous.error


def unicode_error_args(text):
    with pytest.raises(UnicodeEncodeError) as info:
        text.encode("utf-8")
    return info.value.args


# A lone surrogate in a string of each width, alone or as half of a pair, at the start, inside
# the sixteen-character blocks and in the tail.
SURROGATE_TEXTS = [
    "\ud800",
    "a\udfff",
    "\ud83d\ude00 paired halves are still lone surrogates",
    "x" * 17 + "\udc00" + "y" * 40,
    "é" * 33 + "\ud800",
    "中" * 15 + "\udbff" + "中" * 20,
    "😀" * 16 + "\ud800\udc00" + "😀",
    "😀" + "z" * 50 + "\udfff",
]


@pytest.mark.parametrize("text", SURROGATE_TEXTS)
@pytest.mark.parametrize("slot", [0, 1, 2])
def test_lone_surrogate_raises_the_interpreters_error(text, slot):
    arguments = ["content " + LINE, "content", "other"]
    arguments[slot] = fresh(text)
    for function in (m.replace_content, m.try_replace_content):
        with pytest.raises(UnicodeEncodeError) as info:
            function(*arguments)
        assert type(info.value) is UnicodeEncodeError
        assert info.value.args == unicode_error_args(arguments[slot])


def test_the_first_bad_argument_is_reported():
    with pytest.raises(UnicodeEncodeError) as info:
        m.replace_content("ok é", fresh("\ud800é"), fresh("中\udc00"))
    assert info.value.object == "\ud800é"


@pytest.mark.parametrize("char", CHARS)
@pytest.mark.parametrize("size", [15, 16, 17, 64, 65, 200])
def test_long_matched_text_and_content_round_trip(char, size):
    old = ("ab" + char) * size
    content = "head\n" + old + "\ntail " + char + "\n"
    check_exact_edit(content, old, (char + "z") * size)


TEXT_ALPHABET = st.sampled_from(["a", "b", " ", "\n", "\t", "é", "\xff", "ā", "中", "\uffff", "😀", "\U0010ffff"])


@settings(max_examples=300, deadline=None)
@given(
    st.lists(TEXT_ALPHABET, max_size=120).map("".join),
    st.lists(TEXT_ALPHABET, min_size=1, max_size=12).map("".join),
    st.lists(TEXT_ALPHABET, max_size=20).map("".join),
    st.lists(TEXT_ALPHABET, max_size=120).map("".join),
)
def test_exact_edits_agree_with_str_operations(before, old, new, after):
    content = before + old + after
    position = content.find(old)
    if old == new or content.find(old, position + 1) >= 0:
        return
    check_exact_edit(content, old, new)


@pytest.mark.parametrize("content_char", ["", "é", "中", "😀"])
@pytest.mark.parametrize(
    "old, new",
    [(old, new) for old in ("", "a = 1", "\n") for new in ("", "b", "é", "中", "😀x") if old != new],
)
def test_replace_all_of_ascii_text_in_every_width(content_char, old, new):
    content = ("a = 1\n" + content_char + LINE) * 20
    result = m.replace_content(fresh(content), fresh(old), fresh(new), replace_all=True)
    want = content.replace(old, new)
    assert result.content == want and hash(result.content) == hash(want)
    assert result.matched_text == old


@pytest.mark.parametrize("space", ["\u3000", "\u00a0", "\u2003"])
@pytest.mark.parametrize("content_char", ["", "é", "中", "😀"])
def test_trimmed_stretch_of_a_wider_new_string_keeps_the_narrow_width(space, content_char):
    # The trimmed-boundary strategy puts in new_string without the whitespace at its ends, so
    # the result may be narrower than new_string.
    content = (LINE + content_char) * 5 + "z=foo(x) + bar(y);\n" + LINE * 5
    want = content.replace("foo(x) + bar(y)", "baz")
    for old in ("  foo(x) + bar(y)  ", space + "foo(x) + bar(y)" + space):
        result = m.replace_content(fresh(content), fresh(old), fresh(space + "baz" + space))
        assert result.strategy == "trimmed_boundary"
        assert result.content == want and hash(result.content) == hash(want)
        assert result.content.isascii() == want.isascii()

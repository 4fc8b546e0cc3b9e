"""What a tolerant match puts in: the replacement rewritten in the frame of the text really
matched (its indentation, tabs or spaces, escaped line breaks), and the line breaks that the
match holds beyond old_string kept. An exact match never changes new_string."""

import array
import ctypes
import difflib
import os
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _marlune_search as m
from frame_reference import replacement

CLASS_A = "class A:\n    def f(self):\n        x = 1\n        return x\n"
GO = "func f() {\n\tx := 1\n\tif x {\n\t\tg()\n\t}\n}\n"
GO_SPACES = GO.replace("\t", "    ")
TWICE = "class A:\n    def f(self):\n        return 1\nclass B:\n    def f(self):\n        return 1\n"

# (content, old_string, new_string, keyword arguments, new content, strategy)
FRAMED = [
    # the one shift that maps every indentation: right, left, from column 0
    (CLASS_A, "def f(self):\n    x = 1\n    return x", "def f(self):\n    x = 2\n    return x", {},
     "class A:\n    def f(self):\n        x = 2\n        return x\n", "line_trimmed"),
    ("class A:\n    def f(self):\n        if x:\n            return 1\n", "  if x:\n      return 1",
     "  if x:\n      return 2", {},
     "class A:\n    def f(self):\n        if x:\n            return 2\n", "line_trimmed"),
    ("class A:\n  def f(self):\n    return 1\n", "    def f(self):\n      return 1",
     "    def f(self):\n      return 2", {}, "class A:\n  def f(self):\n    return 2\n", "line_trimmed"),
    # a continuation line aligned with spaces after the file's tab
    ("\tcall(a,\n\t     b)\n", "call(a,\n     b)", "call(a,\n     c)", {}, "\tcall(a,\n\t     c)\n",
     "line_trimmed"),
    # a change of unit: two spaces to four, four to two, four spaces to a tab and back
    ("def f():\n    if x:\n        y()\n", "def f():\n  if x:\n    y()", "def f():\n  if x:\n    z()", {},
     "def f():\n    if x:\n        z()\n", "line_trimmed"),
    ("if a:\n  x = 1\n  y = 2\n", "if a:\n    x = 1\n    y = 2", "if a:\n    x = 1\n    y = 3", {},
     "if a:\n  x = 1\n  y = 3\n", "line_trimmed"),
    (GO, GO_SPACES.rstrip("\n"), GO_SPACES.replace("1", "2").rstrip("\n"), {}, GO.replace("1", "2"),
     "line_trimmed"),
    (GO_SPACES, GO.rstrip("\n"), GO.replace("1", "2").rstrip("\n"), {}, GO_SPACES.replace("1", "2"),
     "line_trimmed"),
    # a new line of the edit gets the mapped indentation, a blank line stays as written
    (CLASS_A, "def f(self):\n    x = 1\n    return x", "def f(self):\n    x = 1\n  \n    log(x)\n    return x",
     {}, "class A:\n    def f(self):\n        x = 1\n  \n        log(x)\n        return x\n", "line_trimmed"),
    # inner blanks collapsed: the kept line comes back as the file has it
    ("x = foo(a,  b)\ny = 2\nz = 3\n", "x = foo(a, b)\ny = 2", "x = foo(a, b)\ny = 3", {},
     "x = foo(a,  b)\ny = 3\nz = 3\n", "whitespace_normalized"),
    # votes: a replacement in the file's frame, a 2:1 tie, a line the edit itself re-indents
    (CLASS_A, "def f(self):\n    x = 1\n    return x", "    def f(self):\n        return 2", {},
     "class A:\n    def f(self):\n        return 2\n", "line_trimmed"),
    ("def f():\n    a = 1\n    b = 2\n    c = 3\n    d = 4\n", "def f():\n  a = 1\n  b = 2\n  c = 3\n  d = 4",
     "def f():\n  a = 1\n  b = 2\n    c = 3\n  d = 5", {},
     "def f():\n  a = 1\n  b = 2\n    c = 3\n  d = 5\n", "line_trimmed"),
    ("def f():\n    x = 1\n    y = 2\n    z = 3\n", "def f():\n  x = 1\n  y = 2\n  z = 3",
     "def f():\n  if c:\n    x = 1\n  y = 2\n  z = 3", {},
     "def f():\n  if c:\n    x = 1\n  y = 2\n  z = 3\n", "line_trimmed"),
    # no map fits the indentations: written as given
    ("if a:\n    x = 1\n    y = 2\n", "if a:\n  x = 1\n      y = 2", "if a:\n  x = 1\n      y = 3", {},
     "if a:\n  x = 1\n      y = 3\n", "line_trimmed"),
    # escapes: one line with "\n", escaped quotes, a replacement with a real line break
    ("a = 1\nb = 2\nc = 3\n", "a = 1\\nb = 2", "a = 10\\nb = 2", {}, "a = 10\nb = 2\nc = 3\n",
     "escape_normalized"),
    ('print("hi")\n', 'print(\\"hi\\")', 'print(\\"bye\\")', {}, 'print("bye")\n', "escape_normalized"),
    ('s = "a"\n', 's = \\"a\\"', 's = \\"b\\"\nt = 1', {}, 's = \\"b\\"\nt = 1\n', "escape_normalized"),
    ("a = 1\nb = 2\nc = 3\n", "a = 1\\nb = 2", "a = 10\nb = 2", {}, "a = 10\nb = 2\nc = 3\n",
     "escape_normalized"),
    # line breaks the match holds beyond old_string stay, at both ends, "\r" and all
    ("foo(a,  b)\n", "foo( a, b )", "bar()", {}, "bar()\n", "whitespace_normalized"),
    ("\n\nfoo(a,  b)\n", "foo( a, b )", "bar()", {}, "\n\nbar()\n", "whitespace_normalized"),
    ("x\r\ny\r\n", "x\ny", "Z", {}, "Z\r\n", "whitespace_normalized"),
    ("\n\n", " ", "X", {}, "X", "whitespace_normalized"),  # a candidate of whitespace only
    # every replaced occurrence gets the rewritten text; a hint picks one
    (TWICE, "def f(self):\n    return 1", "def f(self):\n    return 2", {"replace_all": True},
     TWICE.replace("return 1", "return 2"), "line_trimmed"),
    (TWICE, "def f(self):\n    return 1", "def f(self):\n    return 2", {"line_hint": 5},
     TWICE[: TWICE.rindex("1")] + "2\n", "line_trimmed"),
    # the exact match keeps new_string as written
    (CLASS_A, "    def f(self):\n        x = 1", "def f(self):\n  x = 2", {},
     "class A:\ndef f(self):\n  x = 2\n        return x\n", "simple"),
]


@pytest.mark.parametrize("content, old, new, kwargs, expected, strategy", FRAMED)
def test_replacement_in_the_frame_of_the_match(content, old, new, kwargs, expected, strategy):
    result = m.replace_content(content, old, new, **kwargs)
    assert (result.content, result.strategy) == (expected, strategy)


# ---- against a plain reading of the rules -------------------------------------------------------

LEADS = ["", "", "  ", "    ", "\t", "\t  ", "        "]
BODIES = ["a", "b", "x = 1", "return x", "f(a,  b)", "}", "", 'say("hi")']


def reindented(lines, rng):
    choice = rng.randrange(4)
    if choice == 0:
        return ["  " + x if x.strip() else x for x in lines]
    if choice == 1:
        return [x.replace("    ", "\t") for x in lines]
    if choice == 2:
        return [x.replace("\t", "    ") for x in lines]
    return [x.lstrip(" \t") for x in lines]


@settings(max_examples=400, deadline=None)
@given(st.randoms(use_true_random=False))
def test_rewritten_replacement_matches_the_plain_rules(rng):
    lines = [rng.choice(LEADS) + rng.choice(BODIES) for _ in range(rng.randrange(3, 12))]
    content = "\n".join(lines) + rng.choice(["", "\n"])
    start = rng.randrange(len(lines))
    block = lines[start : start + rng.randrange(1, 5)]
    old_lines = reindented(block, rng)
    new_lines = list(old_lines)
    for _ in range(rng.randrange(1, 3)):
        k = rng.randrange(len(new_lines) + 1)
        edit = rng.randrange(3)
        if edit == 0 or not new_lines:
            new_lines.insert(k, rng.choice(LEADS) + rng.choice(BODIES))
        elif edit == 1:
            new_lines[min(k, len(new_lines) - 1)] += " # changed"
        else:
            del new_lines[min(k, len(new_lines) - 1)]
    sep = "\\n" if rng.random() < 0.15 else "\n"
    old = sep.join(old_lines) + rng.choice(["", "", "\n"])
    new = sep.join(new_lines) + rng.choice(["", "\n"])
    record = m.try_replace_content(content, old, new)
    if not record:
        return
    result = record.result
    position = content.find(result.matched_text)
    assert content.count(result.matched_text) == 1 or result.strategy == "simple"
    expected = replacement(result.strategy, old, result.matched_text, new)
    assert result.content == content[:position] + expected + content[position + len(result.matched_text) :]


# ---- matching blocks against difflib -------------------------------------------------------------

PROBE_PATH = os.environ.get("MARLUNE_TEXT_PROBE")


@pytest.mark.skipif(not PROBE_PATH, reason="MARLUNE_TEXT_PROBE names no probe library")
def test_matching_blocks_are_those_of_the_sequence_matcher():
    lib = ctypes.CDLL(PROBE_PATH)
    lib.marlune_probe_matching_blocks.restype = ctypes.c_size_t
    rng = random.Random("matching-blocks")
    for _ in range(3000):
        # Few symbols, so that equal runs and ties are common.
        symbols = rng.randrange(1, 6)
        a = [rng.randrange(symbols) for _ in range(rng.randrange(0, 25))]
        b = [rng.randrange(symbols) for _ in range(rng.randrange(0, 25))]
        out = (ctypes.c_size_t * (3 * max(1, min(len(a), len(b)))))()
        aa, bb = array.array("I", a or [0]), array.array("I", b or [0])
        count = lib.marlune_probe_matching_blocks(
            ctypes.c_void_p(aa.buffer_info()[0]), len(a), ctypes.c_void_p(bb.buffer_info()[0]), len(b), out
        )
        got = [tuple(out[3 * k : 3 * k + 3]) for k in range(count)]
        want = [tuple(block) for block in difflib.SequenceMatcher(None, a, b, autojunk=False).get_matching_blocks()]
        assert got == want[:-1], (a, b)

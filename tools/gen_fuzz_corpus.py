#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/<target>/.

The seeds are the shapes the unit tests pin down (exact and tolerant edits, "\\r\\n" endings,
blank lines, escapes, multi-byte whitespace, ambiguous occurrences, streaming chunkings), encoded
the way the targets decode their input: a text field is a two-byte little-endian length followed
by the UTF-8 bytes; integers are little-endian. Each file is named by the SHA-1 of its bytes, so
rerunning the script rewrites the same files.

Usage: tools/gen_fuzz_corpus.py [OUTPUT_DIR]
"""

import hashlib
import itertools
import pathlib
import struct
import sys


def text(s):
    data = s.encode("utf-8")
    return struct.pack("<H", len(data)) + data


def u8(v):
    return struct.pack("<B", v & 0xFF)


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


# Texts the tests use, grouped as content and search texts of the replacement engine.
# (content, old, new) triples from the cases the tests pin down.
EDITS = [
    ("x = 1\ny = 2\n", "y = 2", "y = 3"),
    ("abc", "b", "B"),
    ("abc", "x", "y"),
    ("", "", "x"),
    ("ab", "", "-"),
    ("aaa", "aa", "b"),
    ("foo\nbar\nfoo\n", "foo", "baz"),
    ("a\n  foo  \nb", "foo\n", "FOO\n"),
    ("x\r\ny\r\n", "x\ny", "X\nY"),
    ("def f():\n    return 1\n", "def f():\n    return 2", "def f():\n    return 3"),
    ("def f():\n    if x:\n        y\n", "if x:\n    y", "if z:\n    w"),
    ("a\nX\nb", "a\nb\n\n", "c\n"),
    ("A\nA\ny\nB", "A\ny\nB", "A\nY\nB"),
    ("A\nz\nB\nA\n z\nB", "A\nz\nB", "A\nZ\nB"),
    ("A\nq\nB\nA\nr\nB", "A\ny\nB", "-"),
    ("{\np\nr\n}", "{\np\nq\n}", "{\n}"),
    ("{\nr\ns\n}", "{\np\nq\n}", "{\n}"),
    ("a b\na  b\na b\nc", "a b", "a-b"),
    ("a  b\n", "a b", "ab"),
    ("x y\nz", "x\n\n\ny", "xy"),
    ("a\n\n  \nb", "", "-"),
    ("x\n  a\n  b\ny\n", "a\nb\n", "A\nB\n"),
    ("x\n a\n b\n\ny\n", "a\nb\n\n", "A\nB\n\n"),
    ("x\r\n a\r\ny", "a\n", "A\r\n"),
    ("class A:\n    def f():\n        pass\n", "\n\n    def f():\n        pass\n\n",
     "\n\n    def f():\n        return 1\n\n"),
    ("start\n1\n2\n3\n4\nstop\n", "start\na\nb\nc\nd\ne\nf\nstop", "s\nt"),
    ("start\n1\n2\n3\nstop\n", "start\na\nb\nc\nd\ne\nf\nstop", "s\nt"),
    ("p\n\nq\nr\n\n", "\nq\nr\n\n", "Q\n"),
    ('say("hi")\n', 'say(\\"hi\\")', 'say("bye")'),
    ('say(\\"hi\\")\n', 'say("hi")', "say()"),
    ("foo\n  foo  \n", "  foo\n", "  bar\n"),
    ("a\n \n\t\nb", "   ", "-"),
    ("\u00a0\u00a0a\n\u3000b\n", "\u00a0a\n\u3000b", "c"),
    ("caf\u00e9 \u03a3\u03c3\n\u0130x\n", "\u03a3\u03c3", "s"),
    ("\t\tindent\n\tless\n", "    indent\n  less", "  more"),
    ("line\\nnext\n", "line\nnext", "c"),
    ("f( a ,b )\n", "f(a, b)", "g()"),
]

TARGETS = {}


def seeds(target):
    def register(function):
        TARGETS[target] = function
        return function

    return register


@seeds("replace")
def replace_seeds():
    # Plain single replacements, with replace_all, and with a hint (rotating, one per edit).
    for i, (content, old, new) in enumerate(EDITS):
        flags, hint = ((0, 0), (1, 0), (2, 3), (2, 1))[i % 4]
        yield u8(flags) + u32(hint) + text(content) + text(old) + text(new)
        if flags:
            yield u8(0) + u32(0) + text(content) + text(old) + text(new)
    yield u8(4) + u32(0) + text("abc") + text("b")  # new equal to old


def strategy_seeds():
    for content, old, _ in EDITS:
        yield text(content) + text(old)


for _name in ("simple", "line_trimmed", "block_anchor", "whitespace_normalized",
              "indentation_flexible", "escape_normalized", "trimmed_boundary", "context_aware"):
    TARGETS["strategy_" + _name] = strategy_seeds


@seeds("diagnostics")
def diagnostics_seeds():
    for content, old, _ in EDITS:
        yield text(content) + text(old)
    long_line = "x" * 1990
    yield text(long_line + "\n") + text(long_line[:-1] + "y\n")
    yield text("\u00e9" * 1000 + "\n") + text("\u00e9" * 999 + "e\n")


@seeds("levenshtein")
def levenshtein_seeds():
    pairs = [("", "abc"), ("abc", ""), ("", ""), ("kitten", "sitting"), ("ab", "ba"),
             ("\u00e9", "e"), ("A", "a"), ("a" * 70, "a" * 69 + "b"),
             ("ab" * 40, "ba" * 40), ("\u00e9t\u00e9\n\u00e9", "ete\ne"),
             ("x\n\u00e9\ny\n", "x\ne\ny\n"), ("a\nabcd\nb", "a\nabce\nb")]
    bounds = ((0, 0), (0, 1), (0, 3), (1, 200), (2, 0), (3, 0))
    for i, (a, b) in enumerate(pairs):
        for mode, bound in (bounds[i % 6], bounds[(i + 3) % 6]):
            yield u8(mode) + u16(bound) + text(a) + text(b) + u8(0) + u8(2)


@seeds("utf8_lines_case")
def utf8_seeds():
    samples = ["", "a\r\nb\n", "a\n\n", "a\rb", "\n", "  a \t\n b  ", "\u00a0x\u3000",
               "\u0130\u03a3", "A\u03a3", "\u039f\u0394\u039f\u03a3 STRASSE", "\u02b0\u03a3",
               "\u0391\u03a3\u02b0", "\u00df\u1e9e", "\U0001f600 \u2028\u2029\u0085",
               "caf\u00e9\r", "\u01c5\u212a"]
    for pos, s in enumerate(samples):
        yield u16(pos) + text(s) + u32(0x3A3 + pos)


def main():
    root = pathlib.Path(__file__).resolve().parent.parent
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else root / "tests" / "fuzz" / "corpus"
    for target, function in TARGETS.items():
        folder = out / target
        folder.mkdir(parents=True, exist_ok=True)
        count = 0
        for data in function():
            (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)
            count += 1
        print(f"{target}: {count} seeds")


if __name__ == "__main__":
    main()

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
    # The first byte sets how often both texts are repeated for the separate diff check.
    for i, (content, old, _) in enumerate(EDITS):
        yield u8(i * 7) + text(content) + text(old)
    long_line = "x" * 1990
    yield u8(0) + text(long_line + "\n") + text(long_line[:-1] + "y\n")
    yield u8(0) + text("\u00e9" * 1000 + "\n") + text("\u00e9" * 999 + "e\n")
    yield u8(40) + text("a\u00e9\n\U0001f600b\n") + text("a\u00e8\n\U0001f600c\n")
    yield u8(0) + text("".join(f"line {i}\n" for i in range(12)) + "target x\n") + \
        text("target y\n")
    yield u8(0) + text("foo\n" * 7) + text("foo")
    yield u8(0) + text("a" * 70 + "\nb\n") + text("a" * 61 + "\nc")
    yield u8(0) + text("  \n\nx\n") + text("\n  \n")


# Streaming: source, query, then operations (see fuzz_streaming.cc): an operation byte op with
# op % 8 < 3 pushes the next (following byte % 32) bytes, op % 8 == 3 the next (u16) bytes;
# bit 0x10 adds a hint (u16, or u32 with bit 0x20); op 0x16 flushes, op 4 selects, op 5 reads
# the text of the range given by two u16.
def push(length, hint=None, wide=False):
    op = 3 if length >= 32 else 0
    if hint is not None:
        op |= 0x10 | (0x20 if wide else 0)
    out = u8(op) + (u16(length) if length >= 32 else u8(length))
    if hint is not None:
        out += u32(hint) if wide else u16(hint)
    return out


FLUSH = u8(0x16)
SELECT = u8(4)


def get_text(start, end):
    return u8(5) + u16(start) + u16(end)


STREAMS = [
    ("function foo() {\n    return 42;\n}", "function foo() {\n    return 42;\n}"),
    ("x\nfoo\nbar\ny\nfoo\nbar\nz", "foo\nbar\n"),
    ("x\nfoo\nbar\ny\nz\nfoo\nbar", "foo\nbar\n"),
    ("a\nb\nX\nc\nd\ne", "a\nb\nc\nd\ne\n"),
    ("a\nb\nc\nd\ne", "a\nb\nZZZ\nc\nd\n"),
    ("alpha\nbeta\ngamma", "alpha\nBETA-X\ngamma\n"),
    ("    return 42;\n}", "return 43;\n"),
    ("int a = 1;\nint b = 2;\n", "int a = 1;\nint c = 3;\n"),
    ("a\r\nb\r\n", "a\r\nb\r\n"),
    ("", "anything\n"),
    ("\u00e9\nx", "x\n"),
    ("a\nx\nb", "a\nb\n"),
    ("foo" + "\n" * 1000 + "foo", "foo\n"),
    ("  \n\n\u3000\n", "\n  \n"),
]


@seeds("streaming")
def streaming_seeds():
    for i, (source, query) in enumerate(STREAMS):
        q = query.encode("utf-8")
        # One push of everything, then the same query in small chunks with hints and reads.
        yield text(source) + text(query) + push(len(q)) + SELECT + get_text(0, 1000)
        ops = b""
        for k in range(0, len(q), 3):
            ops += push(3, hint=(k + i) % 7) if k % 2 else push(3)
            ops += SELECT
        yield text(source) + text(query) + ops + get_text(1, 3) + FLUSH
        yield text(source) + text(query) + push(len(q) // 2) + FLUSH + push(1, hint=4000000000,
                                                                            wide=True)
    yield text(STREAMS[1][0]) + text("foo\nbar\n") + push(8, hint=4) + SELECT + push(0, hint=2)
    yield text(STREAMS[8][0]) + text("abc\r\ntail\r") + push(4) + push(1) + push(6) + FLUSH


SCORING = [
    ("", "abc"), ("a", ""), ("abc", "abc"), ("ABC", "abc"), ("z", "abcdz"), ("ab", "xab"),
    ("fb", "foo_bar"), ("fb", "fooBar"), ("fb", "foobar"), ("ms", "my_string"),
    ("ms", "MyString"), ("ac", "abc"), ("aa", "aaa"), ("abc", "xyz"), ("aa", "ab"),
    ("ss", "\u00df"), ("ab", "aab"), ("i", "\u0130"), ("k", "\u212a"), ("\u03c3", "\u03a3"),
    ("xy", "a" * 20 + "x" + "b" * 20 + "y"), ("\u00e9t\u00e9", "\u00c9T\u00c9"),
]


@seeds("scoring")
def scoring_seeds():
    candidates = text("foobar") + text("foo_bar") + text("fooBar") + text("xyz") + \
        text("a" * 17 + "FB") + text("\u212a" * 3)
    for i, (pattern, instring) in enumerate(SCORING):
        yield u8(0) + u8(0) + text(pattern) + text(instring) + candidates
        # Parameters: small (mode 1) for all six, then extremes that make the sums wrap.
        params = u8(0x55) + u8(0x05) + b"".join(u8(v) for v in (7, 3, 250, 1, 246, 255))
        yield params + text(pattern) + text(instring)
        extremes = u8(0xFF) + u8(0x0F) + b"".join(u8(1) + u8(i * 5 + k) for k in range(6))
        yield extremes + text(pattern) + text(instring)


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

"""The generated Unicode tables against the running interpreter's own case mappings.

The tables come from one Unicode version and the interpreter from another (3.11 has 14.0, 3.12
15.0, 3.13 15.1), so every comparison covers the code points assigned in both. The probe
library is tests/support/text_probe.cc, named by the environment variable MARLUNE_TEXT_PROBE.
"""

from __future__ import annotations

import array
import ctypes
import os
import random
import unicodedata
from pathlib import Path

import pytest

PROBE_PATH = os.environ.get("MARLUNE_TEXT_PROBE")
if not PROBE_PATH:
    pytest.skip(
        "MARLUNE_TEXT_PROBE is not set: it must name the libmarlune_text_probe.so of a build "
        "configured with -DMARLUNE_BUILD_TESTS=ON",
        allow_module_level=True,
    )

RANGES_FILE = Path(__file__).resolve().parents[1] / "support" / "unicode_assigned_ranges.txt"
SURROGATES = range(0xD800, 0xE000)
CAPITAL_SIGMA = "\u03a3"

# marlune_probe_map_code_points selectors.
LOWER_FULL, UPPER_FULL, LOWER_FIRST, UPPER_FIRST = range(4)



class Probe:
    def __init__(self, path: str):
        lib = ctypes.CDLL(path)
        lib.marlune_probe_unicode_version.restype = ctypes.c_char_p
        lib.marlune_probe_map_code_points.argtypes = [
            ctypes.POINTER(ctypes.c_uint32),
            ctypes.c_size_t,
            ctypes.c_int,
            ctypes.POINTER(ctypes.c_uint32),
        ]
        lib.marlune_probe_map_code_points.restype = ctypes.c_int
        lib.marlune_probe_to_lower_full.argtypes = [
            ctypes.c_char_p,
            ctypes.c_size_t,
            ctypes.c_char_p,
            ctypes.c_size_t,
        ]
        lib.marlune_probe_to_lower_full.restype = ctypes.c_size_t
        self.lib = lib
        self.version = lib.marlune_probe_unicode_version().decode()

    def map_code_points(self, cps: list[int], selector: int) -> list[str]:
        """The mapping of each code point, as a str of one to three characters."""
        source = array.array("I", cps)
        out = array.array("I", bytes(16 * len(cps)))
        src_ptr = ctypes.cast(source.buffer_info()[0], ctypes.POINTER(ctypes.c_uint32))
        out_ptr = ctypes.cast(out.buffer_info()[0], ctypes.POINTER(ctypes.c_uint32))
        assert self.lib.marlune_probe_map_code_points(src_ptr, len(cps), selector, out_ptr) == 0
        return [
            "".join(map(chr, out[4 * i + 1 : 4 * i + 1 + out[4 * i]])) for i in range(len(cps))
        ]

    def to_lower_full(self, text: str) -> str:
        data = text.encode()
        capacity = 2 * len(data) + 16
        while True:
            out = ctypes.create_string_buffer(capacity)
            size = self.lib.marlune_probe_to_lower_full(data, len(data), out, capacity)
            if size <= capacity:
                return out.raw[:size].decode()
            capacity = size


def read_assigned_ranges() -> tuple[str, list[tuple[int, int]]]:
    version, ranges = None, []
    for line in RANGES_FILE.read_text(encoding="ascii").splitlines():
        if line.startswith("#") or not line.strip():
            continue
        if line.startswith("version "):
            version = line.split()[1]
            continue
        first, last = line.split("..")
        ranges.append((int(first, 16), int(last, 16)))
    return version, ranges


@pytest.fixture(scope="module")
def probe() -> Probe:
    return Probe(PROBE_PATH)


@pytest.fixture(scope="module")
def common_code_points(probe: Probe) -> list[int]:
    """Code points assigned both in the tables' version and in the interpreter's."""
    version, ranges = read_assigned_ranges()
    assert version == probe.version, f"{RANGES_FILE.name} is of Unicode {version}"
    # Unicode 14.0, 15.0 and 15.1 agree on everything compared here for every code point they
    # all assign. Later versions give some of those a case partner that the tables' version
    # does not have yet (U+019B gains U+A7DC in 16.0), which the mapping shows, and change the
    # category of a few, which makes them cased or case-ignorable where they were not.
    assigned = {cp for first, last in ranges for cp in range(first, last + 1)}
    changed = {
        cp
        for since, cps in PROPERTY_CHANGES.items()
        if _version(version) < _version(since) <= _version(unicodedata.unidata_version)
        for cp in cps
    }
    return [
        cp
        for cp in sorted(assigned - changed)
        if unicodedata.category(chr(cp)) != "Cn"
        and all(ord(c) in assigned for c in chr(cp).lower() + chr(cp).upper())
    ]


# Assigned code points whose Cased or Case_Ignorable property changed, by the Unicode version
# that changed it: U+1171E (Ahom medial ra) became a spacing mark in 16.0, so no longer
# case-ignorable; U+0295 (letter pharyngeal voiced fricative) became a lowercase letter in 17.0.
PROPERTY_CHANGES = {"16.0.0": {0x1171E}, "17.0.0": {0x0295}}


def _version(text: str) -> tuple[int, ...]:
    return tuple(int(part) for part in text.split("."))


def assert_same(cps, got, want, limit=20) -> None:
    bad = [
        f"U+{cp:04X}: tables {g!r}, interpreter {w!r}"
        for cp, g, w in zip(cps, got, want)
        if g != w
    ]
    if len(bad) > limit:
        bad[limit:] = [f"... and {len(bad) - limit} more"]
    assert not bad, "\n".join(bad)


def test_covers_the_assigned_code_points(common_code_points):
    # Guards the comparisons below against an empty or truncated ranges file.
    assert len(common_code_points) > 280_000
    assert {0x41, 0x3A3, 0x1E900, 0x10FFFD} <= set(common_code_points)


# A lone U+03A3 lowers to U+03C3 both in the tables' lower_full and in str.lower(): with
# nothing cased before it, the Final_Sigma condition does not hold.
@pytest.mark.parametrize(
    "selector, reference",
    [
        (LOWER_FULL, str.lower),
        (UPPER_FULL, str.upper),
        (LOWER_FIRST, lambda c: c.lower()[0]),
        (UPPER_FIRST, lambda c: c.upper()[0]),
    ],
    ids=["lower_full", "upper_full", "lower_first", "upper_first"],
)
def test_case_mappings_match_the_interpreter(probe, common_code_points, selector, reference):
    got = probe.map_code_points(common_code_points, selector)
    want = [reference(chr(cp)) for cp in common_code_points]
    assert_same(common_code_points, got, want)


@pytest.mark.parametrize(
    "template",
    # Sigma after the character: Cased and not Case_Ignorable makes it final. Between a cased
    # letter and the sigma: a Case_Ignorable one is skipped. After "ΑΣ": only a cased one
    # that is not Case_Ignorable keeps the sigma from being final.
    ["{c}Σ", "Α{c}Σ", "ΑΣ{c}"],
)
def test_final_sigma_context_matches_the_interpreter(probe, common_code_points, template):
    # Every code point in the three contexts, in batches of space-separated segments (a space
    # is neither cased nor case-ignorable, so segments do not see each other).
    cps = [cp for cp in common_code_points if cp not in SURROGATES]
    for start in range(0, len(cps), 4096):
        batch = cps[start : start + 4096]
        segments = [template.format(c=chr(cp)) for cp in batch]
        text = " ".join(segments)
        if probe.to_lower_full(text) == text.lower():
            continue
        got = [probe.to_lower_full(s) for s in segments]
        want = [s.lower() for s in segments]
        assert_same(batch, got, want)


@pytest.mark.parametrize(
    "text",
    [
        "ΑΣ",
        "Σ",
        "ΑΣ Β",
        "Α'Σ",
        "İ",
        "ΑΣΣ",
        "ΑΣ'Β",
        "ʰΣ",
        "ΑΣͅ",
        "ΟΔΟΣ ΚΑΙ Straße",
        "ABC xyz",
        "",
    ],
)
def test_to_lower_full_matches_str_lower(probe, text):
    assert probe.to_lower_full(text) == text.lower()


def test_to_lower_full_matches_str_lower_on_random_text(probe):
    alphabet = [
        "Α", "Β", "Σ", "σ", "ς", "Ο", "a", "B", "İ", "ß", " ", "1",
        "'", "\u00b7", "\u0301", "\u0308", "\u0345", "\u02b0", ".", ":",
    ]  # fmt: skip
    rng = random.Random(1729)
    failures = []
    for _ in range(5000):
        text = "".join(rng.choices(alphabet, k=rng.randint(1, 10)))
        got = probe.to_lower_full(text)
        if got != text.lower():
            failures.append(f"{text!r}: tables {got!r}, interpreter {text.lower()!r}")
    assert not failures, "\n".join(failures[:20])

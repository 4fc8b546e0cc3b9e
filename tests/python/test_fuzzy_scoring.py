"""fuzzy_match, fuzzy_match_simple and get_best_matches from Python."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _marlune_search as m


@pytest.mark.parametrize(
    "pattern, instring, expected",
    [
        ("", "abc", (False, 0)),
        ("a", "", (False, 0)),
        ("abc", "abc", (True, 20)),
        ("ABC", "abc", (True, 20)),
        ("z", "abcdz", (True, -13)),
        ("ab", "xab", (True, 1)),
        ("fb", "foo_bar", (True, 15)),
        ("fb", "fooBar", (True, 16)),
        ("fb", "foobar", (True, 6)),
        ("ms", "my_string", (True, 13)),
        ("ms", "MyString", (True, 14)),
        ("ac", "abc", (True, 9)),
        ("aa", "aaa", (True, 14)),
        ("abc", "xyz", (False, -3)),
        ("aa", "ab", (False, 9)),
        ("ss", "ß", (False, -1)),
        ("ab", "aab", (True, 15)),
        ("ab", "ab", (True, 15)),
        # Characters are code points, not bytes: "é" is one unmatched character.
        ("b", "éb", (True, -4)),
        # U+0130 lowers to "i" (first code point of "i" + U+0307).
        ("i", "\u0130", (True, 10)),
    ],
)
def test_fuzzy_match_scores(pattern, instring, expected):
    assert m.fuzzy_match(pattern, instring) == expected


def test_fuzzy_match_returns_tuple_of_bool_and_int():
    result = m.fuzzy_match("a", "a")
    assert type(result) is tuple and type(result[0]) is bool and type(result[1]) is int


def test_fuzzy_match_custom_parameters():
    # Leading penalty with a custom floor, unmatched penalty and bonuses.
    assert m.fuzzy_match("z", "abcdz", lead_penalty=-1, max_lead_penalty=-100) == (True, -8)
    assert m.fuzzy_match("abc", "abc", adj_bonus=100) == (True, 210)
    assert m.fuzzy_match("abc", "xyz", unmatched_penalty=-7) == (False, -21)


def test_fuzzy_match_wraps_around_32_bits():
    big = 2**31 - 1
    # 10 (separator) + two adjacency bonuses of 2**31 - 1 wrap around to 8.
    assert m.fuzzy_match("abc", "abc", adj_bonus=big) == (True, (10 + 2 * big + 2**31) % 2**32 - 2**31)


@pytest.mark.parametrize(
    "pattern, instring, case_sensitive, expected",
    [
        ("", "", True, True),
        ("", "abc", False, True),
        ("a", "", False, False),
        ("ace", "abcde", True, True),
        ("aec", "abcde", True, False),
        ("ACE", "abcde", True, False),
        ("ACE", "abcde", False, True),
        ("i", "\u0130", False, True),
        ("i", "\u0130", True, False),
        ("i\u0307", "\u0130", False, True),
        ("ss", "ß", False, False),
        # Final sigma: a capital sigma at the end of a word lowers to U+03C2.
        ("\u03c2", "ΟΔΟΣ", False, True),
        ("\u03c3", "ΟΔΟΣ", False, False),
        ("\u03c3", "ΣΑ", False, True),
    ],
)
def test_fuzzy_match_simple(pattern, instring, case_sensitive, expected):
    assert m.fuzzy_match_simple(pattern, instring, case_sensitive) is expected


@pytest.mark.parametrize(
    "search, candidates, expected",
    [
        ("fb", ["foobar", "foo_bar", "fooBar", "xyz"], [("fooBar", 16), ("foo_bar", 15), ("foobar", 6)]),
        ("a", ["ba", "ca", "a"], [("a", 10), ("ba", -4), ("ca", -4)]),
        ("ab", ["xab", "ab", "aab", "b"], [("ab", 15), ("aab", 15), ("xab", 1)]),
        ("", ["a", "b"], []),
        ("a", ("a", "xa"), [("a", 10), ("xa", -4)]),
        ("a", [], []),
        ("a", ["a", "a"], [("a", 10), ("a", 10)]),
        ("k", ["\u212a"], [("\u212a", 10)]),  # KELVIN SIGN lowers to "k"
    ],
)
def test_get_best_matches(search, candidates, expected):
    assert m.get_best_matches(search, candidates) == expected


def reference_best_matches(search, candidates):
    if not search:
        return []
    scored = []
    for candidate in candidates:
        matched, score = m.fuzzy_match(search, candidate)
        if matched:
            scored.append((candidate, score))
    return sorted(scored, key=lambda pair: -pair[1])  # sorted() is stable


ALPHABET = "aAbBcC_ /.xyzéÉßİK\u212aΣσς"


@settings(max_examples=200, deadline=None)
@given(
    st.text(alphabet=ALPHABET, max_size=4),
    st.lists(st.text(alphabet=ALPHABET, max_size=12), max_size=40),
)
def test_get_best_matches_equals_scoring_each_candidate(search, candidates):
    assert m.get_best_matches(search, candidates) == reference_best_matches(search, candidates)


def test_get_best_matches_stable_over_many_candidates():
    rng = random.Random(7)
    words = ["src", "lib", "main", "test", "util", "Button", "group", "x"]
    candidates = ["/".join(rng.choice(words) for _ in range(rng.randint(1, 4))) for _ in range(3000)]
    assert m.get_best_matches("mb", candidates) == reference_best_matches("mb", candidates)

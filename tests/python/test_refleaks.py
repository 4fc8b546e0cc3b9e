"""Reference leaks on every path through the module's boundary.

Each case is one call into the module: a function, a method or the constructor of
StreamingFuzzyMatcher, a record getter, repr, comparison or truth test, and every kind of bad
argument. After a warm-up, every round of calls must leave the interpreter's reference total and
the reference counts of the call's argument objects exactly where they were.

The reference total exists only on a debug interpreter (sys.gettotalrefcount), so elsewhere the
file skips. The debug leg of the test command sets MARLUNE_REFLEAKS_REQUIRED so that an
interpreter without the total fails here instead of passing quietly.
"""

from __future__ import annotations

import gc
import operator
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, Callable

import pytest

import _marlune_search as m

if not hasattr(sys, "gettotalrefcount"):
    if os.environ.get("MARLUNE_REFLEAKS_REQUIRED"):
        pytest.fail(
            "MARLUNE_REFLEAKS_REQUIRED is set but this interpreter has no sys.gettotalrefcount",
            pytrace=False,
        )
    pytest.skip("reference totals need a debug interpreter", allow_module_level=True)

# A leak of one reference per call shows as CALLS references per round, so the tolerance can be
# zero: everything the measuring code itself allocates is measured once with a call that does
# nothing and subtracted, exactly.
WARM_UP_ROUNDS = 2
ROUNDS = 4
CALLS = 8


def fresh(text: str) -> str:
    """A new str object equal to text, so that its reference count is the test's alone."""
    return "".join([text, "\x00"])[:-1]


def big(value: int) -> int:
    """A new int object (not a cached small int or a shared constant)."""
    return int(str(value))


@dataclass
class Case:
    name: str
    func: Callable[..., Any]
    args: tuple = ()
    kwargs: dict = field(default_factory=dict)
    error: type[BaseException] | None = None
    # Objects the call reaches besides its arguments (the matcher behind a bound method).
    owner: Any = None

    def objects(self) -> list:
        return [self.func, *self.args, *self.kwargs.values(), self.owner]


def _rounds(func, args, kwargs, error, objects) -> list[tuple[int, list[int]]]:
    """Per round: the change of the reference total and of each object's reference count.

    The measuring code is the same whatever func is, so two results are comparable entry by
    entry. The collector is off, so that no collection of unrelated garbage falls into a round;
    nothing is collected before a round either, since garbage left from before is not touched
    while the collector is off (and a collection costs more than the whole round).
    """
    catch = error if error is not None else ()
    changes = []
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _round in range(WARM_UP_ROUNDS + ROUNDS):
            counts = [sys.getrefcount(obj) for obj in objects]
            total = sys.gettotalrefcount()
            for _call in range(CALLS):
                try:
                    func(*args, **kwargs)
                except catch:
                    pass
            total = sys.gettotalrefcount() - total
            counts = [sys.getrefcount(obj) - count for obj, count in zip(objects, counts)]
            changes.append((total, counts))
    finally:
        if enabled:
            gc.enable()
    return changes[WARM_UP_ROUNDS:]


def _nothing(*args, **kwargs):
    return None


def assert_no_leak(case: Case) -> None:
    # The case must do what it says once, outside the measurement: succeed, or raise exactly
    # the expected exception, so that a measured round covers the intended path.
    if case.error is None:
        case.func(*case.args, **case.kwargs)
    else:
        with pytest.raises(case.error) as info:
            case.func(*case.args, **case.kwargs)
        assert type(info.value) is case.error
        del info
    objects = case.objects()
    measured = _rounds(case.func, case.args, case.kwargs, case.error, objects)
    baseline = _rounds(_nothing, case.args, case.kwargs, None, objects)
    leaked = [
        (total - base_total, [c - b for c, b in zip(counts, base_counts)])
        for (total, counts), (base_total, base_counts) in zip(measured, baseline)
    ]
    assert leaked == [(0, [0] * len(objects))] * ROUNDS, (
        f"{case.name}: per round of {CALLS} calls, (reference total, argument counts) grew by "
        f"{leaked}"
    )


# ---- records to work on -------------------------------------------------------------------

SOURCE = "function foo() {\n    return 42;\n}\nfunction bar() {\n    return 42;\n}\n"
CONTENT = "def alpha():\n    return 1\n\ndef beta():\n    return 2\n"


def _records():
    matcher = m.StreamingFuzzyMatcher(SOURCE)
    match_range = matcher.push("    return 42;\n")
    twin = matcher.finish()[0]
    replaced = m.replace_content(CONTENT, "    return 1", "    return 10")
    long_match = m.replace_content("x" * 80 + "\n", "x" * 80, "y")
    success = m.try_replace_content(CONTENT, "beta", "gamma")
    not_found = m.try_replace_content(CONTENT, "def alpho():\n    return 1\n", "x")
    multiple = m.try_replace_content(CONTENT, "return", "yield")
    no_change = m.try_replace_content(CONTENT, "beta", "beta")
    assert match_range is not None and match_range == twin and match_range is not twin
    assert success.success and success.result is not None
    assert not_found.error_type == "not_found" and not_found.closest_match is not None
    assert multiple.error_type == "multiple_matches" and multiple.locations
    assert no_change.error_type == "no_change" and no_change.locations is None
    return matcher, match_range, twin, replaced, long_match, success, not_found, multiple, no_change


(MATCHER, RANGE, TWIN, REPLACED, LONG_MATCH, SUCCESS, NOT_FOUND, MULTIPLE, NO_CHANGE) = _records()
FUZZY_INFO = NOT_FOUND.closest_match


def renewed(error: BaseException) -> BaseException:
    """A new exception like error. Raising one instance again and again would chain a traceback
    entry per raise onto it, each holding the raising frame and so its arguments, which looks
    exactly like a leak of one reference per call."""
    return type(error)(*error.args)


class Index:
    """An integer through __index__, optionally raising instead."""

    def __init__(self, value: int = 0, error: BaseException | None = None):
        self.value, self.error = value, error

    def __index__(self) -> int:
        if self.error is not None:
            raise renewed(self.error)
        return self.value


class Strings(Sequence):
    """A sequence of text that is neither a list nor a tuple, optionally failing on an item."""

    def __init__(self, items, fail_at: int | None = None):
        self.items, self.fail_at = list(items), fail_at

    def __len__(self) -> int:
        return len(self.items)

    def __getitem__(self, index):
        if index == self.fail_at:
            raise LookupError("no item here")
        return self.items[index]


class NoLength(Strings):
    def __len__(self) -> int:
        raise ValueError("the length is only a hint")


class Text(str):
    pass


# ---- the cases ----------------------------------------------------------------------------


def case(name, func, *args, error=None, owner=None, **kwargs):
    return pytest.param(Case(name, func, args, kwargs, error, owner), id=name)


def _text_slots(name, func, values, slot_names):
    """A wrong type and a lone surrogate in every text slot of func."""
    for i, slot in enumerate(slot_names):
        for bad, error in ((big(7), TypeError), (fresh("ok\ud800"), UnicodeEncodeError)):
            args = list(values)
            args[i] = bad
            yield case(f"{name}-{slot}-{error.__name__}", func, *args, error=error)


def _int_slots(name, func, values, slot_names, first):
    """A wrong type, an out-of-range value, one beyond a C long, and a failing __index__ in
    every integer slot of func (slots first, first + 1, ... of values)."""
    bads = (
        ("float", 1.5, TypeError),
        ("str", fresh("3"), TypeError),
        ("above", big(2**32), OverflowError),
        ("below", big(-(2**31) - 1), OverflowError),
        ("huge", big(2**70), OverflowError),
        ("index-type-error", Index(error=TypeError("bad index")), TypeError),
        ("index-value-error", Index(error=ValueError("bad index")), ValueError),
    )
    for i, slot in enumerate(slot_names, start=first):
        for label, bad, error in bads:
            args = list(values)
            args[i] = bad
            yield case(f"{name}-{slot}-{label}", func, *args, error=error)


def _binding(name, func, values, required, too_many):
    """Binding errors: too many positional arguments, a missing one, an unknown keyword, and a
    keyword repeating a positional argument (the first parameter, given by position)."""
    yield case(f"{name}-too-many", func, *too_many, error=TypeError)
    yield case(f"{name}-missing", func, *values[: required - 1], error=TypeError)
    yield case(f"{name}-bad-keyword", func, *values, error=TypeError, bogus=big(1))
    first = {
        "fuzzy_match": "pattern",
        "get_best_matches": "search_string",
        "fuzzy_match_simple": "pattern",
        "replace_content": "content",
        "try_replace_content": "content",
    }[name]
    yield case(f"{name}-multiple-values", func, *values, error=TypeError, **{first: values[0]})


def _numpy_like(name, bool_slot):
    """A type that passes as numpy's boolean: with a __bool__, without one, and a raising one."""
    def dunder_bool(self):
        if self.error is not None:
            raise renewed(self.error)
        return True

    def init(self, error=None):
        self.error = error

    with_bool = type(bool_slot, (), {"__module__": "numpy", "__init__": init,
                                     "__bool__": dunder_bool})
    without_bool = type(bool_slot, (), {"__module__": "numpy"})
    return [
        (f"numpy-{name}", with_bool(), None),
        (f"numpy-{name}-no-bool", without_bool(), TypeError),
        (f"numpy-{name}-raising", with_bool(KeyError("no truth")), KeyError),
    ]


NUMPY_BOOLS = [*_numpy_like("bool_", "bool_"), *_numpy_like("bool", "bool")]


FUZZY_ARGS = (fresh("fb"), fresh("foo_bar"), big(5), big(10), big(10), big(-3), big(-9), big(-1))
SCORING_PARAMS = ("adj_bonus", "sep_bonus", "camel_bonus", "lead_penalty", "max_lead_penalty",
                  "unmatched_penalty")
REPLACE_ARGS = (fresh(CONTENT), fresh("    return 1"), fresh("    return 11"), False, big(2))
CANDIDATES = [fresh("foo_bar"), fresh("fab"), fresh("xyz"), fresh("FooBar")]

FUNCTION_CASES = [
    case("fuzzy_match-two", m.fuzzy_match, *FUZZY_ARGS[:2]),
    case("fuzzy_match-all", m.fuzzy_match, *FUZZY_ARGS),
    case("fuzzy_match-no-match", m.fuzzy_match, fresh("zz"), fresh("foo")),
    case("fuzzy_match-keywords", m.fuzzy_match, pattern=fresh("fb"), instring=fresh("fb"),
         adj_bonus=True, unmatched_penalty=Index(-2)),
    case("fuzzy_match-str-subclass", m.fuzzy_match, Text("fb"), Text("foo_bar")),
    case("fuzzy_match-non-ascii", m.fuzzy_match, fresh("é"), fresh("Ééé")),
    *_text_slots("fuzzy_match", m.fuzzy_match, FUZZY_ARGS[:2], ("pattern", "instring")),
    *_int_slots("fuzzy_match", m.fuzzy_match, FUZZY_ARGS, SCORING_PARAMS, first=2),
    case("fuzzy_match-none-bonus", m.fuzzy_match, *FUZZY_ARGS[:2], None, error=TypeError),
    *_binding("fuzzy_match", m.fuzzy_match, FUZZY_ARGS[:2], 2, [fresh("a")] * 9),
    case("get_best_matches-list", m.get_best_matches, fresh("fb"), CANDIDATES),
    case("get_best_matches-tuple", m.get_best_matches, fresh("fb"), tuple(CANDIDATES)),
    case("get_best_matches-sequence", m.get_best_matches, fresh("fb"), Strings(CANDIDATES)),
    case("get_best_matches-length-fails", m.get_best_matches, fresh("fb"), NoLength(CANDIDATES)),
    case("get_best_matches-empty", m.get_best_matches, fresh("fb"), []),
    case("get_best_matches-keywords", m.get_best_matches, candidates=CANDIDATES,
         search_string=fresh("fb")),
    case("get_best_matches-search-int", m.get_best_matches, big(3), CANDIDATES, error=TypeError),
    case("get_best_matches-search-surrogate", m.get_best_matches, fresh("\udfff"), CANDIDATES,
         error=UnicodeEncodeError),
    case("get_best_matches-str", m.get_best_matches, fresh("fb"), fresh("fab"), error=TypeError),
    case("get_best_matches-set", m.get_best_matches, fresh("fb"), {fresh("fab")},
         error=TypeError),
    case("get_best_matches-dict", m.get_best_matches, fresh("fb"), {fresh("fab"): 1},
         error=TypeError),
    case("get_best_matches-int-item", m.get_best_matches, fresh("fb"),
         [*CANDIDATES, big(4), fresh("z")], error=TypeError),
    case("get_best_matches-surrogate-item", m.get_best_matches, fresh("fb"),
         [*CANDIDATES, fresh("a\ud800")], error=UnicodeEncodeError),
    case("get_best_matches-item-fails", m.get_best_matches, fresh("fb"),
         Strings(CANDIDATES, fail_at=2), error=LookupError),
    *_binding("get_best_matches", m.get_best_matches, (fresh("fb"), CANDIDATES), 2,
              (fresh("fb"), CANDIDATES, CANDIDATES)),
    case("fuzzy_match_simple-true", m.fuzzy_match_simple, fresh("FB"), fresh("foo_bar"), True),
    case("fuzzy_match_simple-false", m.fuzzy_match_simple, fresh("ΣΑ"), fresh("σας"), False),
    *_text_slots("fuzzy_match_simple", m.fuzzy_match_simple, (fresh("f"), fresh("foo"), True),
                 ("pattern", "instring")),
    case("fuzzy_match_simple-int-flag", m.fuzzy_match_simple, fresh("f"), fresh("f"), big(1),
         error=TypeError),
    case("fuzzy_match_simple-none-flag", m.fuzzy_match_simple, fresh("f"), fresh("f"), None,
         error=TypeError),
    *_binding("fuzzy_match_simple", m.fuzzy_match_simple, (fresh("f"), fresh("foo"), True), 3,
              (fresh("f"), fresh("foo"), True, True)),
    *(
        case(f"fuzzy_match_simple-{label}", m.fuzzy_match_simple, fresh("f"), fresh("F"), flag,
             error=error)
        for label, flag, error in NUMPY_BOOLS
    ),
]


def _replace_cases(name, func):
    failure = ValueError if name == "replace_content" else None
    yield case(f"{name}-simple", func, *REPLACE_ARGS[:3])
    yield case(f"{name}-all-arguments", func, *REPLACE_ARGS)
    yield case(f"{name}-keywords", func, content=fresh(CONTENT), old_string=fresh("beta"),
               new_string=fresh("gamma"), replace_all=True, line_hint=None)
    yield case(f"{name}-fuzzy", func, fresh(CONTENT), fresh("def  beta():\n  return 2"),
               fresh("def beta():\n    return 3"))
    yield case(f"{name}-replace-all", func, fresh(CONTENT), fresh("return"), fresh("yield"),
               True)
    yield case(f"{name}-line-hint", func, fresh(CONTENT), fresh("return"), fresh("yield"), False,
               big(4))
    yield case(f"{name}-not-found", func, fresh(CONTENT), fresh("def alpho():\n    return 1\n"),
               fresh("x"), error=failure)
    yield case(f"{name}-nothing-close", func, fresh(CONTENT), fresh("zzzz"), fresh("x"),
               error=failure)
    yield case(f"{name}-multiple", func, fresh(CONTENT), fresh("return"), fresh("yield"),
               error=failure)
    yield case(f"{name}-no-change", func, fresh(CONTENT), fresh("beta"), fresh("beta"),
               error=failure)
    yield from _text_slots(name, func, REPLACE_ARGS[:3], ("content", "old_string", "new_string"))
    for label, bad, error in (("int", big(1), TypeError), ("none", None, TypeError)):
        yield case(f"{name}-replace_all-{label}", func, *REPLACE_ARGS[:3], bad, error=error)
    yield from _int_slots(name, func, REPLACE_ARGS, ("line_hint",), first=4)
    yield case(f"{name}-line_hint-negative", func, *REPLACE_ARGS[:4], big(-1),
               error=OverflowError)
    for label, flag, error in NUMPY_BOOLS:
        yield case(f"{name}-replace_all-{label}", func, *REPLACE_ARGS[:3], flag, error=error)
    yield from _binding(name, func, REPLACE_ARGS[:3], 3, (*REPLACE_ARGS, None))


REPLACE_CASES = [
    *_replace_cases("replace_content", m.replace_content),
    *_replace_cases("try_replace_content", m.try_replace_content),
]


def _push(matcher):
    return matcher.push


def _matcher_cases():
    new = m.StreamingFuzzyMatcher
    yield case("matcher-new", new, fresh(SOURCE))
    yield case("matcher-new-keyword", new, source_text=fresh(SOURCE))
    yield case("matcher-new-str-subclass", new, Text(SOURCE))
    yield case("matcher-new-empty", new, fresh(""))
    yield case("matcher-new-int", new, big(5), error=TypeError)
    yield case("matcher-new-bytes", new, b"a\nb", error=TypeError)
    yield case("matcher-new-surrogate", new, fresh("a\n\ud800"), error=UnicodeEncodeError)
    yield case("matcher-new-missing", new, error=TypeError)
    yield case("matcher-new-too-many", new, fresh("a"), fresh("b"), error=TypeError)
    yield case("matcher-new-bad-keyword", new, error=TypeError, source=fresh("a"))
    yield case("matcher-new-multiple-values", new, fresh("a"), error=TypeError,
               source_text=fresh("b"))

    # Each method case gets its own matcher, passed as the owner so that its count is watched.
    def method(label, name, *args, error=None, lines=(), **kwargs):
        matcher = new(SOURCE)
        for line in lines:
            matcher.push(line)
        return case(f"matcher-{label}", getattr(matcher, name), *args, error=error,
                    owner=matcher, **kwargs)

    yield method("push-line", "push", fresh("    return 42;\n"))
    yield method("push-partial", "push", fresh("    ret"))
    yield method("push-hint", "push", fresh("    return 42;\n"), big(4))
    yield method("push-none-hint", "push", fresh("}\n"), None)
    yield method("push-keywords", "push", chunk=fresh("}\n"), line_hint=Index(1))
    yield method("push-no-match", "push", fresh("zzzz\n"))
    yield method("push-chunk-int", "push", big(1), error=TypeError)
    yield method("push-chunk-bool", "push", True, error=TypeError)
    yield method("push-chunk-surrogate", "push", fresh("\ud800\n"), error=UnicodeEncodeError)
    for label, bad, error in (
        ("float", 2.0, TypeError),
        ("str", fresh("3"), TypeError),
        ("negative", big(-1), OverflowError),
        ("above", big(2**32), OverflowError),
        ("huge", big(2**70), OverflowError),
        ("index-type-error", Index(error=TypeError("bad index")), TypeError),
        ("index-value-error", Index(error=ValueError("bad index")), ValueError),
    ):
        yield method(f"push-hint-{label}", "push", fresh("x\n"), bad, error=error)
    yield method("push-too-many", "push", fresh("x\n"), big(1), big(2), error=TypeError)
    yield method("push-missing", "push", error=TypeError, line_hint=big(1))
    yield method("push-bad-keyword", "push", fresh("x\n"), error=TypeError, hint=big(1))
    yield method("push-multiple-values", "push", fresh("x\n"), error=TypeError,
                 chunk=fresh("y\n"))
    yield method("finish", "finish", lines=["    return 42;\n", "}"])
    yield method("finish-nothing", "finish")
    yield method("finish-argument", "finish", big(1), error=TypeError)
    yield method("select_best_match", "select_best_match", lines=["    return 42;\n"])
    yield method("select_best_match-none", "select_best_match")
    yield method("select_best_match-argument", "select_best_match", big(1), error=TypeError)
    yield method("get_text", "get_text", RANGE, lines=["    return 42;\n"])
    yield method("get_text-keyword", "get_text", match_range=TWIN)
    yield method("get_text-tuple", "get_text", (0, 3), error=TypeError)
    yield method("get_text-none", "get_text", None, error=TypeError)
    yield method("get_text-missing", "get_text", error=TypeError)
    yield method("get_text-too-many", "get_text", RANGE, RANGE, error=TypeError)
    yield method("get_text-bad-keyword", "get_text", error=TypeError, range=RANGE)
    for name in ("query_lines", "source_lines"):
        matcher = new(SOURCE)
        matcher.push("    return 42;\n")
        yield case(f"matcher-{name}", getattr, matcher, fresh(name))
    yield case("matcher-set-property", setattr, new(SOURCE), fresh("query_lines"), [],
               error=AttributeError)


MATCHER_CASES = list(_matcher_cases())

FIELDS = {
    "MatchRange": ("start", "end"),
    "ReplaceResult": ("content", "matched_text", "start_line", "end_line", "strategy"),
    "FuzzyMatchInfo": ("similarity", "start_line", "end_line", "text", "diff"),
    "TryReplaceResult": ("success", "result", "error", "error_type", "closest_match",
                         "locations"),
}
RECORDS = {
    "MatchRange": [RANGE],
    "ReplaceResult": [REPLACED, LONG_MATCH],
    "FuzzyMatchInfo": [FUZZY_INFO],
    "TryReplaceResult": [SUCCESS, NOT_FOUND, MULTIPLE, NO_CHANGE],
}


def _record_cases():
    for class_name, records in RECORDS.items():
        for index, record in enumerate(records):
            label = f"{class_name}{index}"
            for name in FIELDS[class_name]:
                yield case(f"{label}.{name}", getattr, record, fresh(name))
            yield case(f"{label}-repr", repr, record)
            yield case(f"{label}-str", str, record)
            yield case(f"{label}-bool", bool, record)
            yield case(f"{label}-eq-self", operator.eq, record, record)
            yield case(f"{label}-ne-other", operator.ne, record, RANGE if index else SUCCESS)
            yield case(f"{label}-set-field", setattr, record, fresh(FIELDS[class_name][0]),
                       big(1), error=AttributeError)
            yield case(f"{label}-new-attribute", setattr, record, fresh("extra"), big(1),
                       error=AttributeError)
        yield case(f"{class_name}-instantiate", getattr(m, class_name), error=TypeError)
    yield case("MatchRange-eq", operator.eq, RANGE, TWIN)
    yield case("MatchRange-ne", operator.ne, RANGE, TWIN)
    yield case("MatchRange-eq-tuple", operator.eq, RANGE, (big(2**40), big(2**41)))
    yield case("MatchRange-ne-tuple", operator.ne, RANGE, (big(2**40), big(2**41)))
    yield case("MatchRange-eq-reflected", operator.eq, (big(2**40), 1), RANGE)
    yield case("MatchRange-eq-record", operator.eq, RANGE, REPLACED)
    yield case("MatchRange-dunder-eq", RANGE.__eq__, fresh("x"), owner=RANGE)
    yield case("MatchRange-dunder-ne", RANGE.__ne__, TWIN, owner=RANGE)
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        yield case(f"MatchRange-{op.__name__}", op, RANGE, TWIN, error=TypeError)
    yield case("MatchRange-hash", hash, RANGE, error=TypeError)


RECORD_CASES = list(_record_cases())


@pytest.mark.parametrize("leak_case", FUNCTION_CASES)
def test_functions_leak_nothing(leak_case):
    assert_no_leak(leak_case)


@pytest.mark.parametrize("leak_case", REPLACE_CASES)
def test_replacement_leaks_nothing(leak_case):
    assert_no_leak(leak_case)


@pytest.mark.parametrize("leak_case", MATCHER_CASES)
def test_streaming_matcher_leaks_nothing(leak_case):
    assert_no_leak(leak_case)


@pytest.mark.parametrize("leak_case", RECORD_CASES)
def test_records_leak_nothing(leak_case):
    assert_no_leak(leak_case)

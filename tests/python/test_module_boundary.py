"""The module object, registration, argument binding and argument conversion."""

import gc
import importlib
import os
import subprocess
import sys
import threading
import tracemalloc

import pytest

import _marlune_search as m

ALL_NAMES = [
    "fuzzy_match",
    "get_best_matches",
    "fuzzy_match_simple",
    "replace_content",
    "try_replace_content",
    "StreamingFuzzyMatcher",
    "MatchRange",
    "ReplaceResult",
    "TryReplaceResult",
    "FuzzyMatchInfo",
]


def test_all_lists_registered_names_in_fixed_order():
    assert m.__all__ == ALL_NAMES
    for name in ALL_NAMES[:5]:
        assert type(getattr(m, name)).__name__ == "builtin_function_or_method"
    for name in ALL_NAMES[5:]:
        assert isinstance(getattr(m, name), type)


def test_module_doc_is_empty_string():
    assert m.__doc__ == ""


def test_reimport_yields_the_same_module_object():
    again = importlib.import_module("_marlune_search")
    assert again is m
    saved = sys.modules.pop("_marlune_search")
    try:
        fresh = importlib.import_module("_marlune_search")
        assert fresh is saved
    finally:
        sys.modules["_marlune_search"] = saved


def test_import_into_a_sub_interpreter_is_refused():
    testcapi = pytest.importorskip("_testcapi")
    code = (
        "try:\n"
        "    import _marlune_search\n"
        "except ImportError as error:\n"
        "    assert 'does not support sub-interpreters' in str(error), error\n"
        "else:\n"
        "    raise AssertionError('imported into a sub-interpreter')\n"
    )
    assert testcapi.run_in_subinterp(code) == 0


@pytest.mark.parametrize(
    "name, signature",
    [
        (
            "fuzzy_match",
            "(pattern, instring, adj_bonus=5, sep_bonus=10, camel_bonus=10, lead_penalty=..., "
            "max_lead_penalty=..., unmatched_penalty=...)",
        ),
        ("get_best_matches", "(search_string, candidates)"),
        ("fuzzy_match_simple", "(pattern, instring, case_sensitive)"),
    ],
)
def test_scoring_functions_have_signatures_and_no_doc(name, signature):
    function = getattr(m, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert function.__module__ == "_marlune_search"
    assert function.__self__ is m
    assert function.__name__ == name


BINDING_ERRORS = [
    (
        lambda: m.fuzzy_match(),
        "fuzzy_match() missing 2 required positional arguments: 'pattern' and 'instring'",
    ),
    (
        lambda: m.fuzzy_match_simple("a"),
        "fuzzy_match_simple() missing 2 required positional arguments: 'instring' and "
        "'case_sensitive'",
    ),
    (
        lambda: m.fuzzy_match_simple(),
        "fuzzy_match_simple() missing 3 required positional arguments: 'pattern', "
        "'instring', and 'case_sensitive'",
    ),
    (
        lambda: m.fuzzy_match_simple("a", case_sensitive=True),
        "fuzzy_match_simple() missing 1 required positional argument: 'instring'",
    ),
    (
        lambda: m.get_best_matches("a", [], 3),
        "get_best_matches() takes 2 positional arguments but 3 were given",
    ),
    (
        lambda: m.fuzzy_match(*"abcdefghi"),
        "fuzzy_match() takes from 2 to 8 positional arguments but 9 were given",
    ),
    (
        lambda: m.fuzzy_match("a", "b", bonus=1),
        "fuzzy_match() got an unexpected keyword argument 'bonus'",
    ),
    (
        lambda: m.fuzzy_match("a", "b", pattern="c"),
        "fuzzy_match() got multiple values for argument 'pattern'",
    ),
    # Too many positional arguments are reported before any keyword is looked at.
    (
        lambda: m.get_best_matches("a", [], 3, nonsense=1),
        "get_best_matches() takes 2 positional arguments but 3 were given",
    ),
    # Keywords are examined in the order given: the first bad one is reported.
    (
        lambda: m.fuzzy_match("a", instring="b", zzz=1, pattern="c"),
        "fuzzy_match() got an unexpected keyword argument 'zzz'",
    ),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert type(info.value) is TypeError


def test_all_parameters_accept_keywords():
    assert m.fuzzy_match(
        pattern="ab",
        instring="ab",
        adj_bonus=5,
        sep_bonus=10,
        camel_bonus=10,
        lead_penalty=-3,
        max_lead_penalty=-9,
        unmatched_penalty=-1,
    ) == (True, 15)
    assert m.fuzzy_match_simple(case_sensitive=True, instring="abc", pattern="ac") is True
    assert m.get_best_matches(candidates=["a"], search_string="a") == [("a", 10)]


CONVERSION_ERRORS = [
    (lambda: m.fuzzy_match(1, "x"), TypeError, "argument 'pattern': 'int' object cannot be cast as 'str'"),
    (lambda: m.fuzzy_match(1, 2), TypeError, "argument 'pattern': 'int' object cannot be cast as 'str'"),
    (lambda: m.fuzzy_match("a", None), TypeError, "argument 'instring': 'NoneType' object cannot be cast as 'str'"),
    (lambda: m.fuzzy_match("a", b"b"), TypeError, "argument 'instring': 'bytes' object cannot be cast as 'str'"),
    (
        lambda: m.fuzzy_match_simple("a", "b", 1),
        TypeError,
        "argument 'case_sensitive': 'int' object cannot be cast as 'bool'",
    ),
    (
        lambda: m.fuzzy_match_simple("a", "b", None),
        TypeError,
        "argument 'case_sensitive': 'NoneType' object cannot be cast as 'bool'",
    ),
    (
        lambda: m.fuzzy_match("a", "b", adj_bonus=1.5),
        TypeError,
        "argument 'adj_bonus': 'float' object cannot be interpreted as an integer",
    ),
    (
        lambda: m.fuzzy_match("a", "b", unmatched_penalty=None),
        TypeError,
        "argument 'unmatched_penalty': 'NoneType' object cannot be interpreted as an integer",
    ),
    (
        lambda: m.fuzzy_match("a", "b", adj_bonus=2**31),
        OverflowError,
        "out of range integral type conversion attempted",
    ),
    (
        lambda: m.fuzzy_match("a", "b", sep_bonus=-(2**31) - 1),
        OverflowError,
        "out of range integral type conversion attempted",
    ),
    (
        lambda: m.get_best_matches("a", "abc"),
        TypeError,
        "argument 'candidates': Can't extract `str` to `Vec`",
    ),
    (
        lambda: m.get_best_matches("", "ab"),
        TypeError,
        "argument 'candidates': Can't extract `str` to `Vec`",
    ),
    (
        lambda: m.get_best_matches("a", {"x"}),
        TypeError,
        "argument 'candidates': 'set' object cannot be cast as 'Sequence'",
    ),
    (
        lambda: m.get_best_matches("a", {"x": 1}),
        TypeError,
        "argument 'candidates': 'dict' object cannot be cast as 'Sequence'",
    ),
    (
        lambda: m.get_best_matches("a", iter(["x"])),
        TypeError,
        "argument 'candidates': 'list_iterator' object cannot be cast as 'Sequence'",
    ),
    (
        lambda: m.get_best_matches("a", ["x", 1]),
        TypeError,
        "argument 'candidates': 'int' object cannot be cast as 'str'",
    ),
    (
        lambda: m.get_best_matches(None, 5),
        TypeError,
        "argument 'search_string': 'NoneType' object cannot be cast as 'str'",
    ),
]


@pytest.mark.parametrize("call, error, message", CONVERSION_ERRORS)
def test_conversion_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error
    assert str(info.value) == message


def test_integer_beyond_c_long_keeps_the_interpreters_message():
    with pytest.raises(OverflowError) as info:
        m.fuzzy_match("a", "b", adj_bonus=2**70)
    assert "out of range integral" not in str(info.value)


@pytest.mark.parametrize("value, expected", [(True, 1), (False, 0), (-(2**31), -(2**31)), (2**31 - 1, 2**31 - 1)])
def test_integer_parameters_accept_bool_and_full_32_bit_range(value, expected):
    assert m.fuzzy_match("a", "a", sep_bonus=value) == m.fuzzy_match("a", "a", sep_bonus=expected)


def test_index_objects_and_int_subclasses_are_integers():
    class Index:
        def __index__(self):
            return 7

    class MyInt(int):
        pass

    assert m.fuzzy_match("a", "a", sep_bonus=Index()) == (True, 7)
    assert m.fuzzy_match("a", "a", sep_bonus=MyInt(8)) == (True, 8)


def test_exception_from_index_passes_through_unchanged():
    class Broken:
        def __index__(self):
            raise ValueError("no index here")

    with pytest.raises(ValueError, match="no index here"):
        m.fuzzy_match("a", "b", adj_bonus=Broken())


def test_type_error_from_index_is_renamed_and_keeps_its_cause():
    class Broken:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("bad index") from inner

    with pytest.raises(TypeError) as info:
        m.fuzzy_match("a", "b", camel_bonus=Broken())
    assert str(info.value) == "argument 'camel_bonus': bad index"
    assert isinstance(info.value.__cause__, KeyError)


def test_type_error_subclass_is_not_renamed():
    class MyTypeError(TypeError):
        pass

    class Broken:
        def __index__(self):
            raise MyTypeError("subclass")

    with pytest.raises(MyTypeError) as info:
        m.fuzzy_match("a", "b", adj_bonus=Broken())
    assert str(info.value) == "subclass"


def test_lone_surrogate_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        m.fuzzy_match("\ud800", "x")
    with pytest.raises(UnicodeEncodeError):
        m.get_best_matches("a", ["ok", "\udfff"])


def test_arguments_are_converted_in_parameter_order():
    calls = []

    class Recorder:
        def __init__(self, name):
            self.name = name

        def __index__(self):
            calls.append(self.name)
            return 1

    m.fuzzy_match("a", "a", unmatched_penalty=Recorder("u"), adj_bonus=Recorder("a"))
    assert calls == ["a", "u"]

    calls.clear()
    with pytest.raises(TypeError, match="argument 'instring'"):
        m.fuzzy_match("a", 5, adj_bonus=Recorder("never"))
    assert calls == []


def test_str_subclass_is_text():
    class MyStr(str):
        pass

    assert m.fuzzy_match(MyStr("ab"), MyStr("ab")) == (True, 15)
    result = m.get_best_matches("a", [MyStr("a")])
    assert result == [("a", 10)]
    assert type(result[0][0]) is str


class FakeNumpyBool:
    """Looks like numpy's boolean scalar type to the conversion (module "numpy", name "bool_")."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if self.value is None:
            raise RuntimeError("bool failed")
        return self.value


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = "bool_"
FakeNumpyBool.__qualname__ = "bool_"


def test_numpy_style_bool_is_accepted_through_its_bool_slot():
    assert m.fuzzy_match_simple("A", "a", FakeNumpyBool(True)) is False
    assert m.fuzzy_match_simple("A", "a", FakeNumpyBool(False)) is True
    with pytest.raises(RuntimeError, match="bool failed"):
        m.fuzzy_match_simple("A", "a", FakeNumpyBool(None))


def test_numpy_style_bool_without_bool_slot():
    NoBool = type("bool", (), {"__module__": "numpy"})
    with pytest.raises(TypeError) as info:
        m.fuzzy_match_simple("a", "b", NoBool())
    assert str(info.value) == (
        "argument 'case_sensitive': object of type '<class 'numpy.bool'>' does not define a "
        "'__bool__' conversion"
    )


class SequenceOf:
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, items, fail_at=None, length=None):
        self.items = items
        self.fail_at = fail_at
        self.length = length

    def __len__(self):
        if self.length is not None:
            raise self.length
        return len(self.items)

    def __getitem__(self, index):
        if index == self.fail_at:
            raise LookupError("iteration failed")
        return self.items[index]


def test_any_sequence_of_str_is_accepted():
    assert m.get_best_matches("a", ("a", "xa")) == [("a", 10), ("xa", -4)]
    assert m.get_best_matches("a", SequenceOf(["xa", "a"])) == [("a", 10), ("xa", -4)]


def test_failing_len_is_only_a_hint():
    assert m.get_best_matches("a", SequenceOf(["a"], length=RuntimeError("no len"))) == [("a", 10)]


def test_exception_while_iterating_passes_through():
    with pytest.raises(LookupError, match="iteration failed"):
        m.get_best_matches("a", SequenceOf(["a", "b", "c"], fail_at=1))


def test_iteration_type_error_is_renamed():
    class Bad(SequenceOf):
        def __getitem__(self, index):
            raise TypeError("broken item")

    with pytest.raises(TypeError) as info:
        m.get_best_matches("a", Bad([]))
    assert str(info.value) == "argument 'candidates': broken item"


def exercise_success_and_error_paths(repeat):
    for _ in range(repeat):
        for call, error, _ in CONVERSION_ERRORS:
            try:
                call()
            except error:
                pass
        m.get_best_matches("a", SequenceOf(["a", "ba"]))
        m.get_best_matches("ab", ["xab", "ab", "aab", "b"])
        m.fuzzy_match("ab", "ab", adj_bonus=3)


def test_arguments_keep_their_reference_counts():
    pattern, instring = "ab" * 3, "xab" * 3
    items = ["ab" * 2, "b" * 3]
    sequence = SequenceOf(items)
    objects = [pattern, instring, items, sequence, *items, m.fuzzy_match]

    def run():
        for _ in range(100):
            m.fuzzy_match(pattern, instring, adj_bonus=3)
            m.get_best_matches(pattern, items)
            m.get_best_matches(pattern, sequence)
            m.fuzzy_match_simple(pattern, instring, False)
            for bad in (items, sequence, 5):
                try:
                    m.fuzzy_match(pattern, bad)
                except TypeError:
                    pass

    run()
    before = [sys.getrefcount(obj) for obj in objects]
    run()
    assert [sys.getrefcount(obj) for obj in objects] == before


@pytest.mark.skipif(
    os.environ.get("PYTHONMALLOC") == "malloc",
    reason="with the system allocator the traced size drifts for reasons outside this module",
)
def test_no_memory_growth_on_success_and_error_paths():
    exercise_success_and_error_paths(100)
    tracemalloc.start()
    try:
        exercise_success_and_error_paths(100)
        first, _ = tracemalloc.get_traced_memory()
        exercise_success_and_error_paths(400)
        last, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # 400 rounds of 20 calls: one leaked object in any one of the calls adds over 10 kB.
    assert last - first < 5_000


def test_calls_from_many_threads_agree():
    candidates = [f"src/module_{i}/file_{i}.py" for i in range(2000)]
    expected = m.get_best_matches("mf", candidates)
    results = []

    def work():
        results.append(m.get_best_matches("mf", candidates))

    threads = [threading.Thread(target=work) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [expected] * 8


def test_candidates_cleared_by_a_finalizer_while_results_are_built():
    # A collection can start while the result list is being built, and a finalizer may then
    # empty the candidate list; the results must not depend on its items any more.
    candidates = ["x" * 40 + str(i) for i in range(3000)]
    expected = m.get_best_matches("x", list(candidates))

    class Clearer:
        def __del__(self):
            candidates.clear()

    threshold = gc.get_threshold()
    try:
        gc.set_threshold(1, 1, 1)
        cycle = Clearer()
        cycle.self = cycle
        del cycle
        result = m.get_best_matches("x", candidates)
    finally:
        gc.set_threshold(*threshold)
        gc.collect()
    assert result == expected


@pytest.mark.skipif(
    bool(os.environ.get("MARLUNE_SANITIZED")), reason="the sanitizer runtime reserves its own memory"
)
def test_native_allocation_failure_becomes_memory_error():
    # Run in a child with a small address-space limit: the replacement would need about 1 GB.
    code = (
        "import resource\n"
        "resource.setrlimit(resource.RLIMIT_AS, (400 << 20, 400 << 20))\n"
        "import _marlune_search as m\n"
        "try:\n"
        "    m.replace_content('a' * 1_000_000, 'a', 'b' * 1000, True)\n"
        "except MemoryError:\n"
        "    print('MemoryError')\n"
        "print(m.fuzzy_match('ab', 'ab'))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.stdout.split("\n")[:2] == ["MemoryError", "(True, 15)"], result.stderr

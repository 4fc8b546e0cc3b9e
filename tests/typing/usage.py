"""Typed use of the package, checked with mypy --strict.

A line that ends in "# E: code" must get an error of that code from mypy, and no other line may
get one: check_usage.py runs mypy and compares.
"""

from __future__ import annotations

import pathlib
from collections.abc import Hashable

import _marlune_search
import marlune_search as ms
from marlune_search import (
    Edit,
    EditFailed,
    FileEdit,
    MatchRange,
    ReplaceResult,
    StreamingFuzzyMatcher,
    TryReplaceResult,
)

# The package hands out the native objects themselves.
same: type[MatchRange] = _marlune_search.MatchRange

matched, score = ms.fuzzy_match("fb", "foo_bar", adj_bonus=6, unmatched_penalty=-2)
flag: bool = matched
points: int = score
ranked: list[tuple[str, int]] = ms.get_best_matches("fb", ("foobar", "fooBar"))
simple: bool = ms.fuzzy_match_simple("ace", "abcde", case_sensitive=False)

result: ReplaceResult = ms.replace_content("a\nb\n", "b", "c", line_hint=2)
lines: tuple[int, int] = (result.start_line, result.end_line)
strategy: str = result.strategy

outcome: TryReplaceResult = ms.try_replace_content("a", "x", "y", replace_all=True)
if outcome:
    text: str | None = outcome.error
maybe: ReplaceResult | None = outcome.result
locations: list[int] | None = outcome.locations
if outcome.closest_match is not None:
    similarity: float = outcome.closest_match.similarity

matcher = StreamingFuzzyMatcher("def f():\n    return 1\n")
found: MatchRange | None = matcher.push("def f():\n", line_hint=None)
ranges: list[MatchRange] = matcher.finish()
if found is not None:
    piece: str = matcher.get_text(found)
    same_range: bool = found == ranges[0]
source: list[str] = matcher.source_lines

edit: FileEdit = ms.edit_file("f.txt", "a", "b", replace_all=False, line_hint=3, write=False)
where: pathlib.Path = edit.path
results: tuple[ReplaceResult, ...] = edit.results
many: FileEdit = ms.apply_edits(
    pathlib.Path("f.txt"),
    [Edit(old_string="a", new_string="b"), {"old_string": "c", "new_string": "d", "line_hint": 2}],
)
try:
    ms.edit_file("f.txt", "a", "b")
except EditFailed as failure:
    index: int = failure.index
    kind: str | None = failure.error.error_type

patched: ms.PatchResult = ms.apply_patch("--- a/f.txt\n+++ b/f.txt\n", root=pathlib.Path("."),
                                         write=False, format="unified")
if patched:
    for patched_file in patched.files:
        action: str = patched_file.action
        placed: tuple[ms.Placement, ...] = patched_file.placements
        if patched_file.error is not None:
            failed_edit: int | None = patched_file.error.edit
            closest: _marlune_search.FuzzyMatchInfo | None = patched_file.error.closest_match
try:
    parsed: ms.ParsedPatch = ms.parse_patch("*** Begin Patch\n", "envelope")
    old_side: list[str] = parsed.files[0].edits[0].old_lines
except ms.PatchFormatError as unreadable:
    patch_line: int = unreadable.line
except ms.PathRefused as refused:
    reason: str = refused.reason

# Lines that must be refused.
ms.fuzzy_match("a")  # E: call-arg
ms.fuzzy_match("a", "b", bonus=1)  # E: call-arg
ms.fuzzy_match_simple("a", "b", 1)  # E: arg-type
ms.get_best_matches("a", [1, 2])  # E: list-item
ms.replace_content("a", "b", "c", replace_all=None)  # E: arg-type
bad_score: str = ms.fuzzy_match("a", "b")[1]  # E: assignment
result.start_line = 3  # E: misc
unhashable: Hashable = ranges[0]  # E: assignment
MatchRange(0, 1)  # E: call-arg
class Sub(MatchRange): ...  # E: misc
matcher.push(b"bytes")  # E: arg-type
matcher.get_text((0, 3))  # E: arg-type
edit.written = False  # E: misc
ms.edit_file("f.txt", "a", "b", True)  # E: call-arg
ms.apply_edits("f.txt", [{"old_string": "a"}])  # E: typeddict-item
ms.apply_edits("f.txt", [{"old_string": "a", "new_string": "b", "all": True}])  # E: typeddict-unknown-key
unchecked: int = outcome.locations  # E: assignment
ms.apply_patch("", format="git")  # E: arg-type
ms.apply_patch("", ".")  # E: call-arg
patched.written = True  # E: misc

"""Edits built from real source files and disturbed the way a language model disturbs them.

Whatever strategy ends up placing the text, a success must replace exactly the reported text at
the reported lines, and a failure must change nothing and say which kind of failure it is.
"""

from __future__ import annotations

import os
from collections import Counter
from typing import Any

import pytest

import _marlune_search as m
from perturbed_edits import (
    BOTH_SIDES,
    PERTURBATIONS,
    BothSidesCase,
    Case,
    cases,
    lines_of,
    outcome,
    source_files,
)

SANITIZED = bool(os.environ.get("MARLUNE_SANITIZED"))
CASES_PER_KIND = 60 if SANITIZED else 150
STRATEGIES = {
    "simple",
    "line_trimmed",
    "block_anchor",
    "whitespace_normalized",
    "indentation_flexible",
    "escape_normalized",
    "trimmed_boundary",
    "context_aware",
}
SOURCES = source_files()


def is_new_text_in_place(inserted: str, new: str, matched: str) -> bool:
    """Whether inserted is a stretch of new (all of it, or less the boundary line breaks the
    candidate lacked), with at most the line breaks the matched text holds at its ends beyond
    it kept around it."""
    head = matched[: len(matched) - len(matched.lstrip())]
    tail = matched[len(matched.rstrip()) :]
    return any(
        inserted.startswith(head[:i])
        and inserted.endswith(tail[len(tail) - j :])
        and inserted[i : len(inserted) - j] in new
        for i in range(len(head) + 1)
        for j in range(len(tail) + 1)
        if i + j <= len(inserted)
    )


def check_success(
    content: str, old: str, new: str, result: Any, hint: int | None, fitted: bool = False
) -> None:
    """fitted: new was written in the model's frame, so that a tolerant match may write it in
    the file's frame instead; then only the judge of the whole file tells what it must be."""
    matched = result.matched_text
    assert result.strategy in STRATEGIES
    assert result.end_line == result.start_line + matched.count("\n")
    if result.strategy == "simple":
        assert matched == old
    if hint is None:  # without a hint only a unique text is placed
        assert content.find(matched) == content.rfind(matched) >= 0
    position = content.find(matched)
    while position >= 0:  # the first occurrence on the reported line is the one replaced
        if content.count("\n", 0, position) + 1 == result.start_line:
            break
        position = content.find(matched, position + 1)
    assert position >= 0, "matched text does not stand on the reported line"
    assert content[:position].count("\n") == result.start_line - 1
    # Only the matched text changed, and what stands in its place is new_string as written
    # unless the strategy may fit it to the file.
    before, after = content[:position], content[position + len(matched) :]
    assert result.content.startswith(before) and result.content.endswith(after)
    inserted = result.content[len(before) : len(result.content) - len(after)]
    if result.strategy == "simple":
        assert inserted == new
    elif not fitted or result.strategy == "trimmed_boundary":
        assert is_new_text_in_place(inserted, new, matched)


def check_failure(content: str, old: str, new: str, record: Any, hint: int | None) -> None:
    assert record.result is None
    with pytest.raises(ValueError) as info:
        m.replace_content(content, old, new, line_hint=hint)
    assert info.value.args == (record.error,)
    if old in content:  # the exact text is always proposed, so it is never "not found"
        assert record.error_type == "multiple_matches"
        assert hint is None, "with a hint the exact text is always placed"
    if record.error_type == "not_found":
        assert record.error.startswith("Search text not found in file.")
        assert record.locations is None
        close = record.closest_match
        if close is not None:
            assert 0.8 <= close.similarity <= 1.0
            assert close.end_line - close.start_line + 1 == len(lines_of(old))
            assert close.text == "\n".join(lines_of(content)[close.start_line - 1 : close.end_line])
    else:
        assert record.error_type == "multiple_matches"
        assert record.error.startswith("Pattern found at multiple locations (lines: ")
        assert record.closest_match is None
        first = (lines_of(old) or [""])[0]
        content_lines = lines_of(content)
        assert record.locations == sorted(set(record.locations))
        assert all(first in content_lines[n - 1] for n in record.locations)


# Some edits cannot be told apart from another block of the same file: an old_string that,
# perturbed, describes a near-identical block elsewhere (a re-indented "try:" or "else:") just as
# well. Those may be placed wrongly, but only there, and never at the cost of whole stretches of
# the file.
WRONG_SHARE_LIMIT = 0.04
WRONG_LINES_LIMIT = 2

# Both sides disturbed alike: shares of the cases of each kind that may come out as a wrong file
# reported as success, and that must come out as the intended file. What stays wrong once the
# replacement is written in the matched block's frame: edits that keep no line of the block the
# disturbance changed (a one-line edit: nothing shows whether the new indentation is the model's
# or meant), changed lines whose inner blanks a collapse lost, a continuation line whose spaces no
# whole number of tabs gives, a one-line old_string cut at its indentation that stands verbatim
# inside its line. About a fifth of the cases fail, mostly those of the files with "\r\n".
# Measured on the standard libraries of 3.11 to 3.15 (60 and 150 cases a kind): correct 59-75%,
# 49-63%, 67-78% and 45-57%, wrong 10-22%, 20-30%, 0-1% and 23-35%; before the replacement was
# written in the matched block's frame, three quarters of every kind came out wrong.
BOTH_SIDES_WRONG_LIMITS = {
    "both_reindented": 0.27,
    "both_tabs": 0.35,
    "both_escaped_breaks": 0.03,
    "both_collapsed": 0.40,
}
BOTH_SIDES_CORRECT_FLOORS = {
    "both_reindented": 0.52,
    "both_tabs": 0.44,
    "both_escaped_breaks": 0.62,
    "both_collapsed": 0.40,
}


def check_case(case: Case, verdict: str, record: Any) -> None:
    """Every case: a success replaced exactly what it reports, a wrong one was at least placed
    on a near-identical block, and a failure changed nothing and says why."""
    content, old, new, hint = case.content, case.old, case.new, case.hint
    context = f"{case.kind}: line {case.start + 1}, old={old[:80]!r}"
    if old == new:
        assert record.error_type == "no_change", context
    elif record:
        fitted = isinstance(case, BothSidesCase)
        check_success(content, old, new, record.result, hint, fitted)
        if verdict == "wrong":
            assert case.is_near_identical(record.result.matched_text), context
            got = len(lines_of(record.result.content))
            assert abs(got - len(case.expected_lines)) <= WRONG_LINES_LIMIT, context
    else:
        check_failure(content, old, new, record, hint)


@pytest.mark.parametrize("kind", PERTURBATIONS)
def test_perturbed_edits_replace_exactly_what_they_report(kind: str) -> None:
    wrong = 0
    for case in cases(kind, CASES_PER_KIND, SOURCES):
        verdict, record = outcome(case)
        check_case(case, verdict, record)
        wrong += verdict == "wrong"
        if kind == "exact" and "\r" not in case.content and case.content.count(case.old) == 1:
            context = f"line {case.start + 1}, old={case.old[:80]!r}"
            assert record and record.result.strategy == "simple", context
            assert record.result.start_line == case.start + 1, context
    assert wrong <= WRONG_SHARE_LIMIT * CASES_PER_KIND


@pytest.mark.parametrize("kind", BOTH_SIDES)
def test_edits_disturbed_on_both_sides_come_out_as_the_intended_file(kind: str) -> None:
    tally: Counter[str] = Counter()
    for case in cases(kind, CASES_PER_KIND, SOURCES):
        verdict, record = outcome(case)
        check_case(case, verdict, record)
        tally[verdict] += 1
    assert tally["wrong"] <= BOTH_SIDES_WRONG_LIMITS[kind] * CASES_PER_KIND, dict(tally)
    assert tally["correct"] >= BOTH_SIDES_CORRECT_FLOORS[kind] * CASES_PER_KIND, dict(tally)


@pytest.mark.parametrize("kind", BOTH_SIDES)
def test_the_true_edit_written_exactly_is_judged_intended(kind: str) -> None:
    """The intended file of the judge is what the exact edit of the block makes, line endings
    included: a judge that expected another file would count intended edits as wrong."""
    for case in cases(kind, CASES_PER_KIND, SOURCES):
        assert isinstance(case, BothSidesCase)
        ending = "\r\n" if "\r\n" in case.content else "\n"
        block, intended = (text.replace("\n", ending) for text in (case.block, case.intended))
        result = m.replace_content(case.content, block, intended, line_hint=case.start + 1)
        assert result.strategy == "simple" and result.start_line == case.start + 1
        assert case.is_intended(result.content), f"line {case.start + 1}, block={block[:80]!r}"

"""Edits built from real source files and disturbed the way a language model disturbs them.

Whatever strategy ends up placing the text, a success must replace exactly the reported text at
the reported lines, and a failure must change nothing and say which kind of failure it is.
"""

import os

import pytest

import _marlune_search as m
from perturbed_edits import PERTURBATIONS, cases, lines_of, outcome, source_files

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


def check_success(content, old, new, result, hint):
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
    # Only the matched text changed, and what stands in its place is a stretch of new_string
    # (all of it, or less the boundary line breaks the candidate lacked).
    before, after = content[:position], content[position + len(matched) :]
    assert result.content.startswith(before) and result.content.endswith(after)
    inserted = result.content[len(before) : len(result.content) - len(after)]
    assert inserted in new
    if result.strategy == "simple":
        assert inserted == new


def check_failure(content, old, new, record, hint):
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


@pytest.mark.parametrize("kind", PERTURBATIONS)
def test_perturbed_edits_replace_exactly_what_they_report(kind):
    wrong = 0
    for case in cases(kind, CASES_PER_KIND, SOURCES):
        content, old, new, hint = case.content, case.old, case.new, case.hint
        verdict, record = outcome(case)
        context = f"{kind}: line {case.start + 1}, old={old[:80]!r}"
        if old == new:
            assert record.error_type == "no_change", context
        elif record:
            check_success(content, old, new, record.result, hint)
            # The whole file is the intended one, not merely some block replaced.
            if verdict == "wrong":
                wrong += 1
                assert case.is_near_identical(record.result.matched_text), context
                got = len(lines_of(record.result.content))
                assert abs(got - len(case.expected_lines)) <= WRONG_LINES_LIMIT, context
        else:
            check_failure(content, old, new, record, hint)
        if kind == "exact" and "\r" not in content and content.count(old) == 1:
            assert record and record.result.strategy == "simple", context
            assert record.result.start_line == case.start + 1, context
    assert wrong <= WRONG_SHARE_LIMIT * CASES_PER_KIND

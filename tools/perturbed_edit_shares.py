"""Shares of perturbed edits that the installed module places correctly, places wrongly, or
refuses, per kind of perturbation (the cases of tests/python/perturbed_edits.py).

    python tools/perturbed_edit_shares.py [CASES_PER_KIND] [--wrong]

Run it with the interpreter of the build to measure; it prints Markdown tables: the kinds that
disturb old_string only, then the kinds that disturb both sides alike, judged byte for byte,
with the wrong ones of those counted by disturbance and edit. --wrong lists each wrong edit of
the second table too.
"""

from __future__ import annotations

import os
import sys
from collections import Counter
from collections.abc import Iterable

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

import perturbed_edits as pe  # noqa: E402

VERDICTS = ("correct", "wrong", "failed")


def share(part: int, whole: int) -> str:
    return f"{100 * part / whole:.1f}%" if whole else "-"


def unix(text: str) -> str:
    return text.replace("\r\n", "\n")


def row(label: str, tally: Counter[str], count: int, extra: Iterable[str]) -> str:
    shares = [share(tally[verdict], count) for verdict in VERDICTS]
    cells = [label, *shares[:2], *extra, shares[2]]
    return "| " + " | ".join(cells) + " |"


def old_side_table(count: int, sources: list[str]) -> None:
    print("| perturbation | correct | wrong | of which near-identical block | failed |")
    print("|---|---|---|---|---|")
    totals: Counter[str] = Counter()
    for kind in pe.PERTURBATIONS:
        tally: Counter[str] = Counter()
        for case in pe.cases(kind, count, sources):
            verdict, record = pe.outcome(case)
            tally[verdict] += 1
            if verdict == "wrong":
                tally["near"] += case.is_near_identical(record.result.matched_text)
                lost = abs(len(pe.lines_of(record.result.content)) - len(case.expected_lines))
                tally["far"] += lost > 2
        totals.update(tally)
        print(row(kind, tally, count, [str(tally["near"])]))
    n = count * len(pe.PERTURBATIONS)
    print(row(f"all ({n})", totals, n, [str(totals["near"])]))
    print(f"\nwrong edits whose file is more than two lines longer or shorter: {totals['far']}")


def both_sides_table(count: int, sources: list[str], list_wrong: bool) -> None:
    print("| both sides disturbed alike | correct | wrong | of which only line endings | failed |")
    print("|---|---|---|---|---|")
    totals: Counter[str] = Counter()
    wrong_by: Counter[tuple[str, str, str]] = Counter()
    listed: list[str] = []
    for kind in pe.BOTH_SIDES:
        tally: Counter[str] = Counter()
        for case in pe.cases(kind, count, sources):
            assert isinstance(case, pe.BothSidesCase)
            verdict, record = pe.outcome(case)
            tally[verdict] += 1
            if verdict == "wrong":
                got = record.result.content
                tally["endings"] += unix(got) == unix(case.expected_content)
                wrong_by[(kind, case.disturbance, case.change)] += 1
                listed.append(
                    f"{kind}, {case.disturbance}, {case.change}, {record.result.strategy},"
                    f" line {case.start + 1}{', CRLF' if chr(13) in case.content else ''}:"
                    f" old={case.old[:70]!r} new={case.new[:70]!r}"
                )
        totals.update(tally)
        print(row(kind, tally, count, [str(tally["endings"])]))
    n = count * len(pe.BOTH_SIDES)
    print(row(f"all ({n})", totals, n, [str(totals["endings"])]))
    print("\n| wrong both-sides edits by edit | " + " | ".join(pe.EDITS) + " |")
    print("|---" * (len(pe.EDITS) + 1) + "|")
    for kind, disturbance in sorted({key[:2] for key in wrong_by}):
        counts = (str(wrong_by[(kind, disturbance, edit)]) for edit in pe.EDITS)
        print(f"| {kind}, {disturbance} | " + " | ".join(counts) + " |")
    if list_wrong:
        print()
        print("\n".join(listed))


def main() -> None:
    numbers = [arg for arg in sys.argv[1:] if not arg.startswith("--")]
    count = int(numbers[0]) if numbers else 300
    sources = pe.source_files()
    old_side_table(count, sources)
    print()
    both_sides_table(count, sources, "--wrong" in sys.argv[1:])


if __name__ == "__main__":
    main()

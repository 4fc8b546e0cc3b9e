"""Shares of perturbed edits that the installed module places correctly, places wrongly, or
refuses, per kind of perturbation (the cases of tests/python/perturbed_edits.py).

    python tools/perturbed_edit_shares.py [CASES_PER_KIND]

Run it with the interpreter of the build to measure; it prints a Markdown table.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

import perturbed_edits as pe  # noqa: E402


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    sources = pe.source_files()
    print("| perturbation | correct | wrong | of which near-identical block | failed |")
    print("|---|---|---|---|---|")
    totals = {"correct": 0, "wrong": 0, "near": 0, "failed": 0, "far": 0}
    for kind in pe.PERTURBATIONS:
        tally = {"correct": 0, "wrong": 0, "near": 0, "failed": 0}
        for case in pe.cases(kind, count, sources):
            verdict, record = pe.outcome(case)
            tally[verdict] += 1
            if verdict == "wrong":
                if case.is_near_identical(record.result.matched_text):
                    tally["near"] += 1
                lost = abs(len(pe.lines_of(record.result.content)) - len(case.expected_lines))
                totals["far"] += lost > 2
        for key in tally:
            totals[key] += tally[key]
        print(f"| {kind} | {100 * tally['correct'] / count:.1f}% | {100 * tally['wrong'] / count:.1f}%"
              f" | {tally['near']} | {100 * tally['failed'] / count:.1f}% |")
    n = count * len(pe.PERTURBATIONS)
    print(f"| all ({n}) | {100 * totals['correct'] / n:.1f}% | {100 * totals['wrong'] / n:.1f}%"
          f" | {totals['near']} | {100 * totals['failed'] / n:.1f}% |")
    print(f"\nwrong edits whose file is more than two lines longer or shorter: {totals['far']}")


if __name__ == "__main__":
    main()

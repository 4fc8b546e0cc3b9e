"""Runs mypy --strict on usage.py and compares its errors with the file's "# E: code" marks.

Every marked line must get an error with that code and no unmarked line may get any, so that
the stubs are shown to accept what they should and to refuse what they should. Exits non-zero
with the differences otherwise. Run it with the interpreter of an environment in which the
package and mypy are installed.
"""

import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
USAGE = HERE / "usage.py"
MARK = re.compile(r"#\s*E:\s*([a-z0-9-]+)\s*$")
ERROR = re.compile(r"^[^:]+:(\d+): error: (.*?)(?:  \[([a-z0-9-]+)\])?$")


def expected() -> dict[int, str]:
    marks = {}
    for number, line in enumerate(USAGE.read_text().splitlines(), 1):
        found = MARK.search(line)
        if found:
            marks[number] = found.group(1)
    return marks


def reported() -> dict[int, list[tuple[str, str]]]:
    # Run from a folder without the sources, so that mypy sees only what is installed.
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--show-error-codes",
         "--no-error-summary", "--hide-error-context", str(USAGE)],
        cwd=HERE, capture_output=True, text=True, check=False)
    if run.returncode not in (0, 1) or run.stderr.strip():
        sys.exit(f"mypy did not run:\n{run.stdout}{run.stderr}")
    errors: dict[int, list[tuple[str, str]]] = {}
    for line in run.stdout.splitlines():
        found = ERROR.match(line)
        if found:
            errors.setdefault(int(found.group(1)), []).append(
                (found.group(3) or "", found.group(2)))
        elif ": note: " not in line:
            sys.exit(f"unexpected mypy output: {line}")
    return errors


def main() -> int:
    marks, errors = expected(), reported()
    problems = []
    for number, code in sorted(marks.items()):
        codes = [c for c, _ in errors.get(number, [])]
        if code not in codes:
            problems.append(f"usage.py:{number}: expected error [{code}], got {codes or 'none'}")
    for number, found in sorted(errors.items()):
        if number not in marks:
            for code, message in found:
                problems.append(f"usage.py:{number}: unexpected error: {message} [{code}]")
    if problems:
        print("\n".join(problems))
        return 1
    print(f"mypy --strict: all {len(marks)} expected errors reported, no other error")
    return 0


if __name__ == "__main__":
    sys.exit(main())

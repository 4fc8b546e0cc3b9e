"""Times replace_content on the largest source files of this interpreter's standard library.

    python benchmarks/bench_replace.py [--files N] [--repeat R]

Each source file is repeated 1, 4 and 16 times, and one synthetic target block is inserted once,
in the middle copy, so that every edit below has exactly one place to go however large the text.
For every edit the script checks which strategy resolved it, then reports the best time of R
repeats in milliseconds and its growth against the 1x text. The exact edit is measured beside
Python's own `content.count(old) == 1` followed by `content.replace(old, new, 1)`, the floor that
a plain substring replacement cannot beat.

Targets: an exact edit within 3x the floor; a failing edit on a 10,000-line file well under 100 ms.
"""

import argparse
import os
import sysconfig
import timeit

import _marlune_search as m

TARGET = '''def _bench_target_function(alpha, beta):
    """Add two operands after checking them."""
    if alpha is None or beta is None:
        raise ValueError("missing operand: %r, %r" % (alpha, beta))
    total = alpha + beta
    return total
'''

# Three blocks with the same anchors. Block anchor prefers the first (its interior is the
# closest), but that text stands twice; context aware also accepts the middle one, which is unique.
CONTEXT_TARGET = '''with _bench_lock:
    step_one()
    step_two_b()
    finish_bench()
with _bench_lock:
    step_one()
    other_call()
    finish_bench()
with _bench_lock:
    step_one()
    step_two_b()
    finish_bench()
'''

NEW = "def _bench_target_function(alpha, beta):\n    return alpha + beta\n"

target_lines = TARGET.rstrip("\n").split("\n")

# name: (old_string, strategy expected, or None for a failure)
EDITS = {
    "exact": (TARGET, "simple"),
    "re-indented": ("\n".join("    " + line for line in target_lines), "line_trimmed"),
    "middle line changed": (TARGET.replace("total = alpha + beta", "total = beta + alpha"), "block_anchor"),
    "whitespace changed": (
        TARGET.replace("(alpha, beta):", "( alpha,  beta ) :").replace("alpha + beta", "alpha  +  beta"),
        "whitespace_normalized",
    ),
    # A re-indented block that keeps its relative indentation is always resolved earlier (by line
    # trimmed or whitespace normalized), so indentation flexible has no edit of its own here.
    "escaped on one line": (TARGET.replace('"', '\\"').replace("\n", "\\n"), "escape_normalized"),
    "cut inside a line": ("\t" + TARGET[len("def ") :] + "\n  ", "trimmed_boundary"),
    "anchors, ambiguous best": (
        "with _bench_lock:\n    step_one()\n    step_two()\n    finish_bench()",
        "context_aware",
    ),
    "not found, first line absent": (
        TARGET.replace("_bench_target_function", "_bench_target_fnction").replace("total", "totl"),
        None,
    ),
    "not found, first line present": (
        TARGET.replace("total = alpha", "total = alpah").replace("return total", "return totl"),
        None,
    ),
}


def largest_sources(count):
    stdlib = sysconfig.get_paths()["stdlib"]
    paths = [os.path.join(stdlib, name) for name in os.listdir(stdlib) if name.endswith(".py")]
    return sorted(paths, key=os.path.getsize, reverse=True)[:count]


def build_content(source, copies):
    """`copies` times the source, with the targets inserted once at a top-level line of the middle copy."""
    lines = source.splitlines(keepends=True)
    middle = len(lines) // 2
    while middle < len(lines) and lines[middle][:1] in ("", " ", "\t", "\n", "#"):
        middle += 1
    marked = "".join(lines[:middle]) + TARGET + "\n" + CONTEXT_TARGET + "\n" + "".join(lines[middle:])
    return source * (copies // 2) + marked + source * (copies - copies // 2 - 1)


def best_ms(statement, repeat):
    timer = timeit.Timer(statement)
    number, elapsed = timer.autorange()
    if elapsed > 2.0:  # one run is already long: a few single runs are enough
        return min(timer.repeat(repeat=max(2, repeat // 2), number=1)) * 1000
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1000


def replace(content, old):
    try:
        m.replace_content(content, old, NEW)
    except ValueError:
        pass


def check(content, old, expected):
    outcome = m.try_replace_content(content, old, NEW)
    if expected is None:
        assert not outcome and outcome.error_type == "not_found", outcome
    else:
        assert outcome, outcome.error
        assert outcome.result.strategy == expected, (outcome.result.strategy, expected)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--files", type=int, default=2, help="how many of the largest files (default 2)")
    parser.add_argument("--repeat", type=int, default=5, help="best of this many repeats (default 5)")
    parser.add_argument("--copies", type=int, nargs="+", default=[1, 4, 16])
    args = parser.parse_args()

    header = (
        f"{'file':<14} {'edit':<30} {'strategy':<22} {'copies':>6} {'lines':>7} {'KiB':>6} "
        f"{'ms':>9} {'growth':>7}  floor ms  ratio"
    )
    print(header)
    print("-" * len(header))
    worst_ratio = 0.0
    worst_failure = 0.0
    for path in largest_sources(args.files):
        with open(path, encoding="utf-8") as f:
            source = f.read()
        name = os.path.basename(path)
        for edit, (old, expected) in EDITS.items():
            base = None
            for copies in args.copies:
                content = build_content(source, copies)
                check(content, old, expected)
                ms = best_ms(lambda: replace(content, old), args.repeat)
                base = base or ms
                floor = ""
                if edit == "exact":
                    assert content.count(old) == 1

                    def python_replace():
                        if content.count(old) == 1:
                            content.replace(old, NEW, 1)

                    floor_ms = best_ms(python_replace, args.repeat)
                    floor = f"{floor_ms:9.3f}  {ms / floor_ms:5.2f}x"
                    worst_ratio = max(worst_ratio, ms / floor_ms)
                lines = content.count("\n")
                if expected is None:
                    worst_failure = max(worst_failure, ms * 10_000 / lines)
                print(
                    f"{name:<14} {edit:<30} {expected or 'not_found':<22} {copies:>6} {lines:>7} "
                    f"{len(content.encode()) // 1024:>6} {ms:9.3f} {ms / base:6.1f}x  {floor}",
                    flush=True,
                )
    print()
    print(f"exact edit against the Python floor: worst {worst_ratio:.2f}x (target: within 3x)")
    print(f"failing edit, per 10,000 lines: worst {worst_failure:.1f} ms (target: well under 100 ms)")


if __name__ == "__main__":
    main()

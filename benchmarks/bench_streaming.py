"""Cost of StreamingFuzzyMatcher.push from Python over real program text.

Sources of 1,000, 10,000 and 100,000 lines are cut from the standard library's own .py files.
For each, a 40-line query copied from the middle of the source is pushed line by line, once as
it is and once perturbed (changed indentation, renamed identifiers), and the time of each push
is reported per push and per cell, a cell being one (pushed line, source line) pair: every push
that completes a line costs one pass over the source lines.

Peak memory is native memory, which tracemalloc does not see: each measurement runs in a fresh
interpreter that resets its peak resident size (VmHWM) once the source text is loaded, then
builds the matcher, pushes the lines and reads the peak again.

Run: python benchmarks/bench_streaming.py [--repeat N]   (with _marlune_search importable)
"""

import argparse
import json
import os
import re
import resource
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

SIZES = (1_000, 10_000, 100_000)
QUERY_LINES = 40
LONG_FEED = (100_000, 2_000)  # source lines, pushed lines for the bytes-per-cell figure


def stdlib_lines(count):
    """The first `count` lines of the standard library's .py files, in a fixed order."""
    root = sysconfig.get_paths()["stdlib"]
    lines = []
    for directory, subdirectories, files in os.walk(root):
        subdirectories[:] = sorted(d for d in subdirectories if d not in ("site-packages", "test"))
        for name in sorted(files):
            if not name.endswith(".py"):
                continue
            try:
                with open(os.path.join(directory, name), encoding="utf-8") as file:
                    lines.extend(file.read().split("\n"))
            except (UnicodeDecodeError, OSError):
                continue
            if len(lines) >= count:
                return lines[:count]
    raise SystemExit(f"the standard library at {root} has fewer than {count} lines")


IDENTIFIER = re.compile(r"\b([A-Za-z_][A-Za-z0-9_]{3,})\b")


def perturbed(lines):
    """The lines as an editor might rewrite them: every third line re-indented, every third an
    identifier renamed (one character changed, or a suffix added), the rest unchanged."""
    out = []
    for i, line in enumerate(lines):
        if i % 3 == 0:
            out.append("  " + line.replace("    ", "\t"))
        elif i % 3 == 1:
            suffix = "_v2" if i % 2 else ""
            out.append(IDENTIFIER.sub(lambda m: m.group(1)[:-1] + "Q" + suffix, line, count=1))
        else:
            out.append(line)
    return out


def middle_query(lines, count):
    start = (len(lines) - count) // 2
    return lines[start : start + count]


def time_pushes(matcher_class, source, query, repeat):
    """Median over `repeat` fresh matchers of the mean time of one push, in seconds."""
    chunks = [line + "\n" for line in query]
    samples = []
    for _ in range(repeat):
        matcher = matcher_class(source)
        push = matcher.push
        begin = time.perf_counter()
        for chunk in chunks:
            push(chunk)
        samples.append((time.perf_counter() - begin) / len(chunks))
        result = matcher.finish()
    return statistics.median(samples), result


def time_construction(matcher_class, source, repeat):
    samples = []
    for _ in range(repeat):
        begin = time.perf_counter()
        matcher_class(source)
        samples.append(time.perf_counter() - begin)
    return statistics.median(samples)


# --- Peak memory, measured in a child interpreter --------------------------------------------


def vm_hwm_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return None


def reset_peak():
    """Sets the peak resident size back to the current one; False where the kernel cannot."""
    try:
        with open("/proc/self/clear_refs", "w") as file:
            file.write("5")
        return True
    except OSError:
        return False


def child(path, pushed):
    from _marlune_search import StreamingFuzzyMatcher

    with open(path, encoding="utf-8") as file:
        source = file.read()
    lines = source.split("\n")
    chunks = [line + "\n" for line in middle_query(lines, pushed)]
    if reset_peak() and vm_hwm_bytes() is not None:
        before, read = vm_hwm_bytes(), vm_hwm_bytes
    else:  # ru_maxrss never goes down: only growth past the peak so far shows
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        read = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # noqa: E731
    matcher = StreamingFuzzyMatcher(source)
    for chunk in chunks:
        matcher.push(chunk)
    matcher.finish()
    print(json.dumps({"peak_delta": read() - before}))


def peak_delta(source, pushed):
    with tempfile.NamedTemporaryFile("w", suffix=".txt", encoding="utf-8", delete=False) as file:
        file.write(source)
    try:
        out = subprocess.run(
            [sys.executable, __file__, "--child", file.name, str(pushed)],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
    finally:
        os.unlink(file.name)
    return json.loads(out)["peak_delta"]


# --- Report ------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=7, help="fresh matchers per figure")
    parser.add_argument("--child", nargs=2, metavar=("SOURCE_FILE", "PUSHED"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]))
        return

    from _marlune_search import StreamingFuzzyMatcher

    all_lines = stdlib_lines(max(SIZES))
    print(f"CPython {sys.version.split()[0]}, sources from {sysconfig.get_paths()['stdlib']}")
    print(f"query: {QUERY_LINES} lines from the middle of the source, pushed one line per call\n")
    header = (
        f"{'source lines':>12} {'query':>9} {'µs/push':>10} {'ns/cell':>8} {'ranges':>6} "
        f"{'build ms':>9} {'peak Δ MiB':>10} {'B/src line':>10}"
    )
    print(header)
    print("-" * len(header))
    for size in SIZES:
        lines = all_lines[:size]
        source = "\n".join(lines)
        build = time_construction(StreamingFuzzyMatcher, source, args.repeat)
        peak = peak_delta(source, QUERY_LINES)
        exact = middle_query(lines, QUERY_LINES)
        for label, query in (("exact", exact), ("perturbed", perturbed(exact))):
            per_push, ranges = time_pushes(StreamingFuzzyMatcher, source, query, args.repeat)
            print(
                f"{size:>12,} {label:>9} {per_push * 1e6:>10.1f} {per_push * 1e9 / size:>8.2f} "
                f"{len(ranges):>6} {build * 1e3:>9.2f} {peak / 2**20:>10.2f} {peak / size:>10.1f}"
            )

    size, pushed = LONG_FEED
    source = "\n".join(all_lines[:size])
    peak = peak_delta(source, pushed)
    cells = size * pushed
    print(
        f"\n{size:,}-line source fed {pushed:,} lines: peak Δ {peak / 2**20:.2f} MiB, "
        f"{peak / cells:.4f} bytes per cell ({cells:,} cells), {peak / size:.1f} bytes per source line"
    )


if __name__ == "__main__":
    main()

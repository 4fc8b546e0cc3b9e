"""Fuzzy scoring figures: get_best_matches against a plain Python loop of the same scorer and
against rapidfuzz.process.extract on the same candidates, and fuzzy_match per call."""

import random
import sys
import timeit

import _marlune_search as m

try:
    from rapidfuzz import process as rf_process
except ImportError:  # pragma: no cover - the benchmark runner installs it
    rf_process = None

WORDS = (
    "src lib app core util utils common shared internal api client server model view "
    "controller service handler router widget widgets button group form field input text "
    "parser lexer token buffer stream cache store state config settings test tests spec "
    "docs guide index main init setup build tools scripts assets images styles theme"
).split()
EXTENSIONS = [".py", ".ts", ".tsx", ".rs", ".go", ".md", ".json", ".css", ".cc", ".h"]


def make_paths(count, seed=1234):
    rng = random.Random(seed)
    paths = []
    for _ in range(count):
        depth = rng.randint(1, 5)
        parts = [rng.choice(WORDS) for _ in range(depth)]
        name = "_".join(rng.choice(WORDS) for _ in range(rng.randint(1, 3)))
        paths.append("/".join(parts) + "/" + name + rng.choice(EXTENSIONS))
    return paths


def best_of(function, repeat=5, number=1):
    return min(timeit.repeat(function, repeat=repeat, number=number)) / number


def python_loop(pattern, candidates):
    fuzzy_match = m.fuzzy_match
    scored = []
    for candidate in candidates:
        matched, score = fuzzy_match(pattern, candidate)
        if matched:
            scored.append((candidate, score))
    scored.sort(key=lambda pair: -pair[1])
    return scored


def main():
    print(f"Python {sys.version.split()[0]}")
    print(f"{'case':<44} {'time':>10} {'cand/s':>12} {'vs loop':>9} {'vs rapidfuzz':>13}")
    for count in (10_000, 100_000):
        candidates = make_paths(count)
        for label, pattern in (("few match", "zqjx"), ("some match", "wbgrp"), ("many match", "src")):
            matches = len(m.get_best_matches(pattern, candidates))
            ours = best_of(lambda: m.get_best_matches(pattern, candidates))
            loop = best_of(lambda: python_loop(pattern, candidates), repeat=3)
            assert python_loop(pattern, candidates) == m.get_best_matches(pattern, candidates)
            if rf_process is not None:
                peer = best_of(lambda: rf_process.extract(pattern, candidates, limit=None), repeat=3)
                peer_text = f"{peer / ours:12.1f}x"
            else:
                peer_text = f"{'n/a':>13}"
            name = f"get_best_matches {count:>7,} {label} ({matches:,})"
            print(
                f"{name:<44} {ours * 1e3:8.2f}ms {count / ours:12,.0f} {loop / ours:8.1f}x {peer_text}"
            )
            if rf_process is not None:
                print(f"{'  rapidfuzz.process.extract (WRatio)':<44} {peer * 1e3:8.2f}ms {count / peer:12,.0f}")
            print(f"{'  Python loop over fuzzy_match':<44} {loop * 1e3:8.2f}ms {count / loop:12,.0f}")

    for pattern, instring in (("fb", "fooBar"), ("bgrp", "src/components/widgets/button_group.tsx")):
        number = 200_000
        per_call = min(timeit.repeat(lambda: m.fuzzy_match(pattern, instring), repeat=5, number=number)) / number
        print(f"fuzzy_match({pattern!r}, {instring!r}): {per_call * 1e9:.0f} ns per call")


if __name__ == "__main__":
    main()

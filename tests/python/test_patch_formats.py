"""Real changes between two versions of standard-library modules, written in each patch format
with the damage models put in (wrong line numbers, both sides re-indented), must give the
intended files.

The pairs are the running interpreter's standard library and that of another CPython on this
machine; without a second one the test is skipped. Run this file as a script to print the share
of files each format gets right, optionally against another standard library folder:

    python tests/python/test_patch_formats.py [/usr/lib/python3.11]
"""

from __future__ import annotations

import difflib
import glob
import os
import pathlib
import re
import sys
import sysconfig
import tempfile

import pytest

pytest.importorskip("marlune_search")

import marlune_search as ms  # noqa: E402

FORMATS = ("unified", "blocks", "envelope")
MAX_FILES = 60
MAX_LINES = 3000
SHIFT = 7  # the hunk headers claim lines this far off
INDENT = "    "
# The share of files each format must get right. Measured against 3.10, 3.12, 3.13 and a
# distribution's 3.11 from a 3.11: unified and envelope every file, blocks 97-98% (a block
# carries no line number, and one whose old side occurs twice is refused as ambiguous).
FLOOR = {"unified": 0.9, "blocks": 0.9, "envelope": 0.9}
_DEF = re.compile(r"^\s*(?:async\s+def|def|class)\s")


def _version(folder: str) -> tuple[int, int]:
    found = re.search(r"python3\.(\d+)", folder)
    return (3, int(found.group(1))) if found else (0, 0)


def other_stdlib() -> pathlib.Path | None:
    """The standard library of another CPython, the nearest version first."""
    here = os.path.realpath(sysconfig.get_paths()["stdlib"])
    mine = sys.version_info[:2]
    candidates = [c for c in glob.glob("/root/.pyenv/versions/3.1*/lib/python3.*/")
                  + glob.glob("/usr/lib/python3.*/")
                  if os.path.realpath(c) != here and os.path.isfile(os.path.join(c, "os.py"))]
    candidates.sort(key=lambda c: (_version(c) == mine, abs(_version(c)[1] - mine[1]), c))
    return pathlib.Path(candidates[0]) if candidates else None


def file_pairs(other: pathlib.Path | None) -> list[tuple[str, str, str]]:
    """(name, old text, new text) of modules that differ between the two versions."""
    if other is None:
        return []
    here = pathlib.Path(sysconfig.get_paths()["stdlib"])
    pairs = []
    for path in sorted(here.glob("*.py")):
        twin = other / path.name
        if not twin.is_file():
            continue
        try:
            old, new = path.read_text(encoding="utf-8"), twin.read_text(encoding="utf-8")
        except (UnicodeDecodeError, OSError):
            continue
        if old != new and "\r" not in old + new and old.count("\n") <= MAX_LINES:
            pairs.append((path.name, old, new))
    return pairs[:MAX_FILES]


def _indented(text: str) -> str:
    return INDENT + text if text.strip() else text


def hunks(old: str, new: str) -> list[tuple[int, int, list[tuple[str, str]]]]:
    """(old start, new start, tagged lines) of each hunk from ``old`` to ``new``, both sides
    re-indented alike."""
    a, b = old.splitlines(), new.splitlines()
    out = []
    for group in difflib.SequenceMatcher(None, a, b, autojunk=False).get_grouped_opcodes(3):
        lines: list[tuple[str, str]] = []
        for op, i1, i2, j1, j2 in group:
            if op == "equal":
                lines += [(" ", _indented(t)) for t in a[i1:i2]]
            else:
                lines += [("-", _indented(t)) for t in a[i1:i2]]
                lines += [("+", _indented(t)) for t in b[j1:j2]]
        out.append((group[0][1] + 1, group[0][3] + 1, lines))
    return out


def _side(lines: list[tuple[str, str]], drop: str) -> list[str]:
    return [text + "\n" for tag, text in lines if tag != drop]


def _anchor(old: str, start: int) -> str:
    """The nearest ``def`` or ``class`` line above the hunk, as models name the chunk."""
    before = old.splitlines()[:start - 1]
    return next((line.strip() for line in reversed(before) if _DEF.match(line)), "")


def render(fmt: str, name: str, old: str, new: str) -> str:
    parts = []
    if fmt == "unified":
        parts.append(f"--- a/{name}\n+++ b/{name}\n")
    elif fmt == "envelope":
        parts.append(f"*** Begin Patch\n*** Update File: {name}\n")
    for old_start, new_start, lines in hunks(old, new):
        if fmt == "unified":
            n_old, n_new = len(_side(lines, "+")), len(_side(lines, "-"))
            parts.append(f"@@ -{old_start + SHIFT},{n_old} +{new_start + SHIFT},{n_new} @@\n")
            parts += [tag + text + "\n" for tag, text in lines]
        elif fmt == "blocks":
            parts += [f"{name}\n```python\n<<<<<<< SEARCH\n", *_side(lines, "+"), "=======\n",
                      *_side(lines, "-"), ">>>>>>> REPLACE\n```\n\n"]
        else:
            parts.append(f"@@ {_anchor(old, old_start)}".rstrip() + "\n")
            parts += [tag + text + "\n" for tag, text in lines]
    if fmt == "envelope":
        parts.append("*** End Patch\n")
    return "".join(parts)


def outcome(fmt: str, name: str, old: str, new: str) -> str:
    """"right" when the rendered patch, written into a copy of the old file, gives the new
    one; "refused" when it fails and leaves the file alone; "wrong" otherwise."""
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder, name)
        path.write_text(old, encoding="utf-8")
        result = ms.apply_patch(render(fmt, name, old, new), root=folder, write=True,
                                format="auto")
        assert result.format == fmt
        text = path.read_text(encoding="utf-8")
        if text == new and result:
            return "right"
        return "refused" if text == old and not result else "wrong"


def shares(pairs: list[tuple[str, str, str]]) -> dict[str, dict[str, list[str]]]:
    """Per format and outcome, the names of the files."""
    found: dict[str, dict[str, list[str]]] = {}
    for fmt in FORMATS:
        found[fmt] = {"right": [], "refused": [], "wrong": []}
        for name, old, new in pairs:
            found[fmt][outcome(fmt, name, old, new)].append(name)
    return found


PAIRS = file_pairs(other_stdlib())


@pytest.mark.skipif(not PAIRS, reason="no second CPython standard library on this machine")
@pytest.mark.parametrize("fmt", FORMATS)
def test_standard_library_changes_apply_in_every_format(fmt):
    found = shares(PAIRS)[fmt]
    print(f"\n{fmt}: {len(found['right'])}/{len(PAIRS)} files right")
    # A patch that does not give the intended file must say so and leave the file alone.
    assert not found["wrong"]
    assert len(found["right"]) >= FLOOR[fmt] * len(PAIRS), found["refused"]


def main(argv: list[str]) -> None:
    other = pathlib.Path(argv[0]) if argv else other_stdlib()
    pairs = file_pairs(other)
    print(f"pairs: {sys.version.split()[0]} against {other}, {len(pairs)} files")
    for fmt, found in shares(pairs).items():
        print(f"{fmt:9} {len(found['right'])}/{len(pairs)} = "
              f"{len(found['right']) / max(1, len(pairs)):.0%}"
              + "".join(f"  {kind}: {', '.join(names)}" for kind, names in found.items()
                        if kind != "right" and names))


if __name__ == "__main__":
    main(sys.argv[1:])

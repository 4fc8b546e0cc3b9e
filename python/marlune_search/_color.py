"""Colour for diffs printed to a terminal.

Colour is on only where a person reads the output: ``auto`` colours when the stream is a
terminal and neither ``NO_COLOR`` (any non-empty value) nor ``TERM=dumb`` says otherwise. An
explicit ``always`` or ``never`` on the command line wins over the environment, since it is the
more specific request.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import IO, Final

__all__ = ["MODES", "color_diff", "wants_color"]

MODES: Final = ("auto", "always", "never")

_RESET: Final = "\x1b[0m"
_STYLES: Final = (
    ("+++", "\x1b[1m"),
    ("---", "\x1b[1m"),
    ("@@", "\x1b[36m"),
    ("+", "\x1b[32m"),
    ("-", "\x1b[31m"),
)


def wants_color(mode: str, stream: IO[str], environ: Mapping[str, str]) -> bool:
    if mode == "always":
        return True
    if mode == "never":
        return False
    if environ.get("NO_COLOR") or environ.get("TERM") == "dumb":
        return False
    isatty = getattr(stream, "isatty", None)
    try:
        return bool(isatty and isatty())
    except ValueError:  # a closed stream
        return False


def color_diff(diff: str) -> str:
    """``diff`` with its header, hunk, added and removed lines coloured."""
    out = []
    for line in diff.splitlines(keepends=True):
        body = line.rstrip("\n")
        end = line[len(body):]
        for prefix, style in _STYLES:
            if body.startswith(prefix):
                out.append(f"{style}{body}{_RESET}{end}")
                break
        else:
            out.append(line)
    return "".join(out)

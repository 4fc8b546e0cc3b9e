"""Reading search/replace blocks as file changes.

A block names its file on the line before it (a fence line of three backticks may stand in
between), then holds the text to find and its replacement between three markers::

    app.py
    <<<<<<< SEARCH
    return 1
    =======
    return 2
    >>>>>>> REPLACE

Models miscount the marker characters, so 5 to 9 of them are accepted. A block whose search part
is empty creates its file. The blocks of one file apply in their order in the text, each to the
file as the blocks before it left it; the blocks of different files are independent, so they
are grouped per file.
"""

from __future__ import annotations

import difflib
import posixpath
import re
from typing import Final

from ._patch import FileChange, ParsedPatch, PatchEdit, PatchFormatError

__all__ = ["is_search_marker", "read_blocks"]

_SEARCH: Final = re.compile(r"^<{5,9} ?SEARCH\s*$")
_DIVIDER: Final = re.compile(r"^={5,9}\s*$")
_REPLACE: Final = re.compile(r"^>{5,9} ?REPLACE\s*$")
_FENCE: Final = "```"


def is_search_marker(line: str) -> bool:
    """Whether ``line`` opens a search/replace block."""
    return _SEARCH.match(line) is not None


def _tagged(old: list[str], new: list[str]) -> tuple[tuple[str, str], ...]:
    """The two sides as one list of kept, removed and added lines.

    A block states its sides whole; lines that both sides share are kept lines, so that the
    edit can be read like a hunk and keep the file's own copy of them.
    """
    lines: list[tuple[str, str]] = []
    for op, a1, a2, b1, b2 in difflib.SequenceMatcher(None, old, new, autojunk=False).get_opcodes():
        if op == "equal":
            lines += [(" ", text) for text in old[a1:a2]]
        else:
            lines += [("-", text) for text in old[a1:a2]]
            lines += [("+", text) for text in new[b1:b2]]
    return tuple(lines)


def _clean_path(line: str) -> str:
    # Models decorate the name: `app.py`, **app.py**.
    return line.strip().strip("`*").strip()


def _path_before(lines: list[str], start: int, floor: int) -> str | None:
    """The file name on the lines before the marker at ``start``, above line index ``floor``
    (the end of the block before); None when there is none."""
    i = start - 1
    while i >= floor and not lines[i].strip():
        i -= 1
    if i >= floor and lines[i].lstrip().startswith(_FENCE):
        i -= 1
        while i >= floor and not lines[i].strip():
            i -= 1
    if i < floor or lines[i].lstrip().startswith(_FENCE):
        return None
    name = _clean_path(lines[i])
    return name or None


def _find(lines: list[str], start: int, marker: re.Pattern[str]) -> int | None:
    for i in range(start, len(lines)):
        if marker.match(lines[i]):
            return i
        if _SEARCH.match(lines[i]):
            return None  # the next block begins: this one is not closed
    return None


def read_blocks(text: str) -> ParsedPatch:
    """The search/replace blocks of ``text`` as file changes. Raises :class:`PatchFormatError`."""
    lines = [line.rstrip("\r") for line in text.split("\n")]
    raw = text.split("\n")
    changes: dict[str, tuple[str, int, list[PatchEdit]]] = {}
    path: str | None = None
    floor = 0
    i = 0
    while i < len(lines):
        if not _SEARCH.match(lines[i]):
            i += 1
            continue
        start = i
        path = _path_before(lines, start, floor) or path
        if path is None:
            raise PatchFormatError(start + 1, "no file name before the search/replace block")
        divider = _find(lines, start + 1, _DIVIDER)
        end = _find(lines, divider + 1, _REPLACE) if divider is not None else None
        if divider is None or end is None:
            missing = "=======" if divider is None else ">>>>>>> REPLACE"
            raise PatchFormatError(start + 1, f"the search/replace block has no {missing!r} line")
        # The content keeps its "\r" characters: the file decides what they mean.
        old, new = raw[start + 1:divider], raw[divider + 1:end]
        if not any(line.strip() for line in old):
            old = []  # a search part of blank lines is an empty one
        key = posixpath.normpath(path.replace("\\", "/"))
        _, _, edits = changes.setdefault(key, (path, start + 1, []))
        edits.append(PatchEdit(start + 1, _tagged(old, new)))
        floor = i = end + 1
    if not changes:
        raise PatchFormatError(1, "no search/replace block found")
    return ParsedPatch("blocks", tuple(_change(*entry) for entry in changes.values()))


def _change(path: str, line: int, edits: list[PatchEdit]) -> FileChange:
    first = edits[0]
    if first.old_lines:
        return FileChange("modify", path, line, tuple(edits))
    # An empty search part creates the file with the replacement; the blocks after it edit
    # the new file.
    body = first.new_lines
    content = "\n".join(body) + "\n" if body else ""
    return FileChange("create", path, line, tuple(edits[1:]), content=content)

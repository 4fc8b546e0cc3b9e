"""Reading a patch envelope as file changes.

The envelope lists its files between ``*** Begin Patch`` and ``*** End Patch``::

    *** Begin Patch
    *** Add File: notes.txt
    +first line
    *** Update File: app.py
    *** Move to: main.py
    @@ def area(self):
    -    return self.size * self.size
    +    return self.size ** 2
    *** Delete File: old.py
    *** End Patch

An update is made of chunks, each introduced by ``@@`` and the optional text of a line that
precedes it in the file (a ``def`` or ``class`` line), which only chooses among several places
where the chunk's old side occurs. A chunk needs no line numbers: its old side (kept and removed
lines) is placed by the replacement cascade like any other edit.
"""

from __future__ import annotations

import dataclasses
import re
from typing import Final

from ._patch import FileChange, ParsedPatch, PatchEdit, PatchFormatError

__all__ = ["BEGIN", "read_envelope"]

BEGIN: Final = "*** Begin Patch"
_END: Final = "*** End Patch"
_ADD: Final = "*** Add File:"
_DELETE: Final = "*** Delete File:"
_UPDATE: Final = "*** Update File:"
_MOVE: Final = "*** Move to:"
_END_OF_FILE: Final = "*** End of File"
# Some models give a chunk the header of a unified hunk; its old start is a usable hint.
_NUMBERS: Final = re.compile(r"^-(\d+)(?:,\d+)? \+\d+(?:,\d+)? @@")


class _Reader:
    """Walks the envelope's lines; ``i`` is the index of the line at hand."""

    def __init__(self, lines: list[str], start: int) -> None:
        self.lines = lines
        self.i = start

    def line(self) -> str:
        return self.lines[self.i].rstrip("\r")

    def fail(self, message: str) -> PatchFormatError:
        return PatchFormatError(self.i + 1, message)

    def path(self, header: str) -> str:
        name = self.line()[len(header):].strip()
        if not name:
            raise self.fail(f"{header!r} without a file name")
        return name

    def at_header(self) -> bool:
        return self.line().startswith("*** ")


def read_envelope(text: str) -> ParsedPatch:
    """The file changes of the envelope in ``text``. Raises :class:`PatchFormatError`.

    Text before ``*** Begin Patch`` and after ``*** End Patch`` is ignored (a model's prose or
    code fence around the envelope).
    """
    lines = text.split("\n")
    stripped = [line.rstrip("\r").rstrip() for line in lines]
    if BEGIN not in stripped:
        raise PatchFormatError(1, f"no {BEGIN!r} line")
    begin = stripped.index(BEGIN)
    reader = _Reader(lines, begin + 1)
    changes: list[FileChange] = []
    while True:
        if reader.i >= len(lines):
            raise PatchFormatError(begin + 1, f"the envelope has no {_END!r} line")
        line = reader.line().rstrip()
        if line == _END:
            break
        if not line:
            reader.i += 1
        elif line.startswith(_ADD):
            changes.append(_read_add(reader))
        elif line.startswith(_DELETE):
            changes.append(FileChange("delete", reader.path(_DELETE), reader.i + 1))
            reader.i += 1
        elif line.startswith(_UPDATE):
            changes.append(_read_update(reader))
        else:
            raise reader.fail(f"expected '*** Add File:', '*** Delete File:', "
                              f"'*** Update File:' or {_END!r}, got {line[:60]!r}")
    if not changes:
        raise PatchFormatError(begin + 1, "the envelope names no file")
    return ParsedPatch("envelope", tuple(changes))


def _read_add(reader: _Reader) -> FileChange:
    path, line = reader.path(_ADD), reader.i + 1
    reader.i += 1
    body: list[str] = []
    while reader.i < len(reader.lines) and not reader.at_header():
        text = reader.lines[reader.i]
        if not text.startswith("+"):
            raise reader.fail("a line of an added file must start with '+'")
        body.append(text[1:])
        reader.i += 1
    content = "\n".join(body) + "\n" if body else ""
    return FileChange("create", path, line, content=content)


def _read_update(reader: _Reader) -> FileChange:
    path, line = reader.path(_UPDATE), reader.i + 1
    reader.i += 1
    old_path = None
    if reader.i < len(reader.lines) and reader.line().startswith(_MOVE):
        old_path, path = path, reader.path(_MOVE)
        reader.i += 1
    edits: list[PatchEdit] = []
    while reader.i < len(reader.lines) and not reader.at_header():
        edits.append(_read_chunk(reader))
    if reader.i < len(reader.lines) and reader.line().rstrip() == _END_OF_FILE:
        if not edits:
            raise reader.fail(f"{_END_OF_FILE!r} without a chunk before it")
        edits[-1] = dataclasses.replace(edits[-1], at_end=True)
        reader.i += 1
    if not edits and old_path is None:
        raise PatchFormatError(line, f"{path}: the update has no chunk")
    if old_path is not None and old_path == path:
        old_path = None
    return FileChange("move" if old_path is not None else "modify", path, line, tuple(edits),
                      old_path=old_path)


def _read_chunk(reader: _Reader) -> PatchEdit:
    start = reader.i
    anchors: list[str] = []
    hint = None
    # "@@" lines in a row narrow the place down: a class, then a method in it.
    while reader.i < len(reader.lines) and reader.line().startswith("@@"):
        rest = reader.line()[2:].strip()
        numbers = _NUMBERS.match(rest)
        if numbers:
            hint = int(numbers.group(1))
            rest = rest[numbers.end():].strip()
        if rest:
            anchors.append(rest)
        reader.i += 1
    tagged: list[tuple[str, str]] = []
    while reader.i < len(reader.lines) and not reader.at_header():
        text = reader.lines[reader.i]
        if text.startswith("@@"):
            break
        if text[:1] in (" ", "-", "+"):
            tagged.append((text[0], text[1:]))
        elif not text.rstrip("\r"):
            # An empty line in a chunk is a kept empty line whose leading blank was lost.
            tagged.append((" ", text))
        else:
            raise reader.fail("a chunk line must start with ' ', '-' or '+'")
        reader.i += 1
    # Empty lines at the end are most often the blank line before the next header.
    while tagged and tagged[-1][0] == " " and not tagged[-1][1].strip():
        tagged.pop()
    if not tagged:
        raise PatchFormatError(start + 1, "an empty chunk")
    return PatchEdit(start + 1, tuple(tagged), line_hint=hint, anchors=tuple(anchors))

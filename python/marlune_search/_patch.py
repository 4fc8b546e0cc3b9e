"""Reading unified diffs as sequences of search-and-replace edits.

Patches written by hand or by a language model are often slightly wrong: the line numbers in
the hunk headers are off, the line counts do not add up, an empty context line has lost its
leading blank, or the whole hunk was re-indented. Strict patch tools refuse such a patch. Here
each hunk becomes one edit whose old side (context and removed lines) is placed by the
replacement cascade, with the header's line number only as a hint for choosing among several
occurrences. So the parser trusts the structure of a hunk more than its counts, and the edit
built from it keeps the file's own context lines and indentation where the patch's copy of them
is damaged.

The types that every patch format is read into (:class:`ParsedPatch`, :class:`FileChange`,
:class:`PatchEdit`) and its error, :class:`PatchFormatError`, are defined here as well.
"""

from __future__ import annotations

import dataclasses
import difflib
import re
from collections.abc import Sequence
from typing import Final, Literal

__all__ = [
    "FileChange",
    "FilePatch",
    "Hunk",
    "ParsedPatch",
    "PatchEdit",
    "PatchFormatError",
    "hunk_edit",
    "parse_patch",
    "read_unified",
    "same_but_whitespace",
    "unified_diff",
]

_HUNK_HEADER: Final = re.compile(r"^@@+ -(\d+)(?:,(\d+))? \+(\d+)(?:,(\d+))? @@+")
DEV_NULL: Final = "/dev/null"


class PatchFormatError(ValueError):
    """A patch text that cannot be read; ``line`` is the 1-based line of the patch at fault.

    ``message`` is the reason alone; ``str()`` gives "patch line {line}: {message}".
    """

    line: int
    message: str

    def __init__(self, line: int, message: str) -> None:
        super().__init__(f"patch line {line}: {message}")
        self.line = line
        self.message = message


class _Sides:
    """The two sides of an edit whose ``lines`` are (tag, text) pairs."""

    lines: Sequence[tuple[str, str]]

    @property
    def old_lines(self) -> list[str]:
        """The old side's lines: the kept and removed ones."""
        return [text for tag, text in self.lines if tag != "+"]

    @property
    def new_lines(self) -> list[str]:
        """The new side's lines: the kept and added ones."""
        return [text for tag, text in self.lines if tag != "-"]


@dataclasses.dataclass(frozen=True)
class PatchEdit(_Sides):
    """One edit of a file as a patch states it: a hunk, a search/replace block or a chunk.

    ``lines`` are the edit's lines as (tag, text), tag " " (kept), "-" (removed) or "+"
    (added); the old side is the kept and removed lines, the new side the kept and added ones.
    The other fields say where the edit goes when its old side occurs more than once, or
    where an edit without an old side inserts its lines.
    """

    patch_line: int
    lines: tuple[tuple[str, str], ...]
    line_hint: int | None = None
    """The line of the file the patch names for the old side (a hunk header's number)."""
    anchors: tuple[str, ...] = ()
    """Lines of text that precede the edit in the file, each after the one before."""
    at_end: bool = False
    """The old side ends the file."""
    old_no_newline: bool = False
    new_no_newline: bool = False


Action = Literal["modify", "create", "delete", "move"]


@dataclasses.dataclass(frozen=True)
class FileChange:
    """What a patch does to one file.

    ``path`` is the file as named by the patch (for a move, the new name; ``old_path`` is the
    old one). A created file gets ``content``, then ``edits`` are applied to it; a modified or
    moved file gets ``edits``. A deleted file is checked against ``expected`` when the patch
    states the content it removes. ``fallback_path`` is the other name of a plain diff whose
    two names differ ("--- f.orig", "+++ f"): the file edited when only that one exists.
    """

    action: Action
    path: str
    patch_line: int
    edits: tuple[PatchEdit, ...] = ()
    old_path: str | None = None
    content: str | None = None
    expected: str | None = None
    fallback_path: str | None = None
    mode_change: bool = False


@dataclasses.dataclass(frozen=True)
class ParsedPatch:
    """A patch text read into its file changes, in the order the patch names the files."""

    format: Literal["unified", "blocks", "envelope"]
    files: tuple[FileChange, ...]


@dataclasses.dataclass
class Hunk(_Sides):
    """One hunk: its header numbers and its lines as (tag, text), tag one of " ", "-", "+"."""

    old_start: int
    old_count: int
    new_start: int
    new_count: int
    lines: list[tuple[str, str]]
    header_line: int
    old_no_newline: bool = False
    new_no_newline: bool = False


@dataclasses.dataclass
class FilePatch:
    """The changes to one file. ``old_path``/``new_path`` are None for /dev/null."""

    old_path: str | None
    new_path: str | None
    hunks: list[Hunk]
    header_line: int
    git: bool = False
    rename: bool = False
    copy: bool = False
    binary: bool = False
    mode_change: bool = False

    @property
    def is_new(self) -> bool:
        return self.old_path is None

    @property
    def is_deleted(self) -> bool:
        return self.new_path is None

    @property
    def target(self) -> str:
        path = self.new_path if self.new_path is not None else self.old_path
        assert path is not None
        return path


_ESCAPES: Final = {"n": "\n", "t": "\t", '"': '"', "\\": "\\", "a": "\a", "b": "\b",
                   "f": "\f", "r": "\r", "v": "\v"}


def _unquote(name: str) -> str:
    """A path as git writes it: in double quotes with C escapes (octal for non-ASCII bytes)
    when it holds unusual characters, otherwise as it is."""
    if not (len(name) >= 2 and name.startswith('"') and name.endswith('"')):
        return name
    body, out, i = name[1:-1], bytearray(), 0
    while i < len(body):
        c = body[i]
        if c == "\\" and i + 1 < len(body):
            nxt = body[i + 1]
            if nxt in "01234567" and re.match(r"[0-7]{3}", body[i + 1:i + 4]):
                out.append(int(body[i + 1:i + 4], 8))
                i += 4
                continue
            out += _ESCAPES.get(nxt, nxt).encode()
            i += 2
            continue
        out += c.encode()
        i += 1
    return out.decode("utf-8", errors="surrogateescape")


def _header_path(rest: str) -> str | None:
    # "--- a/path<TAB>timestamp": a tab ends the name; without one the whole rest is the name,
    # so names with blanks survive.
    name = rest.split("\t", 1)[0].rstrip("\r")
    name = _unquote(name.strip()) if name.strip().startswith('"') else name.rstrip(" ")
    return None if name == DEV_NULL else name


def _strip_prefixes(old: str | None, new: str | None) -> tuple[str | None, str | None]:
    """Drop the a/ and b/ prefixes of git-style names (what ``patch -p1`` does)."""
    def has(name: str | None, prefix: str) -> bool:
        return name is None or name.startswith(prefix)

    if (old is not None or new is not None) and has(old, "a/") and has(new, "b/"):
        old = old[2:] if old is not None else None
        new = new[2:] if new is not None else None
    return old, new


def _is_file_header(lines: list[str], i: int) -> bool:
    return (lines[i].startswith("--- ") and i + 1 < len(lines)
            and lines[i + 1].startswith("+++ "))


def _ends_hunk(lines: list[str], i: int) -> bool:
    line = lines[i]
    return line.startswith("@@") or line.startswith("diff ") or _is_file_header(lines, i)


def _read_hunk(lines: list[str], i: int, header: re.Match[str]) -> tuple[Hunk, int]:
    old_start = int(header.group(1))
    old_count = int(header.group(2)) if header.group(2) is not None else 1
    new_start = int(header.group(3))
    new_count = int(header.group(4)) if header.group(4) is not None else 1
    hunk = Hunk(old_start, old_count, new_start, new_count, [], header_line=i + 1)
    old_seen = new_seen = 0
    i += 1
    while i < len(lines) and not _ends_hunk(lines, i):
        line = lines[i]
        counted = old_seen >= old_count and new_seen >= new_count
        if line.startswith("\\"):
            # "\ No newline at end of file" belongs to the line just before it.
            if hunk.lines:
                tag = hunk.lines[-1][0]
                if tag != "+":
                    hunk.old_no_newline = True
                if tag != "-":
                    hunk.new_no_newline = True
            i += 1
            continue
        if counted:
            # Past the counts only lines that are plainly hunk lines continue the hunk (counts
            # that are too small are common); a mail signature "-- " or free text ends it.
            if line == "-- " or not line[:1] in (" ", "+", "-"):
                break
        tag = line[:1]
        if tag in (" ", "+", "-"):
            text = line[1:]
        else:
            # Within the counts a line without a marker is a context line whose leading blank
            # was lost (an empty line is the usual case).
            tag, text = " ", line
        hunk.lines.append((tag, text))
        if tag != "+":
            old_seen += 1
        if tag != "-":
            new_seen += 1
        i += 1
    # Empty lines beyond the counts at the end of a hunk are the blank lines between hunks or
    # files, not context.
    # An empty context line at the very end is most often the blank line that separates hunks
    # or files (taken in because the counts were too large). Dropping trailing context from
    # both sides changes nothing in what the hunk does.
    while (hunk.lines and hunk.lines[-1] == (" ", "") and not hunk.old_no_newline
           and not hunk.new_no_newline):
        hunk.lines.pop()
    return hunk, i


def parse_patch(text: str) -> list[FilePatch]:
    """The file patches of a unified diff, in order. Raises :class:`PatchFormatError`."""
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    files: list[FilePatch] = []
    current: FilePatch | None = None
    i = 0
    while i < len(lines):
        line = lines[i].rstrip("\r")
        if line.startswith("diff --git "):
            current = FilePatch(None, None, [], header_line=i + 1, git=True)
            # The names come from the ---/+++ lines; for a change without hunks (a new empty
            # file, a pure rename or mode change) only this line has them.
            m = re.match(r"^diff --git (\"(?:[^\"\\]|\\.)*\"|a/\S+) (\"(?:[^\"\\]|\\.)*\"|b/\S+)$",
                         line)
            if m:
                current.old_path, current.new_path = _strip_prefixes(
                    _unquote(m.group(1)), _unquote(m.group(2)))
            else:
                # Unquoted names with blanks: "a/<name> b/<name>" with the same name twice.
                rest = line[len("diff --git "):]
                half = (len(rest) - 1) // 2
                if rest[half:half + 1] == " " and rest[:2] == "a/" and rest[half + 1:half + 3] == "b/" \
                        and rest[2:half] == rest[half + 3:]:
                    current.old_path = current.new_path = rest[2:half]
            files.append(current)
            i += 1
            continue
        if current is not None and current.git and not current.hunks:
            if line.startswith(("rename from ", "rename to ")):
                current.rename = True
            elif line.startswith(("copy from ", "copy to ")):
                current.copy = True
            elif line.startswith("new file mode"):
                current.old_path = None
            elif line.startswith("deleted file mode"):
                current.new_path = None
            elif line.startswith(("old mode", "new mode")):
                current.mode_change = True
            elif line.startswith(("Binary files ", "GIT binary patch")):
                current.binary = True
        if _is_file_header(lines, i):
            old = _header_path(line[4:])
            new = _header_path(lines[i + 1].rstrip("\r")[4:])
            if current is None or not current.git or current.hunks:
                current = FilePatch(None, None, [], header_line=i + 1)
                files.append(current)
            current.old_path, current.new_path = _strip_prefixes(old, new)
            i += 2
            continue
        m = _HUNK_HEADER.match(line)
        if m:
            if current is None:
                raise PatchFormatError(i + 1, "hunk before any file header ('--- ' and '+++ ' lines)")
            hunk, i = _read_hunk(lines, i, m)
            current.hunks.append(hunk)
            continue
        if line.startswith("@@"):
            raise PatchFormatError(i + 1, f"malformed hunk header {line!r}")
        i += 1  # text between files: commit messages, "index" lines and the like
    return files


def hunk_edit(hunk: Hunk | PatchEdit, crlf: bool) -> tuple[str, str]:
    """The old and new side of a hunk as texts, joined as the file holds them.

    Neither side ends with a line break: the break after the last line stays in the file, so
    the edit also works where the hunk's last line is the file's last. A "no newline at end of
    file" marker on one side only moves that break into the edit. ``crlf`` drops the "\\r"
    that a patch of a file with "\\r\\n" endings leaves on its lines, since such a file is
    edited in "\\n" form.
    """
    def side(lines: list[str]) -> str:
        if crlf:
            lines = [t[:-1] if t.endswith("\r") else t for t in lines]
        return "\n".join(lines)

    old, new = side(hunk.old_lines), side(hunk.new_lines)
    if hunk.old_no_newline and not hunk.new_no_newline and hunk.new_lines:
        new += "\n"
    elif hunk.new_no_newline and not hunk.old_no_newline and hunk.old_lines:
        old += "\n"
    return old, new


def _squash(line: str) -> str:
    return "".join(line.split())


def same_but_whitespace(expected: str, found: str) -> bool:
    """Whether ``found`` has the same lines as ``expected`` when whitespace is ignored."""
    a, b = expected.split("\n"), found.split("\n")
    return len(a) == len(b) and all(_squash(x) == _squash(y) for x, y in zip(a, b))


def unified_diff(name: str, old: str, new: str, *, created: bool = False,
                 deleted: bool = False, old_name: str | None = None) -> str:
    """A unified diff from ``old`` to ``new`` with git-style a/ and b/ names.

    ``old_name`` is the file's former name when the change moves it; the diff then starts
    with git's rename lines, and has them even when the text stays the same.
    """
    moved = old_name is not None and old_name != name
    if old == new and not (created or deleted or moved):
        return ""
    out = []
    source = old_name if moved and old_name is not None else name
    if moved:
        out.append(f"diff --git a/{source} b/{name}\nrename from {source}\nrename to {name}\n")
    old_label = DEV_NULL if created else (source if source.startswith("/") else f"a/{source}")
    new_label = DEV_NULL if deleted else (name if name.startswith("/") else f"b/{name}")
    hunks = []
    for line in difflib.unified_diff(old.splitlines(keepends=True),
                                     new.splitlines(keepends=True), old_label, new_label):
        if line.endswith("\n"):
            hunks.append(line)
        else:
            hunks.append(line + "\n\\ No newline at end of file\n")
    if not hunks and not moved:  # an empty file created or deleted has no hunk
        hunks = [f"--- {old_label}\n", f"+++ {new_label}\n"]
    return "".join(out + hunks)


def _unified_change(patch: FilePatch) -> FileChange:
    if patch.old_path is None and patch.new_path is None:
        raise PatchFormatError(patch.header_line, "no file name")
    if patch.binary:
        raise PatchFormatError(patch.header_line,
                               f"{patch.target}: binary patches are not supported")
    renamed = (patch.old_path is not None and patch.new_path is not None
               and patch.old_path != patch.new_path)
    if patch.rename or patch.copy or (renamed and patch.git):
        raise PatchFormatError(
            patch.header_line,
            f"{patch.old_path} -> {patch.new_path}: renames and copies are not supported; "
            "move the file yourself and apply the changes to its new name")
    if patch.is_new:
        lines = [line for hunk in patch.hunks for line in hunk.new_lines]
        no_newline = bool(patch.hunks) and patch.hunks[-1].new_no_newline
        content = "\n".join(lines) + ("" if no_newline or not lines else "\n")
        return FileChange("create", patch.target, patch.header_line, content=content,
                          mode_change=patch.mode_change)
    if patch.is_deleted:
        expected = "\n".join(line for hunk in patch.hunks for line in hunk.old_lines)
        return FileChange("delete", patch.target, patch.header_line, expected=expected,
                          mode_change=patch.mode_change)
    edits = tuple(PatchEdit(hunk.header_line, tuple(hunk.lines), line_hint=hunk.old_start,
                            old_no_newline=hunk.old_no_newline,
                            new_no_newline=hunk.new_no_newline) for hunk in patch.hunks)
    # A plain diff may name a backup as the old file ("--- f.orig", "+++ f").
    return FileChange("modify", patch.target, patch.header_line, edits,
                      fallback_path=patch.old_path if renamed else None,
                      mode_change=patch.mode_change)


def read_unified(text: str) -> ParsedPatch:
    """A unified diff read as file changes. Raises :class:`PatchFormatError`."""
    files = parse_patch(text)
    if not files:
        raise PatchFormatError(1, "no file changes found in the patch")
    return ParsedPatch("unified", tuple(_unified_change(patch) for patch in files))

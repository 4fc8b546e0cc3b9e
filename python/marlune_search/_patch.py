"""Reading unified diffs as sequences of search-and-replace edits.

Patches written by hand or by a language model are often slightly wrong: the line numbers in
the hunk headers are off, the line counts do not add up, an empty context line has lost its
leading blank, or the whole hunk was re-indented. Strict patch tools refuse such a patch. Here
each hunk becomes one edit whose old side (context and removed lines) is placed by the
replacement cascade, with the header's line number only as a hint for choosing among several
occurrences. So the parser trusts the structure of a hunk more than its counts, and the edit
built from it keeps the file's own context lines and indentation where the patch's copy of them
is damaged.
"""

from __future__ import annotations

import dataclasses
import difflib
import re
from typing import Final

__all__ = [
    "FilePatch",
    "Hunk",
    "PatchError",
    "hunk_edit",
    "parse_patch",
    "refine_new_side",
    "same_but_whitespace",
    "unified_diff",
]

_HUNK_HEADER: Final = re.compile(r"^@@+ -(\d+)(?:,(\d+))? \+(\d+)(?:,(\d+))? @@+")
DEV_NULL: Final = "/dev/null"


class PatchError(Exception):
    """A patch that cannot be read; ``line`` is the 1-based line of the patch at fault."""

    def __init__(self, line: int, message: str) -> None:
        super().__init__(f"patch line {line}: {message}")
        self.line = line


@dataclasses.dataclass
class Hunk:
    """One hunk: its header numbers and its lines as (tag, text), tag one of " ", "-", "+"."""

    old_start: int
    old_count: int
    new_start: int
    new_count: int
    lines: list[tuple[str, str]]
    header_line: int
    old_no_newline: bool = False
    new_no_newline: bool = False

    @property
    def old_lines(self) -> list[str]:
        return [text for tag, text in self.lines if tag != "+"]

    @property
    def new_lines(self) -> list[str]:
        return [text for tag, text in self.lines if tag != "-"]


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
    """The file patches of a unified diff, in order. Raises :class:`PatchError`."""
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
                raise PatchError(i + 1, "hunk before any file header ('--- ' and '+++ ' lines)")
            hunk, i = _read_hunk(lines, i, m)
            current.hunks.append(hunk)
            continue
        if line.startswith("@@"):
            raise PatchError(i + 1, f"malformed hunk header {line!r}")
        i += 1  # text between files: commit messages, "index" lines and the like
    return files


def hunk_edit(hunk: Hunk, crlf: bool) -> tuple[str, str]:
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


def _indent(line: str) -> str:
    return line[:len(line) - len(line.lstrip())]


def _indent_shift(old: list[str], found: list[str]) -> tuple[str, str] | None:
    """(removed, added): the indentation the file has in place of the patch's, when it is the
    same for every non-blank line; None when the lines differ in no single consistent way."""
    shift: tuple[str, str] | None = None
    for o, f in zip(old, found):
        if not o.strip() or not f.strip():
            continue
        oi, fi = _indent(o), _indent(f)
        if fi.endswith(oi):
            this = ("", fi[:len(fi) - len(oi)])
        elif oi.endswith(fi):
            this = (oi[:len(oi) - len(fi)], "")
        else:
            return None
        if shift is None:
            shift = this
        elif shift != this:
            return None
    return shift or ("", "")


def refine_new_side(hunk: Hunk, old: str, new: str, found: str, crlf: bool) -> tuple[str, bool]:
    """The new side to put in place of ``found``, the file's text that the cascade placed for
    the hunk's old side, and whether the added lines' indentation could be matched.

    The context lines are taken from the file, so that damage in the patch's copy of them
    (lost trailing blanks, tabs turned into spaces) is not written into the file. Added lines
    get the indentation shift between the patch and the file when it is one and the same for
    every line; otherwise they are kept as the patch has them.
    """
    found_lines = found.split("\n")
    old_lines = old.split("\n")
    if found == old or len(found_lines) != len(old_lines):
        return new, True
    shift = _indent_shift(old_lines, found_lines)
    removed, added = shift if shift is not None else ("", "")
    out: list[str] = []
    index = 0  # position in the old side
    for tag, text in hunk.lines:
        if crlf and text.endswith("\r"):
            text = text[:-1]
        if tag == " ":
            out.append(found_lines[index])
            index += 1
        elif tag == "-":
            index += 1
        elif not text.strip():
            out.append(text)
        elif text.startswith(removed):
            out.append(added + text[len(removed):])
        else:
            out.append(text)
            shift = None
    refined = "\n".join(out)
    if new.endswith("\n") and not refined.endswith("\n"):
        refined += "\n"
    return refined, shift is not None


def unified_diff(name: str, old: str, new: str, *, created: bool = False,
                 deleted: bool = False) -> str:
    """A unified diff from ``old`` to ``new`` with git-style a/ and b/ names."""
    if old == new and not (created or deleted):
        return ""
    out = []
    absolute = name.startswith("/")
    old_name = DEV_NULL if created else (name if absolute else f"a/{name}")
    new_name = DEV_NULL if deleted else (name if absolute else f"b/{name}")
    for line in difflib.unified_diff(old.splitlines(keepends=True),
                                     new.splitlines(keepends=True), old_name, new_name):
        if line.endswith("\n"):
            out.append(line)
        else:
            out.append(line + "\n\\ No newline at end of file\n")
    if not out:  # an empty file created or deleted has no hunk
        out = [f"--- {old_name}\n", f"+++ {new_name}\n"]
    return "".join(out)

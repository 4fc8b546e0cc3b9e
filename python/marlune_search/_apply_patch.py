"""Applying a patch in any of the formats models write: unified diffs, search/replace blocks and
the ``*** Begin Patch`` envelope.

Each format is read into the same :class:`ParsedPatch`: per file, what happens to it (modify,
create, delete, move) and its edits as old and new sides. Every edit is then placed by the
replacement cascade on the file's text as the edits before it left it, so line numbers that are
wrong, context copied with other whitespace and a hunk re-indented as a whole do not stop a
patch. What the cascade tolerates beyond that (its anchors accept a block whose inner lines
differ) is refused here: a patch's old side is a copy of the file, and an edit placed on lines
the patch never saw would be a wrong edit reported as success.

The whole patch is worked out before anything is written. Per file it is all or nothing; a file
whose edits fail is reported and left alone while the others are written. A file that cannot
be read or decoded stops the whole patch, and then nothing is written at all.
"""

from __future__ import annotations

import dataclasses
import os
import pathlib
import stat
import tempfile
from collections.abc import Callable
from typing import Final, Literal

from _marlune_search import FuzzyMatchInfo, ReplaceResult, TryReplaceResult, try_replace_content

from ._blocks import is_search_marker, read_blocks
from ._envelope import BEGIN, read_envelope
from ._file_edit import (
    DecodeFailed,
    FileChanged,
    FileEditError,
    _encode,
    _read,
    _same_file,
    _Snapshot,
    _write,
)
from ._patch import (
    Action,
    FileChange,
    ParsedPatch,
    PatchEdit,
    PatchFormatError,
    hunk_edit,
    read_unified,
    same_but_whitespace,
    unified_diff,
)
from ._paths import PathRefused, confine

__all__ = [
    "FileChange",
    "FilePatchResult",
    "ParsedPatch",
    "PatchEdit",
    "PatchFailure",
    "PatchFormat",
    "PatchFormatError",
    "PatchResult",
    "PathRefused",
    "Placement",
    "apply_patch",
    "parse_patch",
]

PatchFormat = Literal["auto", "unified", "blocks", "envelope"]

_READERS: Final[dict[str, Callable[[str], ParsedPatch]]] = {
    "unified": read_unified, "blocks": read_blocks, "envelope": read_envelope}
# What each format calls one of its edits, for messages.
EDIT_WORD: Final = {"unified": "hunk", "blocks": "block", "envelope": "chunk"}
# Failures that stop the whole patch: the file could not be taken in at all.
FATAL_KINDS: Final = frozenset({"io", "decode", "missing"})
# The largest line hint the cascade takes; a patch may name any number.
_LINE_MAX: Final = 4294967295


@dataclasses.dataclass(frozen=True)
class Placement:
    """Where one edit (hunk, block or chunk) of a file was placed.

    ``start_line`` … ``end_line`` (1-based) are the lines of the file's text before the patch
    that the edit replaced; an edit placed on lines an earlier edit of the same file wrote is
    given the first line of that earlier edit. An edit that only inserts lines names the line
    it inserts before.
    """

    edit: int
    patch_line: int
    strategy: str
    exact: bool
    start_line: int
    end_line: int
    matched_text: str = ""
    """The file's text that the edit replaced, as it stood when the edit was placed ("" for
    an edit that only inserts lines)."""


@dataclasses.dataclass(frozen=True)
class PatchFailure:
    """Why a file of a patch was not changed.

    ``kind`` is one of the cascade's "not_found", "multiple_matches" and "no_change" (then
    ``message``, ``closest_match`` and ``locations`` are the cascade's own), or "differs" (the
    text found differs from the patch's beyond whitespace), "exists" (a file to create is
    there already), "missing", "changed" (the file changed on disk meanwhile), "decode" or
    "io". ``edit`` and ``patch_line`` name the failing edit, when one failed.
    """

    kind: str
    message: str
    edit: int | None = None
    patch_line: int | None = None
    closest_match: FuzzyMatchInfo | None = None
    locations: tuple[int, ...] = ()


@dataclasses.dataclass(frozen=True)
class FilePatchResult:
    """What the patch did, or would do, to one file.

    ``path`` is the name the patch gives, relative to the root (a move's new name; its old
    name is ``old_path``). ``diff`` is the unified diff of the change ("" for a file that
    failed or does not change); ``placements`` has one entry per edit that changes something.
    """

    path: str
    action: Action
    old_path: str | None
    ok: bool
    written: bool
    diff: str
    placements: tuple[Placement, ...]
    error: PatchFailure | None


@dataclasses.dataclass(frozen=True)
class PatchResult:
    """The outcome of :func:`apply_patch`: the format read and one result per file.

    ``written`` is true when writing was asked and every file that succeeded and changes was
    written (false when there was nothing to write, or a write failed). A result is true when
    every file succeeded.
    """

    format: str
    files: tuple[FilePatchResult, ...]
    written: bool

    @property
    def ok(self) -> bool:
        """Every file succeeded."""
        return all(f.ok for f in self.files)

    def __bool__(self) -> bool:
        return self.ok


# ---- reading ----------------------------------------------------------------------------

def _detect(text: str) -> str:
    """The format of ``text``: the first line that only one of them can start with decides,
    so that prose or a code fence before the patch does not matter."""
    lines = text.split("\n")
    for i, raw in enumerate(lines):
        line = raw.rstrip("\r")
        if line.rstrip() == BEGIN:
            return "envelope"
        if is_search_marker(line):
            return "blocks"
        if (line.startswith("diff --git ") or line.startswith("@@ -")
                or (line.startswith("--- ") and i + 1 < len(lines)
                    and lines[i + 1].startswith("+++ "))):
            return "unified"
    raise PatchFormatError(1, "the text is no patch: it holds no unified diff, no "
                              f"search/replace block and no {BEGIN!r} envelope")


def parse_patch(text: str, format: PatchFormat = "auto") -> ParsedPatch:
    """The file changes of a patch, without touching the disk.

    ``format`` is "unified", "blocks" or "envelope", or "auto" to tell from the text. Raises
    :class:`PatchFormatError` for a text that cannot be read, naming the line at fault.
    """
    if not isinstance(text, str):
        raise TypeError(f"the patch must be a str, not {type(text).__qualname__}")
    if format != "auto" and format not in _READERS:
        raise ValueError(f"unknown patch format {format!r}: expected 'auto', 'unified', "
                         "'blocks' or 'envelope'")
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as e:
        # A lone surrogate (bytes decoded with "surrogateescape") can be neither matched nor
        # written as UTF-8.
        raise PatchFormatError(text.count("\n", 0, e.start) + 1,
                               "not UTF-8 text: a lone surrogate character") from None
    return _READERS[_detect(text) if format == "auto" else format](text)


# ---- paths ------------------------------------------------------------------------------

def _names(change: FileChange) -> list[str]:
    names = [change.path]
    for other in (change.old_path, change.fallback_path):
        if other is not None:
            names.append(other)
    return names


def refused_paths(parsed: ParsedPatch, root: str | os.PathLike[str]) -> list[PathRefused]:
    """Every path of the patch that would leave ``root``, in order, each once."""
    refused: dict[str, PathRefused] = {}
    base = pathlib.Path(root)
    for change in parsed.files:
        for name in _names(change):
            if name in refused:
                continue
            try:
                confine(base, name)
            except PathRefused as e:
                refused[name] = e
    return list(refused.values())


@dataclasses.dataclass
class _Plan:
    """One file's part of the patch, worked out before anything is written."""

    change: FileChange
    word: str
    path: pathlib.Path
    source: pathlib.Path | None = None
    snapshot: _Snapshot | None = None
    new_text: str = ""
    placements: list[Placement] = dataclasses.field(default_factory=list)
    error: PatchFailure | None = None
    diff: str = ""
    written: bool = False

    def fail(self, kind: str, message: str, edit: int | None = None) -> None:
        line = self.change.edits[edit].patch_line if edit is not None else None
        self.error = PatchFailure(kind, message, edit, line)

    @property
    def changes(self) -> bool:
        return self.change.action != "modify" or bool(self.diff)


def _resolve(parsed: ParsedPatch, root: pathlib.Path, word: str) -> list[_Plan]:
    refused = refused_paths(parsed, root)
    if refused:
        raise refused[0]
    plans = []
    seen: set[pathlib.Path] = set()
    for change in parsed.files:
        path = confine(root, change.path)
        if change.fallback_path is not None and not path.exists():
            fallback = confine(root, change.fallback_path)
            if fallback.exists():
                change = dataclasses.replace(change, path=change.fallback_path)
                path = fallback
        source = confine(root, change.old_path) if change.old_path is not None else None
        if source == path:  # a move to another name of the same file
            change = dataclasses.replace(change, action="modify", old_path=None)
            source = None
        touched = [path] if source is None else [path, source]
        if seen.intersection(touched):
            raise PatchFormatError(change.patch_line,
                                   f"{change.path}: a file appears more than once in the patch")
        seen.update(touched)
        plans.append(_Plan(change, word, path, source))
    return plans


# ---- planning ---------------------------------------------------------------------------

def _without_path(error: Exception, path: pathlib.Path) -> str:
    message = str(error)
    prefix = f"{path}: "
    return message[len(prefix):] if message.startswith(prefix) else message


def _load(plan: _Plan, path: pathlib.Path) -> _Snapshot | None:
    """The file read for the plan, or None with the failure recorded."""
    try:
        return _read(path)
    except DecodeFailed as e:
        plan.fail("decode", _without_path(e, path))
    except FileEditError as e:
        if isinstance(e.__cause__, FileNotFoundError):
            verb = "deletes" if plan.change.action == "delete" else "changes"
            plan.fail("missing", f"the patch {verb} this file, but it does not exist")
        else:
            plan.fail("io", _without_path(e, path))
    return None


# The private-use characters a mark is taken from.
_MARKS: Final = "".join(chr(code) for code in range(0xE000, 0xF900))


def _added_line_mark(*texts: str) -> str:
    """A character that stands in none of ``texts``: a private-use one, or "" in the unlikely
    case that every one of them is taken."""
    for mark in _MARKS:
        if all(mark not in text for text in texts):
            return mark
    return ""


def _marked_new_side(edit: PatchEdit, new: str, mark: str) -> str:
    """The new side with ``mark`` after each of its non-blank added lines.

    A tolerant match writes the new side in the frame of the file's text it found: the lines
    the edit keeps come back as the file has them and the others get the file's indentation,
    unless the kept lines side with the file's frame, which is how the engine tells a new side
    already written in it. The engine finds the kept lines by their text; a patch says which
    they are. An added line that a change re-indents by as much as the patch is off would look
    kept, on the file's indentation, and turn the edit down: marked, it matches no line of the
    old side, so that only the patch's own context lines are taken for kept. The mark is gone
    from the text before it goes anywhere.
    """
    if not mark:
        return new
    tags = [tag for tag, _ in edit.lines if tag != "-"]
    pieces = new.split("\n")
    return "\n".join(piece + mark if k < len(tags) and tags[k] == "+" and piece.strip() else piece
                     for k, piece in enumerate(pieces))


@dataclasses.dataclass
class _Cursor:
    """How far one file's edits have come: its text and what the edits before changed."""

    text: str
    strip_cr: bool
    delta: int = 0  # lines the earlier edits added, as the patch counts them
    floor: int = 1  # the first line after the last edit, in the current text
    # (start line, lines replaced, lines written) of each edit, in the text of its time
    applied: list[tuple[int, int, int]] = dataclasses.field(default_factory=list)

    def original_line(self, line: int) -> int:
        for start, removed, added in reversed(self.applied):
            if line > start + added:
                line -= added - removed
            elif line > start:
                line = start
        return line

    def line_of(self, text: str, after: int) -> int | None:
        """The first line at or after ``after`` that holds ``text``, matched loosely."""
        lines = self.text.split("\n")
        want = text.strip()
        squashed = "".join(want.split())
        for test in (lambda s: s.strip() == want,
                     lambda s: "".join(s.split()) == squashed,
                     lambda s: want in s):
            for number in range(max(1, after), len(lines) + 1):
                if test(lines[number - 1]):
                    return number
        return None


def _anchor_line(cursor: _Cursor, edit: PatchEdit) -> int | None:
    """The line after the edit's anchors, each searched after the one before (first from
    the last edit on, then from the top); None when the edit has none or they are not found."""
    if not edit.anchors:
        return None
    for begin in (cursor.floor, 1):
        line = _anchors_from(cursor, edit, begin)
        if line is not None:
            return line
    return None


def _anchors_from(cursor: _Cursor, edit: PatchEdit, begin: int) -> int | None:
    """The line after the edit's anchors found at or after line ``begin``, each after the one
    before; None when they are not all found."""
    line: int | None = begin
    for anchor in edit.anchors:
        assert line is not None
        line = cursor.line_of(anchor, line)
        if line is None:
            return None
        line += 1
    return line


def _ambiguous_anchor(cursor: _Cursor, plan: _Plan, index: int, edit: PatchEdit, old: str,
                      new: str, after: int, placed: ReplaceResult) -> bool:
    """Whether the anchors that chose ``placed`` stand again further down with the old side
    after them too, so that they tell nothing apart; the failure is recorded then.

    Taking the first place would guess: two functions of one name (in the two branches of an
    ``if``, say) with the same lines, of which the patch means the second, is a real case. Nor
    does a later chunk with the same anchors tell which place this one means, since both may
    be meant for the second.
    """
    again_after = _anchors_from(cursor, edit, after)
    if again_after is None:
        return False
    other = try_replace_content(cursor.text, old, new, False, _line(again_after)).result
    if other is None or other.start_line < again_after or other.start_line == placed.start_line:
        return False
    plan.error = PatchFailure(
        "multiple_matches",
        f"the {plan.word}'s anchor {edit.anchors[-1]!r} stands at more than one place, and "
        f"its old side follows each of them (at lines {placed.start_line} and "
        f"{other.start_line}); add context lines that tell them apart",
        index, edit.patch_line, None, (placed.start_line, other.start_line))
    return True


def _choose(cursor: _Cursor, edit: PatchEdit, old: str, new: str, outcome: TryReplaceResult,
            start: int) -> tuple[TryReplaceResult, int | None]:
    """The placement of a chunk whose old side occurs more than once: the first occurrence
    at or after line ``start`` (after the anchors, or after the chunk before), the last one
    for a chunk that ends the file. Returns the outcome and the line hint that gave it.

    A tolerant strategy may also take a unique but wrong block where the right one occurs
    twice; that is tried again the same way before it is refused.
    """
    result = outcome.result
    if result is not None and (result.strategy == "simple" or same_but_whitespace(
            old.rstrip("\n"), result.matched_text.rstrip("\n"))):
        return outcome, None
    if result is None and outcome.error_type != "multiple_matches":
        return outcome, None
    locations = outcome.locations or []
    later = [line for line in locations if line >= start]
    if edit.at_end and locations:
        hint = locations[-1]
    elif later:
        hint = later[0]
    elif locations:
        return outcome, None
    else:
        # The strategy did not say where: the occurrence nearest the line is the first after
        # it when it does not lie before it.
        hint = start
    again = try_replace_content(cursor.text, old, new, False, hint)
    if again.result is None or (not locations and again.result.start_line < start):
        return outcome, None
    return again, hint


def _insertion(cursor: _Cursor, plan: _Plan, index: int, edit: PatchEdit, new: str,
               after: int | None) -> bool:
    """Places an edit without an old side: its lines go in before the line the patch names,
    after its anchors, or at the end of the file."""
    if edit.line_hint is not None:
        line = edit.line_hint + 1 + cursor.delta
    elif after is not None:
        line = after
    elif plan.word == "block":
        plan.fail("exists", "the block's search part is empty, which creates the file, but "
                            "the file exists already", index)
        return False
    else:
        text = cursor.text
        if text and not text.endswith("\n"):
            cursor.text = text + "\n"
        line = cursor.text.count("\n") + 1
    if not cursor.text:
        # An empty file has no line to insert before.
        _record(cursor, plan, index, edit, None, "simple")
        cursor.text = new
        return True
    result = try_replace_content(cursor.text, "", new, False, _line(line)).result
    assert result is not None  # an empty old side is found before any line
    cursor.delta += len(edit.new_lines)
    return _record(cursor, plan, index, edit, result, result.strategy)


def _line(number: int) -> int:
    return min(max(1, number), _LINE_MAX)


def _breaks_after(text: str) -> int:
    return len(text) - len(text.rstrip("\n"))


def _check_tolerant(cursor: _Cursor, plan: _Plan, index: int, edit: PatchEdit, old: str,
                    new: str, mark: str, result: ReplaceResult) -> ReplaceResult | None:
    """The result to keep for an edit that a tolerant strategy placed, or None with the
    failure recorded: the text found must be the old side up to whitespace, and the new side
    goes in fitted to the file."""
    found = result.matched_text
    if not same_but_whitespace(old.rstrip("\n"), found.rstrip("\n")):
        plan.fail("differs", f"the closest text, at lines {result.start_line}-"
                  f"{result.end_line} (strategy '{result.strategy}'), differs from the "
                  f"{plan.word}'s old side beyond whitespace:\n"
                  + unified_diff(plan.word, old.rstrip("\n") + "\n", found.rstrip("\n") + "\n"),
                  index)
        return None
    # A strategy that works line by line takes the lines without the break after the last
    # one; with it, the text found has the old side's lines one for one.
    whole = found + "\n" * (_breaks_after(old) - _breaks_after(found))
    again: ReplaceResult | None = result
    if not new:
        # Whole lines removed: removed as the file has them, their breaks included (at the
        # end of a file without a final break there is none to include).
        again = try_replace_content(cursor.text, whole, "", False,
                                    result.start_line).result or result
    if again is None or again.start_line != result.start_line:
        plan.fail("differs", "the edit is placed differently once it keeps the file's own "
                             "lines; apply the patch in smaller parts", index)
        return None
    if new.strip() and _indented_otherwise(old, found) and _as_written(cursor.text, again, new, mark):
        # The file's indentation differs from the patch's, and the new side could not be moved
        # into it (nothing of it shows which of its lines the change itself re-indents): as
        # written it would land in the patch's indentation, a wrong edit reported as success.
        plan.fail("differs", f"the {plan.word}'s old side is indented otherwise than the file's "
                  f"lines {result.start_line}-{result.end_line}, and its new side could not be "
                  "written in the file's indentation; give the "
                  f"{plan.word} in the file's own indentation", index)
        return None
    return again


def _indented_otherwise(old: str, found: str) -> bool:
    """Whether some non-blank line of ``old`` has other leading blanks than the line of
    ``found`` it stands for."""
    def lead(line: str) -> str:
        return line[:len(line) - len(line.lstrip(" \t"))]

    return any(lead(a) != lead(b) for a, b in zip(old.split("\n"), found.split("\n"))
               if a.strip() and b.strip())


def _as_written(text: str, result: ReplaceResult, new: str, mark: str) -> bool:
    """Whether the replacement ``result`` made in ``text`` put in ``new``'s non-blank lines as
    they are written (``mark``, that of the added lines, aside)."""
    line_start = 0
    for _ in range(result.start_line - 1):
        line_start = text.index("\n", line_start) + 1
    position = text.index(result.matched_text, line_start)
    after = len(text) - position - len(result.matched_text)
    inserted = result.content[position:len(result.content) - after]

    def body(lines: str) -> list[str]:
        return [line for line in lines.split("\n") if line.strip()]

    return body(inserted.replace(mark, "") if mark else inserted) == body(new)


def _place(cursor: _Cursor, plan: _Plan, index: int, edit: PatchEdit) -> bool:
    """Places one edit on the cursor's text; False with the failure recorded."""
    old, new = hunk_edit(edit, cursor.strip_cr)
    after = _anchor_line(cursor, edit)
    if not edit.old_lines:
        return _insertion(cursor, plan, index, edit, new + "\n", after)
    if not edit.new_lines and not edit.old_no_newline:
        old += "\n"  # removing whole lines removes their line breaks too
    if old == new:
        return True  # kept lines only: nothing to do
    hint = _line(edit.line_hint + cursor.delta) if edit.line_hint is not None else None
    mark = _added_line_mark(cursor.text, old, new)
    marked = _marked_new_side(edit, new, mark)
    outcome = try_replace_content(cursor.text, old, marked, False, hint)
    # Chunks follow one another through the file: an occurrence is chosen after the anchors,
    # or after the chunk before; the first chunk without anchors must be unique.
    start = after if after is not None else (cursor.floor if cursor.applied else None)
    if hint is None and plan.word == "chunk" and (start is not None or edit.at_end):
        outcome, hint = _choose(cursor, edit, old, marked, outcome, start or 1)
        if (hint is not None and after is not None and outcome.result is not None
                and _ambiguous_anchor(cursor, plan, index, edit, old, marked, after,
                                      outcome.result)):
            return False
    result = outcome.result
    if not outcome or result is None:
        plan.error = PatchFailure(outcome.error_type or "not_found", outcome.error or "",
                                  index, edit.patch_line, outcome.closest_match,
                                  tuple(outcome.locations or ()))
        return False
    strategy = result.strategy
    if strategy != "simple":
        kept = _check_tolerant(cursor, plan, index, edit, old, new, mark, result)
        if kept is None:
            return False
        result = kept
    cursor.delta += len(edit.new_lines) - len(edit.old_lines)
    return _record(cursor, plan, index, edit, result, strategy, mark)


def _record(cursor: _Cursor, plan: _Plan, index: int, edit: PatchEdit,
            result: ReplaceResult | None, strategy: str, mark: str = "") -> bool:
    """Notes where the edit went and moves the cursor on to the text after it. ``strategy``
    is the one that placed the old side (a second, exact call may have written the text);
    ``mark`` is the one the added lines carried (see _marked_new_side)."""
    if result is None:
        start, end, removed, added = 1, 1, 0, 0
    else:
        start, end = result.start_line, result.end_line
        removed = result.matched_text.count("\n")
        added = removed + result.content.count("\n") - cursor.text.count("\n")
        cursor.text = result.content.replace(mark, "") if mark else result.content
    first = cursor.original_line(start)
    plan.placements.append(Placement(index, edit.patch_line, strategy, strategy == "simple",
                                     first, max(first, cursor.original_line(end)),
                                     result.matched_text if result is not None else ""))
    cursor.applied.append((start, removed, added))
    cursor.floor = start + added + 1
    return True


def _edit_text(plan: _Plan, text: str, crlf: bool) -> bool:
    """Applies the plan's edits to ``text``, into ``plan.new_text``; False on a failure."""
    # A patch carried with "\r\n" breaks leaves "\r" on its lines; they are dropped where the
    # file is edited in "\n" form or holds no "\r" at all.
    cursor = _Cursor(text, crlf or "\r" not in text)
    for index, edit in enumerate(plan.change.edits):
        if not _place(cursor, plan, index, edit):
            return False
    plan.new_text = cursor.text
    return True


def _plan_create(plan: _Plan) -> None:
    if os.path.lexists(plan.path):
        plan.fail("exists", "the patch creates this file, but it exists already")
        return
    content = plan.change.content or ""
    if _edit_text(plan, content, False):
        plan.diff = unified_diff(plan.change.path, "", plan.new_text, created=True)


def _plan_delete(plan: _Plan) -> None:
    snapshot = plan.snapshot = _load(plan, plan.path)
    if snapshot is None:
        return
    expected = plan.change.expected
    if expected is not None:
        if snapshot.crlf:
            expected = expected.replace("\r", "")
        # Deleting is only right for the file the patch saw: the same lines, give or take
        # whitespace damage, and nothing else.
        if not same_but_whitespace(expected.rstrip("\n"), snapshot.text.rstrip("\n")):
            plan.fail("differs", "the patch deletes this file, but its content differs from "
                                 "the patch's; the file is kept")
            return
    plan.diff = unified_diff(plan.change.path, snapshot.text, "", deleted=True)


def _plan_edit(plan: _Plan) -> None:
    """A file modified, or moved (and maybe modified on the way)."""
    source = plan.source or plan.path
    snapshot = plan.snapshot = _load(plan, source)
    if snapshot is None:
        return
    if plan.source is not None and os.path.lexists(plan.path):
        plan.fail("exists", f"the patch moves {plan.change.old_path} here, but this file "
                            "exists already")
        return
    if _edit_text(plan, snapshot.text, snapshot.crlf):
        plan.diff = unified_diff(plan.change.path, snapshot.text, plan.new_text,
                                 old_name=plan.change.old_path)


_PLANNERS: Final[dict[str, Callable[[_Plan], None]]] = {
    "create": _plan_create, "delete": _plan_delete, "modify": _plan_edit, "move": _plan_edit}


# ---- writing ----------------------------------------------------------------------------

def _create_file(path: pathlib.Path, data: bytes, mode: int | None = None) -> None:
    """Create ``path`` with ``data``, never over an existing file and never half-written."""
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    try:
        with open(fd, "wb") as f:
            f.write(data)
            f.flush()
            if mode is None:
                umask = os.umask(0)
                os.umask(umask)
                mode = 0o666 & ~umask
            os.fchmod(f.fileno(), mode)
            os.fsync(f.fileno())
        # A hard link fails when the name exists, so a file made in the meantime is kept.
        try:
            os.link(tmp, path)
        except FileExistsError:
            raise
        except OSError:
            if os.path.lexists(path):
                raise FileExistsError(path) from None
            os.replace(tmp, path)
    finally:
        try:
            os.unlink(tmp)
        except OSError:
            pass


def _remove(snapshot: _Snapshot, path: pathlib.Path) -> None:
    if not _same_file(snapshot, str(path)):
        raise FileChanged(path)
    os.remove(path)


def _write_plan(plan: _Plan) -> None:
    action, snapshot = plan.change.action, plan.snapshot
    try:
        if action == "create":
            _create_file(plan.path, plan.new_text.encode("utf-8", errors="surrogateescape"))
        elif action == "delete":
            assert snapshot is not None
            _remove(snapshot, plan.path)
        elif action == "move":
            assert snapshot is not None and plan.source is not None
            if not _same_file(snapshot, str(plan.source)):
                raise FileChanged(plan.source)
            _create_file(plan.path, _encode(snapshot, plan.new_text),
                         stat.S_IMODE(snapshot.stat.st_mode))
            _remove(snapshot, plan.source)
        else:
            assert snapshot is not None
            data = _encode(snapshot, plan.new_text)
            if data == snapshot.data:
                return
            _write(plan.path, snapshot, data)
        plan.written = True
    except FileChanged:
        verb = "deleted" if action == "delete" else "written"
        plan.fail("changed", f"the file changed on disk since it was read; it was not {verb}")
    except FileExistsError:
        plan.fail("changed", "the file appeared on disk meanwhile; it was not overwritten")
    except FileEditError as e:
        plan.fail("io", _without_path(e, plan.path))
    except OSError as e:
        plan.fail("io", f"cannot write: {e.strerror or e}")


def _result(plan: _Plan) -> FilePatchResult:
    ok = plan.error is None
    return FilePatchResult(
        path=plan.change.path, action=plan.change.action, old_path=plan.change.old_path,
        ok=ok, written=plan.written, diff=plan.diff if ok else "",
        placements=tuple(plan.placements) if ok else (), error=plan.error)


def apply_parsed(parsed: ParsedPatch, root: str | os.PathLike[str], write: bool) -> PatchResult:
    """:func:`apply_patch` for a patch already read."""
    base = pathlib.Path(root)
    if not base.is_dir():
        raise NotADirectoryError(f"{os.fspath(root)}: not a folder")
    plans = _resolve(parsed, base, EDIT_WORD[parsed.format])
    for plan in plans:
        _PLANNERS[plan.change.action](plan)
    stopped = any(p.error is not None and p.error.kind in FATAL_KINDS for p in plans)
    due = [p for p in plans if p.error is None and p.changes]
    if write and not stopped:
        for plan in due:
            _write_plan(plan)
    written = write and not stopped and bool(due) and all(p.written for p in due)
    return PatchResult(parsed.format, tuple(_result(p) for p in plans), written)


def apply_patch(text: str, *, root: str | os.PathLike[str] = ".", write: bool = False,
                format: PatchFormat = "auto") -> PatchResult:
    """Apply a patch to the files under ``root``; a dry run unless ``write`` is true.

    ``format`` is as for :func:`parse_patch`. Every path is checked before anything is read:
    one that would leave ``root`` (absolute, with ``..``, or through a symbolic link leading
    out) raises :class:`PathRefused`, and a text that cannot be read raises
    :class:`PatchFormatError`; in both cases nothing is read or written. Every other problem
    is reported per file in the :class:`PatchResult`. A file whose edits fail is not written,
    the others are; a file that cannot be read or decoded stops the whole patch, and then no
    file is written.
    """
    return apply_parsed(parse_patch(text, format), root, write)

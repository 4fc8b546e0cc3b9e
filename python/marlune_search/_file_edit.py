"""Edits of files on disk through the replacement cascade, written safely.

A file is read once, decoded as UTF-8 (a byte-order mark is set aside and put back), and every
edit runs on the decoded text in memory. Only when all edits have succeeded is the result
written: into a temporary file in the same folder, flushed and synced, then moved over the
original with one ``os.replace``, so that a reader sees either the old file or the new one and
never a part of either. Just before the move the file on disk is compared with what was read;
a file that changed in the meantime is not overwritten.
"""

from __future__ import annotations

import dataclasses
import difflib
import os
import pathlib
import stat
import tempfile
from collections.abc import Iterable, Mapping
from typing import Final, NotRequired, TypedDict

from _marlune_search import ReplaceResult, TryReplaceResult, try_replace_content

__all__ = [
    "DecodeFailed",
    "Edit",
    "EditFailed",
    "FileChanged",
    "FileEdit",
    "FileEditError",
    "apply_edits",
    "edit_file",
]

_BOM: Final = b"\xef\xbb\xbf"
_EDIT_KEYS: Final = frozenset({"old_string", "new_string", "replace_all", "line_hint"})


class Edit(TypedDict):
    """One edit of :func:`apply_edits`: the same arguments as :func:`edit_file` takes."""

    old_string: str
    new_string: str
    replace_all: NotRequired[bool]
    line_hint: NotRequired[int | None]


class FileEditError(Exception):
    """A file edit that could not be made. The file on disk is left as it was.

    Raised as itself when the file cannot be read or written (the ``OSError`` is the
    ``__cause__``); the subclasses name the other reasons.
    """

    path: pathlib.Path

    def __init__(self, path: pathlib.Path, message: str) -> None:
        super().__init__(message)
        self.path = path


class EditFailed(FileEditError):
    """An edit whose text the cascade could not place.

    ``index`` is the position of the failing edit in the list given to :func:`apply_edits`
    (0 for :func:`edit_file`); ``error`` is the falsy :class:`TryReplaceResult` with the
    message, the failure kind, the closest match or the locations of the matches.
    """

    index: int
    error: TryReplaceResult

    def __init__(self, path: pathlib.Path, index: int, error: TryReplaceResult, *,
                 several: bool) -> None:
        what = f"edit {index} failed: " if several else ""
        super().__init__(path, f"{path}: {what}{error.error}")
        self.index = index
        self.error = error

    @property
    def message(self) -> str:
        """The message of the cascade's failure, without the file and the edit."""
        return self.error.error or ""


class DecodeFailed(FileEditError):
    """A file whose bytes are not UTF-8. ``offset`` is the offset in the file of the first
    byte that cannot be decoded (a byte-order mark counts)."""

    offset: int

    def __init__(self, path: pathlib.Path, offset: int, byte: int) -> None:
        super().__init__(
            path, f"{path}: not UTF-8 text: undecodable byte 0x{byte:02x} at offset {offset}")
        self.offset = offset


class FileChanged(FileEditError):
    """A file that changed on disk after it was read; it was not overwritten."""

    def __init__(self, path: pathlib.Path) -> None:
        super().__init__(path, f"{path}: the file changed on disk since it was read; "
                         "nothing was written")


@dataclasses.dataclass(frozen=True)
class FileEdit:
    """The outcome of :func:`edit_file` or :func:`apply_edits`.

    ``old_text`` and ``new_text`` are the file's text before and after, as the edits saw it:
    without the byte-order mark, and in "\\n" form for a file whose line breaks are all
    "\\r\\n". ``diff`` is the unified diff between them ("" when they are equal).
    """

    path: pathlib.Path
    results: tuple[ReplaceResult, ...]
    exact: bool
    diff: str
    written: bool
    old_text: str
    new_text: str


@dataclasses.dataclass(frozen=True)
class _Snapshot:
    """What was read from disk, to write the result back the same way and to notice a file
    that changed in between."""

    data: bytes
    text: str
    bom: bool
    crlf: bool
    stat: os.stat_result


def _before_replace(path: pathlib.Path) -> None:
    """Runs after the new content is on disk in the temporary file and before the file is
    checked for changes and replaced; a test replaces it to change the file at that moment."""


def _read(path: pathlib.Path) -> _Snapshot:
    try:
        with open(path, "rb") as f:
            st = os.fstat(f.fileno())
            if not stat.S_ISREG(st.st_mode):
                raise FileEditError(path, f"{path}: not a regular file")
            data = f.read()
    except OSError as e:
        raise FileEditError(path, f"{path}: cannot read: {e.strerror or e}") from e
    bom = data.startswith(_BOM)
    body = data[len(_BOM):] if bom else data
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError as e:
        offset = e.start + (len(_BOM) if bom else 0)
        raise DecodeFailed(path, offset, data[offset]) from None
    # Only a file whose every break is "\r\n" is edited in "\n" form. In a file with mixed
    # endings the "\r" bytes are part of the text the caller sees and edits.
    newlines = text.count("\n")
    crlf = newlines > 0 and text.count("\r\n") == newlines
    if crlf:
        text = text.replace("\r\n", "\n")
    return _Snapshot(data, text, bom, crlf, st)


def _encode(snapshot: _Snapshot, text: str) -> bytes:
    if snapshot.crlf:
        text = text.replace("\n", "\r\n")
    data = text.encode("utf-8")
    return _BOM + data if snapshot.bom else data


def _unified_diff(path: pathlib.Path, old: str, new: str) -> str:
    if old == new:
        return ""
    name = path.as_posix()
    old_name, new_name = (name, name) if path.is_absolute() else (f"a/{name}", f"b/{name}")
    lines = []
    for line in difflib.unified_diff(old.splitlines(keepends=True),
                                     new.splitlines(keepends=True), old_name, new_name):
        if line.endswith("\n"):
            lines.append(line)
        else:
            # The last line of a text without a final line break; say so as patch tools
            # expect, instead of gluing the next diff line onto it.
            lines.append(line + "\n\\ No newline at end of file\n")
    return "".join(lines)


def _same_file(snapshot: _Snapshot, target: str) -> bool:
    try:
        st = os.stat(target)
        if (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns) != (
                snapshot.stat.st_dev, snapshot.stat.st_ino, snapshot.stat.st_size,
                snapshot.stat.st_mtime_ns):
            return False
        # A change within the file system's time granularity keeps size and time: the bytes
        # decide.
        with open(target, "rb") as f:
            return f.read() == snapshot.data
    except OSError:
        return False


def _write(path: pathlib.Path, snapshot: _Snapshot, data: bytes) -> None:
    # Through a symbolic link the file it points to is replaced, and the link stays a link.
    target = os.path.realpath(path)
    folder = os.path.dirname(target)
    if not os.access(target, os.W_OK):
        raise FileEditError(path, f"{path}: the file is read-only; nothing was written")
    try:
        fd, tmp = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(target)}.",
                                   suffix=".tmp")
    except OSError as e:
        raise FileEditError(
            path, f"{path}: cannot write in its folder: {e.strerror or e}; nothing was written"
        ) from e
    try:
        try:
            with open(fd, "wb", closefd=True) as f:
                f.write(data)
                f.flush()
                os.fchmod(f.fileno(), stat.S_IMODE(snapshot.stat.st_mode))
                if (snapshot.stat.st_uid, snapshot.stat.st_gid) != (os.geteuid(), os.getegid()):
                    try:
                        os.fchown(f.fileno(), snapshot.stat.st_uid, snapshot.stat.st_gid)
                    except OSError:
                        pass  # Only the owner's privileges allow this; the content matters more.
                os.fsync(f.fileno())
            _before_replace(path)
            if not _same_file(snapshot, target):
                raise FileChanged(path)
            os.replace(tmp, target)
        except OSError as e:
            raise FileEditError(
                path, f"{path}: cannot write: {e.strerror or e}; nothing was written") from e
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    # The rename itself is made durable by syncing the folder; a failure here leaves the new
    # file in place and is not worth failing the edit for.
    try:
        dir_fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
        try:
            os.fsync(dir_fd)
        finally:
            os.close(dir_fd)
    except OSError:
        pass


def _check_edit(index: int, edit: object, several: bool) -> tuple[str, str, bool, int | None]:
    # The arguments are checked here rather than by the native binding so that the message
    # names the edit of a list that is wrong.
    where = f"edit {index}: " if several else ""
    if not isinstance(edit, Mapping):
        raise TypeError(f"{where}expected a mapping, got {type(edit).__qualname__}")
    unknown = sorted(str(k) for k in edit if k not in _EDIT_KEYS)
    if unknown:
        raise TypeError(f"{where}unknown key {unknown[0]!r}")
    for key in ("old_string", "new_string"):
        if key not in edit:
            raise TypeError(f"{where}missing key {key!r}")
        if not isinstance(edit[key], str):
            raise TypeError(f"{where}{key!r} must be a str, "
                            f"not {type(edit[key]).__qualname__}")
    replace_all = edit.get("replace_all", False)
    if not isinstance(replace_all, bool):
        raise TypeError(f"{where}'replace_all' must be a bool, "
                        f"not {type(replace_all).__qualname__}")
    line_hint = edit.get("line_hint")
    if line_hint is not None and (isinstance(line_hint, bool) or not isinstance(line_hint, int)):
        raise TypeError(f"{where}'line_hint' must be an int or None, "
                        f"not {type(line_hint).__qualname__}")
    return edit["old_string"], edit["new_string"], replace_all, line_hint


def _edit(path: str | os.PathLike[str], edits: list[tuple[str, str, bool, int | None]],
          write: bool, several: bool) -> FileEdit:
    file = pathlib.Path(path)
    snapshot = _read(file)
    text = snapshot.text
    results = []
    for index, (old, new, replace_all, line_hint) in enumerate(edits):
        if snapshot.crlf:
            old = old.replace("\r\n", "\n")
            new = new.replace("\r\n", "\n")
        outcome = try_replace_content(text, old, new, replace_all, line_hint)
        result = outcome.result
        if not outcome or result is None:
            raise EditFailed(file, index, outcome, several=several)
        results.append(result)
        text = result.content
    data = _encode(snapshot, text)
    written = False
    if write and data != snapshot.data:
        _write(file, snapshot, data)
        written = True
    return FileEdit(
        path=file,
        results=tuple(results),
        exact=all(r.strategy == "simple" for r in results),
        diff=_unified_diff(file, snapshot.text, text),
        written=written,
        old_text=snapshot.text,
        new_text=text,
    )


def edit_file(path: str | os.PathLike[str], old_string: str, new_string: str, *,
              replace_all: bool = False, line_hint: int | None = None,
              write: bool = True) -> FileEdit:
    """Replace ``old_string`` by ``new_string`` in the file at ``path``.

    The text is placed by the cascade of ``replace_content`` (``replace_all`` and
    ``line_hint`` mean what they mean there). With ``write`` false nothing is written and the
    returned :class:`FileEdit` shows what would change. Raises :class:`EditFailed` when the
    text cannot be placed, :class:`DecodeFailed` for a file that is not UTF-8,
    :class:`FileChanged` when the file changed on disk during the edit, and
    :class:`FileEditError` when it cannot be read or written; in every case the file is left
    as it was.
    """
    edit = _check_edit(0, {"old_string": old_string, "new_string": new_string,
                           "replace_all": replace_all, "line_hint": line_hint}, False)
    return _edit(path, [edit], write, several=False)


def apply_edits(path: str | os.PathLike[str], edits: Iterable[Edit], *,
                write: bool = True) -> FileEdit:
    """Apply several edits to the file at ``path``, in order, each to the result of the one
    before, all or nothing.

    When one edit fails, nothing is written and :class:`EditFailed` names its index. The other
    failures are those of :func:`edit_file`.
    """
    checked = [_check_edit(i, e, True) for i, e in enumerate(edits)]
    return _edit(path, checked, write, several=True)

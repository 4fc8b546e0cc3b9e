"""Keeping the paths named by an edit list or a patch inside one folder.

Edit lists and patches often come from a language model or from someone else's change, so the
paths they name are untrusted input. A path is accepted only when it names something inside the
root folder: it must be relative, must not contain ``..``, and once every symbolic link on the
way has been followed it must still lie inside the root. The check is made before anything is
read or written, for every path of the input, so that one bad path stops the whole command.
"""

from __future__ import annotations

import os
import pathlib
import posixpath

__all__ = ["PathRefused", "confine"]


class PathRefused(Exception):
    """A path that would leave the root folder, or that is not a usable path at all."""

    def __init__(self, name: str, reason: str) -> None:
        super().__init__(f"{name!r}: {reason}")
        self.name = name
        self.reason = reason


def _is_inside(path: str, root: str) -> bool:
    return path == root or path.startswith(root.rstrip(os.sep) + os.sep)


def confine(root: pathlib.Path, name: str) -> pathlib.Path:
    """The real location of ``name`` taken relative to ``root``, or :class:`PathRefused`.

    The returned path has every symbolic link resolved, so that a later write goes to the file
    that was checked and not to wherever a link points by then. The file itself need not exist
    (a patch may create it); the links among its existing parents are followed all the same.
    """
    if not name:
        raise PathRefused(name, "empty path")
    if "\0" in name:
        raise PathRefused(name, "path contains a NUL character")
    # Both separators count: a backslash path from another system must not slip past as one
    # long file name and then mean something else where it is used.
    unified = name.replace("\\", "/")
    if unified.startswith("/") or (len(unified) > 1 and unified[1] == ":"):
        raise PathRefused(name, "absolute paths are refused")
    parts = [p for p in unified.split("/") if p not in ("", ".")]
    if ".." in parts:
        raise PathRefused(name, "paths with '..' components are refused")
    if not parts:
        raise PathRefused(name, "path names no file")
    real_root = os.path.realpath(root)
    real = os.path.realpath(os.path.join(real_root, *parts))
    if not _is_inside(real, real_root):
        raise PathRefused(name, f"leads outside {posixpath.normpath(str(root))!s} "
                                "through a symbolic link")
    if real == real_root:
        raise PathRefused(name, "path names the root folder itself")
    return pathlib.Path(real)

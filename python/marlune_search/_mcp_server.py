"""The Model Context Protocol server of ``marlune-search mcp``: file tools for an agent.

An agent that edits files through these tools gets the guarantees a program calling the
package gets: every path is checked against the served root before anything is read, an edit
or a patch writes each file whole or not at all, and a text that cannot be placed is a failure
that carries the cascade's own explanation (the closest match with its diff, or the lines of an
ambiguous match) instead of a guess.

The protocol is spoken by the official SDK, an optional dependency (the ``mcp`` extra): this
module imports without it, and :func:`run` then says what to install. Standard output carries
protocol messages only; logs and warnings go to standard error.

Every tool answers with a text for the model and structured content that follows the tool's
output schema, the same shape whether the call succeeded or not (``ok`` and ``error`` tell
which). A failure is a tool result with ``isError`` set, never a protocol error, so that the
model reads the reason and can try again.
"""

from __future__ import annotations

import dataclasses
import logging
import os
import pathlib
import subprocess
import sys
import threading
from collections.abc import Sequence
from typing import Annotated, Any, Final

from _marlune_search import FuzzyMatchInfo, ReplaceResult, get_best_matches

from ._apply_patch import (
    FilePatchResult,
    PatchFailure,
    PatchFormat,
    PatchFormatError,
    apply_patch,
)
from ._file_edit import (
    DecodeFailed,
    Edit,
    EditFailed,
    FileChanged,
    FileEditError,
    _read,
    apply_edits,
)
from ._patch import unified_diff
from ._paths import PathRefused, confine
from ._version import __version__

# The SDK is imported here and not in run() because the tool signatures name its types, and
# the SDK reads those signatures from this module's namespace when it builds the schemas.
_SDK_ERROR: ImportError | None
try:
    from mcp.server.mcpserver import MCPServer
    from mcp.types import CallToolResult, TextContent, ToolAnnotations
    from pydantic import Field
except ImportError as missing:
    _SDK_ERROR = missing
else:
    _SDK_ERROR = None

__all__ = [
    "ClosestMatch",
    "EditOutput",
    "EditPlacement",
    "EditRequest",
    "Failure",
    "FileMatch",
    "FindFilesOutput",
    "PatchFileOutput",
    "PatchOutput",
    "ReadFileOutput",
    "build_server",
    "run",
]

EXIT_ERROR: Final = 2
INSTALL_HINT: Final = "pip install 'marlune-search[mcp]'"
_LINE_MAX: Final = 4294967295
# A root such as a home folder can hold millions of files; ranking stops at this many.
_MAX_CANDIDATES: Final = 200_000
_SKIPPED_FOLDERS: Final = frozenset({"node_modules", "__pycache__"})

_INSTRUCTIONS: Final = """\
Tools over the files of one folder, the root. Every path is relative to the root; nothing \
outside it can be read or written. Read a file with read_file before editing it, and copy the \
text to replace from what it shows, without the line-number prefix. Use edit_file for one \
change, apply_edits for several changes to one file (all or nothing), apply_patch for a diff \
or changes to several files, find_files to find a file by an approximate name. A failed edit \
changes nothing and reports the closest text the file holds: correct old_string from it and \
try again. dry_run=true shows the diff without writing."""


# ---- structured results -----------------------------------------------------------------
# Plain dataclasses, so that the module imports without the SDK; the SDK turns them into the
# tools' output schemas.

@dataclasses.dataclass(frozen=True)
class ClosestMatch:
    """The text of the file that came closest to an edit's old text."""

    similarity: float
    start_line: int
    end_line: int
    text: str
    diff: str


@dataclasses.dataclass(frozen=True)
class Failure:
    """Why a call failed. ``kind`` is the cascade's ("not_found", "multiple_matches",
    "no_change") or the server's: "path", "read_only", "changed", "decode", "io", "range",
    "patch_format", or a patch's "differs", "exists", "missing". ``edit`` is the 0-based
    index of the edit that failed, ``patch_line`` the patch line where it starts."""

    kind: str
    message: str
    edit: int | None = None
    patch_line: int | None = None
    closest_match: ClosestMatch | None = None
    locations: list[int] = dataclasses.field(default_factory=list)


@dataclasses.dataclass(frozen=True)
class EditPlacement:
    """Where one edit was placed: the lines of the old text (1-based) it replaced, and the
    strategy that found them ("simple" is an exact match, any other a tolerant one)."""

    edit: int
    strategy: str
    exact: bool
    start_line: int
    end_line: int
    patch_line: int | None = None


@dataclasses.dataclass(frozen=True)
class ReadFileOutput:
    """Lines ``start_line`` … ``end_line`` of a file of ``total_lines`` lines; ``text`` holds
    them as in the file, without the numbers; ``cut`` says the limit ended the range early."""

    ok: bool
    path: str
    start_line: int
    end_line: int
    total_lines: int
    cut: bool
    text: str
    error: Failure | None = None


@dataclasses.dataclass(frozen=True)
class EditOutput:
    """The outcome of edit_file or apply_edits."""

    ok: bool
    path: str
    dry_run: bool
    written: bool
    exact: bool
    placements: list[EditPlacement]
    diff: str
    error: Failure | None = None


@dataclasses.dataclass(frozen=True)
class PatchFileOutput:
    """One file of a patch; ``action`` is "modify", "create", "delete" or "move"."""

    path: str
    action: str
    old_path: str | None
    ok: bool
    written: bool
    diff: str
    placements: list[EditPlacement]
    error: Failure | None = None


@dataclasses.dataclass(frozen=True)
class PatchOutput:
    """The outcome of apply_patch: ``format`` is the format read, ``error`` is set when the
    patch as a whole was refused (then ``files`` is empty)."""

    ok: bool
    dry_run: bool
    written: bool
    format: str
    files: list[PatchFileOutput]
    error: Failure | None = None


@dataclasses.dataclass(frozen=True)
class FileMatch:
    """A file path relative to the root and its score (higher is better)."""

    path: str
    score: int


@dataclasses.dataclass(frozen=True)
class FindFilesOutput:
    """The best matches first; ``matches`` counts every match, ``candidates`` the files
    searched, ``source`` is "git" or "walk"; ``cut`` says the listing stopped at its cap."""

    ok: bool
    query: str
    files: list[FileMatch]
    matches: int
    candidates: int
    source: str
    cut: bool
    error: Failure | None = None


# The argument types with the descriptions the input schemas carry; they need the SDK's
# pydantic, and only the tools, which exist only with the SDK, use them.
if _SDK_ERROR is None:
    _Path = Annotated[str, Field(description="the file's path, relative to the root folder")]
    _DryRun = Annotated[bool, Field(description="only show the diff; write nothing")]
    _LineHint = Annotated[
        int | None,
        Field(ge=1, le=_LINE_MAX,
              description="when the text occurs several times, take the occurrence nearest this "
                          "1-based line")]
    _ReplaceAll = Annotated[
        bool, Field(description="replace every occurrence (otherwise the text must occur once)")]
    _OldString = Annotated[
        str, Field(description="the text to replace, copied from the file without read_file's "
                               "line numbers; give enough lines to make it unique")]
    _NewString = Annotated[str, Field(description="the text to put in its place")]


@dataclasses.dataclass
class EditRequest:
    """One edit of apply_edits, with the arguments of edit_file."""

    old_string: _OldString
    new_string: _NewString
    replace_all: _ReplaceAll = False
    line_hint: _LineHint = None


@dataclasses.dataclass(frozen=True)
class _Reply:
    """A tool's answer before it is put into a protocol result."""

    texts: list[str]
    output: Any
    error: bool


def _closest(info: FuzzyMatchInfo | None) -> ClosestMatch | None:
    if info is None:
        return None
    return ClosestMatch(info.similarity, info.start_line, info.end_line, info.text, info.diff)


def _file_failure(error: FileEditError, real: pathlib.Path, name: str) -> Failure:
    """A failure of the file edits, with the path as the caller named it instead of the
    resolved one."""
    if isinstance(error, EditFailed):
        outcome = error.error
        return Failure(outcome.error_type or "not_found", error.message, edit=error.index,
                       closest_match=_closest(outcome.closest_match),
                       locations=list(outcome.locations or ()))
    kind = ("decode" if isinstance(error, DecodeFailed)
            else "changed" if isinstance(error, FileChanged) else "io")
    return Failure(kind, str(error).replace(str(real), name))


def _placement_note(placement: EditPlacement, label: str) -> str:
    lines = (f"line {placement.start_line}" if placement.start_line == placement.end_line
             else f"lines {placement.start_line}-{placement.end_line}")
    if placement.exact:
        return f"{label}placed exactly at {lines}"
    return (f"{label}not found exactly; placed by the tolerant strategy "
            f"'{placement.strategy}' at {lines}: check the diff")


def _placements(results: Sequence[ReplaceResult]) -> list[EditPlacement]:
    return [EditPlacement(i, r.strategy, r.strategy == "simple", r.start_line, r.end_line)
            for i, r in enumerate(results)]


# ---- listing the files under the root ---------------------------------------------------

def _usable(name: str) -> bool:
    """Whether a file name can travel in a protocol message: names that are not UTF-8 come
    back from the file system with surrogates, which JSON text cannot carry."""
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _git_files(root: pathlib.Path) -> list[str] | None:
    """The files git knows under ``root`` (tracked, and untracked ones not ignored), relative
    to it; None when the root is in no git work tree or git cannot be run."""
    try:
        proc = subprocess.run(
            ["git", "-C", str(root), "ls-files", "-z", "--cached", "--others",
             "--exclude-standard"],
            stdin=subprocess.DEVNULL, capture_output=True, timeout=60, check=False)
    except (OSError, subprocess.SubprocessError):
        return None
    if proc.returncode != 0:
        return None
    names = dict.fromkeys(os.fsdecode(raw) for raw in proc.stdout.split(b"\0") if raw)
    # The index still lists files deleted from the work tree, and a submodule as one entry.
    return [n for n in names if _usable(n) and os.path.isfile(root / n)]


def _skipped_folder(folder: str, name: str) -> bool:
    return (name.startswith(".") or name in _SKIPPED_FOLDERS
            or os.path.isfile(os.path.join(folder, name, "pyvenv.cfg")))


def _walk_files(root: pathlib.Path) -> list[str]:
    """The files under ``root`` outside hidden folders and virtual environments, relative to
    it, in path order; symbolic links to folders are not followed."""
    names: list[str] = []
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if not _skipped_folder(folder, d))
        base = os.path.relpath(folder, root)
        for name in sorted(files):
            relative = name if base == "." else os.path.join(base, name)
            if _usable(relative):
                names.append(pathlib.PurePath(relative).as_posix())
        if len(names) >= _MAX_CANDIDATES:
            break
    return names


def list_files(root: pathlib.Path) -> tuple[list[str], str]:
    """The files that find_files ranks, and where the list came from ("git" or "walk").

    A root in a git work tree lists what git lists, so that build output and other ignored
    files stay out; a root that git lists nothing for (an ignored folder) is walked.
    """
    names = _git_files(root)
    if names:
        return names, "git"
    return _walk_files(root), "walk"


# ---- the tools' work --------------------------------------------------------------------

class _Service:
    """The work of the tools on one root folder, independent of the protocol."""

    def __init__(self, root: pathlib.Path, read_only: bool) -> None:
        self.root = root
        self.read_only = read_only
        # Calls run on worker threads; edits of the same file must not interleave between
        # one's read and its write.
        self._write_lock = threading.Lock()

    def _refusal(self, dry_run: bool) -> Failure | None:
        if self.read_only and not dry_run:
            return Failure("read_only", "refused: this server is read-only (--read-only), so "
                           "nothing was changed; call again with dry_run=true to see the diff")
        return None

    # read_file

    def read_file(self, path: str, offset: int, limit: int) -> _Reply:
        def failed(failure: Failure) -> _Reply:
            return _Reply([failure.message],
                          ReadFileOutput(False, path, 0, 0, 0, False, "", failure), True)

        try:
            real = confine(self.root, path)
        except PathRefused as e:
            return failed(Failure("path", str(e)))
        try:
            text = _read(real).text
        except FileEditError as e:
            return failed(_file_failure(e, real, path))
        lines = text.split("\n")
        if lines[-1] == "":
            lines.pop()  # the break that ends the last line does not start another
        total = len(lines)
        if offset > max(total, 1):
            return failed(Failure("range", f"offset {offset} is past the end of {path}, "
                                           f"which has {total} lines"))
        end = min(total, offset + limit - 1)
        shown = lines[offset - 1:end]
        cut = end < total
        numbered = [f"{n:>6}\t{line.removesuffix(chr(13))}"
                    for n, line in enumerate(shown, offset)]
        if not total:
            note = f"[{path} is empty]"
        elif cut:
            note = (f"[lines {offset}-{end} of {total}; the range was cut at limit={limit}: "
                    f"call again with offset={end + 1} to read on]")
        else:
            note = f"[lines {offset}-{end} of {total}]"
        output = ReadFileOutput(True, path, offset, end, total, cut, "\n".join(shown))
        return _Reply(["\n".join([*numbered, note])], output, False)

    # edit_file and apply_edits

    def edit(self, path: str, edits: list[Edit], dry_run: bool, several: bool) -> _Reply:
        def failed(failure: Failure, *extra: str) -> _Reply:
            output = EditOutput(False, path, dry_run, False, False, [], "", failure)
            return _Reply([failure.message, *extra], output, True)

        refusal = self._refusal(dry_run)
        if refusal is not None:
            return failed(refusal)
        try:
            real = confine(self.root, path)
        except PathRefused as e:
            return failed(Failure("path", str(e)))
        try:
            with self._write_lock:
                done = apply_edits(real, edits, write=not dry_run)
        except FileEditError as e:
            failure = _file_failure(e, real, path)
            if several and isinstance(e, EditFailed):
                # The cascade's message stays the first text as it is; which edit it was
                # follows.
                return failed(failure, f"edit {e.index} of {len(edits)} failed; none of the "
                                       f"edits was applied and {path} is unchanged")
            return failed(failure)
        placements = _placements(done.results)
        diff = unified_diff(path, done.old_text, done.new_text)
        if dry_run:
            head = f"{path}: dry run, nothing was written"
        elif done.written:
            head = f"{path}: written"
        else:
            head = f"{path}: nothing to write, the file already holds this text"
        notes = [_placement_note(p, f"edit {p.edit}: " if several else "") for p in placements]
        output = EditOutput(True, path, dry_run, done.written, done.exact, placements, diff)
        return _Reply(["\n".join([head, *notes]) + "\n\n" + diff], output, False)

    # apply_patch

    def apply_patch(self, patch: str, dry_run: bool, format: PatchFormat) -> _Reply:
        def failed(failure: Failure) -> _Reply:
            return _Reply([failure.message],
                          PatchOutput(False, dry_run, False, "", [], failure), True)

        refusal = self._refusal(dry_run)
        if refusal is not None:
            return failed(refusal)
        try:
            with self._write_lock:
                result = apply_patch(patch, root=self.root, write=not dry_run, format=format)
        except PatchFormatError as e:
            return failed(Failure("patch_format", str(e), patch_line=e.line))
        except PathRefused as e:
            return failed(Failure("path", str(e)))
        files = [_patch_file(f) for f in result.files]
        output = PatchOutput(result.ok, dry_run, result.written, result.format, files)
        return _Reply([_patch_text(output)], output, not result.ok)

    # find_files

    def find_files(self, query: str, limit: int) -> _Reply:
        names, source = list_files(self.root)
        cut = len(names) >= _MAX_CANDIDATES
        names = names[:_MAX_CANDIDATES]
        if query.strip():
            ranked = get_best_matches(query, names)
        else:
            ranked = [(name, 0) for name in sorted(names)]
        shown = [FileMatch(name, score) for name, score in ranked[:limit]]
        if shown:
            text = "\n".join([*(m.path for m in shown),
                              f"[{len(shown)} of {len(ranked)} matching files, best first; "
                              f"{len(names)} files searched]"])
        else:
            text = f"no file matches {query!r} ({len(names)} files searched)"
        output = FindFilesOutput(True, query, shown, len(ranked), len(names), source, cut)
        return _Reply([text], output, False)


def _patch_failure(error: PatchFailure | None) -> Failure | None:
    if error is None:
        return None
    return Failure(error.kind, error.message, error.edit, error.patch_line,
                   _closest(error.closest_match), list(error.locations))


def _patch_file(file: FilePatchResult) -> PatchFileOutput:
    """One file of a patch result, in the server's terms."""
    placements = [EditPlacement(p.edit, p.strategy, p.exact, p.start_line, p.end_line,
                                p.patch_line) for p in file.placements]
    return PatchFileOutput(file.path, file.action, file.old_path, file.ok, file.written,
                           file.diff, placements, _patch_failure(file.error))


def _patch_text(output: PatchOutput) -> str:
    if output.dry_run:
        head = f"dry run ({output.format} patch), nothing was written"
    else:
        written = [f.path for f in output.files if f.written]
        head = (f"{output.format} patch: wrote {len(written)} "
                f"{'file' if len(written) == 1 else 'files'}")
    parts = [head]
    for file in output.files:
        what = file.action if file.old_path is None else f"move from {file.old_path}"
        if file.error is not None:
            where = "" if file.error.edit is None else (
                f" edit {file.error.edit}"
                + ("" if file.error.patch_line is None
                   else f" (patch line {file.error.patch_line})"))
            parts.append(f"{file.path} ({what}): not changed,{where} failed:\n"
                         f"{file.error.message}")
            continue
        notes = [_placement_note(p, f"  edit {p.edit} (patch line {p.patch_line}): ")
                 for p in file.placements]
        parts.append("\n".join([f"{file.path} ({what})", *notes]) + "\n" + file.diff)
    return "\n\n".join(parts)


# ---- the protocol layer -----------------------------------------------------------------

def _result(reply: _Reply) -> CallToolResult:
    return CallToolResult(content=[TextContent(type="text", text=t) for t in reply.texts],
                          structured_content=dataclasses.asdict(reply.output),
                          is_error=reply.error)


def _register(server: MCPServer[Any], service: _Service) -> None:
    reading = ToolAnnotations(read_only_hint=True, open_world_hint=False)
    writing = ToolAnnotations(read_only_hint=False, destructive_hint=True,
                              idempotent_hint=False, open_world_hint=False)
    @server.tool(title="Read a file", annotations=reading)
    def read_file(
        path: _Path,
        offset: Annotated[int, Field(ge=1, description="the first line to show (1-based)")] = 1,
        limit: Annotated[int, Field(ge=1, description="the most lines to show")] = 2000,
    ) -> Annotated[CallToolResult, ReadFileOutput]:
        """Read a text file under the root: its lines from `offset`, each as its line number,
        a tab and the line, then the range shown and the file's line count. Use it before
        editing a file, and to read on where a long file was cut. Files that are not UTF-8
        text are refused."""
        return _result(service.read_file(path, offset, limit))

    @server.tool(title="Edit a file", annotations=writing)
    def edit_file(
        path: _Path,
        old_string: _OldString,
        new_string: _NewString,
        replace_all: _ReplaceAll = False,
        line_hint: _LineHint = None,
        dry_run: _DryRun = False,
    ) -> Annotated[CallToolResult, EditOutput]:
        """Replace one text in a file by another. The text is found exactly when it can be,
        otherwise by tolerant strategies (whitespace, indentation, escapes), and the result
        says which strategy placed it and shows the diff. When the text is not found or
        occurs several times, nothing is written and the error shows the closest text or
        the lines of each occurrence."""
        edit = Edit(old_string=old_string, new_string=new_string, replace_all=replace_all,
                    line_hint=line_hint)
        return _result(service.edit(path, [edit], dry_run, several=False))

    @server.tool(title="Apply several edits to a file", annotations=writing)
    def apply_edits(
        path: _Path,
        edits: Annotated[
            list[EditRequest],
            Field(min_length=1, description="the edits, applied in order, each to the result "
                                            "of the ones before")],
        dry_run: _DryRun = False,
    ) -> Annotated[CallToolResult, EditOutput]:
        """Apply several edits to one file, all or nothing: the file is written once, after
        every edit was placed, and when one fails none is applied. Each edit has the
        arguments of edit_file (old_string, new_string, replace_all, line_hint)."""
        requests = [Edit(old_string=e.old_string, new_string=e.new_string,
                         replace_all=e.replace_all, line_hint=e.line_hint) for e in edits]
        return _result(service.edit(path, requests, dry_run, several=True))

    @server.tool(title="Apply a patch", annotations=writing)
    def apply_patch(
        patch: Annotated[str, Field(description="the patch text")],
        dry_run: _DryRun = False,
        format: Annotated[
            PatchFormat,
            Field(description="the patch's format; auto tells it from the text")] = "auto",
    ) -> Annotated[CallToolResult, PatchOutput]:
        """Apply a patch to files under the root: a unified diff, search/replace blocks
        (a path line, then <<<<<<< SEARCH, the old text, =======, the new text, >>>>>>>
        REPLACE), or a *** Begin Patch … *** End Patch envelope. Files can be modified,
        created, deleted (and moved, in an envelope). Each file is changed all or nothing;
        a file whose change fails is left as it was and the error shows the closest text."""
        return _result(service.apply_patch(patch, dry_run, format))

    @server.tool(title="Find files by name", annotations=reading)
    def find_files(
        query: Annotated[str, Field(description="letters of the path in order, such as "
                                                "'srcmain' for src/main.py; empty lists "
                                                "the files in path order")],
        limit: Annotated[int, Field(ge=1, description="the most paths to return")] = 20,
    ) -> Annotated[CallToolResult, FindFilesOutput]:
        """Find files under the root whose relative path fuzzily matches the query, best
        first. Lists the files git knows when the root is in a git work tree, otherwise every
        file outside hidden folders and virtual environments."""
        return _result(service.find_files(query, limit))


def build_server(root: str | os.PathLike[str], read_only: bool = False) -> MCPServer[Any]:
    """The server with the five tools on ``root``, not yet running (the SDK's ``MCPServer``;
    an in-process client can connect to it)."""
    if _SDK_ERROR is not None:
        raise _SDK_ERROR
    folder = pathlib.Path(os.path.abspath(root))
    server: MCPServer[Any] = MCPServer(
        "marlune-search", title="marlune-search file tools", version=__version__,
        instructions=_INSTRUCTIONS + (" This server is read-only: only dry runs edit."
                                      if read_only else ""),
        log_level="WARNING")
    _register(server, _Service(folder, read_only))
    return server


def run(root: str | None, read_only: bool) -> int:
    """Serve the tools on ``root`` (None: the current folder) over standard input and output
    until the client closes the connection; returns the exit status."""
    if _SDK_ERROR is not None:
        print(f"marlune-search mcp: the server needs the optional extra 'mcp', not installed "
              f"here: {INSTALL_HINT} ({_SDK_ERROR})", file=sys.stderr)
        return EXIT_ERROR
    folder = root if root is not None else os.getcwd()
    if not os.path.isdir(folder):
        print(f"marlune-search mcp: --root {folder}: not a folder", file=sys.stderr)
        return EXIT_ERROR
    # Configured before the SDK would configure it; standard output is the protocol's.
    logging.basicConfig(stream=sys.stderr, level=logging.WARNING,
                        format="marlune-search mcp: %(levelname)s: %(message)s")
    build_server(folder, read_only).run("stdio")
    return 0

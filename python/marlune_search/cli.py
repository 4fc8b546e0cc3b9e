"""The ``marlune-search`` command: file edits, patches, ranking and streaming location.

Every command that edits files is a dry run unless ``--write`` is given: it prints the unified
diff of what it would change and leaves the files alone. Edits are placed by the same cascade
of matching strategies as ``replace_content``; whenever a strategy other than the exact one
placed a text, a warning on stderr says so, because a tolerant match is the one that deserves a
second look.
"""

from __future__ import annotations

import argparse
import bisect
import codecs
import dataclasses
import json
import os
import pathlib
import sys
from collections.abc import Sequence
from typing import IO, Any, Final, NoReturn, Protocol

from _marlune_search import (
    FuzzyMatchInfo,
    MatchRange,
    ReplaceResult,
    StreamingFuzzyMatcher,
    TryReplaceResult,
    get_best_matches,
)

from ._apply_patch import (
    EDIT_WORD,
    FilePatchResult,
    PatchFormatError,
    PatchResult,
    apply_parsed,
    parse_patch,
    refused_paths,
)
from ._color import MODES, color_diff, wants_color
from ._file_edit import (
    DecodeFailed,
    EditFailed,
    FileChanged,
    FileEdit,
    FileEditError,
    apply_edits,
    edit_file,
)
from ._patch import unified_diff
from ._paths import PathRefused, confine
from ._version import __version__

__all__ = ["main"]

EXIT_OK: Final = 0
EXIT_FAILED: Final = 1
EXIT_ERROR: Final = 2

_LINE_HINT_MAX: Final = 4294967295
_BOM: Final = b"\xef\xbb\xbf"

_EXIT_HELP: Final = """\
exit status:
  0  done, or (without --write) would be done
  1  no match, an ambiguous match, nothing ranked or located
  2  usage error, a path outside the root, an unreadable, unwritable or undecodable
     file, or a file that changed on disk during the edit
"""


class _Stop(Exception):
    """Ends a command with an exit status after its message was printed."""

    def __init__(self, status: int) -> None:
        super().__init__(status)
        self.status = status


@dataclasses.dataclass
class _Out:
    """Where the results go: diffs and data to stdout, reports to stderr."""

    stdout: IO[str]
    stderr: IO[str]
    color: bool
    json: bool

    def diff(self, text: str) -> None:
        if text and not self.json:
            self.stdout.write(color_diff(text) if self.color else text)
            self.stdout.flush()

    def note(self, message: str) -> None:
        self.stderr.write(message + "\n")
        self.stderr.flush()

    def warn(self, message: str) -> None:
        self.note(f"warning: {message}")

    def error(self, message: str) -> None:
        self.note(f"error: {message}")

    def emit_json(self, value: object) -> None:
        self.stdout.write(json.dumps(value, ensure_ascii=False) + "\n")
        self.stdout.flush()

    def fail(self, status: int, message: str) -> NoReturn:
        self.error(message)
        if self.json:
            self.emit_json({"ok": False, "error": {"kind": "usage", "message": message}})
        raise _Stop(status)


# ---- shared helpers ---------------------------------------------------------------------

def _line_number(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a line number: {text!r}") from None
    if not 1 <= value <= _LINE_HINT_MAX:
        raise argparse.ArgumentTypeError(f"line number out of range 1..{_LINE_HINT_MAX}: {value}")
    return value


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {value}")
    return value


def _read_input(out: _Out, name: str, stdin: IO[bytes], what: str) -> bytes:
    if name == "-":
        return stdin.read()
    try:
        with open(name, "rb") as f:
            return f.read()
    except OSError as e:
        out.fail(EXIT_ERROR, f"{name}: cannot read {what}: {e.strerror or e}")


def _decode(out: _Out, data: bytes, name: str) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        out.fail(EXIT_ERROR, f"{name}: not UTF-8 text: undecodable byte "
                             f"0x{data[e.start]:02x} at offset {e.start}")


def _result_json(result: ReplaceResult, key: str, number: int) -> dict[str, Any]:
    return {
        key: number,
        "strategy": result.strategy,
        "exact": result.strategy == "simple",
        "start_line": result.start_line,
        "end_line": result.end_line,
        "matched_text": result.matched_text,
    }


def _closest_json(closest: FuzzyMatchInfo | None) -> dict[str, Any] | None:
    return None if closest is None else {
        "similarity": closest.similarity,
        "start_line": closest.start_line,
        "end_line": closest.end_line,
        "text": closest.text,
        "diff": closest.diff,
    }


def _failure_json(error: TryReplaceResult, index: int | None) -> dict[str, Any]:
    return {
        "kind": error.error_type,
        "index": index,
        "message": error.error,
        "closest_match": _closest_json(error.closest_match),
        "locations": error.locations,
    }


def _failure_status(error: TryReplaceResult) -> int:
    # Equal old and new texts are a mistake in the request, not a text that was not found.
    return EXIT_ERROR if error.error_type == "no_change" else EXIT_FAILED


def _advice(error: TryReplaceResult, hint_flag: bool, all_flag: bool) -> str | None:
    if error.error_type != "multiple_matches":
        return None
    ways = []
    if hint_flag:
        ways.append("--line-hint N to take the occurrence nearest line N")
    if all_flag:
        ways.append("--all to replace every occurrence")
    ways.append("more context lines to make the text unique")
    return "hint: use " + ", or ".join(ways)


class _Placed(Protocol):
    """A placed edit: the cascade's result, or a patch's placement."""

    @property
    def strategy(self) -> str: ...
    @property
    def start_line(self) -> int: ...
    @property
    def end_line(self) -> int: ...


def _report_placements(out: _Out, name: str, results: Sequence[_Placed],
                       labels: Sequence[str]) -> None:
    for result, label in zip(results, labels):
        where = (f"line {result.start_line}" if result.start_line == result.end_line
                 else f"lines {result.start_line}-{result.end_line}")
        if result.strategy == "simple":
            out.note(f"{name}: {label}placed exactly (strategy 'simple') at {where}")
        else:
            out.warn(f"{name}: {label}not found exactly; placed by the tolerant strategy "
                     f"'{result.strategy}' at {where}; check the diff")


# ---- replace ----------------------------------------------------------------------------

def _text_option(out: _Out, text: str | None, file: str | None, stdin: IO[bytes],
                 flag: str) -> str:
    if text is not None:
        return text
    assert file is not None
    return _decode(out, _read_input(out, file, stdin, f"the {flag} text"), file)


def _cmd_replace(args: argparse.Namespace, out: _Out, stdin: IO[bytes]) -> int:
    if args.old_file == "-" and args.new_file == "-":
        # The second read would find stdin used up and take "" as its text.
        out.fail(EXIT_ERROR, "--old-file and --new-file cannot both read stdin")
    old = _text_option(out, args.old, args.old_file, stdin, "--old")
    new = _text_option(out, args.new, args.new_file, stdin, "--new")
    name = args.file
    try:
        edit = edit_file(name, old, new, replace_all=args.all, line_hint=args.line_hint,
                         write=args.write)
    except EditFailed as e:
        out.error(f"{name}: {e.message}")
        advice = _advice(e.error, True, True)
        if advice:
            out.note(advice)
        if out.json:
            out.emit_json({"ok": False, "path": name, "error": _failure_json(e.error, None)})
        return _failure_status(e.error)
    except FileEditError as e:
        out.error(str(e))
        if out.json:
            out.emit_json({"ok": False, "path": name,
                           "error": {"kind": _error_kind(e), "message": str(e)}})
        return EXIT_ERROR
    diff = unified_diff(name, edit.old_text, edit.new_text)
    out.diff(diff)
    _report_placements(out, name, edit.results, [""])
    _report_written(out, [edit], args.write)
    if out.json:
        out.emit_json({"ok": True, "path": name, "written": edit.written, "exact": edit.exact,
                       "edits": [_result_json(r, "index", i) for i, r in enumerate(edit.results)],
                       "diff": diff})
    return EXIT_OK


def _error_kind(error: FileEditError) -> str:
    if isinstance(error, DecodeFailed):
        return "decode"
    if isinstance(error, FileChanged):
        return "changed"
    return "io"


def _report_written(out: _Out, edits: Sequence[FileEdit | None], write: bool,
                    extra: int = 0) -> None:
    changing = sum(1 for e in edits if e is not None and e.old_text != e.new_text) + extra
    files = "file" if changing == 1 else "files"
    if write:
        out.note(f"wrote {changing} {files}")
    elif changing:
        out.note(f"dry run: {changing} {files} would change; add --write to apply")
    else:
        out.note("dry run: nothing would change")


# ---- apply ------------------------------------------------------------------------------

_APPLY_KEYS: Final = {"path", "old_string", "new_string", "replace_all", "line_hint"}


def _check_apply_item(out: _Out, index: int, item: object) -> dict[str, Any]:
    where = f"edit {index}"
    if not isinstance(item, dict):
        out.fail(EXIT_ERROR, f"{where}: expected an object, got {type(item).__name__}")
    unknown = sorted(set(item) - _APPLY_KEYS)
    if unknown:
        out.fail(EXIT_ERROR, f"{where}: unknown key {unknown[0]!r}")
    for key in ("path", "old_string", "new_string"):
        if not isinstance(item.get(key), str):
            out.fail(EXIT_ERROR, f"{where}: {key!r} must be a string")
    if not isinstance(item.get("replace_all", False), bool):
        out.fail(EXIT_ERROR, f"{where}: 'replace_all' must be true or false")
    hint = item.get("line_hint")
    if hint is not None and (isinstance(hint, bool) or not isinstance(hint, int)
                             or not 0 <= hint <= _LINE_HINT_MAX):
        out.fail(EXIT_ERROR, f"{where}: 'line_hint' must be null or a line number")
    return item


def _root(out: _Out, root: str | None) -> pathlib.Path:
    path = pathlib.Path(root if root is not None else os.getcwd())
    if not path.is_dir():
        out.fail(EXIT_ERROR, f"--root {root}: not a folder")
    return path


def _confine_all(out: _Out, root: pathlib.Path, names: Sequence[str]) -> dict[str, pathlib.Path]:
    resolved: dict[str, pathlib.Path] = {}
    refused = []
    for name in names:
        if name in resolved:
            continue
        try:
            resolved[name] = confine(root, name)
        except PathRefused as e:
            refused.append(f"{name!r} refused: {e.reason}")
    if refused:
        for message in refused:
            out.error(message)
        out.fail(EXIT_ERROR, f"{len(refused)} path(s) outside {root}; nothing was written")
    return resolved


@dataclasses.dataclass
class _FileReport:
    name: str
    action: str = "modify"
    edit: FileEdit | None = None
    status: int = EXIT_OK
    error: dict[str, Any] | None = None
    diff: str = ""
    written: bool = False
    # The index in the edit list of each result.
    numbers: list[int] = dataclasses.field(default_factory=list)

    def json(self) -> dict[str, Any]:
        edit = self.edit
        return {
            "path": self.name,
            "action": self.action,
            "ok": self.status == EXIT_OK,
            "written": self.written,
            "exact": edit.exact if edit is not None else None,
            "edits": [] if edit is None else [
                _result_json(r, "index", n) for r, n in zip(edit.results, self.numbers)],
            "diff": self.diff,
            "error": self.error,
        }


def _cmd_apply(args: argparse.Namespace, out: _Out, stdin: IO[bytes]) -> int:
    data = _read_input(out, args.edits, stdin, "the edit list")
    try:
        items = json.loads(_decode(out, data, args.edits))
    except json.JSONDecodeError as e:
        out.fail(EXIT_ERROR, f"{args.edits}: not JSON: {e}")
    if not isinstance(items, list):
        out.fail(EXIT_ERROR, f"{args.edits}: expected a JSON list of edits")
    items = [_check_apply_item(out, i, item) for i, item in enumerate(items)]
    root = _root(out, args.root)
    real = _confine_all(out, root, [item["path"] for item in items])
    # Edits to one file are applied together, in their order in the list, all or nothing.
    groups: dict[pathlib.Path, tuple[str, list[int]]] = {}
    for index, item in enumerate(items):
        groups.setdefault(real[item["path"]], (item["path"], []))[1].append(index)

    def edits_of(indexes: list[int]) -> list[Any]:
        return [{k: v for k, v in items[i].items() if k != "path"} for i in indexes]

    reports = []
    for path, (name, indexes) in groups.items():
        report = _FileReport(name, numbers=indexes)
        try:
            report.edit = apply_edits(path, edits_of(indexes), write=False)
        except EditFailed as e:
            index = indexes[e.index]
            out.error(f"{name}: edit {index} failed: {e.message}")
            advice = _advice(e.error, True, True)
            if advice:
                out.note(advice.replace("--line-hint N", '"line_hint": N').replace(
                    "--all", '"replace_all": true'))
            report.status = _failure_status(e.error)
            report.error = _failure_json(e.error, index)
        except FileEditError as e:
            out.error(str(e).replace(str(path), name, 1))
            report.status = EXIT_ERROR
            report.error = {"kind": _error_kind(e), "message": str(e)}
        reports.append(report)
    return _finish_files(args, out, reports, groups, edits_of)


def _finish_files(args: argparse.Namespace, out: _Out, reports: list[_FileReport],
                  groups: dict[pathlib.Path, tuple[str, list[int]]],
                  edits_of: Any) -> int:
    status = max((r.status for r in reports), default=EXIT_OK)
    stop = status == EXIT_ERROR
    if stop and args.write:
        out.note("nothing was written")
    for report, (path, (name, indexes)) in zip(reports, groups.items()):
        if report.edit is None:
            continue
        if args.write and not stop:
            try:
                report.edit = apply_edits(path, edits_of(indexes), write=True)
                report.written = report.edit.written
            except EditFailed as e:  # the file changed since the dry run
                out.error(f"{name}: edit {indexes[e.index]} failed: {e.message}")
                report.status = _failure_status(e.error)
                report.error = _failure_json(e.error, indexes[e.index])
                continue
            except FileEditError as e:
                out.error(str(e).replace(str(path), name, 1))
                report.status = EXIT_ERROR
                report.error = {"kind": _error_kind(e), "message": str(e)}
                continue
        edit = report.edit
        report.diff = unified_diff(name, edit.old_text, edit.new_text)
        out.diff(report.diff)
        _report_placements(out, name, edit.results, [f"edit {i}: " for i in indexes])
    if not stop:
        _report_written(out, [r.edit for r in reports if r.status == EXIT_OK], args.write)
    status = max((r.status for r in reports), default=EXIT_OK)
    if out.json:
        out.emit_json({"ok": status == EXIT_OK, "files": [r.json() for r in reports]})
    return status


# ---- apply-patch ------------------------------------------------------------------------

# Failures of a file that the command reports with exit status 2: its file could not be taken
# in or written, rather than a patch that does not fit.
_PATCH_ERRORS: Final = frozenset({"io", "decode", "missing", "changed", "no_change"})
_ACTION_VERB: Final = {"create": "creates", "delete": "deletes", "move": "moves"}


def _patch_status(file: FilePatchResult) -> int:
    if file.error is None:
        return EXIT_OK
    return EXIT_ERROR if file.error.kind in _PATCH_ERRORS else EXIT_FAILED


def _patch_failure_text(file: FilePatchResult, word: str) -> str:
    error = file.error
    assert error is not None
    if error.edit is None:
        return f"{file.path}: {error.message}"
    return (f"{file.path}: {word} {error.edit + 1} (patch line {error.patch_line}) failed: "
            f"{error.message}")


def _patch_file_json(file: FilePatchResult) -> dict[str, Any]:
    error = file.error
    return {
        "path": file.path,
        "action": file.action,
        "old_path": file.old_path,
        "ok": file.ok,
        "written": file.written,
        "exact": all(p.exact for p in file.placements)
        if file.ok and file.action in ("modify", "move") else None,
        "edits": [{"hunk": p.edit + 1, "patch_line": p.patch_line, "strategy": p.strategy,
                   "exact": p.exact, "start_line": p.start_line, "end_line": p.end_line,
                   "matched_text": p.matched_text}
                  for p in file.placements],
        "diff": file.diff,
        "error": None if error is None else {
            "kind": error.kind,
            "message": error.message,
            "hunk": None if error.edit is None else error.edit + 1,
            "patch_line": error.patch_line,
            "closest_match": _closest_json(error.closest_match),
            "locations": list(error.locations) or None,
        },
    }


def _report_patch(out: _Out, result: PatchResult, write: bool, status: int) -> None:
    word = EDIT_WORD[result.format]
    for file in result.files:
        if file.ok:
            out.diff(file.diff)
            _report_placements(out, file.path, file.placements,
                               [f"{word} {p.edit + 1}: " for p in file.placements])
            verb = _ACTION_VERB.get(file.action)
            if file.action == "move":
                out.note(f"{file.path}: the patch moves {file.old_path} to this file")
            elif verb:
                out.note(f"{file.path}: the patch {verb} this file")
    if status == EXIT_ERROR:
        return
    if write:
        count = sum(1 for f in result.files if f.written)
        out.note(f"wrote {count} {'file' if count == 1 else 'files'}")
    else:
        changing = sum(1 for f in result.files if f.ok and (f.action != "modify" or f.diff))
        if changing:
            out.note(f"dry run: {changing} {'file' if changing == 1 else 'files'} would "
                     "change; add --write to apply")
        else:
            out.note("dry run: nothing would change")
    failed = [f.path for f in result.files if not f.ok]
    if failed:
        out.note(f"not changed, because a {word} failed: " + ", ".join(failed))


def _cmd_apply_patch(args: argparse.Namespace, out: _Out, stdin: IO[bytes]) -> int:
    source = args.patch if args.patch is not None else "-"
    label = "stdin" if source == "-" else source
    text = _decode(out, _read_input(out, source, stdin, "the patch"), label)
    try:
        parsed = parse_patch(text, args.format)
    except PatchFormatError as e:
        out.fail(EXIT_ERROR, f"{label}: {e}")
    for change in parsed.files:
        if change.mode_change:
            out.warn(f"{change.path}: the patch changes the file mode; that is not applied")
    root = _root(out, args.root)
    refused = refused_paths(parsed, root)
    if refused:
        for path in refused:
            out.error(f"{path.name!r} refused: {path.reason}")
        out.fail(EXIT_ERROR, f"{len(refused)} path(s) outside {root}; nothing was written")
    try:
        result = apply_parsed(parsed, root, args.write)
    except PatchFormatError as e:
        out.fail(EXIT_ERROR, f"{label}: {e}")
    for file in result.files:
        if file.error is not None:
            out.error(_patch_failure_text(file, EDIT_WORD[result.format]))
    status = max(_patch_status(f) for f in result.files)
    if status == EXIT_ERROR and not any(f.written for f in result.files):
        out.note("nothing was written")
    _report_patch(out, result, args.write, status)
    if out.json:
        out.emit_json({"ok": status == EXIT_OK, "format": result.format,
                       "files": [_patch_file_json(f) for f in result.files]})
    return status


# ---- rank -------------------------------------------------------------------------------

def _cmd_rank(args: argparse.Namespace, out: _Out, stdin: IO[bytes]) -> int:
    candidates = []
    for number, raw in enumerate(stdin.read().split(b"\n"), 1):
        if raw.endswith(b"\r"):
            raw = raw[:-1]
        if not raw:
            continue
        try:
            candidates.append(raw.decode("utf-8"))
        except UnicodeDecodeError:
            out.warn(f"stdin line {number} is not UTF-8 text; skipped")
    ranked = get_best_matches(args.pattern, candidates)
    if args.limit is not None:
        ranked = ranked[:args.limit]
    if not ranked:
        out.note(f"nothing matches {args.pattern!r}")
        return EXIT_FAILED
    for candidate, score in ranked:
        out.stdout.write(f"{score}\t{candidate}\n" if args.scores else f"{candidate}\n")
    out.stdout.flush()
    return EXIT_OK


# ---- locate -----------------------------------------------------------------------------

class _Lines:
    """Turns the matcher's byte ranges, which count in the source lines joined with "\\n",
    into line numbers and into byte offsets of the file itself (with its byte-order mark and
    "\\r" bytes)."""

    def __init__(self, data: bytes, lines: list[str]) -> None:
        self.joined: list[int] = []
        self.file: list[int] = []
        joined = 0
        position = len(_BOM) if data.startswith(_BOM) else 0
        for line in lines:
            self.joined.append(joined)
            self.file.append(position)
            joined += len(line.encode("utf-8")) + 1
            newline = data.find(b"\n", position)
            position = len(data) if newline < 0 else newline + 1

    def line_of(self, offset: int) -> int:
        return max(0, bisect.bisect_right(self.joined, offset) - 1)

    def file_offset(self, offset: int) -> int:
        if not self.joined:
            return 0
        k = self.line_of(offset)
        return self.file[k] + (offset - self.joined[k])

    def describe(self, r: MatchRange) -> dict[str, int]:
        first = self.line_of(r.start)
        last = self.line_of(r.end - 1) if r.end > r.start else first
        return {"start_line": first + 1, "end_line": last + 1,
                "start": self.file_offset(r.start), "end": self.file_offset(r.end)}


def _cmd_locate(args: argparse.Namespace, out: _Out, stdin: IO[bytes]) -> int:
    name = args.file
    try:
        with open(name, "rb") as f:
            data = f.read()
    except OSError as e:
        out.fail(EXIT_ERROR, f"{name}: cannot read: {e.strerror or e}")
    body = data[len(_BOM):] if data.startswith(_BOM) else data
    try:
        source = body.decode("utf-8")
    except UnicodeDecodeError as e:
        offset = e.start + len(data) - len(body)
        out.fail(EXIT_ERROR, f"{name}: not UTF-8 text: undecodable byte "
                             f"0x{data[offset]:02x} at offset {offset}")
    matcher = StreamingFuzzyMatcher(source)
    lines = _Lines(data, matcher.source_lines)
    # The matcher counts lines from 0, the command line from 1 like every other line number.
    hint = None if args.line_hint is None else args.line_hint - 1
    decoder = codecs.getincrementaldecoder("utf-8")()
    shown: tuple[int, int] | None = None
    received = 0

    def show(found: MatchRange | None) -> None:
        nonlocal shown
        if found is None or (found.start, found.end) == shown:
            return
        shown = (found.start, found.end)
        place = lines.describe(found)
        if out.json:
            out.emit_json({"event": "range", **place})
        else:
            out.stdout.write(f"range lines {place['start_line']}-{place['end_line']} "
                             f"bytes {place['start']}-{place['end']}\n")
            out.stdout.flush()

    fd = stdin.fileno()
    while True:
        # os.read returns what has arrived so far, so each chunk is matched as soon as the
        # writer sends it rather than when a buffer fills.
        chunk = os.read(fd, 65536)
        try:
            text = decoder.decode(chunk, final=not chunk)
        except UnicodeDecodeError as e:
            out.fail(EXIT_ERROR, f"stdin: not UTF-8 text at offset {received + e.start}")
        received += len(chunk)
        if text or hint is not None:
            show(matcher.push(text, hint))
            hint = None  # a hint once given stays with the matcher
        if not chunk:
            break
    ranges = matcher.finish()
    best = matcher.select_best_match()
    if best is None and len(ranges) == 1:
        best = ranges[0]
    if best is None:
        if ranges:
            places = [lines.describe(r) for r in ranges]
            out.error(f"{name}: the text fits {len(ranges)} places equally: lines "
                      + ", ".join(f"{p['start_line']}-{p['end_line']}" for p in places)
                      + "; give --line-hint N to choose")
            if out.json:
                out.emit_json({"event": "ambiguous", "ranges": places})
        else:
            out.error(f"{name}: the text was not located")
            if out.json:
                out.emit_json({"event": "not_found"})
        return EXIT_FAILED
    show(best)
    place = lines.describe(best)
    text = matcher.get_text(best)
    if out.json:
        out.emit_json({"event": "located", **place, "text": text})
    else:
        out.stdout.write(f"located lines {place['start_line']}-{place['end_line']} "
                         f"bytes {place['start']}-{place['end']}\n{text}\n")
        out.stdout.flush()
    return EXIT_OK


# ---- the parser -------------------------------------------------------------------------

class _Formatter(argparse.HelpFormatter):
    """Wraps prose paragraphs to the terminal, and keeps a paragraph laid out in indented
    lines (the exit status table) as it is written."""

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        filled = []
        for paragraph in text.strip("\n").split("\n\n"):
            if "\n " in paragraph:
                filled.append("\n".join(indent + line for line in paragraph.splitlines()))
            else:
                filled.append(super()._fill_text(paragraph, width, indent))
        return "\n\n".join(filled)


def _parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    # Accepted before and after the command name. Without a default of its own in either
    # place, the command's parser cannot reset a value given before the command to "auto".
    common.add_argument("--color", choices=MODES, default=argparse.SUPPRESS,
                        help="colour diffs: auto (when stdout is a terminal and NO_COLOR is "
                             "unset), always or never (default: auto)")
    parser = argparse.ArgumentParser(
        prog="marlune-search",
        description="Fuzzy search-and-replace in files, tolerant patches, fuzzy ranking and "
                    "streaming location. Commands that edit files only show the diff unless "
                    "--write is given.",
        epilog=_EXIT_HELP, formatter_class=_Formatter,
        parents=[common])
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help: str, description: str) -> argparse.ArgumentParser:
        return commands.add_parser(name, help=help, description=description, epilog=_EXIT_HELP,
                                   formatter_class=_Formatter,
                                   parents=[common])

    p = command("replace", "replace a text in a file",
                "Replace one text in FILE by another, placed by the matching cascade. The "
                "strategy that placed it is reported; a warning says when it was not an exact "
                "match. On failure the closest match, its diff and advice go to stderr.")
    p.add_argument("file", metavar="FILE", help="the file to edit")
    old = p.add_mutually_exclusive_group(required=True)
    old.add_argument("--old", metavar="TEXT", help="the text to find")
    old.add_argument("--old-file", metavar="F", help="read the text to find from F ('-': stdin)")
    new = p.add_mutually_exclusive_group(required=True)
    new.add_argument("--new", metavar="TEXT", help="the replacement")
    new.add_argument("--new-file", metavar="F", help="read the replacement from F ('-': stdin)")
    p.add_argument("--all", action="store_true", help="replace every occurrence")
    p.add_argument("--line-hint", metavar="N", type=_line_number,
                   help="take the occurrence nearest line N (1-based) when there are several")
    _write_json(p)
    p.set_defaults(run=_cmd_replace)

    p = command("apply", "apply a JSON list of edits",
                "Apply the edits of EDITS.json ('-': stdin), a JSON list of objects with the "
                "keys path, old_string, new_string and optionally replace_all and line_hint. "
                "The edits of one file are applied in order, each to the result of the one "
                "before, all or nothing; files whose edits all succeed are written even when "
                "another file's edit fails. Paths are relative to the root folder and may not "
                "leave it.")
    p.add_argument("edits", metavar="EDITS.json", help="the edit list ('-': stdin)")
    _root_write_json(p)
    p.set_defaults(run=_cmd_apply)

    p = command("apply-patch", "apply a patch tolerantly: a unified diff, search/replace "
                "blocks or a patch envelope",
                "Apply a patch from PATCH (default: stdin): a unified diff, search/replace "
                "blocks or a '*** Begin Patch' envelope, told apart from the text unless "
                "--format names one. Each edit's old side is placed by the matching cascade "
                "(a hunk's line number is a hint), so wrong line numbers and whitespace "
                "damage are tolerated; the old side must still equal the file's text up to "
                "whitespace. An edit that fails is reported with its diagnostics and nothing "
                "is written for its file. Files are created, deleted and (envelope) moved; "
                "renames in unified diffs are refused. Paths are relative to the root folder "
                "and may not leave it.")
    p.add_argument("patch", metavar="PATCH", nargs="?", help="the patch file ('-' or none: stdin)")
    p.add_argument("--format", choices=("auto", "unified", "blocks", "envelope"),
                   default="auto",
                   help="the patch format (default: auto, told from the text)")
    _root_write_json(p)
    p.set_defaults(run=_cmd_apply_patch)

    p = command("rank", "rank lines of stdin by a fuzzy pattern",
                "Read candidates from stdin, one a line, and print those that match PATTERN "
                "as an in-order subsequence, best first.")
    p.add_argument("pattern", metavar="PATTERN")
    p.add_argument("--limit", metavar="N", type=_positive, help="print at most N candidates")
    p.add_argument("--scores", action="store_true", help="print each score before its line")
    p.set_defaults(run=_cmd_rank)

    p = command("locate", "locate streamed text in a file",
                "Read a text from stdin as it arrives and locate it in FILE line by line: each "
                "time the best range changes it is printed (lines, 1-based, and the byte range "
                "in the file), then the located text.")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--line-hint", metavar="N", type=_line_number,
                   help="prefer the range nearest line N (1-based) when there are several")
    p.add_argument("--json", action="store_true",
                   help="print one JSON object a line: each range, then the result")
    p.set_defaults(run=_cmd_locate)

    p = command("mcp", "serve file tools to an agent over the Model Context Protocol",
                "Serve reading, finding, editing and patching the files under the root "
                "folder as Model Context Protocol tools, over standard input and output. "
                "Needs the optional extra: pip install 'marlune-search[mcp]'.")
    p.add_argument("--root", metavar="DIR",
                   help="the folder whose files are served; nothing outside it is read or "
                        "written (default: the current folder)")
    p.add_argument("--read-only", action="store_true",
                   help="refuse every tool call that would write (dry runs still work)")
    p.set_defaults(run=_cmd_mcp)
    return parser


def _cmd_mcp(args: argparse.Namespace, out: _Out, stdin: IO[bytes]) -> int:
    # Imported here: the server needs the optional extra, which the other commands do not.
    from ._mcp_server import run

    return run(args.root, args.read_only)


def _write_json(p: argparse.ArgumentParser) -> None:
    p.add_argument("--write", action="store_true",
                   help="write the change (default: only show the diff)")
    p.add_argument("--json", action="store_true", help="print the outcome as one JSON object")


def _root_write_json(p: argparse.ArgumentParser) -> None:
    p.add_argument("--root", metavar="DIR",
                   help="the folder the paths are relative to and must stay in (default: the "
                        "current folder)")
    _write_json(p)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); returns the exit
    status."""
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:
        return e.code if isinstance(e.code, int) else EXIT_ERROR
    out = _Out(sys.stdout, sys.stderr,
               wants_color(getattr(args, "color", "auto"), sys.stdout, os.environ),
               getattr(args, "json", False))
    try:
        return int(args.run(args, out, sys.stdin.buffer))
    except _Stop as stop:
        return stop.status
    except BrokenPipeError:
        # A reader that went away (``| head``) is not an error of ours; keep the interpreter
        # from complaining about the closed stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OK
    except KeyboardInterrupt:
        return 130

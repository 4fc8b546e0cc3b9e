"""The Model Context Protocol server, driven as an agent drives it: ``marlune-search mcp`` as a
subprocess on a temporary root, spoken to through the SDK's own stdio client and session.

One server serves the whole module (and one more with --read-only); each test works in a
folder of its own under the root. Every test that edits checks the bytes on disk afterwards:
a dry run, a refused path, a read-only server and a failed edit must leave each file exactly as
it was.
"""

from __future__ import annotations

import contextlib
import dataclasses
import importlib.util
import itertools
import json
import os
import pathlib
import shutil
import subprocess
import sys
import threading
from collections.abc import AsyncIterator, Iterator
from typing import Any

import pytest

pytest.importorskip("marlune_search")

from _marlune_search import try_replace_content  # noqa: E402

HAVE_MCP = importlib.util.find_spec("mcp") is not None
needs_mcp = pytest.mark.skipif(not HAVE_MCP, reason="the mcp extra is not installed")

SOURCE = "def f():\n    return 1\n\ndef g():\n    return 1\n"
_folders = itertools.count()


def server_env() -> dict[str, str]:
    """What the server needs beyond the client's default environment: the test run's module
    path, so that it imports the same package as the tests."""
    return {k: os.environ[k] for k in ("PYTHONPATH",) if k in os.environ}


def server_command(root: pathlib.Path, *flags: str) -> list[str]:
    return [sys.executable, "-m", "marlune_search", "mcp", "--root", str(root), *flags]


# ---- without the extra ------------------------------------------------------------------

def test_without_the_extra_the_command_names_it_and_exits_2(tmp_path: pathlib.Path) -> None:
    if HAVE_MCP:
        # Where the SDK is installed, importing it is made to fail as if it were not.
        args = ["-c", "import sys; sys.modules['mcp'] = None; "
                      "from marlune_search.cli import main; sys.exit(main(['mcp']))"]
    else:
        args = ["-m", "marlune_search", "mcp"]
    proc = subprocess.run([sys.executable, *args], cwd=tmp_path, input=b"", capture_output=True,
                          timeout=120, check=False)
    assert proc.returncode == 2
    assert "pip install 'marlune-search[mcp]'" in proc.stderr.decode()
    assert proc.stdout == b""


# ---- one server for the module ----------------------------------------------------------

@dataclasses.dataclass
class Server:
    """A running server and a synchronous way to call it from the tests."""

    root: pathlib.Path
    portal: Any
    session: Any

    def call(self, tool: str, **arguments: Any) -> Any:
        return self.portal.call(self.session.call_tool, tool, arguments)

    def folder(self) -> tuple[pathlib.Path, str]:
        """A fresh folder under the root and its path relative to the root."""
        name = f"t{next(_folders)}"
        path = self.root / name
        path.mkdir()
        return path, name


@contextlib.asynccontextmanager
async def connect(root: pathlib.Path, log: pathlib.Path, *flags: str) -> AsyncIterator[Any]:
    from mcp import ClientSession, StdioServerParameters, stdio_client

    command = server_command(root, *flags)
    params = StdioServerParameters(command=command[0], args=command[1:], env=server_env())
    with open(log, "w") as errlog:
        async with stdio_client(params, errlog=errlog) as (read, write):
            async with ClientSession(read, write) as session:
                await session.initialize()
                yield session


@pytest.fixture(scope="module")
def portal() -> Iterator[Any]:
    pytest.importorskip("mcp")
    from anyio.from_thread import start_blocking_portal

    with start_blocking_portal() as p:
        yield p


def _serve(portal: Any, factory: pytest.TempPathFactory, *flags: str) -> Iterator[Server]:
    root = factory.mktemp("served")
    log = root.parent / f"{root.name}.log"
    with portal.wrap_async_context_manager(connect(root, log, *flags)) as session:
        yield Server(root, portal, session)


@pytest.fixture(scope="module")
def server(portal: Any, tmp_path_factory: pytest.TempPathFactory) -> Iterator[Server]:
    yield from _serve(portal, tmp_path_factory)


@pytest.fixture(scope="module")
def read_only(portal: Any, tmp_path_factory: pytest.TempPathFactory) -> Iterator[Server]:
    yield from _serve(portal, tmp_path_factory, "--read-only")


def write(path: pathlib.Path, data: str | bytes) -> pathlib.Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data.encode() if isinstance(data, str) else data)
    return path


def texts(result: Any) -> list[str]:
    return [block.text for block in result.content]


# ---- the tool list ----------------------------------------------------------------------

@pytest.mark.parametrize("tool, required, optional, read_only_hint", [
    ("read_file", {"path"}, {"offset": 1, "limit": 2000}, True),
    ("edit_file", {"path", "old_string", "new_string"},
     {"replace_all": False, "line_hint": None, "dry_run": False}, False),
    ("apply_edits", {"path", "edits"}, {"dry_run": False}, False),
    ("apply_patch", {"patch"}, {"dry_run": False, "format": "auto"}, False),
    ("find_files", {"query"}, {"limit": 20}, True),
])
def test_each_tool_is_listed_with_its_arguments_and_an_output_schema(
        server: Server, tool: str, required: set[str], optional: dict[str, Any],
        read_only_hint: bool) -> None:
    tools = {t.name: t for t in server.portal.call(server.session.list_tools).tools}
    assert set(tools) == {"read_file", "edit_file", "apply_edits", "apply_patch", "find_files"}
    listed = tools[tool]
    schema = listed.input_schema
    assert set(schema["required"]) == required
    assert set(schema["properties"]) == required | set(optional)
    assert {k: schema["properties"][k].get("default") for k in optional} == optional
    assert all(p.get("description") for p in schema["properties"].values())
    assert {"ok", "error"} <= set(listed.output_schema["properties"])
    assert listed.annotations.read_only_hint is read_only_hint


def test_the_edit_list_and_the_patch_format_are_typed_in_the_schema(server: Server) -> None:
    tools = {t.name: t for t in server.portal.call(server.session.list_tools).tools}
    edits = tools["apply_edits"].input_schema
    item = edits["$defs"][edits["properties"]["edits"]["items"]["$ref"].rsplit("/", 1)[1]]
    assert set(item["required"]) == {"old_string", "new_string"}
    assert set(item["properties"]) == {"old_string", "new_string", "replace_all", "line_hint"}
    assert tools["apply_patch"].input_schema["properties"]["format"]["enum"] == [
        "auto", "unified", "blocks", "envelope"]


# ---- read_file --------------------------------------------------------------------------

@pytest.mark.parametrize("data, offset, limit, shown, note, total", [
    ("a\nb\nc\n", 1, 2000, ["a", "b", "c"], "[lines 1-3 of 3]", 3),
    ("a\nb\nc", 2, 1, ["b"], "[lines 2-2 of 3; the range was cut at limit=1: call again with "
                             "offset=3 to read on]", 3),
    ("a\r\nb\r\n", 1, 5, ["a", "b"], "[lines 1-2 of 2]", 2),
    ("\ufeffx\n\n", 1, 5, ["x", ""], "[lines 1-2 of 2]", 2),
    ("one\rline\n", 1, 5, ["one\rline"], "[lines 1-1 of 1]", 1),
    ("", 1, 5, [], "[{path} is empty]", 0),
])
def test_read_file_numbers_the_lines_and_counts_them(
        server: Server, data: str, offset: int, limit: int, shown: list[str], note: str,
        total: int) -> None:
    folder, rel = server.folder()
    write(folder / "f.txt", data)
    result = server.call("read_file", path=f"{rel}/f.txt", offset=offset, limit=limit)
    assert not result.is_error
    numbered = [f"{n:>6}\t{line}" for n, line in enumerate(shown, offset)]
    assert texts(result) == ["\n".join([*numbered, note.format(path=f"{rel}/f.txt")])]
    out = result.structured_content
    assert (out["total_lines"], out["cut"], out["text"]) == (total, "cut" in note,
                                                            "\n".join(shown))


@pytest.mark.parametrize("make, arguments, kind, words", [
    (lambda d: write(d / "b.bin", b"ok\n\xff\xfe"), {"path": "b.bin"}, "decode", "not UTF-8"),
    (lambda d: None, {"path": "none.txt"}, "io", "cannot read"),
    (lambda d: (d / "sub").mkdir(), {"path": "sub"}, "io", "cannot read"),
    (lambda d: write(d / "s.txt", "a\nb\n"), {"path": "s.txt", "offset": 4}, "range",
     "past the end"),
])
def test_read_file_refuses_what_it_cannot_show(server: Server, make: Any,
                                               arguments: dict[str, Any], kind: str,
                                               words: str) -> None:
    folder, rel = server.folder()
    make(folder)
    result = server.call("read_file", **{**arguments, "path": f"{rel}/{arguments['path']}"})
    assert result.is_error
    assert result.structured_content["error"]["kind"] == kind
    assert words in texts(result)[0]
    assert str(server.root) not in texts(result)[0]


# ---- paths outside the root, for every tool ---------------------------------------------

def _path_calls(name: str) -> list[tuple[str, dict[str, Any]]]:
    return [
        ("read_file", {"path": name}),
        ("edit_file", {"path": name, "old_string": "secret", "new_string": "x"}),
        ("apply_edits", {"path": name, "edits": [{"old_string": "secret", "new_string": "x"}]}),
        ("apply_patch", {"patch": f"--- a/{name}\n+++ b/{name}\n@@ -1 +1 @@\n-secret\n+x\n"}),
    ]


@pytest.mark.parametrize("how", ["dotdot", "absolute", "link_to_file", "link_to_folder"])
@pytest.mark.parametrize("tool_index", range(4))
def test_no_tool_reaches_outside_the_root(server: Server, tmp_path: pathlib.Path, how: str,
                                          tool_index: int) -> None:
    outside = write(tmp_path / "outside" / "s.txt", "secret\n")
    folder, rel = server.folder()
    if how == "link_to_file":
        (folder / "l.txt").symlink_to(outside)
    elif how == "link_to_folder":
        (folder / "out").symlink_to(outside.parent, target_is_directory=True)
    name = {"dotdot": os.path.relpath(outside, server.root), "absolute": str(outside),
            "link_to_file": f"{rel}/l.txt", "link_to_folder": f"{rel}/out/s.txt"}[how]
    tool, arguments = _path_calls(name)[tool_index]
    result = server.call(tool, **arguments)
    assert result.is_error, texts(result)
    assert result.structured_content["error"]["kind"] == "path"
    assert "secret" not in "".join(texts(result))
    assert outside.read_bytes() == b"secret\n"


# ---- edit_file and apply_edits ----------------------------------------------------------

@pytest.mark.parametrize("dry_run", [False, True])
def test_an_exact_edit_reports_its_placement_and_diff(server: Server, dry_run: bool) -> None:
    folder, rel = server.folder()
    f = write(folder / "a.py", SOURCE)
    result = server.call("edit_file", path=f"{rel}/a.py", old_string="def g():",
                         new_string="def h():", dry_run=dry_run)
    assert not result.is_error, texts(result)
    expected = SOURCE.replace("def g():", "def h():")
    assert f.read_text() == (SOURCE if dry_run else expected)
    out = result.structured_content
    assert (out["ok"], out["written"], out["exact"], out["dry_run"]) == (
        True, not dry_run, True, dry_run)
    assert out["placements"] == [{"edit": 0, "strategy": "simple", "exact": True,
                                  "start_line": 4, "end_line": 4, "patch_line": None}]
    assert out["diff"].startswith(f"--- a/{rel}/a.py\n+++ b/{rel}/a.py\n")
    assert "-def g():\n+def h():\n" in out["diff"]
    assert out["diff"] in texts(result)[0] and "placed exactly at line 4" in texts(result)[0]
    assert ("dry run" in texts(result)[0]) is dry_run


def test_a_tolerant_edit_says_so_and_shows_the_diff(server: Server) -> None:
    folder, rel = server.folder()
    f = write(folder / "a.py", SOURCE)
    # The model lost the indentation of the body.
    result = server.call("edit_file", path=f"{rel}/a.py", old_string="def g():\nreturn 1",
                         new_string="def g():\n    return 2")
    assert not result.is_error, texts(result)
    assert f.read_text() == "def f():\n    return 1\n\ndef g():\n    return 2\n"
    (placement,) = result.structured_content["placements"]
    assert placement["exact"] is False and placement["strategy"] != "simple"
    assert (placement["start_line"], placement["end_line"]) == (4, 5)
    assert f"tolerant strategy '{placement['strategy']}'" in texts(result)[0]
    assert "-    return 1\n+    return 2\n" in result.structured_content["diff"]


@pytest.mark.parametrize("old, new, kind", [
    ("def gg():\n    return 7", "x", "not_found"),
    ("return 1", "return 2", "multiple_matches"),
    ("def f():", "def f():", "no_change"),
])
def test_a_failed_edit_is_a_tool_error_with_the_engines_message(server: Server, old: str,
                                                                new: str, kind: str) -> None:
    folder, rel = server.folder()
    f = write(folder / "a.py", SOURCE)
    engine = try_replace_content(SOURCE, old, new)
    result = server.call("edit_file", path=f"{rel}/a.py", old_string=old, new_string=new)
    assert result.is_error
    assert texts(result) == [engine.error]
    error = result.structured_content["error"]
    assert (error["kind"], error["message"]) == (kind, engine.error)
    assert error["locations"] == (engine.locations or [])
    if kind == "not_found":
        closest = engine.closest_match
        assert error["closest_match"] == {
            "similarity": closest.similarity, "start_line": closest.start_line,
            "end_line": closest.end_line, "text": closest.text, "diff": closest.diff}
        assert "def g():" in closest.text
    if kind == "multiple_matches":
        assert error["locations"] == [2, 5]
    assert f.read_text() == SOURCE


def test_apply_edits_applies_all_in_order(server: Server) -> None:
    folder, rel = server.folder()
    f = write(folder / "a.py", SOURCE)
    result = server.call("apply_edits", path=f"{rel}/a.py", edits=[
        {"old_string": "def f():", "new_string": "def first():"},
        {"old_string": "return 1", "new_string": "return 2", "line_hint": 5},
        {"old_string": "return", "new_string": "yield", "replace_all": True},
    ])
    assert not result.is_error, texts(result)
    assert f.read_text() == "def first():\n    yield 1\n\ndef g():\n    yield 2\n"
    assert [p["edit"] for p in result.structured_content["placements"]] == [0, 1, 2]
    assert "edit 1: placed exactly" in texts(result)[0]


def test_apply_edits_with_one_failing_edit_changes_nothing(server: Server) -> None:
    folder, rel = server.folder()
    f = write(folder / "a.py", SOURCE)
    result = server.call("apply_edits", path=f"{rel}/a.py", edits=[
        {"old_string": "def f():", "new_string": "def first():"},
        {"old_string": "def missing():", "new_string": "x"},
    ])
    assert result.is_error
    engine = try_replace_content(SOURCE.replace("def f():", "def first():"), "def missing():",
                                 "x")
    assert texts(result)[0] == engine.error
    assert "edit 1 of 2 failed" in texts(result)[1]
    assert result.structured_content["error"]["edit"] == 1
    assert f.read_text() == SOURCE


def test_an_edit_keeps_the_files_line_breaks_and_byte_order_mark(server: Server) -> None:
    folder, rel = server.folder()
    f = write(folder / "w.txt", b"\xef\xbb\xbfone\r\ntwo\r\n")
    result = server.call("edit_file", path=f"{rel}/w.txt", old_string="one\ntwo",
                         new_string="one\n2")
    assert not result.is_error, texts(result)
    assert f.read_bytes() == b"\xef\xbb\xbfone\r\n2\r\n"


def test_a_file_changed_meanwhile_is_not_overwritten(tmp_path: pathlib.Path,
                                                     monkeypatch: pytest.MonkeyPatch) -> None:
    # In the server's own process, so that the other writer can step in at the last moment.
    pytest.importorskip("mcp")
    import anyio
    from mcp import Client

    from marlune_search import _file_edit
    from marlune_search._mcp_server import build_server

    f = write(tmp_path / "a.py", SOURCE)
    monkeypatch.setattr(_file_edit, "_before_replace",
                        lambda path: pathlib.Path(path).write_text("theirs\n"))

    async def edit() -> Any:
        async with Client(build_server(tmp_path)) as client:
            return await client.call_tool("edit_file", {"path": "a.py", "old_string": "def g",
                                                        "new_string": "def h"})

    result = anyio.run(edit)
    assert result.is_error
    assert result.structured_content["error"]["kind"] == "changed"
    assert "changed on disk" in texts(result)[0]
    assert f.read_text() == "theirs\n"
    assert not [p.name for p in tmp_path.iterdir() if p.name.endswith(".tmp")]


# ---- --read-only ------------------------------------------------------------------------

@pytest.mark.parametrize("tool, arguments", [
    ("edit_file", {"old_string": "def g():", "new_string": "def h():"}),
    ("apply_edits", {"edits": [{"old_string": "def g():", "new_string": "def h():"}]}),
    ("apply_patch", {}),
])
def test_a_read_only_server_refuses_writes_and_allows_dry_runs(
        read_only: Server, tool: str, arguments: dict[str, Any]) -> None:
    folder, rel = read_only.folder()
    f = write(folder / "a.py", SOURCE)
    if tool == "apply_patch":
        arguments = {"patch": f"--- a/{rel}/a.py\n+++ b/{rel}/a.py\n@@ -4 +4 @@\n"
                              "-def g():\n+def h():\n"}
    else:
        arguments = {**arguments, "path": f"{rel}/a.py"}
    refused = read_only.call(tool, **arguments)
    assert refused.is_error
    assert refused.structured_content["error"]["kind"] == "read_only"
    assert "--read-only" in texts(refused)[0]
    assert f.read_text() == SOURCE
    preview = read_only.call(tool, **arguments, dry_run=True)
    assert not preview.is_error, texts(preview)
    assert "+def h():" in texts(preview)[0]
    assert f.read_text() == SOURCE
    assert not read_only.call("read_file", path=f"{rel}/a.py").is_error


# ---- apply_patch ------------------------------------------------------------------------

def _patch(form: str, rel: str) -> str:
    """A patch that modifies x.py and creates new.txt, in each format."""
    if form == "unified":
        return (f"--- a/{rel}/x.py\n+++ b/{rel}/x.py\n@@ -4,2 +4,2 @@\n def g():\n"
                f"-    return 1\n+    return 2\n"
                f"--- /dev/null\n+++ b/{rel}/new.txt\n@@ -0,0 +1 @@\n+fresh\n")
    if form == "blocks":
        return (f"{rel}/x.py\n<<<<<<< SEARCH\ndef g():\n    return 1\n=======\ndef g():\n"
                f"    return 2\n>>>>>>> REPLACE\n\n"
                f"{rel}/new.txt\n<<<<<<< SEARCH\n=======\nfresh\n>>>>>>> REPLACE\n")
    return (f"*** Begin Patch\n*** Update File: {rel}/x.py\n@@ def g():\n def g():\n"
            f"-    return 1\n+    return 2\n*** Add File: {rel}/new.txt\n+fresh\n"
            "*** End Patch\n")


@pytest.mark.parametrize("form", ["unified", "blocks", "envelope"])
@pytest.mark.parametrize("dry_run", [False, True])
def test_a_patch_in_each_format_modifies_and_creates(server: Server, form: str,
                                                     dry_run: bool) -> None:
    folder, rel = server.folder()
    x = write(folder / "x.py", SOURCE)
    result = server.call("apply_patch", patch=_patch(form, rel), dry_run=dry_run)
    assert not result.is_error, texts(result)
    out = result.structured_content
    assert out["format"] == form and out["written"] is not dry_run
    assert [(f["path"], f["action"], f["ok"]) for f in out["files"]] == [
        (f"{rel}/x.py", "modify", True), (f"{rel}/new.txt", "create", True)]
    if dry_run:
        assert x.read_text() == SOURCE and not (folder / "new.txt").exists()
    else:
        assert x.read_text() == "def f():\n    return 1\n\ndef g():\n    return 2\n"
        assert (folder / "new.txt").read_text() == "fresh\n"
    assert "-    return 1\n+    return 2\n" in texts(result)[0]


def test_a_patch_with_a_failing_file_writes_only_the_others(server: Server) -> None:
    folder, rel = server.folder()
    good = write(folder / "good.py", SOURCE)
    bad = write(folder / "bad.py", SOURCE)
    patch = (f"{rel}/good.py\n<<<<<<< SEARCH\ndef f():\n=======\ndef first():\n"
             f">>>>>>> REPLACE\n\n{rel}/bad.py\n<<<<<<< SEARCH\ndef f():\n=======\n"
             f"def first():\n>>>>>>> REPLACE\n\n{rel}/bad.py\n<<<<<<< SEARCH\n"
             f"def nowhere():\n=======\nx\n>>>>>>> REPLACE\n")
    result = server.call("apply_patch", patch=patch)
    assert result.is_error
    assert good.read_text() == SOURCE.replace("def f():", "def first():")
    assert bad.read_text() == SOURCE
    files = {f["path"]: f for f in result.structured_content["files"]}
    error = files[f"{rel}/bad.py"]["error"]
    engine = try_replace_content(SOURCE.replace("def f():", "def first():"), "def nowhere():",
                                 "x")
    assert (error["kind"], error["message"], error["edit"]) == ("not_found", engine.error, 1)
    assert engine.error in texts(result)[0]
    assert files[f"{rel}/good.py"]["written"] and not files[f"{rel}/bad.py"]["written"]


@pytest.mark.parametrize("patch, line", [
    ("*** Begin Patch\n*** Update File: x.py\n@@\n-a\n+b\n", 1),
    ("x.py\n<<<<<<< SEARCH\na\n=======\nb\n", 2),
    ("not a patch at all\n", 1),
])
def test_an_unreadable_patch_is_a_tool_error_naming_its_line(server: Server, patch: str,
                                                             line: int) -> None:
    result = server.call("apply_patch", patch=patch)
    assert result.is_error
    error = result.structured_content["error"]
    assert error["kind"] == "patch_format"
    assert texts(result)[0].startswith(f"patch line {error['patch_line']}: ")
    assert error["patch_line"] >= line


# ---- find_files -------------------------------------------------------------------------

def test_find_files_ranks_paths_and_skips_hidden_folders_and_environments(
        server: Server) -> None:
    folder, rel = server.folder()
    for name in ["src/quokka_main.py", "docs/quokka.md", "zz/q_u_o_k_k_a.txt",
                 ".hidden/quokka_main.py", "env/quokka_main.py", "node_modules/quokka.js",
                 "src/__pycache__/quokka_main.pyc"]:
        write(folder / name, "x\n")
    write(folder / "env" / "pyvenv.cfg", "home = /usr\n")
    result = server.call("find_files", query="quokkamain", limit=5)
    assert not result.is_error, texts(result)
    out = result.structured_content
    paths = [f["path"] for f in out["files"]]
    assert paths == [f"{rel}/src/quokka_main.py"]
    assert texts(result)[0].splitlines()[0] == paths[0]
    assert out["source"] == "walk"
    limited = server.call("find_files", query="quokka", limit=2).structured_content
    assert len(limited["files"]) == 2 and limited["matches"] == 3
    scores = [f["score"] for f in limited["files"]]
    assert scores == sorted(scores, reverse=True)


@pytest.mark.skipif(shutil.which("git") is None, reason="git is not installed")
def test_a_git_work_tree_lists_what_git_lists(tmp_path: pathlib.Path) -> None:
    from marlune_search._mcp_server import list_files

    def git(*args: str) -> None:
        subprocess.run(["git", "-C", str(tmp_path), *args], check=True, capture_output=True)

    git("init", "-q")
    for name in ["sub/tracked.py", "sub/deleted.py", "sub/new.py", "sub/build/out.o", "top.py"]:
        write(tmp_path / name, "x\n")
    write(tmp_path / ".gitignore", "build/\n")
    git("add", "sub/tracked.py", "sub/deleted.py", "top.py")
    (tmp_path / "sub" / "deleted.py").unlink()
    names, source = list_files(tmp_path / "sub")
    assert (sorted(names), source) == (["new.py", "tracked.py"], "git")
    # Without git, the same folder is walked.
    env_path = os.environ["PATH"]
    try:
        os.environ["PATH"] = str(tmp_path / "no-such-bin")
        names, source = list_files(tmp_path / "sub")
    finally:
        os.environ["PATH"] = env_path
    assert (sorted(names), source) == (["build/out.o", "new.py", "tracked.py"], "walk")


# ---- standard output carries the protocol only ------------------------------------------

def _message(line: bytes) -> dict[str, Any]:
    message = json.loads(line)
    assert message["jsonrpc"] == "2.0" and ("id" in message or "method" in message), message
    return message


@needs_mcp
def test_standard_output_carries_only_protocol_messages(tmp_path: pathlib.Path) -> None:
    write(tmp_path / "a.py", SOURCE)
    requests = [
        {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
            "protocolVersion": "2025-06-18", "capabilities": {},
            "clientInfo": {"name": "raw", "version": "0"}}},
        {"jsonrpc": "2.0", "method": "notifications/initialized"},
        {"jsonrpc": "2.0", "id": 2, "method": "tools/list"},
        {"jsonrpc": "2.0", "id": 3, "method": "tools/call", "params": {
            "name": "edit_file", "arguments": {"path": "a.py", "old_string": "nowhere",
                                               "new_string": "x"}}},
        {"jsonrpc": "2.0", "id": 4, "method": "tools/call", "params": {
            "name": "find_files", "arguments": {"query": "apy"}}},
        {"jsonrpc": "2.0", "id": 5, "method": "tools/call", "params": {
            "name": "read_file", "arguments": {"path": "a.py", "offset": 0}}},
    ]
    with subprocess.Popen(server_command(tmp_path), stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        assert proc.stdin is not None and proc.stdout is not None and proc.stderr is not None
        watchdog = threading.Timer(120, proc.kill)  # a hung server fails the test, not the run
        watchdog.start()
        try:
            lines = []
            for request in requests:
                proc.stdin.write(json.dumps(request).encode() + b"\n")
                proc.stdin.flush()
                if "id" in request:  # read the answer before the next request is sent
                    lines.append(proc.stdout.readline())
            proc.stdin.close()
            lines += proc.stdout.read().splitlines(keepends=True)
            errors = proc.stderr.read().decode()
            status = proc.wait()
        finally:
            watchdog.cancel()
    assert status == 0, errors
    assert all(line.endswith(b"\n") for line in lines)
    messages = [_message(line) for line in lines]
    answers = {m["id"]: m for m in messages if "id" in m}
    assert set(answers) == {1, 2, 3, 4, 5}
    assert len(answers[2]["result"]["tools"]) == 5
    assert [answers[i]["result"]["isError"] for i in (3, 4, 5)] == [True, False, True]

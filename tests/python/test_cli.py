"""The command line, driven as a subprocess on temporary files.

Every test that edits checks the bytes on disk afterwards: a dry run, a refused path and a
failed edit must leave each file exactly as it was.
"""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
import textwrap
import time

import pytest

pytest.importorskip("marlune_search")

BOM = b"\xef\xbb\xbf"


def run(*args: str, cwd: pathlib.Path, stdin: str | bytes | None = None,
        env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    data = stdin.encode() if isinstance(stdin, str) else stdin
    proc = subprocess.run([sys.executable, "-m", "marlune_search", *args], cwd=cwd, input=data,
                          capture_output=True, env=env, check=False)
    return subprocess.CompletedProcess(proc.args, proc.returncode,
                                       proc.stdout.decode("utf-8", "replace"),
                                       proc.stderr.decode("utf-8", "replace"))


def write(path: pathlib.Path, text: str) -> pathlib.Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(text.encode())
    return path


SOURCE = "def f():\n    return 1\n\ndef g():\n    return 1\n"


# ---- replace ----------------------------------------------------------------------------

def test_replace_without_write_prints_the_diff_and_changes_nothing(tmp_path):
    f = write(tmp_path / "a.py", SOURCE)
    r = run("replace", "a.py", "--old", "def g():", "--new", "def h():", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert "-def g():\n+def h():\n" in r.stdout
    assert r.stdout.startswith("--- a/a.py\n+++ b/a.py\n")
    assert "strategy 'simple'" in r.stderr and "warning" not in r.stderr
    assert "add --write" in r.stderr
    assert f.read_text() == SOURCE


def test_replace_with_write_changes_the_file(tmp_path):
    f = write(tmp_path / "a.py", SOURCE)
    r = run("replace", "a.py", "--old", "def g():", "--new", "def h():", "--write", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert f.read_text() == SOURCE.replace("def g():", "def h():")


def test_a_tolerant_match_is_named_and_warned_about(tmp_path):
    f = write(tmp_path / "a.py", SOURCE)
    r = run("replace", "a.py", "--old", "def f():\n  return 1", "--new", "def f():\n    return 7",
            "--write", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert "warning:" in r.stderr and "'line_trimmed'" in r.stderr
    assert f.read_text() == SOURCE.replace("return 1", "return 7", 1)


def test_a_failing_edit_prints_the_diagnostics_and_leaves_the_file(tmp_path):
    f = write(tmp_path / "a.py", "def f():\n    return 1\n")
    r = run("replace", "a.py", "--old", "def f():\n    return 2", "--new", "x", "--write",
            cwd=tmp_path)
    assert r.returncode == 1
    assert r.stdout == ""
    assert "Search text not found in file." in r.stderr
    assert "Closest fuzzy match (95.2% similar) at lines 1-2:" in r.stderr
    assert "-    return 2\n+    return 1\n" in r.stderr
    assert "Debugging tips:" in r.stderr
    assert f.read_text() == "def f():\n    return 1\n"


def test_an_ambiguous_edit_fails_without_a_line_hint_and_succeeds_with_one(tmp_path):
    f = write(tmp_path / "a.py", SOURCE)
    r = run("replace", "a.py", "--old", "return 1", "--new", "return 2", "--write", cwd=tmp_path)
    assert r.returncode == 1
    assert "Pattern found at multiple locations (lines: 2, 5)." in r.stderr
    assert "--line-hint N" in r.stderr and "--all" in r.stderr
    assert f.read_text() == SOURCE

    r = run("replace", "a.py", "--old", "return 1", "--new", "return 2", "--line-hint", "5",
            "--write", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert f.read_text() == "def f():\n    return 1\n\ndef g():\n    return 2\n"


def test_replace_all(tmp_path):
    f = write(tmp_path / "a.py", SOURCE)
    r = run("replace", "a.py", "--old", "return 1", "--new", "return 2", "--all", "--write",
            cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert f.read_text() == SOURCE.replace("return 1", "return 2")


def test_old_and_new_texts_from_files_and_stdin(tmp_path):
    f = write(tmp_path / "a.py", SOURCE)
    write(tmp_path / "old.txt", "def g():\n    return 1\n")
    r = run("replace", "a.py", "--old-file", "old.txt", "--new-file", "-", "--write",
            cwd=tmp_path, stdin="def g():\n    return 3\n")
    assert r.returncode == 0, r.stderr
    assert f.read_text() == SOURCE[:-2] + "3\n"


def test_crlf_file_is_edited_in_lf_form_and_keeps_its_line_breaks(tmp_path):
    f = tmp_path / "w.txt"
    f.write_bytes(b"one\r\ntwo\r\nthree\r\n")
    r = run("replace", "w.txt", "--old", "two\nthree", "--new", "2\n3\n3b", "--write",
            cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert "strategy 'simple'" in r.stderr
    assert f.read_bytes() == b"one\r\n2\r\n3\r\n3b\r\n"


def test_bom_is_kept(tmp_path):
    f = tmp_path / "b.txt"
    f.write_bytes(BOM + "naïve\nx\n".encode())
    r = run("replace", "b.txt", "--old", "naïve", "--new", "naive", "--write", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert f.read_bytes() == BOM + b"naive\nx\n"


@pytest.mark.parametrize("command", [
    ["replace", "bad.txt", "--old", "a", "--new", "b", "--write"],
    ["locate", "bad.txt"],
])
def test_a_file_that_is_not_utf8_is_an_error_and_stays_untouched(tmp_path, command):
    data = b"a = 1\nb = '\xff\xfe'\n"
    f = tmp_path / "bad.txt"
    f.write_bytes(data)
    r = run(*command, cwd=tmp_path, stdin="a\n")
    assert r.returncode == 2
    assert "bad.txt" in r.stderr and "offset 11" in r.stderr
    assert f.read_bytes() == data


def test_a_missing_file_is_an_error(tmp_path):
    r = run("replace", "nope.txt", "--old", "a", "--new", "b", cwd=tmp_path)
    assert r.returncode == 2
    assert "nope.txt" in r.stderr


# The superuser ignores permission bits, so under it the command runs with the refusal that
# the kernel gives everyone else made by hand: no file can be created in a folder without
# write permission. Other users get the kernel's own refusal.
READ_ONLY_AWARE = textwrap.dedent("""\
    import errno, os, sys, tempfile
    if os.geteuid() == 0:
        real = tempfile.mkstemp
        def mkstemp(*args, **kwargs):
            folder = kwargs.get("dir") or "."
            if not os.stat(folder).st_mode & 0o222:
                raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), folder)
            return real(*args, **kwargs)
        tempfile.mkstemp = mkstemp
    from marlune_search.cli import main
    sys.exit(main(sys.argv[1:]))
""")


@pytest.mark.parametrize("command, stdin", [
    (["replace", "ro/a.py", "--old", "def g():", "--new", "def h():", "--write"], ""),
    (["apply", "-", "--write"],
     json.dumps([{"path": "ro/a.py", "old_string": "def g():", "new_string": "def h():"}])),
    (["apply-patch", "--write"],
     "--- a/ro/a.py\n+++ b/ro/a.py\n@@ -4 +4 @@\n-def g():\n+def h():\n"),
    (["apply-patch", "--write"], "--- /dev/null\n+++ b/ro/new.py\n@@ -0,0 +1 @@\n+x = 1\n"),
], ids=["replace", "apply", "apply-patch", "apply-patch-create"])
def test_read_only_folder(tmp_path, command, stdin):
    folder = tmp_path / "ro"
    f = write(folder / "a.py", SOURCE)
    folder.chmod(0o555)
    try:
        proc = subprocess.run([sys.executable, "-c", READ_ONLY_AWARE, *command], cwd=tmp_path,
                              input=stdin, capture_output=True, text=True, check=False)
        assert proc.returncode == 2, proc.stderr
        assert "Permission denied" in proc.stderr
        assert f.read_text() == SOURCE
        assert sorted(p.name for p in folder.iterdir()) == ["a.py"]
    finally:
        folder.chmod(0o755)


# Where the permission bits are not enforced (a root user), the same failure is made by
# refusing the temporary file that a safe write starts with, in the command's own process.
FAILING_WRITE = textwrap.dedent("""\
    import errno, sys, tempfile
    def refuse(*args, **kwargs):
        raise PermissionError(errno.EACCES, "Permission denied")
    tempfile.mkstemp = refuse
    from marlune_search.cli import main
    sys.exit(main(sys.argv[1:]))
""")


@pytest.mark.parametrize("command", [
    ["replace", "a.py", "--old", "def g():", "--new", "def h():", "--write"],
    ["apply-patch", "p.diff", "--write"],
])
def test_a_write_that_fails_loses_nothing(tmp_path, command):
    f = write(tmp_path / "a.py", SOURCE)
    write(tmp_path / "p.diff", "--- a/a.py\n+++ b/a.py\n@@ -4 +4 @@\n-def g():\n+def h():\n")
    proc = subprocess.run([sys.executable, "-c", FAILING_WRITE, *command], cwd=tmp_path,
                          capture_output=True, text=True, check=False)
    assert proc.returncode == 2, proc.stderr
    assert "Permission denied" in proc.stderr
    assert f.read_text() == SOURCE
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.py", "p.diff"]


CHANGING_FILE = textwrap.dedent("""\
    import sys
    import marlune_search._file_edit as file_edit
    def meanwhile(path):
        with open(path, "a") as f:
            f.write("# added by someone else\\n")
    file_edit._before_replace = meanwhile
    from marlune_search.cli import main
    sys.exit(main(sys.argv[1:]))
""")


def test_a_file_changed_during_the_edit_is_not_overwritten(tmp_path):
    f = write(tmp_path / "a.py", SOURCE)
    proc = subprocess.run([sys.executable, "-c", CHANGING_FILE, "replace", "a.py", "--old",
                           "def g():", "--new", "def h():", "--write"], cwd=tmp_path,
                          capture_output=True, text=True, check=False)
    assert proc.returncode == 2, proc.stderr
    assert "changed on disk" in proc.stderr
    assert f.read_text() == SOURCE + "# added by someone else\n"


def test_replace_json(tmp_path):
    write(tmp_path / "a.py", SOURCE)
    r = run("replace", "a.py", "--old", "return 1", "--new", "return 2", "--json", cwd=tmp_path)
    assert r.returncode == 1
    out = json.loads(r.stdout)
    assert out["ok"] is False
    assert out["error"]["kind"] == "multiple_matches"
    assert out["error"]["locations"] == [2, 5]

    r = run("replace", "a.py", "--old", "def g():", "--new", "def h():", "--json", cwd=tmp_path)
    out = json.loads(r.stdout)
    assert (out["ok"], out["written"], out["exact"]) == (True, False, True)
    assert out["edits"][0]["strategy"] == "simple"
    assert out["edits"][0]["start_line"] == 4
    assert "+def h():" in out["diff"]


@pytest.mark.parametrize("args", [
    [],
    ["replace", "a.py", "--old", "x"],
    ["replace", "a.py", "--old", "x", "--old-file", "y", "--new", "z"],
    ["replace", "a.py", "--old", "x", "--new", "y", "--line-hint", "0"],
    ["replace", "a.py", "--old", "x", "--new", "y", "--line-hint", "many"],
    ["rank", "x", "--limit", "0"],
    ["replace", "a.py", "--old", "same", "--new", "same"],
    # Both would read stdin; the second would take "" and delete the text.
    ["replace", "a.py", "--old-file", "-", "--new-file", "-", "--write"],
])
def test_usage_errors_exit_with_2(tmp_path, args):
    write(tmp_path / "a.py", "same\n")
    r = run(*args, cwd=tmp_path, stdin="same\n")
    assert r.returncode == 2
    assert (tmp_path / "a.py").read_text() == "same\n"


def test_help_documents_the_exit_status(tmp_path):
    r = run("--help", cwd=tmp_path)
    assert r.returncode == 0
    for line in ("0  done", "1  no match", "2  usage error"):
        assert line in r.stdout
    for command in ("replace", "apply", "apply-patch", "rank", "locate"):
        assert command in r.stdout


# ---- colour -----------------------------------------------------------------------------

@pytest.mark.parametrize("before_command", [False, True], ids=["after", "before"])
@pytest.mark.parametrize(("flags", "no_color", "colored"), [
    (["--color", "always"], None, True),
    (["--color", "always"], "1", True),
    (["--color", "never"], None, False),
    ([], None, False),  # auto, and stdout is a pipe
])
def test_color_flag(tmp_path, flags, no_color, colored, before_command):
    write(tmp_path / "a.py", SOURCE)
    env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    if no_color is not None:
        env["NO_COLOR"] = no_color
    command = ["replace", "a.py", "--old", "def g():", "--new", "def h():"]
    args = [*flags, *command] if before_command else [*command, *flags]
    r = run(*args, cwd=tmp_path, env=env)
    assert r.returncode == 0
    assert ("\x1b[32m+def h():\x1b[0m" in r.stdout) is colored
    assert ("\x1b[" in r.stdout) is colored


@pytest.mark.parametrize(("no_color", "colored"), [(None, True), ("1", False), ("", True)])
def test_auto_colors_a_terminal_unless_no_color(tmp_path, no_color, colored):
    pty = pytest.importorskip("pty")
    write(tmp_path / "a.py", SOURCE)
    env = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "TERM")}
    if no_color is not None:
        env["NO_COLOR"] = no_color
    master, slave = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "marlune_search", "replace", "a.py", "--old",
                             "def g():", "--new", "def h():"], cwd=tmp_path, stdout=slave,
                            stderr=subprocess.DEVNULL, env=env)
    os.close(slave)
    chunks = []
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the terminal reports the writer's end as an error
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(master)
    assert proc.wait() == 0
    assert (b"\x1b[31m-def g():" in b"".join(chunks)) is colored


# ---- apply ------------------------------------------------------------------------------

def test_apply_edits_in_order_across_files(tmp_path):
    a = write(tmp_path / "a.py", SOURCE)
    b = write(tmp_path / "src" / "b.txt", "alpha\nbeta\n")
    edits = [
        {"path": "a.py", "old_string": "def f():", "new_string": "def first():"},
        {"path": "src/b.txt", "old_string": "beta", "new_string": "gamma"},
        {"path": "a.py", "old_string": "return 1", "new_string": "return 2", "line_hint": 5},
        {"path": "src/b.txt", "old_string": "a", "new_string": "A", "replace_all": True},
    ]
    write(tmp_path / "e.json", json.dumps(edits))
    r = run("apply", "e.json", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert a.read_text() == SOURCE and b.read_text() == "alpha\nbeta\n"
    r = run("apply", "-", "--write", cwd=tmp_path, stdin=json.dumps(edits))
    assert r.returncode == 0, r.stderr
    assert a.read_text() == "def first():\n    return 1\n\ndef g():\n    return 2\n"
    assert b.read_text() == "AlphA\ngAmmA\n"


def test_apply_is_all_or_nothing_per_file(tmp_path):
    a = write(tmp_path / "a.py", SOURCE)
    b = write(tmp_path / "b.txt", "alpha\n")
    edits = [
        {"path": "a.py", "old_string": "def f():", "new_string": "def first():"},
        {"path": "b.txt", "old_string": "alpha", "new_string": "omega"},
        {"path": "a.py", "old_string": "no such text", "new_string": "x"},
    ]
    r = run("apply", "-", "--write", "--json", cwd=tmp_path, stdin=json.dumps(edits))
    assert r.returncode == 1
    assert "a.py: edit 2 failed: Search text not found in file." in r.stderr
    assert a.read_text() == SOURCE
    assert b.read_text() == "omega\n"
    files = {f["path"]: f for f in json.loads(r.stdout)["files"]}
    assert files["a.py"]["ok"] is False and files["a.py"]["written"] is False
    assert files["a.py"]["error"]["index"] == 2
    assert files["b.txt"]["ok"] is True and files["b.txt"]["written"] is True


@pytest.mark.parametrize("edits", [
    "{}",
    "[1]",
    '[{"path": "a.py", "old_string": "x"}]',
    '[{"path": "a.py", "old_string": "x", "new_string": "y", "replaceAll": true}]',
    '[{"path": "a.py", "old_string": "x", "new_string": "y", "line_hint": "3"}]',
    '[{"path": "a.py", "old_string": "x", "new_string": "y", "replace_all": 1}]',
    "not json",
])
def test_apply_refuses_a_malformed_edit_list(tmp_path, edits):
    write(tmp_path / "a.py", "x\n")
    r = run("apply", "-", "--write", cwd=tmp_path, stdin=edits)
    assert r.returncode == 2
    assert (tmp_path / "a.py").read_text() == "x\n"


# ---- paths stay inside the root ----------------------------------------------------------

def _escape_setup(tmp_path: pathlib.Path) -> tuple[pathlib.Path, pathlib.Path, pathlib.Path]:
    root = tmp_path / "work"
    inside = write(root / "ok.txt", "hi\n")
    outside = write(tmp_path / "outside.txt", "secret\n")
    (root / "link.txt").symlink_to(outside)
    (root / "linkdir").symlink_to(tmp_path, target_is_directory=True)
    return root, inside, outside


ESCAPES = ["../outside.txt", "link.txt", "linkdir/outside.txt", "sub/../../outside.txt",
           "/etc/hostname", "OUTSIDE_ABSOLUTE"]


def _escape_name(name: str, tmp_path: pathlib.Path) -> str:
    return str(tmp_path / "outside.txt") if name == "OUTSIDE_ABSOLUTE" else name


@pytest.mark.parametrize("name", ESCAPES)
def test_a_patch_cannot_leave_the_folder(tmp_path, name):
    root, inside, outside = _escape_setup(tmp_path)
    name = _escape_name(name, tmp_path)
    patch = (f"--- a/ok.txt\n+++ b/ok.txt\n@@ -1 +1 @@\n-hi\n+hello\n"
             f"--- a/{name}\n+++ b/{name}\n@@ -1 +1 @@\n-secret\n+pwned\n")
    if name.startswith("/"):
        patch = patch.replace(f"a/{name}", name).replace(f"b/{name}", name)
    r = run("apply-patch", "--write", cwd=root, stdin=patch)
    assert r.returncode == 2, r.stderr
    assert "refused" in r.stderr and "nothing was written" in r.stderr
    assert outside.read_text() == "secret\n"
    assert inside.read_text() == "hi\n"


@pytest.mark.parametrize("name", ESCAPES)
def test_an_edit_list_cannot_leave_the_folder(tmp_path, name):
    root, inside, outside = _escape_setup(tmp_path)
    edits = [{"path": "ok.txt", "old_string": "hi", "new_string": "hello"},
             {"path": _escape_name(name, tmp_path), "old_string": "secret",
              "new_string": "pwned"}]
    r = run("apply", "-", "--write", cwd=root, stdin=json.dumps(edits))
    assert r.returncode == 2, r.stderr
    assert "refused" in r.stderr
    assert outside.read_text() == "secret\n"
    assert inside.read_text() == "hi\n"


def test_a_patch_may_create_files_through_no_link_out(tmp_path):
    root, _, outside = _escape_setup(tmp_path)
    patch = "--- /dev/null\n+++ b/linkdir/new.txt\n@@ -0,0 +1 @@\n+x\n"
    r = run("apply-patch", "--write", cwd=root, stdin=patch)
    assert r.returncode == 2
    assert not (tmp_path / "new.txt").exists()


def test_root_names_the_folder(tmp_path):
    root, inside, outside = _escape_setup(tmp_path)
    edits = [{"path": "ok.txt", "old_string": "hi", "new_string": "hello"}]
    r = run("apply", "-", "--write", "--root", str(root), cwd=tmp_path, stdin=json.dumps(edits))
    assert r.returncode == 0, r.stderr
    assert inside.read_text() == "hello\n"
    edits = [{"path": "outside.txt", "old_string": "secret", "new_string": "pwned"}]
    r = run("apply", "-", "--write", "--root", str(root), cwd=tmp_path, stdin=json.dumps(edits))
    assert r.returncode == 2
    assert outside.read_text() == "secret\n"


def test_a_link_that_stays_inside_is_followed(tmp_path):
    root = tmp_path / "work"
    target = write(root / "real.txt", "one\n")
    (root / "alias.txt").symlink_to("real.txt")
    r = run("apply-patch", "--write", cwd=root,
            stdin="--- a/alias.txt\n+++ b/alias.txt\n@@ -1 +1 @@\n-one\n+two\n")
    assert r.returncode == 0, r.stderr
    assert target.read_text() == "two\n"
    assert (root / "alias.txt").is_symlink()


# ---- apply-patch ------------------------------------------------------------------------

MODULE = textwrap.dedent("""\
    import os


    class Box:
        def __init__(self, size):
            self.size = size

        def area(self):
            return self.size * self.size

        def grow(self, by):
            self.size += by
            return self
""")


def test_patch_with_shifted_line_numbers_and_a_reindented_hunk(tmp_path):
    f = write(tmp_path / "m.py", MODULE)
    # The first hunk claims line 40; the second was copied without the class's indentation.
    patch = textwrap.dedent("""\
        diff --git a/m.py b/m.py
        --- a/m.py
        +++ b/m.py
        @@ -40,3 +40,3 @@ class Box:
             def area(self):
        -        return self.size * self.size
        +        return self.size ** 2
         
        @@ -2,3 +2,5 @@
         def grow(self, by):
        -    self.size += by
        +    if by < 0:
        +        raise ValueError(by)
        +    self.size += by
             return self
    """)
    r = run("apply-patch", "-", "--write", cwd=tmp_path, stdin=patch)
    assert r.returncode == 0, r.stderr
    assert "hunk 2: not found exactly" in r.stderr
    assert f.read_text() == MODULE.replace(
        "return self.size * self.size", "return self.size ** 2").replace(
        "        self.size += by\n",
        "        if by < 0:\n            raise ValueError(by)\n        self.size += by\n")


def test_patch_whose_context_lost_its_blanks(tmp_path):
    # Trailing blanks of a context line gone, an empty context line without its marker, and
    # line counts that do not add up: the file keeps its own context lines.
    f = write(tmp_path / "t.txt", "a  \n\nb\nc\n")
    patch = "--- a/t.txt\n+++ b/t.txt\n@@ -1,9 +1,9 @@\n a\n\n-b\n+B\n c\n"
    r = run("apply-patch", "--write", cwd=tmp_path, stdin=patch)
    assert r.returncode == 0, r.stderr
    assert f.read_text() == "a  \n\nB\nc\n"


def test_a_failing_hunk_leaves_its_file_untouched(tmp_path):
    a = write(tmp_path / "a.py", SOURCE)
    b = write(tmp_path / "b.txt", "alpha\n")
    patch = ("--- a/b.txt\n+++ b/b.txt\n@@ -1 +1 @@\n-alpha\n+omega\n"
             "--- a/a.py\n+++ b/a.py\n@@ -1,2 +1,2 @@\n def f():\n-    return 1\n+    return 9\n"
             "@@ -4,2 +4,2 @@\n def g():\n-    return 3\n+    return 4\n")
    r = run("apply-patch", "--write", "--json", cwd=tmp_path, stdin=patch)
    assert r.returncode == 1
    assert "a.py: hunk 2 (patch line 12) failed: Search text not found in file." in r.stderr
    assert "Closest fuzzy match" in r.stderr
    assert a.read_text() == SOURCE
    assert b.read_text() == "omega\n"
    files = {f["path"]: f for f in json.loads(r.stdout)["files"]}
    assert files["a.py"]["error"]["hunk"] == 2
    assert files["b.txt"]["written"] is True
    assert files["b.txt"]["edits"][0]["matched_text"] == "alpha"


def test_a_hunk_is_not_placed_on_a_block_that_differs_beyond_whitespace(tmp_path):
    # The anchors (first and last line) match, the lines between do not: the cascade would
    # take the block, the patch must not.
    text = "start\n  keep = 1\n  other = 2\nend\n"
    f = write(tmp_path / "x.txt", text)
    patch = "--- a/x.txt\n+++ b/x.txt\n@@ -1,4 +1,3 @@\n start\n-  remove = 1\n   other = 2\n end\n"
    r = run("apply-patch", "--write", cwd=tmp_path, stdin=patch)
    assert r.returncode == 1
    assert "x.txt: hunk 1 (patch line 3) failed: " in r.stderr
    # Refused by the patch's own check when the cascade takes the block, or by the cascade.
    assert ("differs from the hunk's old side beyond whitespace" in r.stderr
            or "Search text not found in file." in r.stderr)
    assert f.read_text() == text


def test_patch_of_a_crlf_file(tmp_path):
    f = tmp_path / "w.txt"
    f.write_bytes(b"one\r\ntwo\r\nthree\r\n")
    patch = b"--- a/w.txt\r\n+++ b/w.txt\r\n@@ -1,3 +1,3 @@\r\n one\r\n-two\r\n+2\r\n three\r\n"
    r = run("apply-patch", "--write", cwd=tmp_path, stdin=patch)
    assert r.returncode == 0, r.stderr
    assert f.read_bytes() == b"one\r\n2\r\nthree\r\n"


def test_patch_at_the_end_of_a_file_without_a_final_newline(tmp_path):
    f = write(tmp_path / "n.txt", "a\nb")
    patch = ("--- a/n.txt\n+++ b/n.txt\n@@ -1,2 +1,2 @@\n a\n-b\n\\ No newline at end of file\n"
             "+c\n")
    r = run("apply-patch", "--write", cwd=tmp_path, stdin=patch)
    assert r.returncode == 0, r.stderr
    assert f.read_text() == "a\nc\n"


def test_patch_creates_and_deletes_files(tmp_path):
    gone = write(tmp_path / "old.txt", "bye\nnow\n")
    patch = textwrap.dedent("""\
        diff --git a/sub/new.txt b/sub/new.txt
        new file mode 100644
        --- /dev/null
        +++ b/sub/new.txt
        @@ -0,0 +1,2 @@
        +hello
        +world
        diff --git a/old.txt b/old.txt
        deleted file mode 100644
        --- a/old.txt
        +++ /dev/null
        @@ -1,2 +0,0 @@
        -bye
        -now
    """)
    r = run("apply-patch", cwd=tmp_path, stdin=patch)
    assert r.returncode == 0, r.stderr
    assert gone.exists() and not (tmp_path / "sub").exists()
    r = run("apply-patch", "--write", cwd=tmp_path, stdin=patch)
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "sub" / "new.txt").read_text() == "hello\nworld\n"
    assert not gone.exists()


@pytest.mark.parametrize(("existing", "patch", "message"), [
    ({"new.txt": "already\n"}, "--- /dev/null\n+++ b/new.txt\n@@ -0,0 +1 @@\n+x\n",
     "exists already"),
    ({"old.txt": "other\n"}, "--- a/old.txt\n+++ /dev/null\n@@ -1 +0,0 @@\n-bye\n",
     "content differs"),
])
def test_create_and_delete_are_refused_when_the_file_is_not_as_expected(
        tmp_path, existing, patch, message):
    for name, text in existing.items():
        write(tmp_path / name, text)
    r = run("apply-patch", "--write", cwd=tmp_path, stdin=patch)
    assert r.returncode == 1
    assert message in r.stderr
    for name, text in existing.items():
        assert (tmp_path / name).read_text() == text


@pytest.mark.parametrize("patch", [
    "diff --git a/a.py b/c.py\nsimilarity index 100%\nrename from a.py\nrename to c.py\n",
    "diff --git a/a.py b/c.py\nsimilarity index 90%\nrename from a.py\nrename to c.py\n"
    "--- a/a.py\n+++ b/c.py\n@@ -1 +1 @@\n-def f():\n+def c():\n",
    "diff --git a/a.py b/c.py\ncopy from a.py\ncopy to c.py\n",
])
def test_renames_are_refused(tmp_path, patch):
    f = write(tmp_path / "a.py", SOURCE)
    r = run("apply-patch", "--write", cwd=tmp_path, stdin=patch)
    assert r.returncode == 2
    assert "renames and copies are not supported" in r.stderr
    assert f.read_text() == SOURCE and not (tmp_path / "c.py").exists()


@pytest.mark.parametrize("patch", ["", "just some text\n", "@@ -1 +1 @@\n-a\n+b\n",
                                   "--- a/a.py\n+++ b/a.py\n@@ bogus @@\n"])
def test_unreadable_patches_are_usage_errors(tmp_path, patch):
    write(tmp_path / "a.py", SOURCE)
    r = run("apply-patch", "--write", cwd=tmp_path, stdin=patch)
    assert r.returncode == 2
    assert (tmp_path / "a.py").read_text() == SOURCE


# ---- rank -------------------------------------------------------------------------------

PATHS = """\
src/components/widgets/button_group.tsx
src/components/forms/text_field.tsx
docs/guide/getting_started.md
src/util/bytes_buffer.py
tests/widgets/test_button_group.py
"""


def test_rank_prints_matching_paths_best_first(tmp_path):
    from marlune_search import get_best_matches

    expected = get_best_matches("bgrp", PATHS.splitlines())
    assert len(expected) >= 2
    r = run("rank", "bgrp", cwd=tmp_path, stdin=PATHS)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [c for c, _ in expected]
    r = run("rank", "bgrp", "--scores", "--limit", "1", cwd=tmp_path,
            stdin=PATHS.replace("\n", "\r\n"))
    assert r.stdout == f"{expected[0][1]}\t{expected[0][0]}\n"


@pytest.mark.parametrize("stdin", [PATHS, ""])
def test_rank_exits_1_when_nothing_matches(tmp_path, stdin):
    r = run("rank", "zzzq", cwd=tmp_path, stdin=stdin)
    assert r.returncode == 1
    assert r.stdout == ""


# ---- locate -----------------------------------------------------------------------------

LOCATE_SOURCE = "alpha\nbeta\ngamma\ndelta\nepsilon\n"


def _read_line(stream, proc):
    line = stream.readline()
    assert line, f"the command ended early: {proc.stderr.read()!r}"
    return line


def test_locate_reports_ranges_while_the_text_streams_in(tmp_path):
    write(tmp_path / "s.txt", LOCATE_SOURCE)
    # The context manager closes every pipe and waits for the command, on failure too.
    with subprocess.Popen([sys.executable, "-m", "marlune_search", "locate", "s.txt"],
                          cwd=tmp_path, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True) as proc:
        # The writer pauses inside a line, so that the command reads it in two parts, and
        # holds back the next chunk until the command has answered the last one: an answer
        # can only come from a command that reads and matches as the text arrives.
        proc.stdin.write("gam")
        proc.stdin.flush()
        time.sleep(0.2)
        proc.stdin.write("ma\n")
        proc.stdin.flush()
        assert _read_line(proc.stdout, proc) == "range lines 3-3 bytes 11-16\n"
        proc.stdin.write("del")
        proc.stdin.flush()
        time.sleep(0.2)
        proc.stdin.write("ta\n")
        proc.stdin.flush()
        assert _read_line(proc.stdout, proc) == "range lines 3-4 bytes 11-22\n"
        proc.stdin.write("epsilon")
        proc.stdin.close()
        rest = proc.stdout.read()
        errors = proc.stderr.read()
    assert proc.returncode == 0, errors
    assert rest == ("range lines 3-5 bytes 11-30\n"
                    "located lines 3-5 bytes 11-30\ngamma\ndelta\nepsilon\n")


def test_locate_byte_offsets_are_those_of_the_file(tmp_path):
    (tmp_path / "w.txt").write_bytes(BOM + b"one\r\ntwo\r\nthree\r\n")
    r = run("locate", "w.txt", "--json", cwd=tmp_path, stdin="two\nthree\n")
    assert r.returncode == 0, r.stderr
    events = [json.loads(line) for line in r.stdout.splitlines()]
    assert events[-1] == {"event": "located", "start_line": 2, "end_line": 3, "start": 8,
                          "end": 18, "text": "two\nthree"}
    data = (tmp_path / "w.txt").read_bytes()
    assert data[8:18] == b"two\r\nthree"


def test_locate_ambiguous_and_with_a_line_hint(tmp_path):
    write(tmp_path / "s.txt", "x\nfoo\nbar\ny\nfoo\nbar\nz\n")
    r = run("locate", "s.txt", cwd=tmp_path, stdin="foo\nbar\n")
    assert r.returncode == 1
    assert "lines 2-3, 5-6" in r.stderr
    r = run("locate", "s.txt", "--line-hint", "5", cwd=tmp_path, stdin="foo\nbar\n")
    assert r.returncode == 0, r.stderr
    assert r.stdout.endswith("located lines 5-6 bytes 12-19\nfoo\nbar\n")


def test_locate_without_a_match(tmp_path):
    write(tmp_path / "s.txt", LOCATE_SOURCE)
    r = run("locate", "s.txt", cwd=tmp_path, stdin="nothing like it\nat all\n")
    assert r.returncode == 1
    assert "not located" in r.stderr

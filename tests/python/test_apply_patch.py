"""apply_patch and parse_patch over the three patch formats, on temporary folders.

Every test that applies a patch checks the bytes on disk afterwards, against the intended
files: a dry run, a refused path, a malformed patch and a failing file leave the tree as it was.
"""

from __future__ import annotations

import pathlib
import textwrap

import pytest

pytest.importorskip("marlune_search")

import marlune_search as ms  # noqa: E402
import marlune_search._file_edit as file_edit  # noqa: E402

# The module the command line's patch tests edit too.
from test_cli import MODULE  # noqa: E402

INTENDED = MODULE.replace("return self.size * self.size", "return self.size ** 2").replace(
    "        self.size += by\n",
    "        if by < 0:\n            raise ValueError(by)\n        self.size += by\n")


def tree(root: pathlib.Path, files: dict[str, str | bytes]) -> dict[str, bytes]:
    for name, data in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data.encode() if isinstance(data, str) else data)
    return snapshot(root)


def snapshot(root: pathlib.Path) -> dict[str, bytes]:
    return {p.relative_to(root).as_posix(): p.read_bytes()
            for p in sorted(root.rglob("*")) if p.is_file()}


# The same change in each format: m.py's first edit exact, its second copied without the
# class's indentation and with a wrong line number, a new file, and (where the format has it)
# a deleted one.
CHANGE = {
    "unified": textwrap.dedent("""\
        --- a/m.py
        +++ b/m.py
        @@ -8,2 +8,2 @@
             def area(self):
        -        return self.size * self.size
        +        return self.size ** 2
        @@ -40,3 +40,5 @@
         def grow(self, by):
        -    self.size += by
        +    if by < 0:
        +        raise ValueError(by)
        +    self.size += by
             return self
        --- /dev/null
        +++ b/new/n.txt
        @@ -0,0 +1 @@
        +hello
        --- a/old.txt
        +++ /dev/null
        @@ -1 +0,0 @@
        -bye
    """),
    "blocks": textwrap.dedent("""\
        m.py
        ```python
        <<<<<<< SEARCH
            def area(self):
                return self.size * self.size
        =======
            def area(self):
                return self.size ** 2
        >>>>>>> REPLACE
        ```

        `m.py`
        <<<<<<<<< SEARCH
        def grow(self, by):
            self.size += by
        =========
        def grow(self, by):
            if by < 0:
                raise ValueError(by)
            self.size += by
        >>>>>>>>> REPLACE

        new/n.txt
        <<<<< SEARCH
        =====
        hello
        >>>>> REPLACE
    """),
    "envelope": textwrap.dedent("""\
        Here is the patch:
        *** Begin Patch
        *** Update File: m.py
        @@ class Box:
             def area(self):
        -        return self.size * self.size
        +        return self.size ** 2
        @@ def grow(self, by):
         def grow(self, by):
        -    self.size += by
        +    if by < 0:
        +        raise ValueError(by)
        +    self.size += by
        *** Add File: new/n.txt
        +hello
        *** Delete File: old.txt
        *** End Patch
    """),
}
FORMATS = list(CHANGE)
BEFORE = {"m.py": MODULE, "old.txt": "bye\n"}


def after(fmt: str) -> dict[str, bytes]:
    files = {"m.py": INTENDED.encode(), "new/n.txt": b"hello\n", "old.txt": b"bye\n"}
    if fmt != "blocks":
        del files["old.txt"]
    return files


@pytest.mark.parametrize("fmt", FORMATS)
def test_a_multi_file_patch_is_shown_then_written(tmp_path, fmt):
    before = tree(tmp_path, BEFORE)
    dry = ms.apply_patch(CHANGE[fmt], root=tmp_path)
    assert dry.ok and not dry.written and dry.format == fmt
    assert snapshot(tmp_path) == before
    result = ms.apply_patch(CHANGE[fmt], root=tmp_path, write=True, format=fmt)
    assert result.ok and result.written
    assert snapshot(tmp_path) == after(fmt)
    assert [f.diff for f in result.files] == [f.diff for f in dry.files]
    m = result.files[0]
    assert (m.path, m.action, m.written) == ("m.py", "modify", True)
    assert [(p.edit, p.exact, p.start_line) for p in m.placements] == [
        (0, True, 8), (1, False, 11)]
    assert "+        return self.size ** 2\n" in m.diff
    assert {f.path: f.action for f in result.files[1:]} == (
        {"new/n.txt": "create"} | ({} if fmt == "blocks" else {"old.txt": "delete"}))


FAILING = {
    "unified": "--- a/m.py\n+++ b/m.py\n@@ -1 +1 @@\n-import os\n+import sys\n"
               "@@ -12 +12 @@\n-        self.size -= by\n+        self.size = by\n"
               "--- a/t.txt\n+++ b/t.txt\n@@ -1 +1 @@\n-alpha\n+omega\n",
    "blocks": "m.py\n<<<<<<< SEARCH\nimport os\n=======\nimport sys\n>>>>>>> REPLACE\n"
              "m.py\n<<<<<<< SEARCH\n        self.size -= by\n=======\n        self.size = by\n"
              ">>>>>>> REPLACE\nt.txt\n<<<<<<< SEARCH\nalpha\n=======\nomega\n>>>>>>> REPLACE\n",
    "envelope": "*** Begin Patch\n*** Update File: m.py\n@@\n-import os\n+import sys\n@@\n"
                "-        self.size -= by\n+        self.size = by\n*** Update File: t.txt\n"
                "@@\n-alpha\n+omega\n*** End Patch\n",
}


@pytest.mark.parametrize("fmt", FORMATS)
def test_a_file_whose_edit_fails_is_left_whole_and_the_others_are_written(tmp_path, fmt):
    tree(tmp_path, {"m.py": MODULE, "t.txt": "alpha\n"})
    result = ms.apply_patch(FAILING[fmt], root=tmp_path, write=True)
    assert not result and result.written
    m, t = result.files
    assert (m.ok, m.written, m.diff, m.placements) == (False, False, "", ())
    assert m.error is not None and m.error.kind == "not_found" and m.error.edit == 1
    assert m.error.patch_line == {"unified": 6, "blocks": 8, "envelope": 6}[fmt]
    assert m.error.message.startswith("Search text not found in file.")
    assert m.error.closest_match is not None
    assert (t.ok, t.written) == (True, True)
    assert snapshot(tmp_path) == {"m.py": MODULE.encode(), "t.txt": b"omega\n"}


# Both sides of each edit re-indented alike (four more blanks on every line), and for the
# unified diff line numbers that are off: the file keeps its own indentation.
REINDENTED = {
    "unified": "--- a/m.py\n+++ b/m.py\n@@ -30,3 +30,3 @@\n"
               "             def area(self):\n-                return self.size * self.size\n"
               "+                return self.size ** 2\n",
    "blocks": "m.py\n<<<<<<< SEARCH\n        def area(self):\n"
              "            return self.size * self.size\n=======\n        def area(self):\n"
              "            return self.size ** 2\n>>>>>>> REPLACE\n",
    "envelope": "*** Begin Patch\n*** Update File: m.py\n@@   def   area(self)\n"
                "         def area(self):\n-            return self.size * self.size\n"
                "+            return self.size ** 2\n*** End Patch\n",
}


@pytest.mark.parametrize("fmt", FORMATS)
def test_edits_reindented_on_both_sides_keep_the_files_indentation(tmp_path, fmt):
    tree(tmp_path, {"m.py": MODULE})
    result = ms.apply_patch(REINDENTED[fmt], root=tmp_path, write=True)
    assert result.ok, result.files[0].error
    assert not result.files[0].placements[0].exact
    assert (tmp_path / "m.py").read_text() == MODULE.replace(
        "return self.size * self.size", "return self.size ** 2")


# Both sides four blanks off, where the change itself takes four blanks from a line (that line
# then looks already written in the file's indentation), and where no context line shows the
# file's indentation at all: the first is written in the file's frame, the second refused.
@pytest.mark.parametrize("patch, expected", [
    ("--- a/f.py\n+++ b/f.py\n@@ -1,4 +1,3 @@\n     def f(x):\n-        if x:\n-            g()\n"
     "+        g()\n         return 1\n", "def f(x):\n    g()\n    return 1\n"),
    ("--- a/f.py\n+++ b/f.py\n@@ -2 +2 @@\n-            g()\n+            h()\n", None),
])
def test_a_new_side_goes_in_the_files_frame_or_is_refused(tmp_path, patch, expected):
    before = tree(tmp_path, {"f.py": "def f(x):\n    if x:\n        g()\n    return 1\n"})
    result = ms.apply_patch(patch, root=tmp_path, write=True)
    if expected is None:
        error = result.files[0].error
        assert error is not None and error.kind == "differs" and "indented otherwise" in error.message
        assert snapshot(tmp_path) == before
    else:
        assert result.ok, result.files[0].error
        assert (tmp_path / "f.py").read_text() == expected


# Removing whole lines removes their line breaks, also when the lines are found tolerantly.
@pytest.mark.parametrize("fmt, patch", [
    ("unified", "--- a/r.txt\n+++ b/r.txt\n@@ -2,2 +1,0 @@\n-b\n-c\n"),
    ("unified", "--- a/r.txt\n+++ b/r.txt\n@@ -2,2 +1,0 @@\n-  b\n-  c\n"),
    ("blocks", "r.txt\n<<<<<<< SEARCH\n    b\n    c\n=======\n>>>>>>> REPLACE\n"),
    ("envelope", "*** Begin Patch\n*** Update File: r.txt\n@@\n-b\n-c\n*** End Patch\n"),
])
def test_removed_lines_leave_no_empty_line(tmp_path, fmt, patch):
    tree(tmp_path, {"r.txt": "a\nb\nc\nd\n"})
    assert ms.apply_patch(patch, root=tmp_path, write=True, format=fmt).ok
    assert (tmp_path / "r.txt").read_text() == "a\nd\n"


# The cascade's anchors take a block whose inner lines differ; a patch's old side is a copy of
# the file, so such a block is refused.
@pytest.mark.parametrize("fmt, patch", [
    ("unified", "--- a/f.py\n+++ b/f.py\n@@ -1,4 +1,4 @@\n def f():\n     a = 1\n"
                "     b = 2\n-    return a\n+    return 0\n"),
    ("blocks", "f.py\n<<<<<<< SEARCH\ndef f():\n    a = 1\n    b = 2\n    return a\n=======\n"
               "def f():\n    a = 1\n    b = 2\n    return 0\n>>>>>>> REPLACE\n"),
    ("envelope", "*** Begin Patch\n*** Update File: f.py\n@@\n def f():\n     a = 1\n"
                 "     b = 2\n-    return a\n+    return 0\n*** End Patch\n"),
])
def test_a_block_that_differs_beyond_whitespace_is_refused(tmp_path, fmt, patch):
    before = tree(tmp_path, {"f.py": "def f():\n    a = 1\n    c = 3\n    return a\n"})
    result = ms.apply_patch(patch, root=tmp_path, write=True)
    error = result.files[0].error
    assert error is not None and error.kind == "differs" and error.edit == 0
    assert "beyond whitespace" in error.message and "-    b = 2" in error.message
    assert snapshot(tmp_path) == before


MALFORMED = [
    ("auto", "just some prose\nand more\n", 1, "no patch"),
    ("auto", "", 1, "no patch"),
    ("blocks", "a.py\n<<<<<<< SEARCH\nx\n=======\ny\n", 2, "'>>>>>>> REPLACE'"),
    ("auto", "a.py\n<<<<<<< SEARCH\nx\n>>>>>>> REPLACE\n", 2, "'======='"),
    ("auto", "a.py\n<<<<<<< SEARCH\nx\n=======\ny\n"
             "a.py\n<<<<<<< SEARCH\nx\n=======\ny\n>>>>>>> REPLACE\n", 2, "REPLACE"),
    ("auto", "<<<<<<< SEARCH\nx\n=======\ny\n>>>>>>> REPLACE\n", 1, "no file name"),
    ("auto", "*** Begin Patch\n*** Update File: a.py\n@@\n-x\n+y\n", 1, "'*** End Patch'"),
    ("auto", "*** Begin Patch\n*** Add File: n.txt\n+one\ntwo\n*** End Patch\n", 4, "'+'"),
    ("auto", "*** Begin Patch\n*** Update File: a.py\n@@\n-x\nplain\n*** End Patch\n", 5,
     "' ', '-' or '+'"),
    ("auto", "*** Begin Patch\n*** Frobnicate: a.py\n*** End Patch\n", 2, "expected"),
    ("auto", "*** Begin Patch\n*** Update File: a.py\n*** End Patch\n", 2, "no chunk"),
    ("envelope", "--- a/a.py\n+++ b/a.py\n@@ -1 +1 @@\n-x\n+y\n", 1, "Begin Patch"),
    ("unified", "*** Begin Patch\n*** End Patch\n", 1, "no file changes"),
    ("auto", "--- a/a.py\n+++ b/a.py\n@@ bogus @@\n", 3, "malformed hunk header"),
    ("auto", "--- a/a.py\n+++ b/a.py\n@@ -1 +1 @@\n-x\n+y\n--- a/a.py\n+++ b/a.py\n"
             "@@ -1 +1 @@\n-x\n+z\n", 6, "more than once"),
]


@pytest.mark.parametrize("fmt, text, line, fragment", MALFORMED)
def test_a_malformed_patch_names_its_line_and_touches_nothing(tmp_path, fmt, text, line,
                                                               fragment):
    before = tree(tmp_path, {"a.py": "x\n"})
    with pytest.raises(ms.PatchFormatError) as caught:
        ms.apply_patch(text, root=tmp_path, write=True, format=fmt)
    assert caught.value.line == line
    assert str(caught.value) == f"patch line {line}: {caught.value.message}"
    assert fragment in caught.value.message
    assert snapshot(tmp_path) == before


def _escape_setup(root: pathlib.Path, outside: pathlib.Path) -> None:
    (root / "link.txt").symlink_to(outside / "secret.txt")
    (root / "linkdir").symlink_to(outside)


ESCAPES = ["../secret.txt", "link.txt", "linkdir/secret.txt", "/etc/hostname", "sub\\..\\..\\x"]


def _rewrite(fmt: str, name: str) -> str:
    # ok.txt changes and comes first: the refusal must stop it too.
    if fmt == "unified":
        return (f"--- a/ok.txt\n+++ b/ok.txt\n@@ -1 +1 @@\n-hi\n+hello\n"
                f"--- {name}\n+++ {name}\n@@ -1 +1 @@\n-secret\n+pwned\n")
    if fmt == "blocks":
        return (f"ok.txt\n<<<<<<< SEARCH\nhi\n=======\nhello\n>>>>>>> REPLACE\n"
                f"{name}\n<<<<<<< SEARCH\nsecret\n=======\npwned\n>>>>>>> REPLACE\n")
    return ("*** Begin Patch\n*** Update File: ok.txt\n@@\n-hi\n+hello\n"
            f"*** Update File: {name}\n@@\n-secret\n+pwned\n*** End Patch\n")


@pytest.mark.parametrize("name", ESCAPES)
@pytest.mark.parametrize("fmt", FORMATS)
def test_a_path_that_leaves_the_root_refuses_the_whole_patch(tmp_path, fmt, name):
    root, outside = tmp_path / "root", tmp_path / "outside"
    tree(outside, {"secret.txt": "secret\n"})
    tree(root, {"ok.txt": "hi\n"})
    _escape_setup(root, outside)
    with pytest.raises(ms.PathRefused):
        ms.apply_patch(_rewrite(fmt, name), root=root, write=True)
    assert (outside / "secret.txt").read_text() == "secret\n"
    assert (root / "ok.txt").read_text() == "hi\n"


@pytest.mark.parametrize("patch", [
    "*** Begin Patch\n*** Update File: ok.txt\n*** Move to: ../moved.txt\n*** End Patch\n",
    "*** Begin Patch\n*** Add File: linkdir/new.txt\n+x\n*** End Patch\n",
])
def test_moves_and_creations_stay_inside_the_root(tmp_path, patch):
    root, outside = tmp_path / "root", tmp_path / "outside"
    tree(outside, {"secret.txt": "secret\n"})
    tree(root, {"ok.txt": "hi\n"})
    _escape_setup(root, outside)
    before = snapshot(root)
    with pytest.raises(ms.PathRefused):
        ms.apply_patch(patch, root=root, write=True)
    assert snapshot(root) == before and snapshot(outside) == {"secret.txt": b"secret\n"}


def test_a_move_rewrites_the_file_under_its_new_name(tmp_path):
    tree(tmp_path, {"m.py": b"\xef\xbb\xbfa\r\nb\r\n"})
    (tmp_path / "m.py").chmod(0o640)
    patch = ("*** Begin Patch\n*** Update File: m.py\n*** Move to: pkg/main.py\n@@\n a\n-b\n+c\n"
             "*** End of File\n*** End Patch\n")
    result = ms.apply_patch(patch, root=tmp_path, write=True)
    assert result.ok
    f = result.files[0]
    assert (f.path, f.old_path, f.action, f.written) == ("pkg/main.py", "m.py", "move", True)
    assert f.diff.startswith("diff --git a/m.py b/pkg/main.py\nrename from m.py\n")
    # The byte-order mark, the line breaks and the permissions go along.
    assert snapshot(tmp_path) == {"pkg/main.py": b"\xef\xbb\xbfa\r\nc\r\n"}
    assert (tmp_path / "pkg/main.py").stat().st_mode & 0o777 == 0o640


@pytest.mark.parametrize("fmt, patch, files, kind", [
    ("envelope", "*** Begin Patch\n*** Update File: a.txt\n*** Move to: b.txt\n*** End Patch\n",
     {"a.txt": "a\n", "b.txt": "b\n"}, "exists"),
    ("envelope", "*** Begin Patch\n*** Add File: a.txt\n+new\n*** End Patch\n",
     {"a.txt": "a\n"}, "exists"),
    ("blocks", "a.txt\n<<<<<<< SEARCH\n=======\nnew\n>>>>>>> REPLACE\n", {"a.txt": "a\n"},
     "exists"),
    ("blocks", "n.txt\n<<<<<<< SEARCH\n=======\nnew\n>>>>>>> REPLACE\n"
               "n.txt\n<<<<<<< SEARCH\n=======\nagain\n>>>>>>> REPLACE\n", {}, "exists"),
    ("unified", "--- a/a.txt\n+++ /dev/null\n@@ -1 +0,0 @@\n-other\n", {"a.txt": "a\n"},
     "differs"),
])
def test_creating_moving_and_deleting_need_the_tree_the_patch_expects(tmp_path, fmt, patch,
                                                                       files, kind):
    before = tree(tmp_path, files)
    result = ms.apply_patch(patch, root=tmp_path, write=True, format=fmt)
    error = result.files[0].error
    assert error is not None and error.kind == kind
    assert snapshot(tmp_path) == before


def test_blocks_apply_in_order_each_to_the_text_the_one_before_left(tmp_path):
    tree(tmp_path, {"c.txt": "l1\nl2\nl3\nl4\nl5\nl6\nl7\nl8\n"})
    patch = ("c.txt\n<<<<<<< SEARCH\nl2\n=======\nl2\nx\ny\n>>>>>>> REPLACE\n"
             "c.txt\n<<<<<<< SEARCH\nx\ny\nl3\n=======\nxy\nl3\n>>>>>>> REPLACE\n"
             "c.txt\n<<<<<<< SEARCH\nl7\n=======\nseven\n>>>>>>> REPLACE\n"
             "n.txt\n<<<<<<< SEARCH\n=======\nfirst\n>>>>>>> REPLACE\n"
             "n.txt\n<<<<<<< SEARCH\nfirst\n=======\nfirst\nsecond\n>>>>>>> REPLACE\n")
    result = ms.apply_patch(patch, root=tmp_path, write=True)
    assert result.ok
    assert snapshot(tmp_path) == {"c.txt": b"l1\nl2\nxy\nl3\nl4\nl5\nl6\nseven\nl8\n",
                                  "n.txt": b"first\nsecond\n"}
    # Lines of the file before the patch: the third block's "l7" is line 7 there.
    assert [(p.start_line, p.end_line) for p in result.files[0].placements] == [
        (2, 2), (2, 3), (7, 7)]


CHOOSING = textwrap.dedent("""\
    def first():
        value = 1
        return value

    def second():
        value = 1
        return value
""")


@pytest.mark.parametrize("header, target", [
    ("@@ def second():", "second"),
    ("@@   second()", "second"),          # loosely: blanks and part of the line
    ("@@ def first():", "first"),
    ("@@ class Nowhere:", None),          # an anchor that is not there chooses nothing
    ("@@", None),
])
def test_the_text_after_the_chunk_marker_chooses_among_occurrences(tmp_path, header, target):
    tree(tmp_path, {"c.py": CHOOSING})
    patch = (f"*** Begin Patch\n*** Update File: c.py\n{header}\n-    value = 1\n"
             "+    value = 2\n*** End Patch\n")
    result = ms.apply_patch(patch, root=tmp_path, write=True)
    if target is None:
        error = result.files[0].error
        assert error is not None and error.kind == "multiple_matches"
        assert (tmp_path / "c.py").read_text() == CHOOSING
    else:
        assert result.ok
        changed = CHOOSING.split("\n\n")
        index = 0 if target == "first" else 1
        changed[index] = changed[index].replace("value = 1", "value = 2")
        assert (tmp_path / "c.py").read_text() == "\n\n".join(changed)


def test_an_anchor_that_stands_twice_before_the_same_lines_is_refused(tmp_path):
    # Two functions of one name, in the two branches of an "if": the anchor tells nothing.
    text = "if a:\n    def f():\n        return 1\nelse:\n    def f():\n        return 1\n"
    tree(tmp_path, {"c.py": text})
    patch = ("*** Begin Patch\n*** Update File: c.py\n@@ def f():\n-        return 1\n"
             "+        return 2\n*** End Patch\n")
    error = ms.apply_patch(patch, root=tmp_path, write=True).files[0].error
    assert error is not None and error.kind == "multiple_matches"
    assert error.locations == (3, 6) and "def f():" in error.message
    assert (tmp_path / "c.py").read_text() == text


def test_chunks_without_anchors_follow_one_another(tmp_path):
    tree(tmp_path, {"c.py": CHOOSING})
    patch = ("*** Begin Patch\n*** Update File: c.py\n@@ def first():\n     value = 1\n"
             "-    return value\n+    return -value\n@@\n-    value = 1\n+    value = 3\n"
             "*** End Patch\n")
    assert ms.apply_patch(patch, root=tmp_path, write=True).ok
    assert (tmp_path / "c.py").read_text() == CHOOSING.replace(
        "    return value\n\n", "    return -value\n\n").replace(
        "second():\n    value = 1", "second():\n    value = 3")


@pytest.mark.parametrize("patch, expected", [
    # No old side: after the anchor, or at the end (also of a file without a final break).
    ("*** Begin Patch\n*** Update File: e.txt\n@@ b\n+after b\n*** End Patch\n",
     "a\nb\nafter b\nc"),
    ("*** Begin Patch\n*** Update File: e.txt\n@@\n+last\n*** End Patch\n", "a\nb\nc\nlast\n"),
    ("--- a/e.txt\n+++ b/e.txt\n@@ -1,0 +2 @@\n+one and a half\n", "a\none and a half\nb\nc"),
])
def test_lines_added_without_an_old_side(tmp_path, patch, expected):
    tree(tmp_path, {"e.txt": "a\nb\nc"})
    assert ms.apply_patch(patch, root=tmp_path, write=True).ok
    assert (tmp_path / "e.txt").read_text() == expected


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("files, kind", [
    ({"m.py": b"x = '\xff'\n"}, "decode"),
    ({}, "missing"),
])
def test_a_file_that_cannot_be_read_stops_every_write(tmp_path, fmt, files, kind):
    before = tree(tmp_path, {"t.txt": "alpha\n", **files})
    result = ms.apply_patch(FAILING[fmt], root=tmp_path, write=True)
    m = result.files[0]
    assert m.error is not None and m.error.kind == kind and m.error.edit is None
    assert result.files[1].ok and not result.files[1].written and not result.written
    assert snapshot(tmp_path) == before


def test_a_file_changed_meanwhile_is_not_overwritten(tmp_path, monkeypatch):
    tree(tmp_path, {"t.txt": "alpha\n"})

    def meanwhile(path: pathlib.Path) -> None:
        path.write_text("someone else\n")

    monkeypatch.setattr(file_edit, "_before_replace", meanwhile)
    result = ms.apply_patch("--- a/t.txt\n+++ b/t.txt\n@@ -1 +1 @@\n-alpha\n+omega\n",
                            root=tmp_path, write=True)
    error = result.files[0].error
    assert error is not None and error.kind == "changed" and not result.written
    assert (tmp_path / "t.txt").read_text() == "someone else\n"


@pytest.mark.parametrize("text, fmt, path", [
    ("Some prose first.\n```diff\n--- a/x\n+++ b/x\n@@ -1 +1 @@\n-a\n+b\n```\n", "unified",
     "x"),
    ("x.py\n```\n<<<<<<<< SEARCH\na\n========\nb\n>>>>>>>> REPLACE\n```\n", "blocks", "x.py"),
    # A block whose text is itself a diff and an envelope.
    ("x.py\n<<<<<<< SEARCH\n--- a\n+++ b\n=======\n*** Begin Patch\n>>>>>>> REPLACE\n", "blocks",
     "x.py"),
    ("```\n*** Begin Patch\r\n*** Delete File: y\r\n*** End Patch\r\n```\n", "envelope", "y"),
])
def test_the_format_is_told_from_the_first_line_that_only_it_has(text, fmt, path):
    parsed = ms.parse_patch(text)
    assert parsed.format == fmt
    assert [c.path for c in parsed.files] == [path]


def test_parse_patch_gives_the_edits_of_each_file():
    parsed = ms.parse_patch(CHANGE["envelope"])
    m, n, old = parsed.files
    assert (m.action, n.action, old.action) == ("modify", "create", "delete")
    assert n.content == "hello\n"
    first, second = m.edits
    assert (first.patch_line, first.anchors) == (4, ("class Box:",))
    assert first.old_lines == ["    def area(self):", "        return self.size * self.size"]
    assert second.new_lines[1:3] == ["    if by < 0:", "        raise ValueError(by)"]
    with pytest.raises(ValueError, match="unknown patch format"):
        ms.parse_patch("", format="git")  # type: ignore[arg-type]


# ---- the command line -------------------------------------------------------------------

def _command(tmp_path: pathlib.Path, patch: str, *flags: str) -> int:
    from marlune_search.cli import main

    (tmp_path / "p.patch").write_text(patch)
    return main(["apply-patch", str(tmp_path / "p.patch"), "--root", str(tmp_path / "root"),
                 *flags])


@pytest.mark.parametrize("fmt", FORMATS)
def test_the_command_line_applies_every_format(tmp_path, capsys, fmt):
    before = tree(tmp_path / "root", BEFORE)
    assert _command(tmp_path, CHANGE[fmt]) == 0
    captured = capsys.readouterr()
    assert "+        return self.size ** 2\n" in captured.out
    assert f"m.py: {EDIT_WORDS[fmt]} 2: not found exactly" in captured.err
    assert snapshot(tmp_path / "root") == before
    assert _command(tmp_path, CHANGE[fmt], "--write", "--format", fmt) == 0
    assert snapshot(tmp_path / "root") == after(fmt)


EDIT_WORDS = {"unified": "hunk", "blocks": "block", "envelope": "chunk"}


@pytest.mark.parametrize("fmt", FORMATS)
def test_the_command_line_reports_a_failing_edit_and_writes_the_other_files(tmp_path, capsys,
                                                                            fmt):
    import json

    tree(tmp_path / "root", {"m.py": MODULE, "t.txt": "alpha\n"})
    assert _command(tmp_path, FAILING[fmt], "--write", "--json") == 1
    captured = capsys.readouterr()
    line = {"unified": 6, "blocks": 8, "envelope": 6}[fmt]
    assert (f"error: m.py: {EDIT_WORDS[fmt]} 2 (patch line {line}) failed: Search text not "
            "found in file.") in captured.err
    assert f"not changed, because a {EDIT_WORDS[fmt]} failed: m.py" in captured.err
    out = json.loads(captured.out)
    assert out["format"] == fmt and out["ok"] is False
    m, t = out["files"]
    assert (m["error"]["kind"], m["error"]["hunk"], m["error"]["patch_line"]) == (
        "not_found", 2, line)
    assert (t["written"], t["edits"][0]["hunk"]) == (True, 1)
    assert snapshot(tmp_path / "root") == {"m.py": MODULE.encode(), "t.txt": b"omega\n"}


def test_the_command_line_refuses_a_patch_not_in_the_format_asked(tmp_path, capsys):
    before = tree(tmp_path / "root", BEFORE)
    assert _command(tmp_path, CHANGE["unified"], "--format", "blocks", "--write") == 2
    assert "patch line 1: no search/replace block found" in capsys.readouterr().err
    assert snapshot(tmp_path / "root") == before


@pytest.mark.parametrize("end, expected", [
    ("*** End of File\n", "x\ny\nx\nz\n"),
    ("", None),
])
def test_a_chunk_that_ends_the_file_takes_the_last_occurrence(tmp_path, end, expected):
    tree(tmp_path, {"e.txt": "x\ny\nx\ny\n"})
    patch = f"*** Begin Patch\n*** Update File: e.txt\n@@\n x\n-y\n+z\n{end}*** End Patch\n"
    result = ms.apply_patch(patch, root=tmp_path, write=True)
    assert result.ok == (expected is not None)
    assert (tmp_path / "e.txt").read_text() == (expected or "x\ny\nx\ny\n")


@pytest.mark.parametrize("patch", [
    "--- a/r.txt\n+++ b/r.txt\n@@ -2,2 +1,0 @@\n-  b\n-  c\n\\ No newline at end of file\n",
    "*** Begin Patch\n*** Update File: r.txt\n@@\n-  b\n-  c\n*** End Patch\n",
])
def test_lines_removed_at_the_end_of_a_file_without_a_final_break(tmp_path, patch):
    tree(tmp_path, {"r.txt": "a\nb\nc"})
    assert ms.apply_patch(patch, root=tmp_path, write=True).ok
    assert (tmp_path / "r.txt").read_text() == "a\n"

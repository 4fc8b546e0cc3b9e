"""edit_file and apply_edits on real files: encodings, line endings, safe writes, all or nothing."""

import dataclasses
import errno
import os
import stat

import pytest

import marlune_search as ms
from marlune_search import _file_edit

BOM = b"\xef\xbb\xbf"


def make(tmp_path, data, name="f.txt"):
    path = tmp_path / name
    path.write_bytes(data)
    return path


def leftovers(folder, keep):
    """Files in the folder besides the ones the test made, such as forgotten temporary files."""
    return sorted(p.name for p in folder.iterdir() if p.name not in keep)


# ---- encodings and line endings ---------------------------------------------------------


@pytest.mark.parametrize("bom", [b"", BOM], ids=["plain", "bom"])
@pytest.mark.parametrize(
    "before, old, new, after",
    [
        # all breaks "\r\n": edited in "\n" form, written back with "\r\n"
        (b"a\r\nb\r\nc\r\n", "b\nc", "x\ny\nz", b"a\r\nx\r\ny\r\nz\r\n"),
        (b"a\r\nb\r\nc\r\n", "b\r\nc", "x\r\ny", b"a\r\nx\r\ny\r\n"),
        (b"a\r\nb\r\nc", "c", "c\nd", b"a\r\nb\r\nc\r\nd"),
        # plain "\n" file
        (b"a\nb\nc\n", "b\n", "B\n", b"a\nB\nc\n"),
        # mixed endings: edited as it is, the other lines keep their own ending
        (b"a\r\nb\nc\r\n", "b\n", "B\n", b"a\r\nB\nc\r\n"),
        (b"a\r\nb\nc\r\n", "a\r\nb", "z", b"z\nc\r\n"),
        # no line break at all
        (b"only", "only", "one\ntwo", b"one\ntwo"),
    ],
)
def test_bom_and_line_endings_survive(tmp_path, bom, before, old, new, after):
    path = make(tmp_path, bom + before)
    edit = ms.edit_file(path, old, new)
    assert edit.written
    assert path.read_bytes() == bom + after
    assert not edit.old_text.startswith("\ufeff")
    assert edit.results[0].strategy == "simple"
    assert edit.exact


def test_crlf_file_shows_its_text_in_lf_form(tmp_path):
    path = make(tmp_path, b"one\r\ntwo\r\nthree\r\n")
    edit = ms.edit_file(path, "two", "TWO", write=False)
    assert edit.old_text == "one\ntwo\nthree\n"
    assert edit.new_text == "one\nTWO\nthree\n"
    assert "\r" not in edit.diff
    assert (edit.results[0].start_line, edit.results[0].end_line) == (2, 2)


@pytest.mark.parametrize(
    "data, offset, byte",
    [
        (b"abc\xffdef\n", 3, 0xFF),
        (BOM + b"ab\xc3", 5, 0xC3),  # truncated sequence at the end; the mark counts
        (b"x\xe2\x82y", 1, 0xE2),  # incomplete sequence in the middle
        (b"\xc0\xaf", 0, 0xC0),  # overlong form
        (b"ok\n\xed\xa0\x80", 3, 0xED),  # encoded surrogate
        (b"\xff\xfea\x00", 0, 0xFF),  # UTF-16 with its mark
    ],
)
def test_undecodable_file_is_refused_and_untouched(tmp_path, data, offset, byte):
    path = make(tmp_path, data)
    before = path.stat()
    with pytest.raises(ms.DecodeFailed) as info:
        ms.edit_file(path, "a", "b")
    assert info.value.offset == offset
    assert info.value.path == path
    message = str(info.value)
    assert str(path) in message and f"offset {offset}" in message and f"0x{byte:02x}" in message
    assert path.read_bytes() == data
    assert path.stat().st_mtime_ns == before.st_mtime_ns
    assert leftovers(tmp_path, {"f.txt"}) == []


# ---- results and diff -------------------------------------------------------------------


def test_result_records_lines_and_diff(tmp_path):
    path = make(tmp_path, b"def f():\n    return 1\n\ndef g():\n    return 2\n")
    edit = ms.edit_file(path, "    return 2", "    return 3")
    assert edit.path == path
    assert isinstance(edit.results[0], ms.ReplaceResult)
    assert (edit.results[0].start_line, edit.results[0].end_line) == (5, 5)
    assert edit.diff.splitlines() == [
        f"--- {path.as_posix()}",
        f"+++ {path.as_posix()}",
        "@@ -2,4 +2,4 @@",
        "     return 1",
        " ",
        " def g():",
        "-    return 2",
        "+    return 3",
    ]
    with pytest.raises(dataclasses.FrozenInstanceError):
        edit.written = False


def test_relative_path_diff_headers_and_missing_final_newline(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    make(tmp_path, b"a\nb")
    edit = ms.edit_file("f.txt", "b", "c")
    assert edit.diff == (
        "--- a/f.txt\n+++ b/f.txt\n@@ -1,2 +1,2 @@\n a\n-b\n\\ No newline at end of file\n"
        "+c\n\\ No newline at end of file\n"
    )


def test_tolerant_match_is_not_exact(tmp_path):
    path = make(tmp_path, b"if x:\n    call(1)\n    call(2)\n")
    edit = ms.edit_file(path, "if x:\n  call(1)\n  call(2)", "if x:\n    done()")
    assert edit.results[0].strategy != "simple"
    assert not edit.exact
    assert path.read_bytes() == b"if x:\n    done()\n"


def test_write_false_changes_nothing(tmp_path):
    path = make(tmp_path, b"alpha\nbeta\n")
    edit = ms.edit_file(path, "beta", "gamma", write=False)
    assert not edit.written
    assert edit.new_text == "alpha\ngamma\n"
    assert "+gamma" in edit.diff
    assert path.read_bytes() == b"alpha\nbeta\n"


@pytest.mark.parametrize(
    "old, kwargs, error_type",
    [
        ("missing text", {}, "not_found"),
        ("x = 1", {}, "multiple_matches"),
        ("x = 1", {"replace_all": False, "line_hint": None}, "multiple_matches"),
    ],
)
def test_failed_edit_raises_with_the_native_record(tmp_path, old, kwargs, error_type):
    data = b"x = 1\ny = 2\nx = 1\n"
    path = make(tmp_path, data)
    with pytest.raises(ms.EditFailed) as info:
        ms.edit_file(path, old, "z = 3", **kwargs)
    error = info.value.error
    assert isinstance(error, ms.TryReplaceResult) and not error
    assert error.error_type == error_type
    assert info.value.index == 0
    assert info.value.message == error.error
    assert str(info.value) == f"{path}: {error.error}"
    if error_type == "multiple_matches":
        assert error.locations == [1, 3]
    assert path.read_bytes() == data


def test_line_hint_and_replace_all_reach_the_cascade(tmp_path):
    path = make(tmp_path, b"x = 1\ny = 2\nx = 1\n")
    assert ms.edit_file(path, "x = 1", "x = 9", line_hint=3).results[0].start_line == 3
    assert path.read_bytes() == b"x = 1\ny = 2\nx = 9\n"
    ms.edit_file(path, "= ", ": ", replace_all=True)
    assert path.read_bytes() == b"x : 1\ny : 2\nx : 9\n"


# ---- apply_edits ------------------------------------------------------------------------


def test_apply_edits_in_order_each_on_the_result_before(tmp_path):
    path = make(tmp_path, b"one\r\ntwo\r\n")
    edits = [
        {"old_string": "one", "new_string": "first"},
        {"old_string": "first\ntwo", "new_string": "first\nsecond"},  # sees edit 0's text
        ms.Edit(old_string="second", new_string="2nd", replace_all=True, line_hint=None),
    ]
    edit = ms.apply_edits(path, edits)
    assert [r.start_line for r in edit.results] == [1, 1, 2]
    assert edit.written and edit.exact
    assert path.read_bytes() == b"first\r\n2nd\r\n"


@pytest.mark.parametrize(
    "edits, index, error_type",
    [
        (
            [
                {"old_string": "a", "new_string": "z"},
                {"old_string": "z\nb", "new_string": "y\nb"},  # only after edit 0
                {"old_string": "nowhere at all", "new_string": "d"},
            ],
            2,
            "not_found",
        ),
        ([{"old_string": "a", "new_string": "a"}], 0, "no_change"),
        (
            [{"old_string": "a\n", "new_string": "q\n"}, {"old_string": "b", "new_string": "x"}],
            1,
            "multiple_matches",
        ),
    ],
)
def test_apply_edits_is_all_or_nothing(tmp_path, edits, index, error_type):
    data = b"a\nb\nb\n"
    path = make(tmp_path, data)
    with pytest.raises(ms.EditFailed) as info:
        ms.apply_edits(path, edits)
    assert info.value.index == index
    assert info.value.error.error_type == error_type
    assert f"edit {index} failed: " in str(info.value)
    assert path.read_bytes() == data
    assert leftovers(tmp_path, {"f.txt"}) == []


@pytest.mark.parametrize(
    "edit, message",
    [
        ("a", "edit 1: expected a mapping"),
        ({"old_string": "a"}, "edit 1: missing key 'new_string'"),
        ({"old_string": "a", "new_string": 1}, "edit 1: 'new_string' must be a str"),
        ({"old_string": "a", "new_string": "b", "all": True}, "edit 1: unknown key 'all'"),
        ({"old_string": "a", "new_string": "b", "replace_all": 1}, "'replace_all' must be a bool"),
        ({"old_string": "a", "new_string": "b", "line_hint": "3"}, "'line_hint' must be an int"),
    ],
)
def test_apply_edits_checks_every_edit_before_reading(tmp_path, edit, message):
    path = tmp_path / "does-not-exist.txt"  # the check comes first
    with pytest.raises(TypeError, match=message):
        ms.apply_edits(path, [{"old_string": "x", "new_string": "y"}, edit])


# ---- safe writes ------------------------------------------------------------------------


@pytest.mark.parametrize("mode", [0o600, 0o644, 0o751, 0o2770])
def test_permission_bits_are_kept(tmp_path, mode):
    path = make(tmp_path, b"v = 1\n")
    os.chmod(path, mode)
    ms.edit_file(path, "v = 1", "v = 2")
    assert stat.S_IMODE(path.stat().st_mode) == mode
    assert path.read_bytes() == b"v = 2\n"


def test_edit_through_a_symlink_changes_the_target_and_keeps_the_link(tmp_path):
    target = make(tmp_path, b"old\n", "target.txt")
    link = tmp_path / "link.txt"
    link.symlink_to(target)
    ms.edit_file(link, "old", "new")
    assert link.is_symlink()
    assert target.read_bytes() == b"new\n"


@pytest.fixture
def read_only_folder(tmp_path, monkeypatch):
    """A folder in which no file can be created. The superuser ignores the permission bits,
    so for it the refusal that the kernel would give anyone else is made by hand."""
    folder = tmp_path / "ro"
    folder.mkdir()
    if os.geteuid() == 0:
        real = _file_edit.tempfile.mkstemp

        def mkstemp(*args, **kwargs):
            if not os.stat(kwargs["dir"]).st_mode & 0o222:
                raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), kwargs["dir"])
            return real(*args, **kwargs)

        monkeypatch.setattr(_file_edit.tempfile, "mkstemp", mkstemp)
    yield folder
    os.chmod(folder, 0o755)


def test_read_only_folder_gives_an_error_and_loses_nothing(read_only_folder):
    path = make(read_only_folder, b"keep me\n")
    os.chmod(read_only_folder, 0o555)
    with pytest.raises(ms.FileEditError) as info:
        ms.edit_file(path, "keep", "lose")
    assert type(info.value) is ms.FileEditError
    assert isinstance(info.value.__cause__, PermissionError)
    assert str(path) in str(info.value) and "nothing was written" in str(info.value)
    assert path.read_bytes() == b"keep me\n"
    assert leftovers(read_only_folder, {"f.txt"}) == []
    # The computed edit is still there to show without writing.
    assert ms.edit_file(path, "keep", "lose", write=False).new_text == "lose me\n"


@pytest.mark.parametrize("failing", ["fsync", "replace"])
def test_failure_while_writing_leaves_the_original_whole(tmp_path, monkeypatch, failing):
    path = make(tmp_path, b"line one\nline two\n")

    def broken(*args):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    if failing == "fsync":
        monkeypatch.setattr(_file_edit.os, "fsync", broken)
    else:
        monkeypatch.setattr(_file_edit.os, "replace", broken)
    with pytest.raises(ms.FileEditError, match="No space left on device"):
        ms.edit_file(path, "two", "2")
    assert path.read_bytes() == b"line one\nline two\n"
    assert leftovers(tmp_path, {"f.txt"}) == []


def rewrite_same_size_and_time(path):
    st = path.stat()
    path.write_bytes(path.read_bytes().upper())
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


@pytest.mark.parametrize(
    "change, expected",
    [
        (lambda p: p.write_bytes(b"someone else's text\n"), b"someone else's text\n"),
        (rewrite_same_size_and_time, b"ALPHA\nBETA\n"),
        (lambda p: p.unlink(), None),
    ],
    ids=["rewritten", "same-size-and-time", "deleted"],
)
def test_file_changed_between_read_and_write_is_not_overwritten(
    tmp_path, monkeypatch, change, expected
):
    path = make(tmp_path, b"alpha\nbeta\n")
    monkeypatch.setattr(_file_edit, "_before_replace", change)
    with pytest.raises(ms.FileChanged) as info:
        ms.apply_edits(path, [{"old_string": "beta", "new_string": "gamma"}])
    assert info.value.path == path
    if expected is None:
        assert not path.exists()
    else:
        assert path.read_bytes() == expected
    assert leftovers(tmp_path, {"f.txt"}) == []


@pytest.mark.parametrize("kind", ["missing", "folder"])
def test_unreadable_path_is_a_file_edit_error(tmp_path, kind):
    path = tmp_path / "x"
    if kind == "folder":
        path.mkdir()
    with pytest.raises(ms.FileEditError) as info:
        ms.edit_file(path, "a", "b")
    assert str(path) in str(info.value)

"""Edits built from real source files, with old_string disturbed the way a language model
disturbs it, and a judge of what the replacer made of each.

A case replaces one block of a standard-library file by one line, "<<replacement>>". The caller
writes new_string as a model would: with the same blank lines around it as its old_string (a
model that ends old_string on a line break ends new_string on one too). The intended file is the
original with the block's lines replaced by that one line; the indentation of that line is not
judged, since a tolerant match may place the text after the file's own indentation.

A both-sides case (the kinds of BOTH_SIDES, see BothSidesCase) disturbs new_string too, exactly
as old_string: a model that quotes a block from a wrong picture of the file writes its
replacement from the same picture.
"""

from __future__ import annotations

import os
import random
import re
import sysconfig
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import _marlune_search as m

REPLACEMENT = "<<replacement>>"


def source_files() -> list[str]:
    stdlib = sysconfig.get_paths()["stdlib"]
    texts = []
    for name in sorted(os.listdir(stdlib)):
        path = os.path.join(stdlib, name)
        if (not name.endswith(".py") or not os.path.isfile(path)
                or not 4_000 <= os.path.getsize(path) <= 40_000):
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            texts.append(f.read())
    return texts


def lines_of(text: str) -> list[str]:
    """Lines the way the replacer splits them: after each "\\n", minus one "\\r" before it."""
    pieces = text.split("\n")
    lines = [piece[:-1] if piece.endswith("\r") else piece for piece in pieces[:-1]]
    if pieces[-1]:
        lines.append(pieces[-1])
    return lines


def reindent(block: str, rng: random.Random) -> str:
    lines = block.split("\n")
    choice = rng.randrange(3)
    if choice == 0:
        return "\n".join("    " + line if line.strip() else line for line in lines)
    if choice == 1:
        return "\n".join(line.replace("    ", "\t") for line in lines)
    indent = min((len(line) - len(line.lstrip(" ")) for line in lines if line.strip()), default=0)
    return "\n".join(line[indent:] for line in lines)


def collapse(block: str, rng: random.Random) -> str:
    if rng.random() < 0.5:
        return " ".join(block.split())
    return "\n".join(" ".join(line.split()) for line in block.split("\n"))


def escape(block: str, rng: random.Random) -> str:
    escaped = block.replace('"', '\\"').replace("'", "\\'")
    return escaped.replace("\n", "\\n") if rng.random() < 0.3 else escaped


def trim(block: str, rng: random.Random) -> str:
    return block.strip() if rng.random() < 0.5 else "  " + block + "\n\n"


def change_middle(block: str, rng: random.Random) -> str:
    lines = block.split("\n")
    if len(lines) >= 3:
        k = rng.randrange(1, len(lines) - 1)
        lines[k] = lines[k][::-1] if rng.random() < 0.5 else lines[k] + "  # changed"
    return "\n".join(lines)


def blank_lines_around(block: str, rng: random.Random) -> str:
    return "\n" * rng.randrange(3) + block + "\n" * rng.randrange(1, 3)


PERTURBATIONS: dict[str, Callable[[str, random.Random], str]] = {
    "exact": lambda block, rng: block,
    "reindented": reindent,
    "collapsed": collapse,
    "escaped": escape,
    "trimmed": trim,
    "middle_changed": change_middle,
    "final_newline": lambda block, rng: block + "\n",
    "blank_lines_around": blank_lines_around,
}


def boundary_breaks(text: str) -> tuple[str, str]:
    """The whole blank lines that open and close text: its leading whitespace up to the last
    line break in it, and its trailing whitespace from the first line break in it."""
    stripped = text.strip()
    if not stripped:
        return text, ""
    lead = text[: len(text) - len(text.lstrip())]
    trail = text[len(text.rstrip()) :]
    lead = lead[: lead.rfind("\n") + 1]
    trail = trail[trail.find("\n") :] if "\n" in trail else ""
    return lead, trail


def draw_file(rng: random.Random, sources: list[str]) -> str:
    """One of sources, with its line breaks written as "\\r\\n" one time in five."""
    content = rng.choice(sources)
    if rng.random() < 0.2:
        content = content.replace("\n", "\r\n")
    return content


def draw_block(rng: random.Random, lines: list[str]) -> tuple[int, int]:
    """The first line (0-based) and the line count of a block of 1 to 10 lines of lines."""
    size = rng.choice([1, 1, 2, 3, 4, 6, 10])
    start = rng.randrange(max(1, len(lines) - size))
    size = min(size, len(lines) - start)
    # A block starts and ends on a line with text: blank lines at its ends come from the
    # perturbation, and new_string mirrors them.
    while not lines[start].strip() and start + 1 < len(lines):
        start += 1
        size = max(1, min(size, len(lines) - start))
    while size > 1 and not lines[start].strip():
        start, size = start + 1, size - 1
    while size > 1 and not lines[start + size - 1].strip():
        size -= 1
    return start, size


class Case:
    """An edit of a block disturbed on the old side only, replaced by one line."""

    kind: str
    content: str
    start: int
    size: int
    block: str
    old: str
    new: str
    hint: int | None
    expected_lines: list[str]

    def __init__(self, kind: str, rng: random.Random, sources: list[str]) -> None:
        self.kind = kind
        self.content = draw_file(rng, sources)
        lines = lines_of(self.content)
        self.start, self.size = draw_block(rng, lines)
        block = "\n".join(lines[self.start : self.start + self.size])
        self.block = block
        self.old = PERTURBATIONS[kind](block, rng)
        lead, trail = boundary_breaks(self.old)
        self.new = lead + REPLACEMENT + trail
        self.hint = self.start + 1 if rng.random() < 0.3 else None
        self.expected_lines = lines[: self.start] + [REPLACEMENT] + lines[self.start + self.size :]

    def is_intended(self, new_content: str) -> bool:
        """Whether new_content is the intended file, up to the indentation of the new line."""
        got = lines_of(new_content)
        if len(got) != len(self.expected_lines):
            return False
        # Blank lines count as equal whatever whitespace they hold.
        return all(
            g.strip() == e if i == self.start else g == e or not (g.strip() or e.strip())
            for i, (g, e) in enumerate(zip(got, self.expected_lines))
        )

    def is_near_identical(self, matched_text: str) -> bool:
        """Whether matched_text is a block that old_string describes about as well as the true
        one: the same text up to whitespace, or the same first and last lines around at most
        two lines more or fewer. A wrongly placed edit must be one of those."""
        if matched_text.split() == self.block.split():
            return True
        got = [line.strip() for line in lines_of(matched_text)]
        want = [line.strip() for line in lines_of(self.block)]
        return (
            bool(got and want)
            and (got[0], got[-1]) == (want[0], want[-1])
            and abs(len(got) - len(want)) <= 2
        )


# ---- both sides disturbed alike --------------------------------------------------------------

INDENT_UNIT = "    "
MAX_DRAWS = 1_000


def lead_of(line: str) -> str:
    """The leading run of blanks (" " and "\\t") of line."""
    return line[: len(line) - len(line.lstrip(" \t"))]


def each_line(change: Callable[[str], str]) -> Callable[[str], str]:
    """A text transform that applies change to every line, the line breaks kept."""
    return lambda text: "\n".join(change(line) for line in text.split("\n"))


def each_text_line(change: Callable[[str], str]) -> Callable[[str], str]:
    """Like each_line, leaving blank lines as they are (a model re-indents only text)."""
    return each_line(lambda line: change(line) if line.strip() else line)


def unchanged(text: str) -> str:
    """The file as it is."""
    return text


@dataclass(frozen=True)
class Disturbance:
    """One disturbance with its parameters drawn: `side` writes either side of the edit as the
    model does, `file` makes the file the case is drawn from (a tab-indented one, say)."""

    name: str
    side: Callable[[str], str]
    file: Callable[[str], str] = unchanged


def reindent_both(lines: list[str], rng: random.Random) -> Disturbance | None:
    """Every line with text shifted by four columns, back by two, or to column 0."""
    leads = [lead_of(line) for line in lines if line.strip()]
    common = min(leads, default="")
    while not all(lead.startswith(common) for lead in leads):
        common = common[:-1]
    shifts = {"+4": INDENT_UNIT, "-2": "  ", "to column 0": common}
    names = ["+4"] + ["-2"] * common.startswith("  ") + ["to column 0"] * bool(common)
    name = rng.choice(names)
    if name == "+4":
        return Disturbance(name, each_text_line(lambda line: INDENT_UNIT + line))
    # Every line of either side begins with the block's common indentation: a changed line
    # keeps its own, an inserted one takes a neighbour's.
    cut = shifts[name]
    return Disturbance(name, each_text_line(lambda line: line.removeprefix(cut)))


def tabs_in_lead(line: str) -> str:
    """line with each four spaces at its start written as one tab ("      x" -> "\\t  x")."""
    spaces = len(line) - len(line.lstrip(" "))
    return "\t" * (spaces // 4) + " " * (spaces % 4) + line[spaces:]


def spaces_in_lead(line: str) -> str:
    """line with each tab at its start written as four spaces."""
    tabs = len(line) - len(line.lstrip("\t"))
    return INDENT_UNIT * tabs + line[tabs:]


def tabs_both(lines: list[str], rng: random.Random) -> Disturbance | None:
    """Indentation by four spaces written as tabs, or by tabs as four spaces; None for a
    block with no line indented by four."""
    if not any(line.startswith(INDENT_UNIT) for line in lines):
        return None
    if rng.random() < 0.5:
        return Disturbance("spaces as tabs", each_line(tabs_in_lead))
    # The file is indented with tabs (the standard library is not: write it so first), and
    # the model writes each tab as four spaces.
    return Disturbance("tabs as spaces", each_line(spaces_in_lead), each_line(tabs_in_lead))


def escaped_breaks_both(lines: list[str], rng: random.Random) -> Disturbance | None:
    """Each side on one line, its line breaks written as the escape; None for one line."""
    if len(lines) < 2:
        return None
    return Disturbance("one line", lambda text: text.replace("\n", "\\n"))


INNER_BLANKS = re.compile(r"(?<=\S)[ \t]+(?=\S)")


def collapsed_both(lines: list[str], rng: random.Random) -> Disturbance | None:
    """Runs of blanks between two non-blank characters written as one space."""
    return Disturbance("inner blanks", each_line(lambda line: INNER_BLANKS.sub(" ", line)))


BOTH_SIDES: dict[str, Callable[[list[str], random.Random], Disturbance | None]] = {
    "both_reindented": reindent_both,
    "both_tabs": tabs_both,
    "both_escaped_breaks": escaped_breaks_both,
    "both_collapsed": collapsed_both,
}


IDENTIFIER = re.compile(r"[A-Za-z_]\w*")


def changed_line(line: str, rng: random.Random) -> str:
    """line with one of its names renamed, or a comment added where it has none; the change
    adds no run of blanks, so that a disturbance of the change itself loses nothing."""
    lead = lead_of(line)
    names = list(IDENTIFIER.finditer(line, len(lead)))
    if not names:
        return line + " # changed"
    name = rng.choice(names)
    return line[: name.end()] + rng.choice(["_new", "2", "_old"]) + line[name.end() :]


def indent_unit(lines: list[str]) -> str:
    """One level of the block's indentation."""
    return "\t" if any(line.startswith("\t") for line in lines) else INDENT_UNIT


EDITS = ("first line", "middle line", "last line", "insert", "delete", "nest")


def intended_change(lines: list[str], rng: random.Random) -> tuple[str, list[str]]:
    """The name of an edit made to the block's lines, and the lines it makes (never the same
    lines). An edit changes, deletes or nests a line with text, never a blank one."""
    rows = [i for i, line in enumerate(lines) if line.strip()] or [0]
    how = rng.choice(EDITS)
    if how == "delete" and len(rows) < 2 or how == "middle line" and len(rows) < 3:
        how = "first line"
    new = list(lines)
    if how == "insert":
        at = rng.randrange(len(lines) + 1)
        after = [i for i in rows if i >= at]
        neighbour = lines[after[0]] if after else lines[rows[-1]]
        new.insert(at, lead_of(neighbour) + f"trace({at})")
    elif how == "delete":
        del new[rng.choice(rows)]
    elif how == "nest":
        row = rng.choice(rows)
        lead = lead_of(lines[row])
        nested = lead + indent_unit(lines) + lines[row][len(lead) :]
        new[row : row + 1] = [lead + "if enabled:", nested]
    else:
        row = changed_row(how, rows, rng)
        new[row] = changed_line(lines[row], rng)
    return how, new


def changed_row(how: str, rows: list[int], rng: random.Random) -> int:
    """The line with text that the edit named how changes."""
    if how == "first line":
        return rows[0]
    return rows[-1] if how == "last line" else rng.choice(rows[1:-1])


def replace_lines(content: str, start: int, size: int, new_lines: list[str]) -> str:
    """content with its lines start .. start + size - 1 (0-based) replaced by new_lines, each
    ended the way the file ends its lines; a block that ends the file without a final line
    break keeps ending it so."""
    pieces = content.split("\n")
    ending = "\r" if "\r\n" in content else ""
    written = [line + ending for line in new_lines]
    if start + size == len(pieces):  # the block's last line has no line break after it
        written[-1] = new_lines[-1]
    return "\n".join(pieces[:start] + written + pieces[start + size :])


class BothSidesCase(Case):
    """An edit disturbed on both sides alike: the true edit replaces the block by the intended
    block (a real change of it: a renamed name, an inserted, deleted or nested line), and the
    model writes old_string from the block and new_string from the intended block through the
    same disturbance with the same parameters (both re-indented by +4, say, never one by +4 and
    the other by -2). The disturbances are those a model makes when its picture of the file is
    off: indentation shifted, tabs and spaces swapped, line breaks written as the two characters
    "\\n", runs of blanks inside lines collapsed.

    The judge is exact: on success the file must equal the original with the block's lines
    replaced by the intended block's lines, byte for byte, indentation and the file's line
    endings included. The old-side cases may leave the indentation of their one new line to
    the replacer, since no text tells what it should be; here the intended block says it
    exactly, and a file that differs from it in a single blank is a different program (a
    Python block re-indented, two lines joined by a literal "\\n") reported as a success.
    """

    intended: str
    disturbance: str
    change: str
    expected_content: str

    def __init__(self, kind: str, rng: random.Random, sources: list[str]) -> None:
        self.kind = kind
        for _ in range(MAX_DRAWS):
            if self._drawn(rng, sources):
                return
        raise RuntimeError(f"no {kind} case in {MAX_DRAWS} draws")

    def _drawn(self, rng: random.Random, sources: list[str]) -> bool:
        """Draws a case into self; False when the drawn block cannot be disturbed so, or when
        its disturbed old side is the block itself (that is an exact edit)."""
        content = draw_file(rng, sources)
        start, size = draw_block(rng, lines_of(content))
        disturbance = BOTH_SIDES[self.kind](lines_of(content)[start : start + size], rng)
        if disturbance is None:
            return False
        content = disturbance.file(content)
        lines = lines_of(content)
        block_lines = lines[start : start + size]
        self.change, intended_lines = intended_change(block_lines, rng)
        self.block, self.intended = "\n".join(block_lines), "\n".join(intended_lines)
        self.old, self.new = disturbance.side(self.block), disturbance.side(self.intended)
        if self.old in (self.block, self.new):
            return False
        self.content, self.start, self.size = content, start, size
        self.disturbance = disturbance.name
        self.hint = start + 1 if rng.random() < 0.3 else None
        self.expected_content = replace_lines(content, start, size, intended_lines)
        self.expected_lines = lines_of(self.expected_content)
        return True

    def is_intended(self, new_content: str) -> bool:
        """Whether new_content is the intended file, byte for byte."""
        return new_content == self.expected_content


def cases(kind: str, count: int, sources: list[str]) -> list[Case]:
    """count cases of the kind, the same ones on every run."""
    rng = random.Random(f"replace-{kind}")
    make = BothSidesCase if kind in BOTH_SIDES else Case
    return [make(kind, rng, sources) for _ in range(count)]


def outcome(case: Case, module: Any = m) -> tuple[str, Any]:
    """("correct" | "wrong" | "failed", the record of try_replace_content)."""
    record = module.try_replace_content(case.content, case.old, case.new, line_hint=case.hint)
    if not record:
        return "failed", record
    return ("correct" if case.is_intended(record.result.content) else "wrong"), record

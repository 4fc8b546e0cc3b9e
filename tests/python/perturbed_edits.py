"""Edits built from real source files, with old_string disturbed the way a language model
disturbs it, and a judge of what the replacer made of each.

A case replaces one block of a standard-library file by one line, "<<replacement>>". The caller
writes new_string as a model would: with the same blank lines around it as its old_string (a
model that ends old_string on a line break ends new_string on one too). The intended file is the
original with the block's lines replaced by that one line; the indentation of that line is not
judged, since a tolerant match may place the text after the file's own indentation.
"""

import os
import random
import sysconfig

import _marlune_search as m

REPLACEMENT = "<<replacement>>"


def source_files():
    stdlib = sysconfig.get_paths()["stdlib"]
    texts = []
    for name in sorted(os.listdir(stdlib)):
        path = os.path.join(stdlib, name)
        if not name.endswith(".py") or not 4_000 <= os.path.getsize(path) <= 40_000:
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            texts.append(f.read())
    return texts


def lines_of(text):
    """Lines the way the replacer splits them: after each "\\n", minus one "\\r" before it."""
    pieces = text.split("\n")
    lines = [piece[:-1] if piece.endswith("\r") else piece for piece in pieces[:-1]]
    if pieces[-1]:
        lines.append(pieces[-1])
    return lines


def reindent(block, rng):
    lines = block.split("\n")
    choice = rng.randrange(3)
    if choice == 0:
        return "\n".join("    " + line if line.strip() else line for line in lines)
    if choice == 1:
        return "\n".join(line.replace("    ", "\t") for line in lines)
    indent = min((len(line) - len(line.lstrip(" ")) for line in lines if line.strip()), default=0)
    return "\n".join(line[indent:] for line in lines)


def collapse(block, rng):
    if rng.random() < 0.5:
        return " ".join(block.split())
    return "\n".join(" ".join(line.split()) for line in block.split("\n"))


def escape(block, rng):
    escaped = block.replace('"', '\\"').replace("'", "\\'")
    return escaped.replace("\n", "\\n") if rng.random() < 0.3 else escaped


def trim(block, rng):
    return block.strip() if rng.random() < 0.5 else "  " + block + "\n\n"


def change_middle(block, rng):
    lines = block.split("\n")
    if len(lines) >= 3:
        k = rng.randrange(1, len(lines) - 1)
        lines[k] = lines[k][::-1] if rng.random() < 0.5 else lines[k] + "  # changed"
    return "\n".join(lines)


def blank_lines_around(block, rng):
    return "\n" * rng.randrange(3) + block + "\n" * rng.randrange(1, 3)


PERTURBATIONS = {
    "exact": lambda block, rng: block,
    "reindented": reindent,
    "collapsed": collapse,
    "escaped": escape,
    "trimmed": trim,
    "middle_changed": change_middle,
    "final_newline": lambda block, rng: block + "\n",
    "blank_lines_around": blank_lines_around,
}


def boundary_breaks(text):
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


class Case:
    def __init__(self, kind, rng, sources):
        self.kind = kind
        content = rng.choice(sources)
        if rng.random() < 0.2:
            content = content.replace("\n", "\r\n")
        self.content = content
        lines = lines_of(content)
        size = rng.choice([1, 1, 2, 3, 4, 6, 10])
        self.start = rng.randrange(max(1, len(lines) - size))
        self.size = min(size, len(lines) - self.start)
        # A block starts and ends on a line with text: blank lines at its ends come from the
        # perturbation, and new_string mirrors them.
        while not lines[self.start].strip() and self.start + 1 < len(lines):
            self.start += 1
            self.size = max(1, min(self.size, len(lines) - self.start))
        while self.size > 1 and not lines[self.start].strip():
            self.start, self.size = self.start + 1, self.size - 1
        while self.size > 1 and not lines[self.start + self.size - 1].strip():
            self.size -= 1
        block = "\n".join(lines[self.start : self.start + self.size])
        self.block = block
        self.old = PERTURBATIONS[kind](block, rng)
        lead, trail = boundary_breaks(self.old)
        self.new = lead + REPLACEMENT + trail
        self.hint = self.start + 1 if rng.random() < 0.3 else None
        self.expected_lines = lines[: self.start] + [REPLACEMENT] + lines[self.start + self.size :]

    def is_intended(self, new_content):
        got = lines_of(new_content)
        if len(got) != len(self.expected_lines):
            return False
        # Blank lines count as equal whatever whitespace they hold.
        return all(
            g.strip() == e if i == self.start else g == e or not (g.strip() or e.strip())
            for i, (g, e) in enumerate(zip(got, self.expected_lines))
        )


    def is_near_identical(self, matched_text):
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


def cases(kind, count, sources):
    rng = random.Random(f"replace-{kind}")
    return [Case(kind, rng, sources) for _ in range(count)]


def outcome(case, module=m):
    """("correct" | "wrong" | "failed", the record of try_replace_content)."""
    record = module.try_replace_content(case.content, case.old, case.new, line_hint=case.hint)
    if not record:
        return "failed", record
    return ("correct" if case.is_intended(record.result.content) else "wrong"), record

"""Edits built from real source files and disturbed the way a language model disturbs them.

Whatever strategy ends up placing the text, a success must replace exactly the reported text at
the reported lines, and a failure must change nothing and say which kind of failure it is.
"""

import os
import random
import sysconfig

import pytest

import _marlune_search as m

SANITIZED = bool(os.environ.get("MARLUNE_SANITIZED"))
CASES_PER_KIND = 60 if SANITIZED else 150
STRATEGIES = {
    "simple",
    "line_trimmed",
    "block_anchor",
    "whitespace_normalized",
    "indentation_flexible",
    "escape_normalized",
    "trimmed_boundary",
    "context_aware",
}


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


SOURCES = source_files()


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


PERTURBATIONS = {
    "exact": lambda block, rng: block,
    "reindented": reindent,
    "collapsed": collapse,
    "escaped": escape,
    "trimmed": trim,
    "middle_changed": change_middle,
    "final_newline": lambda block, rng: block + "\n",
}


def check_success(content, old, new, result, hint):
    matched = result.matched_text
    assert result.strategy in STRATEGIES
    assert result.end_line == result.start_line + matched.count("\n")
    if result.strategy == "simple":
        assert matched == old
    if hint is None:  # without a hint only a unique text is placed
        assert content.find(matched) == content.rfind(matched) >= 0
    position = content.find(matched)
    while position >= 0:  # the first occurrence on the reported line is the one replaced
        if content.count("\n", 0, position) + 1 == result.start_line:
            break
        position = content.find(matched, position + 1)
    assert position >= 0, "matched text does not stand on the reported line"
    assert content[:position].count("\n") == result.start_line - 1
    assert result.content == content[:position] + new + content[position + len(matched) :]


def check_failure(content, old, new, record, hint):
    assert record.result is None
    with pytest.raises(ValueError) as info:
        m.replace_content(content, old, new, line_hint=hint)
    assert info.value.args == (record.error,)
    if old in content:  # the exact text is always proposed, so it is never "not found"
        assert record.error_type == "multiple_matches"
        assert hint is None, "with a hint the exact text is always placed"
    if record.error_type == "not_found":
        assert record.error.startswith("Search text not found in file.")
        assert record.locations is None
        close = record.closest_match
        if close is not None:
            assert 0.8 <= close.similarity <= 1.0
            assert close.end_line - close.start_line + 1 == len(lines_of(old))
            assert close.text == "\n".join(lines_of(content)[close.start_line - 1 : close.end_line])
    else:
        assert record.error_type == "multiple_matches"
        assert record.error.startswith("Pattern found at multiple locations (lines: ")
        assert record.closest_match is None
        first = (lines_of(old) or [""])[0]
        content_lines = lines_of(content)
        assert record.locations == sorted(set(record.locations))
        assert all(first in content_lines[n - 1] for n in record.locations)


@pytest.mark.parametrize("kind", PERTURBATIONS)
def test_perturbed_edits_replace_exactly_what_they_report(kind):
    rng = random.Random(f"replace-{kind}")
    for _ in range(CASES_PER_KIND):
        content = rng.choice(SOURCES)
        if rng.random() < 0.2:
            content = content.replace("\n", "\r\n")
        lines = lines_of(content)
        size = rng.choice([1, 1, 2, 3, 4, 6, 10])
        start = rng.randrange(max(1, len(lines) - size))
        block = "\n".join(lines[start : start + size])
        old = PERTURBATIONS[kind](block, rng)
        new = "<<replacement>>\n" if rng.random() < 0.5 else ""
        hint = start + 1 if rng.random() < 0.3 else None
        record = m.try_replace_content(content, old, new, line_hint=hint)
        context = f"{kind}: line {start + 1}, old={old[:80]!r}"
        if old == new:
            assert record.error_type == "no_change", context
        elif record:
            check_success(content, old, new, record.result, hint)
        else:
            check_failure(content, old, new, record, hint)
        if kind == "exact" and "\r" not in content and content.count(old) == 1:
            assert record and record.result.strategy == "simple", context
            assert record.result.start_line == start + 1, context

"""A plain reading of what a placed match puts in: new_string fitted to the candidate's line
breaks, rewritten in the candidate's frame, with the candidate's extra line breaks kept. Written
straight from the rules with difflib, for differential tests of the engine."""

import difflib
from fractions import Fraction

WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008"
    "\u2009\u200a\u2028\u2029\u202f\u205f\u3000"
)
ESCAPES = ["\\n", "\\t", "\\r", "\\'", '\\"', "\\`", "\\$", "\\\\"]


def trim(s):
    return s.strip(WHITE_SPACE)


def leading_ws(s):
    return s[: len(s) - len(s.lstrip(WHITE_SPACE))]


def trailing_ws(s):
    return s[len(s.rstrip(WHITE_SPACE)) :]


def unescape(s):
    for escaped, plain in [("\\n", "\n"), ("\\t", "\t"), ("\\r", "\r"), ("\\'", "'"),
                           ('\\"', '"'), ("\\`", "`"), ("\\$", "$"), ("\\\\", "\\")]:
        s = s.replace(escaped, plain)
    return s


def cut_breaks(text, k_end, k_start):
    if k_end > 0:
        tail = trailing_ws(text)
        body = len(text) - len(tail)
        breaks = [body + i for i, c in enumerate(tail) if c == "\n"]
        if breaks:
            cut = breaks[-min(k_end, len(breaks))]
            if cut > body and text[cut - 1] == "\r":
                cut -= 1
            text = text[:cut]
    if k_start > 0:
        head = leading_ws(text)
        breaks = [i for i, c in enumerate(head) if c == "\n"]
        if breaks:
            text = text[breaks[min(k_start, len(breaks)) - 1] + 1 :]
    return text


def lead(line):
    return line[: len(line) - len(line.lstrip(" \t"))]


def run(s, c):
    return len(s) - len(s.lstrip(c)) if c else 0


def shift_map(a, b):
    return lambda x: b + x[len(a) :] if x.startswith(a) else None


def unit_map(c, d, q):
    def image(x):
        r = run(x, c)
        n = r * q
        return None if n.denominator != 1 else d * int(n) + x[r:]

    return image


def fitting_map(pairs):
    maps = []
    for lo, lm in pairs:
        s = 0
        while s < min(len(lo), len(lm)) and lo[len(lo) - 1 - s] == lm[len(lm) - 1 - s]:
            s += 1
        maps.append(shift_map(lo[: len(lo) - s], lm[: len(lm) - s]))
    for lo, lm in pairs:
        if lo and lm:
            maps.append(unit_map(lo[0], lm[0], Fraction(run(lm, lm[0]), run(lo, lo[0]))))
    for image in maps:
        if all(image(lo) == lm for lo, lm in pairs):
            return image
    return None


def rebased(old, cand, new):
    O, M, N = old.split("\n"), cand.split("\n"), new.split("\n")
    if len(O) != len(M):
        return None
    matcher = difflib.SequenceMatcher(None, [trim(x) for x in O], [trim(x) for x in N],
                                      autojunk=False)
    kept = {}
    old_votes = file_votes = 0
    for i0, j0, size in matcher.get_matching_blocks():
        for t in range(size):
            i, j = i0 + t, j0 + t
            kept[j] = i
            if trim(N[j]) and O[i] != M[i]:
                old_votes += N[j] == O[i]
                file_votes += N[j] == M[i]
    if old_votes <= 2 * file_votes:
        return None
    image = fitting_map([(lead(o), lead(f)) for o, f in zip(O, M) if trim(o) and trim(f)])
    if image is None:
        return None
    out = []
    for j, line in enumerate(N):
        if j in kept and line == O[kept[j]]:
            out.append(M[kept[j]])
        elif not trim(line):
            out.append(line)
        else:
            indent = image(lead(line))
            if indent is None:
                return None
            out.append(indent + line[len(lead(line)) :])
    return "\n".join(out)


def unescapes(old, new):
    if "\n" not in old and "\n" not in new and "\\n" in old and "\\n" in new:
        return True
    in_new = [e for e in ESCAPES if e in new]
    return bool(in_new) and all(e in old for e in in_new) and ("\n" in old or "\n" not in new)


def replacement(strategy, old, cand, new):
    """What goes in place of `cand`, placed by `strategy` for `old`."""
    if strategy == "trimmed_boundary" and cand == trim(old):
        if leading_ws(old):
            new = new.lstrip(WHITE_SPACE)
        if trailing_ws(old):
            new = new.rstrip(WHITE_SPACE)
        return new
    k_end = trailing_ws(old).count("\n") - trailing_ws(cand).count("\n")
    k_start = leading_ws(old).count("\n") - leading_ws(cand).count("\n")
    new = cut_breaks(new, k_end, k_start)
    old_fit = cut_breaks(old, k_end, k_start)
    if strategy not in ("simple", "trimmed_boundary") and old_fit != cand:
        if strategy == "escape_normalized":
            if unescapes(old_fit, new):
                new = unescape(new)
            old_fit = unescape(old_fit)
        rebased_new = rebased(old_fit, cand, new)
        new = new if rebased_new is None else rebased_new
    if strategy != "escape_normalized" and trim(cand):
        extra = trailing_ws(cand).count("\n") - trailing_ws(old).count("\n")
        if extra > 0:
            tail = trailing_ws(cand)
            cut = [i for i, c in enumerate(tail) if c == "\n"][-extra]
            if cut > 0 and tail[cut - 1] == "\r":
                cut -= 1
            new += tail[cut:]
        extra = leading_ws(cand).count("\n") - leading_ws(old).count("\n")
        if extra > 0:
            head = leading_ws(cand)
            new = head[: [i for i, c in enumerate(head) if c == "\n"][extra - 1] + 1] + new
    return new

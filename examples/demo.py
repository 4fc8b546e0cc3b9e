"""A short tour of _marlune_search: rank candidate paths, fix an imperfect edit, follow a stream."""

import _marlune_search as m

paths = [
    "src/components/widgets/button_group.tsx",
    "src/components/forms/text_field.tsx",
    "docs/guide/getting_started.md",
    "src/util/bytes_buffer.py",
    "tests/widgets/test_button_group.py",
]
print("Ranking paths for 'bgrp':")
for path, score in m.get_best_matches("bgrp", paths):
    print(f"  {score:4d}  {path}")
print("fuzzy_match('fb', 'fooBar') ->", m.fuzzy_match("fb", "fooBar"))
print("fuzzy_match_simple('ACE', 'abcde', False) ->", m.fuzzy_match_simple("ACE", "abcde", False))

source = '''def total(items):
    result = 0
    for item in items:
        result += item.price
    return result
'''
print("\nReplacing a block the model dedented, replacement and all (found by a tolerant strategy")
print("and written in the file's own indentation):")
edit = m.replace_content(
    source,
    "for item in items:\n    result += item.price",
    "for item in items:\n    result += item.price * item.quantity",
)
print(f"  strategy={edit.strategy!r} lines {edit.start_line}-{edit.end_line}")
print("  " + edit.content.replace("\n", "\n  "))

print("A failed replacement explains itself:")
failure = m.try_replace_content(source, "def total(items):\n    result = 1", "def total(items):\n    result = 2")
print(f"  {failure!r} -> falsy: {not failure}")
print(f"  closest match: {failure.closest_match!r}")
print("  " + failure.error.replace("\n", "\n  "))

print("\nLocating a block while it streams in:")
matcher = m.StreamingFuzzyMatcher(source)
stream = "    for item in items:\n        result += item.price\n    return result"
for start in range(0, len(stream), 16):
    chunk = stream[start : start + 16]
    found = matcher.push(chunk)
    print(f"  push({chunk!r:<20}) -> {found!r}")
ranges = matcher.finish()
print(f"  finish() -> {ranges!r}")
print("  " + matcher.get_text(ranges[0]).replace("\n", "\n  "))

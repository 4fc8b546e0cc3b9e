"""The installed package: re-exports, version, typing markers, and stubs that match the module
where the stub checker does not look (hashability, equality, truth value, read-only fields)."""

import ast
import importlib.metadata
import sys
from pathlib import Path

import pytest

import _marlune_search
import marlune_search

PROTOCOL_DUNDERS = ("__hash__", "__eq__", "__ne__", "__bool__")


def stub_file():
    for entry in map(Path, sys.path):
        candidate = entry / "_marlune_search-stubs" / "__init__.pyi"
        if candidate.is_file():
            return candidate
    pytest.fail("the stubs of _marlune_search are not installed beside the module")


@pytest.fixture(scope="module")
def stub_classes():
    tree = ast.parse(stub_file().read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def declared(node):
    """Names a stub class declares: methods, properties and annotated attributes."""
    names = {}
    for item in node.body:
        if isinstance(item, ast.FunctionDef):
            is_property = any(isinstance(d, ast.Name) and d.id == "property"
                              for d in item.decorator_list)
            names[item.name] = "property" if is_property else "method"
        elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
            names[item.target.id] = ast.unparse(item.annotation)
    return names


@pytest.mark.parametrize("name", _marlune_search.__all__)
def test_native_names_are_the_same_objects(name):
    assert getattr(marlune_search, name) is getattr(_marlune_search, name)
    assert name in marlune_search.__all__


def test_all_names_exist_and_native_all_is_untouched():
    assert all(hasattr(marlune_search, name) for name in marlune_search.__all__)
    assert len(_marlune_search.__all__) == 10


def test_version_is_the_distribution_version():
    try:
        installed = importlib.metadata.version("marlune-search")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("imported from the source tree, not from an installed distribution")
    assert marlune_search.__version__ == installed


def test_package_is_marked_typed():
    assert (Path(marlune_search.__file__).parent / "py.typed").is_file()


@pytest.mark.parametrize(
    "name", ["MatchRange", "ReplaceResult", "FuzzyMatchInfo", "TryReplaceResult",
             "StreamingFuzzyMatcher"])
def test_stub_class_matches_runtime_protocols(stub_classes, name):
    runtime = getattr(_marlune_search, name)
    names = declared(stub_classes[name])
    decorators = {ast.unparse(d) for d in stub_classes[name].decorator_list}
    assert "final" in decorators
    unhashable = runtime.__hash__ is None
    assert (names.get("__hash__") == "ClassVar[None]") == unhashable
    for dunder in ("__eq__", "__ne__", "__bool__"):
        # Only what the class itself defines; the rest is object's and needs no stub line.
        assert (dunder in names) == (dunder in vars(runtime)), dunder
    # Every field is a read-only property on both sides: no setter in the stub, and the
    # runtime descriptors are the module's getters.
    assert not any(ast.unparse(d).endswith((".setter", ".deleter"))
                   for item in stub_classes[name].body if isinstance(item, ast.FunctionDef)
                   for d in item.decorator_list)
    runtime_fields = {k for k, v in vars(runtime).items()
                      if type(v).__name__ == "getset_descriptor" and not k.startswith("__")}
    assert runtime_fields == {k for k, v in names.items() if v == "property"}


def test_unhashable_in_the_stub_means_unhashable_at_runtime():
    matcher = _marlune_search.StreamingFuzzyMatcher("a\nb\n")
    found = matcher.push("a\n")
    with pytest.raises(TypeError, match="unhashable"):
        hash(found)
    record = _marlune_search.try_replace_content("a", "a", "b")
    assert isinstance(hash(record), int)


# ---- the reference in docs/ -------------------------------------------------------------

DOCS = Path(__file__).resolve().parents[2] / "docs"


def _headings(page):
    return {line.lstrip("#").strip().strip("`") for line in (DOCS / page).read_text().splitlines()
            if line.startswith("#")}


@pytest.mark.parametrize("name", _marlune_search.__all__)
def test_every_native_name_has_its_section(name):
    assert name in _headings("native-module.md")


@pytest.mark.parametrize(
    "name", [n for n in marlune_search.__all__ if n not in _marlune_search.__all__])
def test_every_package_name_has_its_section(name):
    assert name in _headings("package.md")


def _cli_options():
    import argparse

    from marlune_search.cli import _parser

    parser = _parser()
    commands = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    found = [(None, o) for a in parser._actions for o in a.option_strings]
    for name, sub in commands.choices.items():
        found += [(name, o) for a in sub._actions for o in (a.option_strings or [a.metavar])]
    return found


@pytest.mark.parametrize(("command", "option"), _cli_options())
def test_every_command_and_option_is_documented(command, option):
    text = (DOCS / "command-line.md").read_text()
    if command is not None:
        assert command in _headings("command-line.md")
        # The option is listed in its command's own section.
        start = text.index(f"## `{command}`")
        end = text.find("\n## ", start + 1)
        text = text[start:end if end >= 0 else None]
        if option in ("-h", "--help", "--color"):
            text = (DOCS / "command-line.md").read_text()
    assert f"`{option}" in text, (command, option)

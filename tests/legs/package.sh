#!/usr/bin/env bash
# The package as people get it: builds an sdist and a wheel (the wheel from the sdist), checks
# them with twine and checks what the wheel holds, installs each into a fresh venv, imports it,
# smoke-tests the command line, then checks the stubs against the module with stubtest and
# runs mypy --strict on the package and on the typed usage file. The wheel is installed with
# the mcp extra, and the server's tests run against it.
# Needs ROOT, WORK, JOBS, FIRST_PYTHON and MARLUNE_PYTHONS from tests/run_all.sh (defaults for
# running alone).
set -euo pipefail

ROOT=${ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
WORK=${WORK:-$ROOT/build/test-run}
JOBS=${JOBS:-$(nproc)}
FIRST_PYTHON=${FIRST_PYTHON:-python3}
LEG="$WORK/package"

step() { printf '\n==> %s\n' "$*"; }
pip_q() { "$1/bin/python" -m pip install -q --disable-pip-version-check "${@:2}"; }

step "package: build tools"
rm -rf "$LEG"
mkdir -p "$LEG"
"$FIRST_PYTHON" -m venv "$LEG/tools"
pip_q "$LEG/tools" -r "$ROOT/tests/legs/package-requirements.txt"
TOOLS="$LEG/tools/bin/python"

step "package: sdist and wheel"
export CMAKE_BUILD_PARALLEL_LEVEL=$JOBS
# Without isolation the build uses the tools venv's scikit-build-core instead of fetching one;
# the wheel is still built from the unpacked sdist, so a file missing from the sdist fails here.
"$TOOLS" -m build --no-isolation --outdir "$LEG/dist" \
  -C cmake.define.MARLUNE_WERROR=ON "$ROOT"
"$TOOLS" -m twine check --strict "$LEG"/dist/*
SDIST=$(ls "$LEG"/dist/*.tar.gz)
WHEEL=$(ls "$LEG"/dist/*.whl)

step "package: contents of the wheel"
"$TOOLS" - "$WHEEL" "$ROOT" <<'PY'
import email, os, re, sys, zipfile
from pathlib import Path

wheel, root = sys.argv[1], Path(sys.argv[2])
names = zipfile.ZipFile(wheel).namelist()
version = re.search(r'__version__ = "([^"]+)"',
                    (root / "python/marlune_search/_version.py").read_text()).group(1)
needed = ["marlune_search/__init__.py", "marlune_search/_file_edit.py",
          "marlune_search/_mcp_server.py",
          "marlune_search/_version.py", "marlune_search/py.typed",
          "_marlune_search-stubs/__init__.pyi"]
missing = [n for n in needed if n not in names]
if not any(re.fullmatch(r"_marlune_search\.[^/]*\.so", n) for n in names):
    missing.append("_marlune_search extension")
metadata_name = next(n for n in names if n.endswith(".dist-info/METADATA"))
metadata = email.message_from_bytes(zipfile.ZipFile(wheel).read(metadata_name))
classifiers = metadata.get_all("Classifier") or []
problems = [f"missing from the wheel: {m}" for m in missing]
if metadata["Version"] != version:
    problems.append(f"wheel version {metadata['Version']} is not {version}")
# The interpreters this run tests (MARLUNE_PYTHONS, "3.12=/path 3.14t=/path ...") and those of
# the unstable-interpreters leg must all be named.
tested = {entry.split("=", 1)[0].rstrip("t")
          for entry in os.environ.get("MARLUNE_PYTHONS", "").split() if "=" in entry}
tested |= {"3.11", "3.14", "3.15"}
for classifier in ["Typing :: Typed"] + [
        f"Programming Language :: Python :: {version}" for version in sorted(tested)]:
    if classifier not in classifiers:
        problems.append(f"classifier missing: {classifier}")
# The server's SDK is an extra: required under it, and by nothing else.
requires = metadata.get_all("Requires-Dist") or []
if "mcp" not in (metadata.get_all("Provides-Extra") or []):
    problems.append("extra mcp missing")
if not any(r.startswith("mcp") and 'extra == "mcp"' in r for r in requires):
    problems.append(f"mcp is not required by the extra: {requires}")
if any(r.startswith("mcp") and "extra ==" not in r for r in requires):
    problems.append(f"mcp is required without the extra: {requires}")
entry_points = next(n for n in names if n.endswith(".dist-info/entry_points.txt"))
if "marlune-search = marlune_search.cli:main" not in zipfile.ZipFile(wheel).read(
        entry_points).decode():
    problems.append("console script marlune-search missing")
if problems:
    sys.exit("\n".join(problems))
print(f"ok: {len(names)} files, version {version}")
PY

smoke() {  # smoke VENV: import the installed package and run its command line
  local venv=$1 scratch
  scratch=$(mktemp -d "$LEG/smoke.XXXXXX")
  # From a folder without the sources, so that only what is installed can be imported.
  (cd "$scratch" && "$venv/bin/python" - <<'PY'
import _marlune_search
import marlune_search

for name in _marlune_search.__all__:
    assert getattr(marlune_search, name) is getattr(_marlune_search, name), name
assert marlune_search.__file__.startswith(__import__("sys").prefix), marlune_search.__file__
with open("f.txt", "w") as f:
    f.write("alpha\nbeta\n")
edit = marlune_search.edit_file("f.txt", "beta", "gamma")
assert edit.written and edit.exact and open("f.txt").read() == "alpha\ngamma\n"
print("import ok:", marlune_search.__version__)
PY
  )
  (cd "$scratch" && {
    "$venv/bin/marlune-search" --help | grep -q '^exit status:'
    [ "$("$venv/bin/python" -m marlune_search --version)" = \
      "marlune-search $("$venv/bin/python" -c 'import marlune_search; print(marlune_search.__version__)')" ]
    printf 'one\ntwo\n' >g.txt
    "$venv/bin/marlune-search" replace g.txt --old two --new 2 >diff.out 2>/dev/null
    grep -q '^+2$' diff.out
    [ "$(cat g.txt)" = "$(printf 'one\ntwo')" ]
    "$venv/bin/marlune-search" replace g.txt --old two --new 2 --write >/dev/null 2>&1
    [ "$(cat g.txt)" = "$(printf 'one\n2')" ]
    status=0
    "$venv/bin/marlune-search" replace g.txt --old three --new 3 2>/dev/null || status=$?
    [ "$status" = 1 ]
    [ "$(printf 'src/a.py\nREADME\n' | "$venv/bin/marlune-search" rank sap)" = src/a.py ]
  })
  echo "command line ok"
}

for kind in wheel sdist; do
  step "package: install the $kind into a fresh venv"
  venv="$LEG/venv-$kind"
  "$FIRST_PYTHON" -m venv "$venv"
  if [ "$kind" = wheel ]; then
    pip_q "$venv" "$WHEEL[mcp]"
  else
    # The sdist is built by pip in its own isolated environment, as a user's pip would.
    pip_q "$venv" --config-settings=cmake.define.MARLUNE_WERROR=ON "$SDIST"
  fi
  smoke "$venv"
done

step "package: stubtest and mypy --strict"
venv="$LEG/venv-wheel"
pip_q "$venv" -r "$ROOT/tests/legs/package-requirements.txt"
# No allowlist: every difference between the stubs and the module fails.
(cd "$LEG" && "$venv/bin/python" -m mypy.stubtest _marlune_search)
(cd "$LEG" && "$venv/bin/python" -m mypy --strict --no-incremental "$ROOT/python/marlune_search")
"$venv/bin/python" "$ROOT/tests/typing/check_usage.py"

step "package: the mcp server's tests against the installed wheel"
# From a folder without the sources, as for the smoke test: the installed package is tested.
(cd "$LEG" && "$venv/bin/python" -m pytest -q -p no:cacheprovider \
  "$ROOT/tests/python/test_mcp_server.py")
echo "package leg passed"

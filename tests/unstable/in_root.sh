#!/usr/bin/env bash
# Runs inside the Debian unstable root that tests/legs/unstable_interpreters.sh provides, with
# the sources at /src and everything built under /work (kept between runs):
#   1. the module and the whole Python suite on every python3.N of the root (3.14, 3.15 at least);
#   2. the module for the 3.14 debug interpreter, and the suite again under -X dev there, where
#      the reference-leak test runs instead of skipping.
# Usage: in_root.sh JOBS
set -euo pipefail

SRC=/src
WORK=/work
JOBS=${1:-2}
export CMAKE_BUILD_PARALLEL_LEVEL=$JOBS
mkdir -p "$WORK"

step() { printf '\n==> %s\n' "$*"; }

pip_install() {  # pip_install PYTHON ARGS...: quiet, from the package index
  local python=$1
  shift
  "$python" -m pip install -q --disable-pip-version-check "$@"
}

make_venv() {  # make_venv DIR PYTHON
  local dir=$1 python=$2
  [ -x "$dir/bin/python" ] || "$python" -m venv "$dir"
  pip_install "$dir/bin/python" -r "$SRC/tests/requirements.txt"
}

# A failing suite does not stop the others: each interpreter's result is worth having, and the
# script fails at the end if any of them failed.
failed=()
run_suite() {  # run_suite LABEL PYTHON [INTERPRETER OPTIONS...]: the whole Python suite
  local label=$1 python=$2
  shift 2
  if ! (cd "$WORK" && MARLUNE_TEXT_PROBE="$WORK/probe/libmarlune_text_probe.so" \
      "$python" "$@" -m pytest -q -p no:cacheprovider -rs "$SRC/tests/python"); then
    failed+=("$label")
  fi
}

# ---- interpreters ----------------------------------------------------------------------
# Every release interpreter of the root that can build extensions and make venvs.
versions=()
for candidate in /usr/bin/python3.*; do
  name=${candidate##*/}
  [[ $name =~ ^python3\.[0-9]+t?$ ]] || continue
  version=${name#python}
  "$candidate" - <<'PY' 2>/dev/null || continue
import os, sys, sysconfig
import ensurepip, venv  # noqa: F401
assert sys.version_info >= (3, 11)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
PY
  versions+=("$version")
done
echo "interpreters in the root: ${versions[*]:-none}"
for required in 3.14 3.15; do
  case " ${versions[*]:-} " in
    *" $required "*) ;;
    *) echo "error: the root offers no usable python$required" >&2; exit 1 ;;
  esac
done

# The probe library over the Unicode tables, so that the table tests compare them with these
# newer interpreters' Unicode data too.
step "text probe library (g++ $(g++ -dumpfullversion))"
cmake -S "$SRC" -B "$WORK/probe" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMARLUNE_WERROR=ON \
  -DMARLUNE_BUILD_MODULE=OFF -DMARLUNE_BUILD_TESTS=ON >/dev/null
cmake --build "$WORK/probe" --target marlune_text_probe -j "$JOBS" >/dev/null
echo ok

# ---- 1. release interpreters ------------------------------------------------------------
for version in "${versions[@]}"; do
  python=/usr/bin/python$version
  step "Python tests on CPython $version ($("$python" -c 'import platform; print(platform.python_version())'), unstable root)"
  venv=$WORK/venv-$version
  make_venv "$venv" "$python"
  pip_install "$venv/bin/python" --no-build-isolation \
    --config-settings=cmake.define.MARLUNE_WERROR=ON \
    --config-settings=build-dir="$WORK/wheel-$version" "$SRC"
  run_suite "CPython $version" "$venv/bin/python"
done

# ---- 2. debug interpreter ---------------------------------------------------------------
python=/usr/bin/python3.14-dbg
step "Python tests on CPython 3.14 debug build ($("$python" -c 'import platform; print(platform.python_version())'), $python -X dev, unstable root)"
venv=$WORK/venv-3.14-dbg
make_venv "$venv" "$python"
# Debian's debug include folder resolves pyconfig.h to the release configuration, so the debug
# macros must be given here; without them the module skips the interpreter's reference
# bookkeeping and every reference total looks like a leak. RelWithDebInfo keeps assertions on.
pip_install "$venv/bin/python" --no-build-isolation \
  --config-settings=cmake.define.MARLUNE_WERROR=ON \
  --config-settings=cmake.build-type=RelWithDebInfo \
  --config-settings=cmake.define.CMAKE_CXX_FLAGS=-DPy_DEBUG \
  --config-settings=cmake.define.CMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" \
  --config-settings=build-dir="$WORK/wheel-3.14-dbg" "$SRC"
module=$(find "$venv/lib" -name '_marlune_search*.so' | head -n 1)
# (nm's whole output is read first: grep -q stopping early would fail nm, and so the pipeline.)
symbols=$(nm -D --undefined-only "$module")
if ! grep -qw _Py_INCREF_IncRefTotal <<<"$symbols"; then
  echo "error: $module does not use the debug reference counting; -DPy_DEBUG did not apply" >&2
  exit 1
fi
echo "debug reference counting in ${module##*/}: yes"
export MARLUNE_REFLEAKS_REQUIRED=1
run_suite "CPython 3.14 debug" "$venv/bin/python" -X dev

if ((${#failed[@]})); then
  echo "error: the Python suite failed on: ${failed[*]}" >&2
  exit 1
fi

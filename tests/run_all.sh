#!/usr/bin/env bash
# Sets up everything the tests need on a fresh machine and runs every suite:
#   1. the C++ unit tests of the engines (GoogleTest through CTest), warnings as errors;
#   2. the Python tests against the installed module, once per CPython 3.11+ found here;
#   3. the C++ tests and the Python tests again against an AddressSanitizer +
#      UndefinedBehaviorSanitizer build.
# Any failure stops the run with a non-zero exit status.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=${MARLUNE_TEST_DIR:-$ROOT/build/test-run}
JOBS=$(nproc)
mkdir -p "$WORK"

step() { printf '\n==> %s\n' "$*"; }

# ---- system packages --------------------------------------------------------------------
step "system packages"
missing=()
for pkg in g++ libgtest-dev libbenchmark-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
fi
echo "ok"

# ---- interpreters -----------------------------------------------------------------------
# Every CPython 3.11 or newer that can build extensions (headers present) and make venvs.
find_pythons() {
  local seen="" candidate key
  for candidate in $(ls -d /root/.pyenv/versions/3.*/bin/python3 2>/dev/null) \
      $(command -v python3.11 python3.12 python3.13 python3.14 python3.14t python3.15 \
          python3.15t python3 2>/dev/null); do
    key=$("$candidate" - <<'EOF' 2>/dev/null
import os, sys, sysconfig
ok = sys.version_info >= (3, 11) and os.path.exists(
    os.path.join(sysconfig.get_paths()["include"], "Python.h"))
try:
    import venv, ensurepip  # noqa: F401
except ImportError:
    ok = False
if ok:
    print("%d.%d%s" % (sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "",)))
EOF
) || continue
    [ -n "$key" ] || continue
    case " $seen " in *" $key "*) continue ;; esac
    seen="$seen $key"
    echo "$key=$candidate"
  done
}
mapfile -t PYTHONS < <(find_pythons)
if ((${#PYTHONS[@]} < 2)); then
  echo "need at least two CPython 3.11+ interpreters with headers, found: ${PYTHONS[*]:-none}" >&2
  exit 1
fi
echo "interpreters: ${PYTHONS[*]}"
FIRST_PYTHON=${PYTHONS[0]#*=}

make_venv() {  # make_venv DIR PYTHON: a venv with the test requirements
  local dir=$1 python=$2
  [ -x "$dir/bin/python" ] || "$python" -m venv "$dir"
  "$dir/bin/python" -m pip install -q --disable-pip-version-check \
    -r "$ROOT/tests/requirements.txt"
}

cmake_build() {  # cmake_build DIR [CMAKE ARGS...]
  local dir=$1
  shift
  cmake -S "$ROOT" -B "$dir" -G Ninja -DMARLUNE_WERROR=ON -DMARLUNE_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

# ---- 1. C++ unit tests ------------------------------------------------------------------
step "C++ unit tests (release)"
cmake_build "$WORK/cpp" -DCMAKE_BUILD_TYPE=Release -DMARLUNE_BUILD_MODULE=OFF \
  -DMARLUNE_BUILD_BENCHMARKS=ON
ctest --test-dir "$WORK/cpp" --output-on-failure -j "$JOBS"

# ---- 2. Python tests on every interpreter -----------------------------------------------
for entry in "${PYTHONS[@]}"; do
  version=${entry%%=*}
  python=${entry#*=}
  step "Python tests on CPython $version ($python)"
  venv="$WORK/venv-$version"
  make_venv "$venv" "$python"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    --config-settings=cmake.define.MARLUNE_WERROR=ON \
    --config-settings=build-dir="$WORK/wheel-$version" "$ROOT"
  (cd "$WORK" && MARLUNE_TEXT_PROBE="$WORK/cpp/libmarlune_text_probe.so" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$ROOT/tests/python")
done

# ---- 3. Sanitizers ----------------------------------------------------------------------
step "C++ unit tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake_build "$WORK/asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARLUNE_SANITIZE=ON \
  -DMARLUNE_BUILD_MODULE=ON -DPython_EXECUTABLE="$FIRST_PYTHON"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$WORK/asan" --output-on-failure -j "$JOBS"

step "Python tests (AddressSanitizer + UndefinedBehaviorSanitizer, $FIRST_PYTHON)"
venv="$WORK/venv-asan"
make_venv "$venv" "$FIRST_PYTHON"
# The interpreter itself is not instrumented, so the sanitizer runtimes must be loaded first.
# Python's own allocations at exit are not ours to report, hence no leak check here.
(cd "$WORK" && \
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc PYTHONPATH="$WORK/asan:$ROOT/python" \
  MARLUNE_TEXT_PROBE="$WORK/asan/libmarlune_text_probe.so" MARLUNE_SANITIZED=1 \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$ROOT/tests/python")

# ---- 4. Further legs, one script each --------------------------------------------------
# Each leg sets up what it needs itself and fails the run on any failure.
export ROOT WORK JOBS FIRST_PYTHON
export MARLUNE_PYTHONS="${PYTHONS[*]}"
for leg in package unstable_interpreters fuzz; do
  bash "$ROOT/tests/legs/$leg.sh"
done

step "all test suites passed"

#!/usr/bin/env bash
# Line and branch coverage of src/ under the C++ unit tests and the Python tests together.
#
# Builds the engines, the C++ tests and the extension module with gcc --coverage (no
# optimization, so that lines map to code), runs ctest and pytest against that build, and
# prints gcovr's per-file table and a per-folder summary. Branches that only exception
# unwinding or the compiler's own checks take are left out (--exclude-throw-branches,
# --exclude-unreachable-branches); the generated Unicode table data is no code and is left out.
#
# Usage: tools/coverage.sh [BUILD_DIR]    (default: build/coverage)
# Environment: PYTHON, the interpreter to build for and test with (default python3); it gets a
# venv with tests/requirements.txt in BUILD_DIR/venv. Needs cmake, ninja, g++, libgtest-dev and
# gcovr (apt-get install gcovr, or pip install gcovr).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$(mkdir -p "${1:-$ROOT/build/coverage}" && cd "${1:-$ROOT/build/coverage}" && pwd)
PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-$(nproc)}

command -v gcovr >/dev/null || { echo "gcovr is needed (apt-get install gcovr)" >&2; exit 1; }

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMARLUNE_WERROR=ON \
  -DMARLUNE_BUILD_TESTS=ON -DMARLUNE_BUILD_MODULE=ON -DPython_EXECUTABLE="$(command -v "$PYTHON")" \
  -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic" -DCMAKE_EXE_LINKER_FLAGS=--coverage \
  -DCMAKE_SHARED_LINKER_FLAGS=--coverage -DCMAKE_MODULE_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$BUILD" -j "$JOBS"
find "$BUILD" -name '*.gcda' -delete

ctest --test-dir "$BUILD" -j "$JOBS" --output-on-failure

venv="$BUILD/venv"
[ -x "$venv/bin/python" ] || "$PYTHON" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$ROOT/tests/requirements.txt"
(cd "$BUILD" && PYTHONPATH="$BUILD:$ROOT/python" MARLUNE_TEXT_PROBE="$BUILD/libmarlune_text_probe.so" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$ROOT/tests/python")

gcov_args=(-r "$ROOT" --object-directory "$BUILD" --filter "$ROOT/src/"
           --exclude '.*\.inc$' --exclude-directories "$BUILD/CMakeFiles/[0-9].*"
           --exclude-unreachable-branches --exclude-throw-branches)
echo
gcovr "${gcov_args[@]}" --txt "$BUILD/coverage-lines.txt" --json-summary "$BUILD/coverage.json" \
  "$BUILD" >/dev/null
gcovr "${gcov_args[@]}" -b --txt "$BUILD/coverage-branches.txt" "$BUILD" >/dev/null
cat "$BUILD/coverage-lines.txt"

"$PYTHON" - "$BUILD/coverage.json" <<'EOF'
import collections
import json
import sys

files = json.load(open(sys.argv[1]))["files"]
folders = collections.defaultdict(lambda: [0, 0, 0, 0])
for f in files:
    parts = f["filename"].split("/")
    folder = "/".join(parts[:2]) if parts[0] == "src" else parts[0]
    total = folders[folder]
    total[0] += f["line_covered"]
    total[1] += f["line_total"]
    total[2] += f["branch_covered"]
    total[3] += f["branch_total"]
print(f"{'folder':28} {'lines':>18} {'branches':>18}")
grand = [0, 0, 0, 0]
for folder in sorted(folders):
    t = folders[folder]
    grand = [g + v for g, v in zip(grand, t)]
    pct = lambda a, b: 100.0 * a / b if b else 100.0
    print(f"{folder:28} {t[0]:6}/{t[1]:<6} {pct(t[0], t[1]):5.1f}% {t[2]:6}/{t[3]:<6} "
          f"{pct(t[2], t[3]):5.1f}%")
pct = lambda a, b: 100.0 * a / b if b else 100.0
print(f"{'all of src':28} {grand[0]:6}/{grand[1]:<6} {pct(grand[0], grand[1]):5.1f}% "
      f"{grand[2]:6}/{grand[3]:<6} {pct(grand[2], grand[3]):5.1f}%")
EOF
echo "per-file branch table: $BUILD/coverage-branches.txt"

#!/usr/bin/env bash
# Prints every benchmark figure beside its peers in one run: the C++ microbenchmarks of the
# engines (each against its plain reference where one exists) and the Python-level benchmarks
# of the module (against Python itself and rapidfuzz).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=${MARLUNE_BENCH_DIR:-$ROOT/build/bench}
PYTHON=${PYTHON:-python3}
mkdir -p "$WORK"

if ! dpkg -s libbenchmark-dev >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q libbenchmark-dev
fi

echo "==> C++ microbenchmarks"
cmake -S "$ROOT" -B "$WORK/cpp" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMARLUNE_BUILD_MODULE=OFF \
  -DMARLUNE_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$WORK/cpp" -j "$(nproc)" >/dev/null
for bench in "$WORK"/cpp/*_benchmark; do
  echo "--- $(basename "$bench")"
  "$bench" --benchmark_min_time=0.2 --benchmark_color=false 2>/dev/null
done

echo "==> Python benchmarks"
[ -x "$WORK/venv/bin/python" ] || "$PYTHON" -m venv "$WORK/venv"
"$WORK/venv/bin/python" -m pip install -q --disable-pip-version-check rapidfuzz
"$WORK/venv/bin/python" -m pip install -q --disable-pip-version-check "$ROOT"
cd "$WORK"
for script in "$ROOT"/benchmarks/bench_*.py; do
  echo "--- $(basename "$script")"
  "$WORK/venv/bin/python" "$script"
done

#!/usr/bin/env bash
# Prints every benchmark figure beside its peers in one run: the C++ microbenchmarks of the
# engines (each against its plain reference where one exists, and the share of each strategy in
# a failing edit) and the Python-level benchmarks of the module (against Python itself and
# rapidfuzz). Works from a fresh Debian or Ubuntu machine: what is missing is installed with
# apt-get, the module and the peers go into a virtual environment of their own.
#
#   MARLUNE_BENCH_DIR  build folder and virtual environment (default: build/bench)
#   PYTHON             interpreter to build the module for (default: python3)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=${MARLUNE_BENCH_DIR:-$ROOT/build/bench}
PYTHON=${PYTHON:-python3}
mkdir -p "$WORK"

# Debian packages for whatever the build needs and the machine lacks.
packages=()
command -v cmake >/dev/null 2>&1 || packages+=(cmake)
command -v ninja >/dev/null 2>&1 || packages+=(ninja-build)
command -v c++ >/dev/null 2>&1 || packages+=(g++)
dpkg -s libbenchmark-dev >/dev/null 2>&1 || packages+=(libbenchmark-dev)
command -v "$PYTHON" >/dev/null 2>&1 || packages+=(python3)
if ! "$PYTHON" -c "import ensurepip, venv" >/dev/null 2>&1; then packages+=(python3-venv); fi
if ! "$PYTHON" -c "import os, sysconfig, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h')))" >/dev/null 2>&1; then
  packages+=(python3-dev)
fi
if [ ${#packages[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${packages[@]}"
fi

# The replace benchmarks of both languages edit the same code: the interpreter's standard library.
MARLUNE_BENCH_CORPUS=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["stdlib"])')
export MARLUNE_BENCH_CORPUS

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
# rapidfuzz is a peer to measure against, never a dependency of the module.
"$WORK/venv/bin/python" -m pip install -q --disable-pip-version-check rapidfuzz
"$WORK/venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
  --config-settings=build-dir="$WORK/wheel" "$ROOT"
cd "$WORK"
for script in "$ROOT"/benchmarks/bench_*.py; do
  echo "--- $(basename "$script")"
  "$WORK/venv/bin/python" "$script"
done

#!/usr/bin/env bash
# Coverage-guided fuzzing leg: builds every libFuzzer target (AddressSanitizer and
# UndefinedBehaviorSanitizer) with clang-14 and runs each for a fixed time, starting from its
# committed seed corpus in tests/fuzz/corpus/<target>/, which the run replays first.
#
# Any crash, sanitizer report, broken property, timeout or out-of-memory fails the leg. The input
# that failed is copied into tests/fuzz/corpus/<target>/ as crash-<sha1> (or timeout-/oom-), so
# that every later run replays it first; once the fault is fixed it stays there as a regression
# case. New inputs found along the way go to a scratch corpus under $WORK, not into the tree.
#
# Environment: ROOT, WORK and JOBS as exported by tests/run_all.sh (defaults when run alone);
# MARLUNE_FUZZ_SECONDS (default 20) per target; MARLUNE_FUZZ_TARGETS to run only some targets.
set -euo pipefail

ROOT=${ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
WORK=${WORK:-$ROOT/build/test-run}
JOBS=${JOBS:-$(nproc)}
SECONDS_PER_TARGET=${MARLUNE_FUZZ_SECONDS:-20}

printf '\n==> %s\n' "fuzz targets (libFuzzer, ${SECONDS_PER_TARGET} s each)"
leg_start=$(date +%s)

missing=()
for pkg in clang-14 libfuzzer-14-dev libclang-rt-14-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
fi

build="$WORK/fuzz"
CC=clang-14 CXX=clang++-14 cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMARLUNE_WERROR=ON -DMARLUNE_BUILD_FUZZERS=ON -DMARLUNE_BUILD_MODULE=OFF >/dev/null
cmake --build "$build" -j "$JOBS"

corpus_root="$ROOT/tests/fuzz/corpus"
dict_root="$ROOT/tests/fuzz/dict"
scratch="$WORK/fuzz-corpus"
artifacts="$WORK/fuzz-artifacts"
logs="$WORK/fuzz-logs"
rm -rf "$artifacts" "$logs"
mkdir -p "$scratch" "$artifacts" "$logs"

dictionary_for() {
  case "$1" in
    scoring) echo "$dict_root/scoring.dict" ;;
    replace | diagnostics | streaming | strategy_*) echo "$dict_root/text.dict" ;;
    *) echo "" ;;
  esac
}

run_target() {  # run_target NAME: exit status of the fuzzer
  local name=$1 dict
  local args=(-max_total_time="$SECONDS_PER_TARGET" -timeout=30 -rss_limit_mb=2048
              -print_final_stats=1 -artifact_prefix="$artifacts/$name-")
  dict=$(dictionary_for "$name")
  [ -n "$dict" ] && args+=(-dict="$dict")
  mkdir -p "$scratch/$name" "$corpus_root/$name"
  # The scratch corpus comes first: libFuzzer writes the inputs it finds to the first folder.
  "$build/fuzz/fuzz_$name" "${args[@]}" "$scratch/$name" "$corpus_root/$name" \
    >"$logs/$name.log" 2>&1
}

targets=()
for exe in "$build"/fuzz/fuzz_*; do
  name=${exe##*/fuzz_}
  if [ -n "${MARLUNE_FUZZ_TARGETS:-}" ]; then
    case " $MARLUNE_FUZZ_TARGETS " in *" $name "*) ;; *) continue ;; esac
  fi
  targets+=("$name")
done
((${#targets[@]})) || { echo "no fuzz targets built" >&2; exit 1; }

# Up to JOBS targets at a time; each leaves its exit status in a file.
for name in "${targets[@]}"; do
  while (($(jobs -rp | wc -l) >= JOBS)); do wait -n || true; done
  (if run_target "$name"; then echo 0; else echo $?; fi >"$logs/$name.status") &
done
wait
failed=()
for name in "${targets[@]}"; do
  status=$(cat "$logs/$name.status")
  log="$logs/$name.log"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  summary=$(grep -E '^#[0-9]+.*(DONE|cov:)' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [^ ]+' || true)
  printf '%-36s %s  execs %s  %s\n' "$name" "$([ "$status" -eq 0 ] && echo ok || echo FAILED)" \
    "${execs:-?}" "$summary"
  if [ "$status" -ne 0 ]; then
    failed+=("$name")
    grep -E 'ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error|SUMMARY' \
      "$log" | head -20 >&2 || true
    grep -A2 -E 'property failed' "$log" | head -6 >&2 || true
    for artifact in "$artifacts/$name-"*; do
      [ -e "$artifact" ] || continue
      kind=${artifact##*/$name-}
      kind=${kind%%-*}
      saved="$corpus_root/$name/$kind-$(sha1sum "$artifact" | cut -c1-40)"
      if cp "$artifact" "$saved" 2>/dev/null; then
        echo "  input saved as regression case $saved" >&2
      else
        echo "  input kept at $artifact" >&2
      fi
    done
    echo "  replay: $build/fuzz/fuzz_$name <input>; full log: $log" >&2
  fi
done

echo "fuzz leg: $((${#targets[@]})) targets in $(($(date +%s) - leg_start)) s"
if ((${#failed[@]})); then
  echo "fuzz targets failed: ${failed[*]}" >&2
  exit 1
fi

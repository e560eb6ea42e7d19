#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time, as many at
# once as there are cores (FUZZ_JOBS), each on one.
#   scripts/fuzz.sh [seconds]               default 60 s per harness
#   scripts/fuzz.sh --build-only            only the build (scripts/test.sh)
#   scripts/fuzz.sh --run-only [seconds]    only the runs, of the last build
# Exits non-zero on any finding; the input that found it is kept under
# build/fuzz/artifacts/. The corpus in the repo is copied, never changed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${MOXTIL_BUILD_ROOT:-$root/build}/fuzz
build=1
run=1
case ${1:-} in
  --build-only) run=0; shift ;;
  --run-only) build=0; shift ;;
esac
seconds=${1:-60}
fuzz_jobs=${FUZZ_JOBS:-$(nproc)}

if [ "$build" = 1 ]; then
  "$root/scripts/setup.sh"
  rm -rf "$out"
  CC=clang CXX=clang++ cmake -S "$root" -B "$out" -G Ninja -DMOXTIL_WERROR=ON -DMOXTIL_BUILD_FUZZ=ON \
    -DMOXTIL_BUILD_TESTS=OFF -DMOXTIL_BUILD_TOOLS=OFF -DMOXTIL_SANITIZE=address,undefined \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$out" -j "$(nproc)" --target fuzz_harnesses
fi
[ "$run" = 1 ] || exit 0

# The harnesses are the fuzz_*.cpp files, as in tools/fuzz/CMakeLists.txt.
harnesses=()
for source in "$root"/tools/fuzz/fuzz_*.cpp; do
  [ -e "$source" ] && harnesses+=("$(basename "$source" .cpp)")
done
[ ${#harnesses[@]} -gt 0 ] || { echo "fuzz: no harness in tools/fuzz" >&2; exit 1; }

rm -rf "$out/artifacts" "$out/corpus"
mkdir -p "$out/artifacts"
for h in "${harnesses[@]}"; do
  [ -x "$out/tools/fuzz/$h" ] || { echo "$h: not built in $out (run without --run-only)" >&2; exit 1; }
  [ -d "$root/tools/fuzz/corpus/$h" ] || { echo "$h: no corpus in tools/fuzz/corpus/$h" >&2; exit 1; }
  mkdir -p "$out/corpus/$h"
  cp "$root/tools/fuzz/corpus/$h/"* "$out/corpus/$h/"
done

# One harness for its time; its exit status in $out/$h.status.
fuzz_one() {  # harness
  local h=$1 status=0
  "$out/tools/fuzz/$h" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/$h-" "$out/corpus/$h" >"$out/$h.log" 2>&1 || status=$?
  echo "$status" >"$out/$h.status"
}
running=()
for h in "${harnesses[@]}"; do
  if [ ${#running[@]} -ge "$fuzz_jobs" ]; then
    wait "${running[0]}"
    running=("${running[@]:1}")
  fi
  fuzz_one "$h" &
  running+=($!)
done
wait

failed=0
for h in "${harnesses[@]}"; do
  log="$out/$h.log"
  status=$(cat "$out/$h.status")
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$status" -ne 0 ]; then
    failed=1
    echo "$h: FINDING (exit $status) after ${execs:-?} executions; see $log"
    grep -E 'ERROR|disagreement|SUMMARY|Test unit written' "$log" | head -20 || true
  else
    echo "$h: ${execs:-?} executions in ${seconds} s, no finding"
  fi
done
exit "$failed"

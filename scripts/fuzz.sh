#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time.
#   scripts/fuzz.sh [seconds]     default 60 s per harness
# Exits non-zero on any finding; the input that found it is kept under
# build/fuzz/artifacts/. The corpus in the repo is copied, never changed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${MOXTIL_BUILD_ROOT:-$root/build}/fuzz
seconds=${1:-60}

"$root/scripts/setup.sh"

rm -rf "$out"
CC=clang CXX=clang++ cmake -S "$root" -B "$out" -G Ninja -DMOXTIL_WERROR=ON -DMOXTIL_BUILD_FUZZ=ON \
  -DMOXTIL_BUILD_TESTS=OFF -DMOXTIL_BUILD_TOOLS=OFF -DMOXTIL_SANITIZE=address,undefined \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$out" -j "$(nproc)" --target fuzz_harnesses

# The harnesses are the fuzz_*.cpp files, as in tools/fuzz/CMakeLists.txt.
harnesses=()
for source in "$root"/tools/fuzz/fuzz_*.cpp; do
  [ -e "$source" ] && harnesses+=("$(basename "$source" .cpp)")
done
[ ${#harnesses[@]} -gt 0 ] || { echo "fuzz: no harness in tools/fuzz" >&2; exit 1; }

mkdir -p "$out/artifacts"
failed=0
for h in "${harnesses[@]}"; do
  [ -d "$root/tools/fuzz/corpus/$h" ] || { echo "$h: no corpus in tools/fuzz/corpus/$h" >&2; exit 1; }
  corpus="$out/corpus/$h"
  rm -rf "$corpus"
  mkdir -p "$corpus"
  cp "$root/tools/fuzz/corpus/$h/"* "$corpus/"
  log="$out/$h.log"
  status=0
  "$out/tools/fuzz/$h" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/$h-" "$corpus" >"$log" 2>&1 || status=$?
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

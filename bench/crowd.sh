#!/usr/bin/env bash
# A busy line for longer than the test's crowds: a seeded crowd of simulated
# devices (default 1000) arriving at random, about 0.9 s apart, through the
# ten slots of -M -T4, in a network namespace of its own with the socket
# buffers of a small device (nothing leaves it). The mix is the crowd row's
# (Crowd in tests/e2e_test.cpp; seed 1 with 36 devices runs in CTest): good devices, slow and too-late reboots, devices gone
# after the loader, closing or stalling mid-program, dropping the loader,
# updating twice, back from their reboot with another address. The oracle of
# every end-to-end row holds moxtil's lines, summary and record against what each device
# received and how its streams ended; its figures go to bench/RESULTS.md.
#   bench/crowd.sh [devices] [seed]
# Needs root (the namespace).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
devices=${1:-1000}
seed=${2:-1}
out=${MOXTIL_BUILD_ROOT:-$root/build}/bench-crowd
[ "$(id -u)" -eq 0 ] || { echo "crowd: needs root for its network namespace" >&2; exit 1; }

"$root/scripts/setup.sh"
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out" --target e2e_test moxtil target-sim >/dev/null

start=$SECONDS
status=0
CROWD_DEVICES=$devices CROWD_SEED=$seed "$out/tests/e2e_test" --gtest_filter=Bench.Crowd \
  >"$out/crowd.log" 2>&1 || status=$?
grep -E '^crowd: ' "$out/crowd.log"
echo "crowd: $devices devices, seed $seed, in $((SECONDS - start)) s"
if [ "$status" -ne 0 ]; then
  grep -E -A4 'Failure' "$out/crowd.log" | head -60
  echo "crowd: FAILED (the whole log: $out/crowd.log)"
  exit 1
fi
echo "crowd: PASSED"

#!/usr/bin/env bash
# Builds every variant from scratch and runs its tests through CTest.
#   scripts/test.sh            all variants (what CI runs)
#   scripts/test.sh host tsan  only these; QUICK=1 skips tests labelled long
# Variants: host (warnings as errors), asan (AddressSanitizer and
# UndefinedBehaviorSanitizer), tsan (ThreadSanitizer), arm (32-bit ARM under
# qemu), liblog (the system liblog instead of our log layer), fuzz (each
# libFuzzer harness for FUZZ_SECONDS, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${MOXTIL_BUILD_ROOT:-$root/build}

"$root/scripts/setup.sh"

jobs=$(nproc)
# Most tests sleep through the protocol's waits, so many run at once.
test_jobs=${TEST_JOBS:-16}
# The long end-to-end tests (a 55-row file list, a program beyond 4 GiB, 75 s
# of bind retries) are about waits and volume; they run in every variant but
# the ARM one, which leaves out the 55 rows (its 32-bit lengths are the
# point). QUICK=1 leaves them out everywhere.
long_filter=()
[ "${QUICK:-0}" = 1 ] && long_filter=(-LE long)

configure_build() {  # dir, cmake options...
  local dir=$1; shift
  rm -rf "$dir"
  cmake -S "$root" -B "$dir" -G Ninja -DMOXTIL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

run_tests() {  # dir, ctest options...
  local dir=$1; shift
  ctest --test-dir "$dir" -j "$test_jobs" --output-on-failure --timeout 900 "$@"
}

variant_host() {
  configure_build "$out/host" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  run_tests "$out/host" "${long_filter[@]}"
}

variant_asan() {
  configure_build "$out/asan" -DCMAKE_BUILD_TYPE=Debug -DMOXTIL_SANITIZE=address,undefined
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_tests "$out/asan" "${long_filter[@]}"
}

variant_tsan() {
  configure_build "$out/tsan" -DCMAKE_BUILD_TYPE=Debug -DMOXTIL_SANITIZE=thread
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_tests "$out/tsan" "${long_filter[@]}"
}

# 32-bit ARM: the unit tests run under qemu-arm through CTest (those that
# need a simulator run the host build's); then the host build's end-to-end
# tests drive the ARM moxtil under qemu-arm.
variant_arm() {
  [ -x "$out/host/moxtil" ] || configure_build "$out/host" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  configure_build "$out/arm" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm-linux-gnueabihf.cmake" \
    -DMOXTIL_SIM_BIN="$out/host/tools/target-sim/target-sim"
  file "$out/arm/moxtil"
  run_tests "$out/arm"
  local arm_filter=(-E FiftyFiveRows)
  [ "${QUICK:-0}" = 1 ] && arm_filter=(-LE long)
  MOXTIL_E2E_BIN="$out/arm/moxtil" MOXTIL_E2E_LAUNCHER=qemu-arm run_tests "$out/host" -L 'e2e|long' "${arm_filter[@]}"
}

# The system liblog in place of our log layer: built, linked and run.
variant_liblog() {
  configure_build "$out/liblog" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOXTIL_SYSTEM_LIBLOG=ON \
    -DMOXTIL_BUILD_TESTS=OFF -DMOXTIL_BUILD_TOOLS=OFF
  run_tests "$out/liblog"
}

# The parsers under libFuzzer, about a minute per harness.
variant_fuzz() {
  MOXTIL_BUILD_ROOT="$out" "$root/scripts/fuzz.sh" "${FUZZ_SECONDS:-60}"
}

variants=("$@")
[ ${#variants[@]} -eq 0 ] && variants=(host asan tsan arm liblog fuzz)
for v in "${variants[@]}"; do
  echo "=== $v"
  "variant_$v"
done
echo "=== all variants passed: ${variants[*]}"

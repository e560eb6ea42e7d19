#!/usr/bin/env bash
# Builds every variant from scratch, then runs their tests side by side.
#   scripts/test.sh            all variants (what CI runs)
#   scripts/test.sh host tsan  only these
#   QUICK=1 scripts/test.sh    leaves out the rows labelled long
# Variants: host (warnings as errors), asan (AddressSanitizer and
# UndefinedBehaviorSanitizer), tsan (ThreadSanitizer), arm (the 32-bit ARM
# build for phones and boards, under qemu), liblog (the system liblog instead of our log layer), fuzz (each
# libFuzzer harness for FUZZ_SECONDS, default 60).
#
# The builds come first, one after another, each on every core. Then the
# variants' tests run at once, each variant's CTest output in a log of its own
# under $out/logs: a variant that passes gets one line, one that fails its log
# whole. The end-to-end rows mostly sleep through the protocol's waits, so
# the variants overlap well. Which rows a variant runs is told by their CTest
# labels (tests/CMakeLists.txt): the volume rows run in the normal build
# only, and the beyond-4-GiB one on ARM too.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${MOXTIL_BUILD_ROOT:-$root/build}
logs=$out/logs
start=$SECONDS  # the total counts the set-up too

"$root/scripts/setup.sh"

jobs=$(nproc)
# Most tests sleep through the protocol's waits, so many run at once.
test_jobs=${TEST_JOBS:-16}
quick=${QUICK:-0}
# Rows leave out by label: QUICK=1 adds the long ones (over a minute).
leave_out() {  # labels...
  local labels=("$@")
  [ "$quick" = 1 ] && labels+=(long)
  [ ${#labels[@]} -gt 0 ] && (IFS='|'; echo "-LE" "${labels[*]}")
  return 0
}

variants=("$@")
[ ${#variants[@]} -eq 0 ] && variants=(host asan tsan arm liblog fuzz)
for v in "${variants[@]}"; do
  case $v in
    host|asan|tsan|arm|liblog|fuzz) ;;
    *) echo "test.sh: no variant $v (host asan tsan arm liblog fuzz)" >&2; exit 2 ;;
  esac
done

# Steps run where a failure does not end the script (their output goes to a
# log), so each says how it ended itself.
configure_build() {  # dir, cmake options...
  local dir=$1; shift
  rm -rf "$dir" &&
    cmake -S "$root" -B "$dir" -G Ninja -DMOXTIL_WERROR=ON "$@" &&
    cmake --build "$dir" -j "$jobs"
}

# A test step: CTest with a bound for any test that sets none of its own.
run_tests() {  # dir, ctest options...
  local dir=$1; shift
  ctest --test-dir "$dir" -j "$test_jobs" --output-on-failure --timeout 300 "$@"
}

build_host() { configure_build "$out/host" -DCMAKE_BUILD_TYPE=RelWithDebInfo; }
test_host() {
  # shellcheck disable=SC2046
  run_tests "$out/host" $(leave_out)
}

build_asan() { configure_build "$out/asan" -DCMAKE_BUILD_TYPE=Debug -DMOXTIL_SANITIZE=address,undefined; }
test_asan() {
  # shellcheck disable=SC2046
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_tests "$out/asan" $(leave_out volume)
}

build_tsan() { configure_build "$out/tsan" -DCMAKE_BUILD_TYPE=Debug -DMOXTIL_SANITIZE=thread; }
test_tsan() {
  # shellcheck disable=SC2046
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_tests "$out/tsan" $(leave_out volume)
}

# 32-bit ARM, the one build for phones and boards (static, musl, Zig's clang):
# the unit tests run under qemu-arm through CTest (those that need a simulator
# run the host build's); then the host build's end-to-end tests drive the ARM
# moxtil under qemu-arm, from a directory of their own so that this CTest and
# the host variant's keep their records apart. Among them the phone's: its log
# socket, and every system call traced and held against an app's sandbox.
build_arm() {
  { [ -x "$out/host/moxtil" ] || build_host; } &&
    configure_build "$out/arm" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm-linux-musleabihf.cmake" \
      -DMOXTIL_SIM_BIN="$out/host/tools/target-sim/target-sim" &&
    file "$out/arm/moxtil" &&
    mkdir -p "$out/arm/e2e" &&
    echo "subdirs(\"$out/host\")" >"$out/arm/e2e/CTestTestfile.cmake"
}
test_arm() {
  local status=0
  run_tests "$out/arm" || status=$?
  # shellcheck disable=SC2046
  MOXTIL_E2E_BIN="$out/arm/moxtil" MOXTIL_E2E_LAUNCHER=qemu-arm \
    run_tests "$out/arm/e2e" -L e2e $(leave_out waits native) || status=$?
  return "$status"
}

# The system liblog in place of our log layer: built, linked and run.
build_liblog() {
  configure_build "$out/liblog" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOXTIL_SYSTEM_LIBLOG=ON \
    -DMOXTIL_BUILD_TESTS=OFF -DMOXTIL_BUILD_TOOLS=OFF
}
test_liblog() { run_tests "$out/liblog"; }

# The parsers under libFuzzer, a minute per harness.
build_fuzz() { MOXTIL_BUILD_ROOT="$out" "$root/scripts/fuzz.sh" --build-only; }
test_fuzz() { MOXTIL_BUILD_ROOT="$out" nice -n 19 "$root/scripts/fuzz.sh" --run-only "${FUZZ_SECONDS:-60}"; }

declare -A build_s test_s result
summary() {
  local v
  echo "=== times (s)"
  printf '%-8s %6s %6s  %s\n' variant build test result
  for v in "${variants[@]}"; do
    printf '%-8s %6s %6s  %s\n' "$v" "${build_s[$v]:--}" "${test_s[$v]:--}" "${result[$v]:-not run}"
  done
  printf '%-8s %13s\n' total "$((SECONDS - start))"
}

rm -rf "$logs"
mkdir -p "$logs"

# Builds, one after another; the first that fails ends the command.
for v in "${variants[@]}"; do
  echo "=== build $v"
  t=$SECONDS
  if ! "build_$v" >"$logs/$v-build.log" 2>&1; then
    build_s[$v]=$((SECONDS - t))
    result[$v]="FAILED (build)"
    cat "$logs/$v-build.log"
    summary
    echo "=== FAILED: the $v build"
    exit 1
  fi
  build_s[$v]=$((SECONDS - t))
done

# Tests, side by side, each variant told as it ends. The fuzz harnesses
# (CPU-bound, two at a time on two cores) start once the other variants'
# tests are over but the normal build's (by then only its 55-row list,
# which sleeps), and at the lowest priority, so that no row with a timing
# check shares a core with them.
declare -A running  # pid -> variant
on_signal() { [ ${#running[@]} -gt 0 ] && kill "${!running[@]}" 2>/dev/null; exit 130; }
trap on_signal INT TERM
start_tests() {  # variant
  echo "=== test $1 (log: $logs/$1.log)"
  (
    t=$SECONDS
    status=0
    "test_$1" >"$logs/$1.log" 2>&1 || status=$?
    echo "$((SECONDS - t)) $status" >"$logs/$1.result"
  ) &
  running[$!]=$1
}
finish_tests() {  # variant: its time and result, its log whole when it failed
  local seconds=- status=1
  read -r seconds status <"$logs/$1.result" || true
  test_s[$1]=$seconds
  if [ "$status" = 0 ]; then
    result[$1]=passed
    echo "=== $1: passed in $seconds s: $(grep -hE 'tests passed|no finding' "$logs/$1.log" | paste -sd';' -)"
  else
    result[$1]="FAILED (exit $status)"
    echo "=== $1: FAILED (exit $status) after $seconds s; its log:"
    cat "$logs/$1.log"
  fi
}
fuzz_due=0
[[ " ${variants[*]} " == *" fuzz "* ]] && fuzz_due=1
start_fuzz_when_due() {
  [ "$fuzz_due" = 1 ] || return 0
  local v
  for v in "${running[@]}"; do [ "$v" = host ] || return 0; done
  fuzz_due=0
  start_tests fuzz
}

for v in "${variants[@]}"; do
  [ "$v" = fuzz ] || start_tests "$v"
done
start_fuzz_when_due
while [ ${#running[@]} -gt 0 ]; do
  ended=
  wait -n -p ended "${!running[@]}" || true
  [ -n "$ended" ] || continue
  v=${running[$ended]}
  unset "running[$ended]"
  finish_tests "$v"
  start_fuzz_when_due
done
trap - INT TERM

summary
failed=()
for v in "${variants[@]}"; do
  [ "${result[$v]:-}" = passed ] || failed+=("$v")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "=== FAILED: ${failed[*]}"
  exit 1
fi
echo "=== all variants passed: ${variants[*]}"

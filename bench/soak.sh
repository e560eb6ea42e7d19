#!/usr/bin/env bash
# Soak: 1000 updates through the ten slots of -M with a mix of faults, in a
# network namespace of its own (nothing leaves it). Ten simulated devices
# on 127.0.0.2-11, a hundred updates each: four take their updates whole,
# two close the data connection in the middle of the program, one stalls
# past -T, one closes the loader connection early, one never comes back from
# its reboot, one comes back after its wait ran out (a late data connection).
# Checks the counts exactly, every good update whole, and samples moxtil's
# resident memory and open descriptors every 5 s: they must stay flat.
#   bench/soak.sh [updates per device]     default 100
# Needs root (the namespace). Prints the figures for bench/RESULTS.md.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. "$root/scripts/lib.sh"
per=${1:-100}
out=${MOXTIL_BUILD_ROOT:-$root/build}/bench
[ "$(id -u)" -eq 0 ] || { echo "soak: needs root for its network namespace" >&2; exit 1; }

build_moxtil_and_sim "$out" quiet
moxtil=$out/moxtil
sim=$out/tools/target-sim/target-sim

ns=mxsoak$$
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  ip netns del "$ns" 2>/dev/null || true
  [ -n "${SOAK_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$ns"
ip -n "$ns" link set lo up
in_ns() { ip netns exec "$ns" "$@"; }

head -c 20000 /dev/urandom >"$work/loader.b"
printf 'ID%08d' 5 >"$work/idcode.sys"
head -c 300000 /dev/urandom >"$work/target.bin"
total=$((10 * per))
good=$((4 * per))

start=$SECONDS
in_ns "$moxtil" "$work/loader.b" "$work/idcode.sys" "$work/target.bin" -M"$total" -T3 -R -ilo \
  >"$work/moxtil.log" 2>&1 &
moxtil_pid=$!
pids+=("$moxtil_pid")
# A device (or several on consecutive addresses) with its faults.
devices() {  # name first-address count options...
  local name=$1 address=$2 count=$3
  shift 3
  in_ns "$sim" --address "$address" --base 10000 --targets "$count" --host 127.0.0.1 --updates "$per" \
    --time-limit $((per * 30)) --connect-retry 30 "$@" >"$work/$name.log" 2>&1 &
  pids+=("$!")
}
devices good 127.0.0.2 4
devices closes 127.0.0.6 2 --close-program-after 100000
devices stalls 127.0.0.8 1 --stall-program-after 100000 --stall-seconds 5
devices loader 127.0.0.9 1 --close-loader-after 5000
devices vanishes 127.0.0.10 1 --no-data-connect
devices late 127.0.0.11 1 --reboot-ms 4000

# Resident memory (KiB) and open descriptors every 5 s while it runs.
samples=$work/samples
while kill -0 "$moxtil_pid" 2>/dev/null; do
  rss=$(awk '/^VmRSS/ {print $2}' "/proc/$moxtil_pid/status" 2>/dev/null || true)
  fds=$(ls "/proc/$moxtil_pid/fd" 2>/dev/null | wc -l)
  [ -n "$rss" ] && echo "$((SECONDS - start)) $rss $fds" >>"$samples"
  sleep 5
done
wait "$moxtil_pid" || true
elapsed=$((SECONDS - start))
for p in "${pids[@]:1}"; do wait "$p" || true; done

failed=0
check() { if ! eval "$2"; then echo "soak: FAILED: $1"; failed=1; fi; }
log=$work/moxtil.log
check "the counts" "grep -qx 'D/moxtil: $total targets: $good finished, $((total - good)) failed' '$log'"
check "a finish for each good update and none more" \
  "[ \$(grep -c '^D/moxtil: 127[0-9.]* 100 % finish\$' '$log') -eq $good ]"
sha=$(sha256sum <"$work/target.bin" | cut -d' ' -f1)
whole=$(grep '^update ' "$work/good.log" | grep -c " result=ok .*program_sha256=$sha .*program_end=eof" || true)
check "every good update whole ($whole of $good)" "[ '$whole' -eq $good ]"
for name in closes stalls loader vanishes late; do
  bad=$(grep '^update ' "$work/$name.log" | grep -c ' result=ok ' || true)
  check "no update of the $name devices is ok ($bad)" "[ '$bad' -eq 0 ]"
done
# A cut-short program never ends like a whole one.
normal=$(grep -h '^update ' "$work/stalls.log" | grep -c 'program_end=eof' || true)
check "the stalled programs end with a reset ($normal ended normally)" "[ '$normal' -eq 0 ]"
refused=$(grep -c 'data connection from 127.0.0.11:[0-9]* reset: ' "$log" || true)

# Flat: the second half's largest figures against the first half's.
half=$(($(wc -l <"$samples") / 2))
rss_first=$(head -n "$half" "$samples" | awk 'm < $2 {m = $2} END {print m}')
rss_last=$(tail -n "$half" "$samples" | awk 'm < $2 {m = $2} END {print m}')
fds_first=$(head -n "$half" "$samples" | awk 'm < $3 {m = $3} END {print m}')
fds_last=$(tail -n "$half" "$samples" | awk 'm < $3 {m = $3} END {print m}')
check "resident memory flat ($rss_first then $rss_last KiB)" "[ '$rss_last' -le $((rss_first + 256)) ]"
check "descriptors flat ($fds_first then $fds_last)" "[ '$fds_last' -le '$fds_first' ]"

echo "soak: $total updates in $elapsed s; $good finished, $((total - good)) failed; late data connections refused: $refused"
echo "soak: resident memory, largest in the first and the second half: $rss_first and $rss_last KiB"
echo "soak: open descriptors, largest in the first and the second half: $fds_first and $fds_last"
grep -E 'summary: [0-9]+ more targets|targets: ' "$log" | sed 's/^D\/moxtil: /soak: moxtil: /'
[ "$failed" -eq 0 ] || { tail -40 "$log"; exit 1; }
echo "soak: PASSED"

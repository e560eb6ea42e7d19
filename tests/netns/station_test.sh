#!/usr/bin/env bash
# A station with -M and no -T, its devices each behind a veth link of its own
# in network namespaces made here (nothing leaves them): one never comes back
# from its reboot, one is unplugged in the middle of its program, one stops
# reading for longer than the station's bounds while its TCP answers. The
# first two free their slots with their lines within the bounds, the third
# finishes, and a stop signal sent once all three are served ends the run
# within the same bounds.
#   station_test.sh <moxtil> <target-sim> [launcher words...]
# Exit 77 (skipped) where namespaces cannot be made.
set -u
. "$(dirname "$0")/../../scripts/lib.sh" || { echo "FAILED: no scripts/lib.sh beside the tests"; exit 1; }
take_test_args "$@"
tag=mxs$$
host_ns=$tag-host
work=$(mktemp -d)
pids=()
failed=0

skip() { echo "SKIPPED: $*"; rm -rf "$work"; exit 77; }
fail() { echo "FAILED: $*"; failed=1; }
cleanup() {
  [ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2>/dev/null
  for k in 1 2 3; do ip netns del "$tag-t$k" 2>/dev/null; done
  ip netns del "$host_ns" 2>/dev/null
  rm -rf "$work"
}

[ "$(id -u)" -eq 0 ] || skip "network namespaces need root"
command -v ip >/dev/null || skip "no ip command (iproute2)"
ip netns add "$host_ns" 2>/dev/null || skip "cannot create network namespaces here"
trap cleanup EXIT
ip -n "$host_ns" link set lo up
# Device k at 169.254.8k.2, the station at 169.254.8k.1 on its link.
for k in 1 2 3; do
  ip netns add "$tag-t$k" || { echo "FAILED: namespace $k"; exit 1; }
  ip link add "$tag-h$k" netns "$host_ns" type veth peer name "$tag-t$k" netns "$tag-t$k" || { echo "FAILED: veth $k"; exit 1; }
  ip -n "$host_ns" addr add "169.254.8$k.1/24" dev "$tag-h$k"
  ip -n "$tag-t$k" addr add "169.254.8$k.2/24" dev "$tag-t$k"
  ip -n "$tag-t$k" link set lo up
  ip -n "$host_ns" link set "$tag-h$k" up
  ip -n "$tag-t$k" link set "$tag-t$k" up
done

head -c 100000 /dev/urandom >"$work/loader.b"
printf 'ID%08d' 78 >"$work/idcode.sys"
head -c 4000000 /dev/urandom >"$work/target.bin"

timeout 400 ip netns exec "$host_ns" "${launcher[@]}" "$moxtil" "$work/loader.b" "$work/idcode.sys" \
  "$work/target.bin" -M -R "-i$tag-h1" >"$work/moxtil.log" 2>&1 &
moxtil_pid=$!
pids+=("$moxtil_pid")
start=$SECONDS
# The devices connect at once (their announce is not what this is about).
device() {  # k simulator options...
  local k=$1
  shift
  ip netns exec "$tag-t$k" "$sim" --address "169.254.8$k.2" --host "169.254.8$k.1" --base 10000 \
    --time-limit 300 --connect-retry 30 "$@" >"$work/sim$k.log" 2>&1 &
  pids+=("$!")
}
device 1 --no-data-connect
device 2 --program-rate 100000
device 3 --stall-program-after 200000 --stall-seconds 150 --read-after-stall

# Unplugged while its program streams (at 100 kB/s it takes 40 s).
wait_for_line "$work/moxtil.log" '^D/moxtil: 169.254.82.2 00[1-9] %' 60 || fail "device 2 never got its program"
ip -n "$tag-t2" link set "$tag-t2" down
unplugged=$SECONDS
# Once all three are served, the stop signal: no more targets, and those
# being served end within the station's bounds.
wait_for_line "$work/moxtil.log" '^D/moxtil: 169.254.83.2 000 % Now erasing' 60 || fail "device 3 never erased"
kill -TERM "$moxtil_pid"
wait_for_line "$work/moxtil.log" '^D/moxtil: 169.254.82.2 -1 ' 90 || fail "device 2 still holds its slot"
freed=$((SECONDS - unplugged))
wait "$moxtil_pid"
status=$?
elapsed=$((SECONDS - start))
echo "--- moxtil (exit $status after $elapsed s)"; cat "$work/moxtil.log"
for k in 1 2 3; do echo "--- device $k"; cat "$work/sim$k.log"; done

[ "$status" -eq 1 ] || fail "exit $status, not 1"
# The line right before a status line: its explanation.
explained() {  # status-line pattern
  grep -B1 -x "D/moxtil: $1" "$work/moxtil.log" | head -1 | grep -q "$2"
}
explained '169.254.81.2 -1 id data error' \
  'no data connection on port 10011 within 120 s: the target did not come back from its reboot$' \
  || fail "device 1: no -1 id data error after the reboot bound"
explained '169.254.82.2 -1 \*\*\*\*\*ERROR\*\*\*\*\*' \
  "the target's TCP has answered nothing for 45 s" \
  || fail "device 2: not freed by its silence"
grep -qx 'D/moxtil: 169.254.83.2 100 % finish' "$work/moxtil.log" || fail "device 3, busy but alive, was cut off"
report=$(grep '^update ' "$work/sim3.log")
[ "$(field program_end "$report")" = eof ] || fail "device 3: its program did not end normally"
[ "$(field program_sha256 "$report")" = "$(sha256sum <"$work/target.bin" | cut -d' ' -f1)" ] \
  || fail "device 3: program checksum"
grep -qx 'D/moxtil: 3 targets: 1 finished, 2 failed' "$work/moxtil.log" || fail "summary counts"
grep -q '^D/moxtil: Terminated: no more targets are taken' "$work/moxtil.log" || fail "the stop signal was not taken"
# Found within its bound: 45 s of silence, and the watch's looks.
[ "$freed" -ge 40 ] && [ "$freed" -le 60 ] || fail "device 2 freed $freed s after it was unplugged"
[ "$elapsed" -lt 240 ] || fail "the run took $elapsed s"
[ "$failed" -eq 0 ] || exit 1
echo "PASSED"

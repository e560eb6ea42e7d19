#!/usr/bin/env bash
# Broadcast on a real link: moxtil announces to 255.255.255.255 on a veth
# link between two network namespaces made here, and a simulated target in
# the other namespace is updated through it. Nothing leaves the namespaces.
#   broadcast_test.sh <moxtil> <target-sim> [launcher words...]
# Exit 77 (skipped) where namespaces cannot be made.
set -u
# MOXTIL_E2E_BIN and MOXTIL_E2E_LAUNCHER override the moxtil and launcher given.
moxtil=${MOXTIL_E2E_BIN:-$1}
sim=$2
shift 2
launcher=("$@")  # e.g. qemu-arm for a cross-built moxtil
if [ -n "${MOXTIL_E2E_LAUNCHER:-}" ]; then read -r -a launcher <<<"$MOXTIL_E2E_LAUNCHER"; fi
tag=mx$$
host_ns=$tag-host
target_ns=$tag-target
work=$(mktemp -d)
sim_pid=

skip() { echo "SKIPPED: $*"; rm -rf "$work"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }

cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  ip netns del "$host_ns" 2>/dev/null
  ip netns del "$target_ns" 2>/dev/null
  rm -rf "$work"
}

[ "$(id -u)" -eq 0 ] || skip "network namespaces need root"
command -v ip >/dev/null || skip "no ip command (iproute2)"
ip netns add "$host_ns" 2>/dev/null || skip "cannot create network namespaces here"
trap cleanup EXIT
ip netns add "$target_ns" || fail "second namespace"

# The link and its link-local addresses exist only inside the namespaces.
ip link add "$tag-h" netns "$host_ns" type veth peer name "$tag-t" netns "$target_ns" || fail "veth pair"
ip -n "$host_ns" addr add 169.254.77.1/16 dev "$tag-h"
ip -n "$target_ns" addr add 169.254.77.2/16 dev "$tag-t"
for ns in "$host_ns" "$target_ns"; do
  ip -n "$ns" link set lo up
done
ip -n "$host_ns" link set "$tag-h" up
ip -n "$target_ns" link set "$tag-t" up

head -c 300000 /dev/urandom >"$work/loader.b"
printf 'ID%08d' 77 >"$work/idcode.sys"
head -c 2000000 /dev/urandom >"$work/target.bin"

ip netns exec "$target_ns" "$sim" --address 169.254.77.2 --listen-any --base 10000 --time-limit 60 >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -q '^ready' "$work/sim.log" && break; sleep 0.1; done
grep -q '^ready' "$work/sim.log" || fail "simulator not ready: $(cat "$work/sim.log")"

# No -D: broadcast mode, on the namespace's link.
timeout 60 ip netns exec "$host_ns" "${launcher[@]}" "$moxtil" "$work/loader.b" "$work/idcode.sys" "$work/target.bin" \
  -R -T30 "-i$tag-h" >"$work/moxtil.log" 2>&1
status=$?
wait "$sim_pid"
sim_status=$?
sim_pid=

echo "--- moxtil (exit $status)"; cat "$work/moxtil.log"
echo "--- simulator (exit $sim_status)"; cat "$work/sim.log"

[ "$status" -eq 0 ] || fail "moxtil exit $status"
[ "$sim_status" -eq 0 ] || fail "simulator exit $sim_status"
grep -q '^D/moxtil: >>my IPaddress=169.254.77.1$' "$work/moxtil.log" || fail "address of the link"
grep -q '^datagram kind=announce from=169.254.77.1:10010 .*to=255.255.255.255' "$work/sim.log" \
  || fail "no announce datagram to 255.255.255.255 from 169.254.77.1:10010"
grep -q '^D/moxtil: 100 % finish$' "$work/moxtil.log" || fail "no finish line"
report=$(grep '^update ' "$work/sim.log")
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$report"; }
[ "$(field result)" = ok ] || fail "update result"
[ "$(field reboot)" = 52 ] || fail "reboot byte"
[ "$(field loader_sha256)" = "$(sha256sum <"$work/loader.b" | cut -d' ' -f1)" ] || fail "loader checksum"
[ "$(field program_sha256)" = "$(sha256sum <"$work/target.bin" | cut -d' ' -f1)" ] || fail "program checksum"
echo "PASSED"

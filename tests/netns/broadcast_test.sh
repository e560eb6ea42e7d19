#!/usr/bin/env bash
# Updates on a real link: a veth link between two network namespaces made
# here, moxtil in one and a simulated target in the other; nothing leaves the
# namespaces. Once in broadcast mode (255.255.255.255) on an interface whose
# name has the kernel's 15 characters, as a USB adapter's, once in unicast
# mode with an interface that does not exist.
#   broadcast_test.sh <moxtil> <target-sim> [launcher words...]
# Exit 77 (skipped) where namespaces cannot be made.
set -u
. "$(dirname "$0")/../../scripts/lib.sh" || { echo "FAILED: no scripts/lib.sh beside the tests"; exit 1; }
take_test_args "$@"
tag=mx$$
host_ns=$tag-host
target_ns=$tag-target
work=$(mktemp -d)
sim_pid=


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
ip netns add "$target_ns" || die "second namespace"

# The link and its link-local addresses exist only inside the namespaces.
# The station's end is named as Linux names a USB adapter, enx and its MAC.
link=enx00e04c680a1b
ip link add "$link" netns "$host_ns" type veth peer name "$tag-t" netns "$target_ns" || die "veth pair"
ip -n "$host_ns" addr add 169.254.77.1/16 dev "$link"
ip -n "$target_ns" addr add 169.254.77.2/16 dev "$tag-t"
for ns in "$host_ns" "$target_ns"; do
  ip -n "$ns" link set lo up
done
ip -n "$host_ns" link set "$link" up
ip -n "$target_ns" link set "$tag-t" up

head -c 300000 /dev/urandom >"$work/loader.b"
printf 'ID%08d' 77 >"$work/idcode.sys"
head -c 2000000 /dev/urandom >"$work/target.bin"

# One update of the simulated target in its namespace by moxtil in the host's.
#   update <tag> <port base> <simulator options...> -- <moxtil options...>
update() {
  local tag=$1 base=$2
  shift 2
  local sim_args=()
  while [ "$1" != -- ]; do sim_args+=("$1"); shift; done
  shift
  ip netns exec "$target_ns" "$sim" --address 169.254.77.2 --base "$base" --time-limit 60 "${sim_args[@]}" \
    >"$work/$tag-sim.log" 2>&1 &
  sim_pid=$!
  wait_for_line "$work/$tag-sim.log" '^ready' 10 2>/dev/null \
    || die "$tag: simulator not ready: $(cat "$work/$tag-sim.log")"
  timeout 60 ip netns exec "$host_ns" "${launcher[@]}" "$moxtil" "$work/loader.b" "$work/idcode.sys" \
    "$work/target.bin" -R -T30 "-B$base" "$@" >"$work/$tag-moxtil.log" 2>&1
  local status=$?
  wait "$sim_pid"
  local sim_status=$?
  sim_pid=
  echo "--- $tag: moxtil (exit $status)"; cat "$work/$tag-moxtil.log"
  echo "--- $tag: simulator (exit $sim_status)"; cat "$work/$tag-sim.log"
  [ "$status" -eq 0 ] || die "$tag: moxtil exit $status"
  [ "$sim_status" -eq 0 ] || die "$tag: simulator exit $sim_status"
  grep -q '^D/moxtil: 100 % finish$' "$work/$tag-moxtil.log" || die "$tag: no finish line"
  report=$(grep '^update ' "$work/$tag-sim.log")
  [ "$(field result "$report")" = ok ] || die "$tag: update result"
  [ "$(field reboot "$report")" = 52 ] || die "$tag: reboot byte"
  [ "$(field loader_sha256 "$report")" = "$(sha256sum <"$work/loader.b" | cut -d' ' -f1)" ] || die "$tag: loader checksum"
  [ "$(field program_sha256 "$report")" = "$(sha256sum <"$work/target.bin" | cut -d' ' -f1)" ] || die "$tag: program checksum"
}

# No -D: broadcast mode, on the namespace's link.
update broadcast 10000 --listen-any -- "-i$link"
grep -q '^D/moxtil: >>my IPaddress=169.254.77.1$' "$work/broadcast-moxtil.log" || die "address of the link"
grep -q '^datagram kind=announce from=169.254.77.1:10010 .*to=255.255.255.255' "$work/broadcast-sim.log" \
  || die "no announce datagram to 255.255.255.255 from 169.254.77.1:10010"

# An interface that does not exist: said so, and the update runs from every
# local address.
update nosuch 10100 -- -inosuch -D169.254.77.2
grep -qx 'D/moxtil: interface nosuch: no IPv4 address (No such device); announcing from every local address' \
  "$work/nosuch-moxtil.log" || die "no explanation of the missing interface"
grep -q '^D/moxtil: >>my IPaddress=0.0.0.0$' "$work/nosuch-moxtil.log" || die "address of no interface"
echo "PASSED"

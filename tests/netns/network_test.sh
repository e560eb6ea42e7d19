#!/usr/bin/env bash
# A station (-M, no -T) whose own network changes under it, its devices
# behind veth links in network namespaces made here (nothing leaves them).
# NETWORK_ROWS picks the rows:
#   changes (default): a new address while it waits, a new address while a
#     device is mid-program, the link down for 8 s, the adapter deleted and
#     made again, a station started with no address on its interface; each
#     time the next device, which connects to the announce's sender, is
#     served, and a stop signal ends the run with exit 0. And a file list
#     (one target at a time) whose address changes between two rows. And a
#     new address whose announce port another program holds, while a device
#     is served: the port is lost, and two stop signals end the run at once.
#   outage: a device whose link drops for 30 s with bytes in flight and comes
#     back finishes whole with a normal end, with the kernel's back-off capped
#     (moxtil) and uncapped as on an older kernel (MOXTIL_UNCAPPED_BIN); a
#     device that never comes back is freed within the bounds; with -T120,
#     one whose link drops for 60 s (a switch port's spanning tree) finishes
#     (its TCP's back-off of a minute by then, which -T leaves as it is).
#   network_test.sh <moxtil> <target-sim> [launcher words...]
# Exit 77 (skipped) where namespaces cannot be made.
set -u
. "$(dirname "$0")/../../scripts/lib.sh" || { echo "FAILED: no scripts/lib.sh beside the tests"; exit 1; }
take_test_args "$@"
rows=${NETWORK_ROWS:-changes}
if [ "$rows" = outage ]; then
  uncapped=${MOXTIL_UNCAPPED_BIN:?MOXTIL_UNCAPPED_BIN names moxtil-uncapped}
  begin_station_test mxo$$ 4
else
  begin_station_test mxn$$ 1
fi
link=$tag-h1
# A new address promoted in place of the old one, as a lease handed over.
ip netns exec "$host_ns" sysctl -qw net.ipv4.conf.all.promote_secondaries=1 "net.ipv4.conf.$link.promote_secondaries=1"

head -c 60000 /dev/urandom >"$work/loader.b"
printf 'ID%08d' 39 >"$work/idcode.sys"
head -c 1500000 /dev/urandom >"$work/target.bin"
program_sha=$(sha256sum <"$work/target.bin" | cut -d' ' -f1)

# Starts a station on interface ifname in the host namespace; its log is
# $work/<name>.log and its process station_pid.
start_station() {  # name ifname base [binary [options...]]
  # --foreground: the stop signal reaches moxtil once, not also through
  # timeout's process group (a second would end the run at once).
  timeout --foreground 200 ip netns exec "$host_ns" "${launcher[@]}" "${4:-$moxtil}" "$work/loader.b" \
    "$work/idcode.sys" "$work/target.bin" -M -R "-i$2" "-B$3" "${@:5}" >"$work/$1.log" 2>&1 &
  station_pid=$!
  pids+=("$station_pid")
}
# A stop signal, and the exit it must give.
stop_station() {  # name exit
  kill -INT "$station_pid"
  wait "$station_pid"
  local status=$?
  echo "--- $1: moxtil (exit $status)"; cat "$work/$1.log"
  [ "$status" -eq "$2" ] || fail "$1: exit $status, not $2"
}
# A device in namespace k at address that waits for the announce and
# connects to its sender (or, with --host, at once); one update.
start_device() {  # name k address base simulator options...
  local name=$1 k=$2 address=$3 base=$4
  shift 4
  ip netns exec "$tag-t$k" "$sim" --address "$address" --base "$base" --time-limit 190 --connect-retry 30 "$@" \
    >"$work/$name-sim.log" 2>&1 &
  device_pid=$!
  pids+=("$device_pid")
}
# The device of start_device got the whole program and its stream ended normally.
device_served() {  # name [pid]
  wait "${2:-$device_pid}"
  local status=$? report
  echo "--- $1: device (exit $status)"; cat "$work/$1-sim.log"
  report=$(grep '^update ' "$work/$1-sim.log")
  [ "$status" -eq 0 ] && [ "$(field result "$report")" = ok ] || fail "$1: the device was not served"
  [ "$(field program_sha256 "$report")" = "$program_sha" ] || fail "$1: program checksum"
  [ "$(field program_end "$report")" = eof ] || fail "$1: its program did not end normally"
}
# The station's address line, then the link made again as it was.
host_ip() { ip -n "$host_ns" "$@"; }
fresh_link() {
  host_ip link del "$link" 2>/dev/null
  make_link "$tag" 1 || fail "the link could not be made again"
}
line() { echo "D/moxtil: interface $link: $1"; }

if [ "$rows" = changes ]; then
  # 1. A new address while it waits: the next device hears the announce from
  # it and is served there.
  start_station waiting "$link" 10000
  wait_for_line "$work/waiting.log" '^D/moxtil: >>my IPaddress=169.254.81.1$' 10 || fail "waiting: no address line"
  host_ip addr add 169.254.81.11/24 dev "$link" && host_ip addr del 169.254.81.1/24 dev "$link"
  wait_for_line "$work/waiting.log" \
    "^$(line 'address 169.254.81.1 -> 169.254.81.11; announcing and listening on the new address')$" 5 ||
    fail "waiting: the new address was not told"
  start_device waiting 1 169.254.81.2 10000 --listen-any
  device_served waiting
  grep -q '^datagram kind=announce from=169.254.81.11:10010 ' "$work/waiting-sim.log" || fail "waiting: no announce from the new address"
  grep -qx 'D/moxtil: 169.254.81.2 100 % finish' "$work/waiting.log" || fail "waiting: no finish"
  stop_station waiting 0
  grep -q 'send failed' "$work/waiting.log" && fail "waiting: announces failed"

  # 2. A new address while a device is mid-program (the old one kept for the
  # connections on it, as a lease handed over): the device finishes on its
  # connection, the next is served on the new address.
  fresh_link
  start_station mid "$link" 10000
  wait_for_line "$work/mid.log" '^D/moxtil: >>my IPaddress=169.254.81.1$' 10 || fail "mid: no address line"
  start_device mid1 1 169.254.81.2 10000 --listen-any --program-rate 150000
  first=$device_pid
  wait_for_line "$work/mid.log" '^D/moxtil: 169.254.81.2 0[1-9][0-9] %' 20 || fail "mid: the first device got no program"
  host_ip addr add 169.254.81.11/24 dev "$link" && host_ip addr del 169.254.81.1/24 dev "$link" &&
    host_ip addr add 169.254.81.1/24 dev "$link"
  wait_for_line "$work/mid.log" \
    "^$(line 'address 169.254.81.1 -> 169.254.81.11; announcing and listening on the new address')$" 5 ||
    fail "mid: the new address was not told"
  ip -n "$tag-t1" addr add 169.254.81.3/24 dev "$tag-t1"
  start_device mid2 1 169.254.81.3 10000 --listen-any
  device_served mid1 "$first"
  device_served mid2
  grep -q '^datagram kind=announce from=169.254.81.11:10010 ' "$work/mid2-sim.log" || fail "mid: no announce from the new address"
  for d in 2 3; do
    grep -qx "D/moxtil: 169.254.81.$d 100 % finish" "$work/mid.log" || fail "mid: device .$d did not finish"
  done
  stop_station mid 0

  # 3. The link down for 8 s (its cable pulled at the device's end): one line
  # while it is down, one when it is back; the next device is served.
  fresh_link
  start_station down "$link" 10000
  wait_for_line "$work/down.log" '^D/moxtil: >>my IPaddress=169.254.81.1$' 10 || fail "down: no address line"
  before=$(wc -l <"$work/down.log")
  ip -n "$tag-t1" link set "$tag-t1" down
  sleep 8
  during=$(($(wc -l <"$work/down.log") - before))
  ip -n "$tag-t1" link set "$tag-t1" up
  wait_for_line "$work/down.log" "^$(line 'is back with the address 169.254.81.1; announcing again')$" 5 ||
    fail "down: the link's return was not told"
  start_device down 1 169.254.81.2 10000 --listen-any
  device_served down
  stop_station down 0
  [ "$during" -le 3 ] || fail "down: $during lines while the link was down"
  grep -qx "$(line 'is down; waiting')" "$work/down.log" || fail "down: the link's loss was not told"

  # 4. The adapter deleted and made again under the same name and address.
  fresh_link
  start_station adapter "$link" 10000
  wait_for_line "$work/adapter.log" '^D/moxtil: >>my IPaddress=169.254.81.1$' 10 || fail "adapter: no address line"
  host_ip link del "$link"
  wait_for_line "$work/adapter.log" "^$(line 'is down; waiting')$" 5 || fail "adapter: its removal was not told"
  sleep 2
  make_link "$tag" 1 || fail "adapter: not made again"
  wait_for_line "$work/adapter.log" "^$(line 'is back with the address 169.254.81.1; announcing again')$" 5 ||
    fail "adapter: its return was not told"
  start_device adapter 1 169.254.81.2 10000 --listen-any
  device_served adapter
  stop_station adapter 0

  # 5. A station started before its interface has an address: it waits,
  # without a failed announce, and serves once the address is there.
  fresh_link
  host_ip addr flush dev "$link"
  start_station noaddr "$link" 10000
  wait_for_line "$work/noaddr.log" "^$(line 'no IPv4 address (.*); waiting for one')$" 10 ||
    fail "noaddr: the missing address was not told"
  sleep 2
  host_ip addr add 169.254.81.1/24 dev "$link"
  wait_for_line "$work/noaddr.log" "^$(line 'has the address 169.254.81.1; announcing and listening on it')$" 5 ||
    fail "noaddr: the address was not told"
  start_device noaddr 1 169.254.81.2 10000 --listen-any
  device_served noaddr
  stop_station noaddr 0
  grep -q 'send failed' "$work/noaddr.log" && fail "noaddr: announces failed"

  # 6. A file list, one target at a time: a new address between its rows is
  # taken for the next row (during the row's -LT wait).
  fresh_link
  for row in 1 2; do echo "$work/loader.b,$work/idcode.sys,$work/target.bin"; done >"$work/list.txt"
  timeout 60 ip netns exec "$host_ns" "${launcher[@]}" "$moxtil" "$work/list.txt" x x -LT5 -R "-i$link" -B10000 \
    >"$work/list.log" 2>&1 &
  list_pid=$!
  pids+=("$list_pid")
  start_device list1 1 169.254.81.2 10000 --listen-any
  device_served list1
  host_ip addr add 169.254.81.11/24 dev "$link" && host_ip addr del 169.254.81.1/24 dev "$link"
  start_device list2 1 169.254.81.2 10000 --listen-any
  device_served list2
  wait "$list_pid"
  status=$?
  echo "--- list: moxtil (exit $status)"; cat "$work/list.log"
  [ "$status" -eq 0 ] || fail "list: exit $status"
  grep -q '^datagram kind=announce from=169.254.81.11:10010 ' "$work/list2-sim.log" || fail "list: row 2 not announced from the new address"
  grep -qx "$(line 'address 169.254.81.1 -> 169.254.81.11; announcing and listening on the new address')" \
    "$work/list.log" || fail "list: the new address was not told"
  grep -qx 'D/moxtil: 100 % finish' "$work/list.log" || fail "list: no finish"

  # 7. The announce port lost on a new address (another program holds it
  # there) while a device is served and stalls: no more targets are taken,
  # and the stop signals are still taken: two end the run at once.
  fresh_link
  start_station lost "$link" 10000
  wait_for_line "$work/lost.log" '^D/moxtil: >>my IPaddress=169.254.81.1$' 10 || fail "lost: no address line"
  start_device lost 1 169.254.81.2 10000 --listen-any --stall-program-after 100000 --stall-seconds 100
  wait_for_line "$work/lost.log" '^D/moxtil: 169.254.81.2 000 % Now erasing' 20 || fail "lost: the device never erased"
  host_ip addr add 169.254.81.11/24 dev "$link"
  ip netns exec "$host_ns" socat -u UDP4-RECV:10010,bind=169.254.81.11 /dev/null &
  pids+=("$!")
  sleep 0.5
  host_ip addr del 169.254.81.1/24 dev "$link"
  wait_for_line "$work/lost.log" '^D/moxtil: -1 failed to open the UDP endpoint$' 10 || fail "lost: the port's loss not told"
  kill -INT "$station_pid"
  sleep 0.3
  kill -INT "$station_pid"
  for _ in $(seq 100); do kill -0 "$station_pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$station_pid" 2>/dev/null && fail "lost: two stop signals did not end the run within 10 s"
  wait "$station_pid"
  echo "--- lost: moxtil (exit $?)"; cat "$work/lost.log"
  grep -q '^D/moxtil: second signal (Interrupt): the run ends at once' "$work/lost.log" || fail "lost: no second signal taken"
else
  # 6. Devices 1 (capped back-off, moxtil) and 2 (uncapped, moxtil-uncapped)
  # lose their link for 30 s mid-program and come back: both finish whole.
  # 7. Device 3 (uncapped) loses it for good: freed within the bounds.
  head -c 3000000 /dev/urandom >"$work/target.bin"
  program_sha=$(sha256sum <"$work/target.bin" | cut -d' ' -f1)
  start_station capped "$station_if" 10000
  capped_pid=$station_pid
  start_station uncapped "$station_if" 10040 "$uncapped"
  uncapped_pid=$station_pid
  start_station bounded "$station_if" 10080 "$moxtil" -T120
  bounded_pid=$station_pid
  start_device capped 1 169.254.81.2 10000 --host 169.254.81.1 --program-rate 100000
  capped_dev=$device_pid
  start_device uncapped 2 169.254.82.2 10040 --host 169.254.82.1 --program-rate 100000
  uncapped_dev=$device_pid
  start_device gone 3 169.254.83.2 10040 --host 169.254.83.1 --program-rate 100000
  start_device bounded 4 169.254.84.2 10080 --host 169.254.84.1 --program-rate 100000
  bounded_dev=$device_pid
  for d in capped:81 uncapped:82 uncapped:83 bounded:84; do
    wait_for_line "$work/${d%%:*}.log" "^D/moxtil: 169.254.${d##*:}.2 0[1-9][0-9] %" 30 ||
      fail "${d##*:}: no program on its way"
  done
  for k in 1 2 3 4; do ip -n "$tag-t$k" link set "$tag-t$k" down; done
  dropped=$SECONDS
  sleep 30
  for k in 1 2; do ip -n "$tag-t$k" link set "$tag-t$k" up; done
  wait_for_line "$work/uncapped.log" '^D/moxtil: 169.254.83.2 -1 ' 80 || fail "gone: still holds its slot"
  freed=$((SECONDS - dropped))
  # Device 4's link comes back after 60 s at least: past the 45 s watch,
  # within its -T120.
  left=$((60 - (SECONDS - dropped)))
  [ "$left" -gt 0 ] && sleep "$left"
  ip -n "$tag-t4" link set "$tag-t4" up
  device_served capped "$capped_dev"
  device_served uncapped "$uncapped_dev"
  device_served bounded "$bounded_dev"
  station_pid=$capped_pid stop_station capped 0
  station_pid=$uncapped_pid stop_station uncapped 1
  station_pid=$bounded_pid stop_station bounded 0
  echo "--- device 3 freed $freed s after its link dropped"
  grep -qx 'D/moxtil: 169.254.81.2 100 % finish' "$work/capped.log" || fail "capped: no finish"
  grep -qx 'D/moxtil: 169.254.82.2 100 % finish' "$work/uncapped.log" || fail "uncapped: no finish"
  grep -B1 -x 'D/moxtil: 169.254.83.2 -1 \*\*\*\*\*ERROR\*\*\*\*\*' "$work/uncapped.log" | head -1 |
    grep -q "the target's TCP has answered nothing for 45 s" || fail "gone: not freed by its silence"
  # The bounds without the cap: 45 s of silence, the next send the kernel's
  # back-off makes (at most twice the silence) and a second unanswered.
  [ "$freed" -ge 45 ] && [ "$freed" -le 92 ] || fail "gone: freed $freed s after its link dropped"
fi
[ "$failed" -eq 0 ] || exit 1
echo "PASSED"

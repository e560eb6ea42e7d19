#!/usr/bin/env bash
# Data connections paired by the device's hardware address, on veth links in
# network namespaces made here (nothing leaves them), where the station's
# neighbour table knows every device's MAC:
# - device 4 is served first and fails at once (it closes its loader
#   connection); its address is then given to device 1, as DHCP gives a
#   lease out again;
# - device 2 is served its loader and waits for its reboot (6 s), so that it
#   has waited longest;
# - device 1 comes back from its reboot with device 4's old address: its
#   data connection goes to its own transfer by its MAC, neither refused for
#   the address nor given to device 2 by order;
# - a host this run never served (device 3's namespace) connects to the data
#   port while device 2 waits: it is refused, and device 2 still gets its
#   own program;
# - a scan from the station's office network (another interface) connects
#   to the loader port twice: no target, no failure, and -E2 stays quiet.
# The lines, the summary and the record (-J) say how each was paired.
#   pairing_test.sh <moxtil> <target-sim> [launcher words...]
# Exit 77 (skipped) where namespaces cannot be made.
set -u
. "$(dirname "$0")/../../scripts/lib.sh" || { echo "FAILED: no scripts/lib.sh beside the tests"; exit 1; }
take_test_args "$@"
begin_station_test mxp$$ 4
# The office network: another interface of the station, and a scanner on it.
office=$tag-office
trap 'ip netns del "$office" 2>/dev/null; end_station_test' EXIT
ip netns add "$office" && ip link add "$tag-of" netns "$host_ns" type veth peer name "$tag-sc" netns "$office" &&
  ip -n "$host_ns" addr add 10.77.0.1/24 dev "$tag-of" && ip -n "$office" addr add 10.77.0.9/24 dev "$tag-sc" &&
  ip -n "$host_ns" link set "$tag-of" up && ip -n "$office" link set "$tag-sc" up ||
  { echo "FAILED: the office network"; exit 1; }

head -c 30000 /dev/urandom >"$work/loader.b"
printf 'ID%08d' 36 >"$work/idcode.sys"
head -c 300000 /dev/urandom >"$work/target.bin"

timeout 60 ip netns exec "$host_ns" "${launcher[@]}" "$moxtil" "$work/loader.b" "$work/idcode.sys" \
  "$work/target.bin" -M3 -E2 -T20 -R "-i$station_if" "-J$work/record.jsonl" >"$work/moxtil.log" 2>&1 &
moxtil_pid=$!
pids+=("$moxtil_pid")
station_device 4 50 --close-loader-after 1000
wait "${pids[-1]}"
# Device 4's address is device 1's after its reboot (its DHCP client's
# gratuitous ARP updates the station's neighbour table).
ip -n "$tag-t4" addr del 169.254.84.2/24 dev "$tag-t4" && ip -n "$tag-t1" addr add 169.254.84.2/24 dev "$tag-t1" &&
  ip -n "$host_ns" neigh del 169.254.84.2 dev "$station_if" 2>/dev/null
station_device 2 50 --reboot-ms 6000
station_device 3 50 --data-only --reboot-ms 2000
wait_for_line "$work/moxtil.log" '^D/moxtil: 169\.254\.82\.2 loader connection' 20 || fail "device 2 never came"
# The scans while the run takes targets: before device 1, the third of -M3,
# after which a loader connection is no more taken (nor told).
for scan in 1 2; do
  ip netns exec "$office" timeout 5 bash -c 'exec 3<>/dev/tcp/10.77.0.1/10010' 2>/dev/null
  for _ in $(seq 400); do  # told before the next comes (at most 20 s)
    [ "$(grep -c '^D/moxtil: loader connection from 10\.77\.0\.9:.* reset: ' "$work/moxtil.log")" -ge "$scan" ] && break
    sleep 0.05
  done
done
station_device 1 50 --loader-connect-delay 500 --reboot-ms 3000 --data-from 169.254.84.2

wait "$moxtil_pid"
status=$?
for p in "${pids[@]:1}"; do wait "$p"; done
echo "--- moxtil (exit $status)"; cat "$work/moxtil.log"
for k in 1 2 3; do echo "--- device $k"; cat "$work/sim$k.log"; done

[ "$status" -eq 1 ] || fail "exit $status, not 1 (device 4 failed)"
has() { grep -qE "^D/moxtil: $1\$" "$work/moxtil.log" || fail "no line: $1"; }
has "169\.254\.81\.2 data connection from 169\.254\.84\.2:[0-9]+, not from the loader connection's address 169\.254\.81\.2: paired by its device's hardware address 02:00:00:00:08:01"
has "169\.254\.82\.2 data connection from 169\.254\.82\.2:[0-9]+"
has "data connection from 169\.254\.83\.2:[0-9]+ reset: no target waits for a device with its hardware address 02:00:00:00:08:03, and this run never served one: a host that is no device of this run takes no device's place"
has "169\.254\.8[12]\.2 100 % finish"
has "summary: 169\.254\.81\.2 02:00:00:00:08:01 \(data from 169\.254\.84\.2, paired by mac\): program .*100 % finish"
has "summary: 169\.254\.82\.2 02:00:00:00:08:02: program .*100 % finish"
has "3 targets: 2 finished, 1 failed"
[ "$(grep -cE '^D/moxtil: loader connection from 10\.77\.0\.9:[0-9]+ to 10\.77\.0\.1 reset: it came by the interface '"$tag"'-of, not by '"$station_if"'; no target of this station$' "$work/moxtil.log")" -eq 2 ] ||
  fail "the scans were not refused, each in one line"
grep -q 'failures in a row' "$work/moxtil.log" && fail "the scans tripped the guard"
[ "$(grep -cE '^D/moxtil: [0-9.]+ 100 % finish$' "$work/moxtil.log")" -eq 2 ] || fail "two finish lines"
sha=$(sha256sum <"$work/target.bin" | cut -d' ' -f1)
for k in 1 2; do
  report=$(grep '^update ' "$work/sim$k.log")
  [ "$(field result "$report") $(field program_sha256 "$report") $(field program_end "$report")" = "ok $sha eof" ] \
    || fail "device $k did not get its program whole with a normal end"
done
report=$(grep '^update ' "$work/sim3.log")
[ "$(field id_bytes "$report") $(field program_bytes "$report") $(field program_end "$report")" = "0 0 reset" ] \
  || fail "the stranger got something, or its connection was not reset"
python3 - "$work/record.jsonl" <<'PY' || fail "the record"
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]
ends = {o["target"]: o for o in lines if o["type"] == "target_end"}
stages = {o["target"]: o for o in lines if o["type"] == "stage" and o["stage"] == "data_connection"}
want = {"169.254.81.2": ("169.254.84.2", "mac", "02:00:00:00:08:01"),
        "169.254.82.2": ("169.254.82.2", "address", "02:00:00:00:08:02")}
problems = []
for target, (data, by, mac) in want.items():
    e, s = ends.get(target, {}), stages.get(target, {})
    got = (e.get("data_address"), e.get("paired_by"), e.get("mac"), e.get("result"))
    if got != (data, by, mac, "finished"): problems.append("%s: %s" % (target, got))
    if (s.get("data_address"), s.get("paired_by")) != (data, by): problems.append("%s stage: %s" % (target, s))
for p in problems: print("record:", p)
sys.exit(1 if problems else 0)
PY
[ "$failed" -eq 0 ] || exit 1
echo "PASSED"

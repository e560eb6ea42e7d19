#!/usr/bin/env bash
# Devices named by their hardware address, on veth links in network
# namespaces made here (nothing leaves them), and a station's history read
# with the manual page's jq examples:
# - devices 1 and 2 are given one hardware address (a cloned MAC). Served one
#   after the other (run A) they are told of no warning; when device 2
#   connects while device 1's program goes out (run B, with device 3, which
#   fails mid-program), device 1 is evidently alive: not a device that
#   started over but two devices, both served, one line names both and the
#   record gets a warning of kind same_mac;
# - both runs append to one history file: each line carries its run, the
#   two runs' identifiers differ, run_begin names this host as the station;
# - the EXAMPLES of the manual page (taken from its source, as printed) run
#   over that history and give the counts the runs make.
#   identity_test.sh <moxtil> <target-sim> <manual page source> [launcher words...]
# Exit 77 (skipped) where namespaces cannot be made or jq is missing.
set -u
. "$(dirname "$0")/../../scripts/lib.sh" || { echo "FAILED: no scripts/lib.sh beside the tests"; exit 1; }
page=$3
set -- "$1" "$2" "${@:4}"
take_test_args "$@"
command -v jq >/dev/null || { echo "SKIPPED: no jq"; exit 77; }
begin_station_test mxi$$ 3
# Device 2 ships with device 1's hardware address.
ip -n "$tag-t2" link set "$tag-t2" address 02:00:00:00:08:01 || { echo "FAILED: the cloned address"; exit 1; }

head -c 30000 /dev/urandom >"$work/loader.b"
printf 'ID%08d' 40 >"$work/idcode.sys"
head -c 300000 /dev/urandom >"$work/target.bin"
history=$work/history.jsonl

# moxtil -M<count> on the station, its log in $work/<name>.log; its exit
# value in status.
run_station() {  # name count
  timeout 60 ip netns exec "$host_ns" "${launcher[@]}" "$moxtil" "$work/loader.b" "$work/idcode.sys" \
    "$work/target.bin" "-M$2" -T20 -R "-i$station_if" "-J$history" >"$work/$1.log" 2>&1 &
  moxtil_pid=$!
  pids+=("$moxtil_pid")
}
show() {  # name
  echo "--- moxtil, $1"; cat "$work/$1.log"
  for k in 1 2 3; do [ -f "$work/sim$k.log" ] && { echo "--- device $k"; cat "$work/sim$k.log"; }; done
}
warnings() {  # name
  grep -cE "^D/moxtil: hardware address 02:00:00:00:08:01 on two targets served at once, 169\.254\.81\.2 and 169\.254\.82\.2: two devices with one address\? the summary counts them as one device$" "$work/$1.log"
}

# Run A: device 1, then device 2 once device 1's update is over.
run_station a 2
station_device 1 30
wait "${pids[-1]}"
sleep 1
station_device 2 30
wait "${pids[-1]}"
wait "$moxtil_pid"
status=$?
show a
[ "$status" -eq 0 ] || fail "run A: exit $status, not 0"
[ "$(warnings a)" -eq 0 ] || fail "run A: a warning for devices served one after the other"
grep -q "^D/moxtil: devices: 1 (1 first try, 0 after a retry, 0 never finished)$" "$work/a.log" ||
  fail "run A: the two clones are not counted as the one device their address names"

# Run B: device 2, the clone, connects while device 1's program goes out
# slowly; and device 3, which closes mid-program.
run_station b 3
station_device 1 30 --program-rate 100000
station_device 3 30 --close-program-after 50000
wait_for_line "$work/b.log" '^D/moxtil: 169\.254\.81\.2 000 % Now erasing' 20 || fail "run B: device 1 never erased"
station_device 2 30
wait "$moxtil_pid"
status=$?
show b
[ "$status" -eq 1 ] || fail "run B: exit $status, not 1 (device 3 failed)"
[ "$(warnings b)" -eq 1 ] || fail "run B: not one warning line for the clones served at once"
for d in 1 2; do
  grep -qx "D/moxtil: 169\.254\.8$d\.2 100 % finish" "$work/b.log" || fail "run B: clone $d did not finish"
done
grep -q '^D/moxtil: failures: 1 x -1 \*\*\*\*\*ERROR\*\*\*\*\*$' "$work/b.log" || fail "run B: the failures by line"

# The history: two runs, each line of each with its run; the warning in B only.
python3 - "$history" "$(hostname)" <<'PY' || fail "the history"
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]
begins = [o for o in lines if o["type"] == "run_begin"]
problems = []
if len(begins) != 2 or begins[0]["run"] == begins[1]["run"]:
    problems.append("not two runs with identifiers of their own: %s" % [b.get("run") for b in begins])
if any(b.get("station") != sys.argv[2] for b in begins):
    problems.append("station: %s" % [b.get("station") for b in begins])
runs = {b["run"] for b in begins}
if any(o.get("run") not in runs for o in lines):
    problems.append("a line without its run")
warn = [o for o in lines if o["type"] == "warning"]
if len(warn) != 1 or warn[0]["kind"] != "same_mac" or warn[0]["run"] != begins[-1]["run"] \
        or warn[0]["mac"] != "02:00:00:00:08:01" \
        or (warn[0]["target"], warn[0]["other_target"]) != ("169.254.82.2", "169.254.81.2"):
    problems.append("warnings: %s" % warn)
for p in problems: print("history:", p)
sys.exit(1 if problems else 0)
PY

# The manual page's examples, as a reader copies them: the .EX block after
# each "history example" comment, its roff escapes undone.
example() {  # name
  sed -n "/^\.\\\\\" history example: $1\$/,/^\.EE/p" "$page" | sed '1,2d;$d' |
    sed 's/\\-/-/g; s/\\e/\\/g'
}
check_example() {  # name expected-output
  local program got
  program=$(example "$1")
  [ -n "$program" ] || { fail "no example '$1' in $page"; return; }
  got=$(cd "$work" && bash -c "$program" 2>&1)
  echo "--- example $1:"; echo "$got"
  [ "$got" = "$2" ] || fail "example $1 gave:
$got
not:
$2"
}
today=$(jq -rs 'map(select(.type == "target_end") | .ts[0:10]) | unique | join(" ")' "$history")
if [ "$(wc -w <<<"$today")" -eq 1 ]; then  # runs that cross midnight (UTC) make two days
  # Device 01 (four targets, the first finished) and device 03 (failed).
  check_example yield "$today $(hostname): 1 of 2 devices finished at the first try"
fi
check_example failures "1 x -1 *****ERROR*****"
check_example again "02:00:00:00:08:01: 4 times"
last01=$(jq -rs 'map(select(.type == "target_end" and .mac == "02:00:00:00:08:01")) | last | .ts' "$history")
last03=$(jq -rs 'map(select(.type == "target_end" and .mac == "02:00:00:00:08:03")) | last | .ts' "$history")
check_example last "02:00:00:00:08:01 finished $last01 100 % finish
02:00:00:00:08:03 failed $last03 -1 *****ERROR*****"

[ "$failed" -eq 0 ] || exit 1
echo "PASSED"

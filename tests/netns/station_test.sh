#!/usr/bin/env bash
# A station with -M and no -T, its devices each behind a veth link of its own
# in network namespaces made here (nothing leaves them): one never comes back
# from its reboot, one is unplugged in the middle of its program, one stops
# reading for longer than the station's bounds while its TCP answers. The
# first two free their slots with their lines within the bounds, the third
# finishes, and a stop signal sent once all three are served ends the run
# within the same bounds. The run's record (-J) names each device by the
# hardware address of its link and tells no more than the lines do.
#   station_test.sh <moxtil> <target-sim> [launcher words...]
# Exit 77 (skipped) where namespaces cannot be made.
set -u
. "$(dirname "$0")/../../scripts/lib.sh" || { echo "FAILED: no scripts/lib.sh beside the tests"; exit 1; }
take_test_args "$@"
begin_station_test mxs$$ 3

head -c 100000 /dev/urandom >"$work/loader.b"
printf 'ID%08d' 78 >"$work/idcode.sys"
head -c 4000000 /dev/urandom >"$work/target.bin"

# --foreground: the stop signal below reaches moxtil once, not also through
# timeout's process group (a second signal would end the run at once).
timeout --foreground 400 ip netns exec "$host_ns" "${launcher[@]}" "$moxtil" "$work/loader.b" "$work/idcode.sys" \
  "$work/target.bin" -M -R "-i$station_if" "-J$work/record.jsonl" >"$work/moxtil.log" 2>&1 &
moxtil_pid=$!
pids+=("$moxtil_pid")
start=$SECONDS
# The devices connect at once (their announce is not what this is about).
station_device 1 300 --no-data-connect
station_device 2 300 --program-rate 100000
station_device 3 300 --stall-program-after 200000 --stall-seconds 150 --read-after-stall

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
# The record: every line whole JSON; each device by its link's hardware
# address; the finished one with the digest of the program as the file has
# it, the others with their lines and explanations and no digest of a part;
# the counts of the summary.
python3 - "$work/record.jsonl" "$work/moxtil.log" "$(sha256sum <"$work/target.bin" | cut -d' ' -f1)" <<'PY' \
  || fail "the record"
import json, sys
record, log, sha = sys.argv[1], sys.argv[2], sys.argv[3]
lines = [json.loads(l) for l in open(record, encoding="utf-8")]
logged = [l.rstrip("\n")[len("D/moxtil: "):] for l in open(log) if l.startswith("D/moxtil: ")]
ends = {o["target"]: o for o in lines if o["type"] == "target_end"}
begins = {o["target"]: o for o in lines if o["type"] == "target_begin"}
problems = []
def expect(ok, what):
    if not ok: problems.append(what)
expect(lines[0]["type"] == "run_begin" and lines[-1]["type"] == "run_end", "begins and ends the run")
expect(lines[0]["mode"] == "several" and lines[0]["files"]["program_0"]["sha256"] == sha, "run_begin")
for k in (1, 2, 3):
    target, mac = "169.254.8%d.2" % k, "02:00:00:00:08:0%d" % k
    expect(begins.get(target, {}).get("mac") == mac and ends.get(target, {}).get("mac") == mac, target + " mac")
good = ends["169.254.83.2"]
expect(good["result"] == "finished" and good["program_sha256"] == sha, "the finished one's digest")
expect(good["bytes_acknowledged"] == good["bytes_due"] == 4000000 and good["status_line"] == "100 % finish", "its bytes")
for target, line in (("169.254.81.2", "-1 id data error"), ("169.254.82.2", "-1 *****ERROR*****")):
    bad = ends[target]
    expect(bad["result"] == "failed" and bad["program_sha256"] is None, target + ": no digest of a part")
    expect(bad["status_line"] == line and target + " " + bad["explanation"] in logged, target + ": its lines")
expect(ends["169.254.81.2"]["bytes_due"] is None and ends["169.254.82.2"]["bytes_acknowledged"] < 4000000, "bytes")
end = lines[-1]
expect((end["targets"], end["finished"], end["failed"], end["exit"], end["ended_by"]) == (3, 1, 2, 1, "signal"), "run_end")
for p in problems: print("record:", p)
sys.exit(1 if problems else 0)
PY
[ "$failed" -eq 0 ] || exit 1
echo "PASSED"

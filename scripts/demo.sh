#!/usr/bin/env bash
# The main job: a real update of a simulated target on loopback. Builds
# Moxtil and the target simulator, makes a loader, an ID code and a target
# program, serves them to the simulator on 127.0.0.2, and compares what the
# simulator received with the files. On a terminal Moxtil shows its progress
# as a live line redrawn in place; the simulator then takes the program at
# 1.5 MB/s, as a device writing its flash, so that there is time to watch it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. "$root/scripts/lib.sh"
build=${MOXTIL_DEMO_BUILD:-$root/build/demo}

build_moxtil_and_sim "$build"

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

head -c 65536 /dev/urandom >"$work/loader.b"
printf 'ID%08d' 4711 >"$work/idcode.sys"
head -c $((4 * 1024 * 1024)) /dev/urandom >"$work/target.bin"

base=$(free_port_base 17000 18960)

pace=()
pace_text=
if [ -t 1 ]; then
  pace=(--program-rate 1500000)
  pace_text=", taking the program at 1.5 MB/s"
fi

echo "--- target simulator on 127.0.0.2, port base $base$pace_text"
"$build/tools/target-sim/target-sim" --address 127.0.0.2 --base "$base" --time-limit 60 "${pace[@]}" >"$work/sim.log" &
sim_pid=$!
wait_for_line "$work/sim.log" '^ready'

echo "--- moxtil $work/loader.b $work/idcode.sys $work/target.bin -R -T30 -ilo -D127.0.0.2 -B$base"
moxtil_status=0
"$build/moxtil" "$work/loader.b" "$work/idcode.sys" "$work/target.bin" -R -T30 -ilo -D127.0.0.2 "-B$base" || moxtil_status=$?
echo "--- moxtil exit value $moxtil_status"

wait "$sim_pid" && sim_status=0 || sim_status=$?
sim_pid=
echo "--- simulator (exit $sim_status):"
cat "$work/sim.log"

report=$(grep '^update ' "$work/sim.log" | tail -n 1)
verdict=ok
check() {  # name, received, expected
  if [ "$2" = "$3" ]; then echo "  $1: $2 (as sent)"; else echo "  $1: got $2, expected $3"; verdict=FAILED; fi
}
echo "--- verdict"
check "moxtil exit value" "$moxtil_status" 0
check result "$(field result "$report")" ok
check reboot "$(field reboot "$report")" 52
check loader_sha256 "$(field loader_sha256 "$report")" "$(sha256sum <"$work/loader.b" | cut -d' ' -f1)"
check id_sha256 "$(field id_sha256 "$report")" "$(head -c 10 "$work/idcode.sys" | sha256sum | cut -d' ' -f1)"
check program_sha256 "$(field program_sha256 "$report")" "$(sha256sum <"$work/target.bin" | cut -d' ' -f1)"

# Three targets at once (-M3). -M announces by broadcast, so this part runs
# in a network namespace of its own, where nothing leaves loopback; without
# root it is left out.
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
  echo "--- three targets at once: moxtil ... -M3 -R -T30 -ilo, simulated targets on 127.0.0.2-4 (a network namespace of their own)"
  cat >"$work/three.sh" <<INNER
#!/usr/bin/env bash
ip link set lo up
"$build/tools/target-sim/target-sim" --address 127.0.0.2 --targets 3 --host 127.0.0.1 --base 20000 --time-limit 60 \
  ${pace[*]} >"$work/three-sim.log" 2>&1 &
status=0
"$build/moxtil" "$work/loader.b" "$work/idcode.sys" "$work/target.bin" -M3 -R -T30 -ilo -B20000 || status=\$?
wait
exit \$status
INNER
  chmod +x "$work/three.sh"
  three_status=0
  unshare -n "$work/three.sh" || three_status=$?
  check "moxtil -M3 exit value" "$three_status" 0
  for address in 127.0.0.2 127.0.0.3 127.0.0.4; do
    report=$(grep "^update .* target=$address " "$work/three-sim.log" || true)
    check "$address program_sha256" "$(field program_sha256 "$report")" "$(sha256sum <"$work/target.bin" | cut -d' ' -f1)"
  done
fi
echo "demo: $verdict"
[ "$verdict" = ok ]

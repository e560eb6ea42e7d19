#!/usr/bin/env bash
# What moxtil's sender costs against a raw socat stream: CPU per GiB on
# loopback with and without the record (-J), a 100 Mbit/s link between two
# network namespaces kept full with one and with ten targets, peak memory and
# idle cost. Loopback speed is reported, not a goal: there the receiver sets
# the pace, and the sender's CPU is what a battery pays.
#   bench/bench.sh [runs]        default 3 runs of each measurement
#   BASELINE=<moxtil> BASELINE_LABEL=<what it is> bench/bench.sh [runs]
#                                also runs that moxtil in turn with this one,
#                                for a change to the send path
# Prints a table and writes it to bench/RESULTS.md. Traffic stays on
# 127.0.0.2 and inside namespaces this script makes (the shaped link needs
# root; without it that part is left out).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. "$root/scripts/lib.sh"
runs=${1:-3}
out=${MOXTIL_BUILD_ROOT:-$root/build}/bench

build_moxtil_and_sim "$out" quiet
moxtil=$out/moxtil
sim=$out/tools/target-sim/target-sim

work=$(mktemp -d)
pids=()
namespaces=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

mib=$((1024 * 1024))
head -c 65536 /dev/urandom >"$work/loader.b"
printf 'ID%08d' 1 >"$work/idcode.sys"
head -c $((256 * mib)) /dev/urandom >"$work/p256"
head -c $((64 * mib)) "$work/p256" >"$work/p64"

TIMEFORMAT='%3R %3U %3S'  # wall, user and system seconds of a timed command

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
calc() { awk "BEGIN {printf \"%.${2:-3}f\", $1}"; }

# One update by moxtil, its output into a pipe as the update app reads it;
# sets run_t (moxtil's own time of the program, from its first byte to its
# last acknowledgement), run_sim_t (the simulator's, first to last byte),
# run_cpu (user+system seconds of moxtil alone) and run_rss (its peak
# resident KiB). A prefix command (strace, perf) may go in $run_prefix,
# more moxtil options in $run_options.
#   moxtil_run <program> <ns-prefix-or-empty> <target ns prefix> <address> <interface> <base> [moxtil]
moxtil_run() {
  local program=$1 hostx=$2 targetx=$3 addr=$4 ifname=$5 base=$6 binary=${7:-$moxtil}
  local bytes
  bytes=$(stat -c %s "$program")
  $targetx "$sim" --address "$addr" --base "$base" --count-only --time-limit 120 >"$work/sim.log" 2>&1 &
  local sim_pid=$!
  pids+=("$sim_pid")
  wait_for_line "$work/sim.log" '^ready'
  cat "$program" >/dev/null  # in the page cache, whatever ran before
  $hostx /usr/bin/time -f '%e %U %S %M' -o "$work/time" ${run_prefix:-} "$binary" "$work/loader.b" \
    "$work/idcode.sys" "$program" -T30 "-i$ifname" "-D$addr" "-B$base" ${run_options:-} | cat >"$work/moxtil.log"
  wait "$sim_pid"
  local report
  report=$(grep '^update ' "$work/sim.log")
  if [ "$(field result "$report")" != ok ] || [ "$(field program_bytes "$report")" != "$bytes" ] \
    || ! grep -q '100 % finish' "$work/moxtil.log"; then
    echo "bench: the update failed: $report" >&2
    cat "$work/moxtil.log" >&2
    exit 1
  fi
  local _ user sys figures
  read -r _ user sys run_rss < <(tail -n 1 "$work/time")
  run_sim_t=$(field stream_seconds "$report")
  # "program to ...: <bytes> bytes in <n> ms (...)" or "... in <n.nn> s (...)"
  figures=$(sed -n 's/.*: program to [^ ]*: [0-9]* bytes in \([0-9.]*\) \(m*s\).*/\1 \2/p' "$work/moxtil.log")
  run_t=$(awk -v f="$figures" 'BEGIN {split(f, a, " "); printf "%.4f", a[2] == "ms" ? a[1] / 1000 : a[1]}')
  run_cpu=$(calc "$user + $sys")
}

# One socat stream into a socat receiver writing to /dev/null; sets run_t
# (wall seconds of the sender) and run_cpu (its user+system seconds).
#   socat_run <program> <host ns prefix> <target ns prefix> <address> <port> [sender options]
socat_run() {
  local program=$1 hostx=$2 targetx=$3 addr=$4 port=$5
  shift 5
  $targetx socat -u -b 1048576 "TCP-LISTEN:$port,bind=$addr,reuseaddr" OPEN:/dev/null &
  local recv_pid=$!
  pids+=("$recv_pid")
  local _
  for _ in $(seq 100); do
    $targetx ss -Htln "( sport = :$port )" | grep -q . && break
    sleep 0.05
  done
  cat "$program" >/dev/null
  { time $hostx ${run_prefix:-} socat "$@" -u "FILE:$program" "TCP:$addr:$port" >/dev/null; } 2>"$work/time"
  wait "$recv_pid"
  read -r run_t user sys <"$work/time"
  run_cpu=$(calc "$user + $sys")
}

declare -A results
loop_m=() loop_s=() loop_mcpu=() loop_scpu=() loop_rss=() loop_sb=() loop_sbcpu=() loop_b=() loop_bcpu=()
loop_j=() loop_jcpu=() loop_bj=() loop_bjcpu=()

# The baseline moxtil, when given, runs before this one in odd runs and after
# it in even ones, so that neither gains from its place.
baseline_run() {
  [ -n "${BASELINE:-}" ] || return 0
  moxtil_run "$work/p256" "" "" 127.0.0.2 lo "$(free_port_base 31000 32960)" "$BASELINE"
  loop_b+=("$(calc "256 / $run_t" 1)") loop_bcpu+=("$(calc "$run_cpu * 4" 3)")
  rm -f "$work/record.jsonl"
  run_options="-J$work/record.jsonl" moxtil_run "$work/p256" "" "" 127.0.0.2 lo "$(free_port_base 31000 32960)" \
    "$BASELINE"
  loop_bj+=("$(calc "256 / $run_t" 1)") loop_bjcpu+=("$(calc "$run_cpu * 4" 3)")
  echo "run $i: baseline moxtil ${loop_b[-1]} MiB/s (${loop_bcpu[-1]} s/GiB), with -J ${loop_bj[-1]} MiB/s" \
    "(${loop_bjcpu[-1]} s/GiB)"
}

echo "--- loopback: 256 MiB, $runs runs each"
for i in $(seq "$runs"); do
  [ $((i % 2)) = 1 ] && baseline_run
  base=$(free_port_base 31000 32960)
  moxtil_run "$work/p256" "" "" 127.0.0.2 lo "$base"
  loop_m+=("$(calc "256 / $run_t" 1)") loop_mcpu+=("$(calc "$run_cpu * 4" 3)") loop_rss+=("$run_rss")
  socat_run "$work/p256" "" "" 127.0.0.2 "$((base + 30))"
  loop_s+=("$(calc "256 / $run_t" 1)") loop_scpu+=("$(calc "$run_cpu * 4" 3)")
  # socat as a user tuned it: 1 MiB blocks on the sender too.
  socat_run "$work/p256" "" "" 127.0.0.2 "$((base + 31))" -b 1048576
  loop_sb+=("$(calc "256 / $run_t" 1)") loop_sbcpu+=("$(calc "$run_cpu * 4" 3)")
  # The record (-J): the program hashed once in run_begin, then sent by the kernel.
  rm -f "$work/record.jsonl"
  run_options="-J$work/record.jsonl" moxtil_run "$work/p256" "" "" 127.0.0.2 lo "$(free_port_base 31000 32960)"
  grep -q '"result":"finished"' "$work/record.jsonl" || { echo "bench: no record of the -J run" >&2; exit 1; }
  loop_j+=("$(calc "256 / $run_t" 1)") loop_jcpu+=("$(calc "$run_cpu * 4" 3)") loop_rss+=("$run_rss")
  echo "run $i: moxtil ${loop_m[-1]} MiB/s (${loop_mcpu[-1]} s/GiB), with -J ${loop_j[-1]} MiB/s" \
    "(${loop_jcpu[-1]} s/GiB), socat ${loop_s[-1]} MiB/s, socat -b 1 MiB ${loop_sb[-1]} MiB/s (${loop_sbcpu[-1]} s/GiB)"
  [ $((i % 2)) = 0 ] && baseline_run
done
results[loop_m]=$(printf '%s\n' "${loop_m[@]}" | median)
results[loop_s]=$(printf '%s\n' "${loop_s[@]}" | median)
results[loop_mcpu]=$(printf '%s\n' "${loop_mcpu[@]}" | median)
results[loop_scpu]=$(printf '%s\n' "${loop_scpu[@]}" | median)
results[loop_sb]=$(printf '%s\n' "${loop_sb[@]}" | median)
results[loop_sbcpu]=$(printf '%s\n' "${loop_sbcpu[@]}" | median)
results[rss]=$(printf '%s\n' "${loop_rss[@]}" | sort -g | tail -n 1)
results[loop_j]=$(printf '%s\n' "${loop_j[@]}" | median)
results[loop_jcpu]=$(printf '%s\n' "${loop_jcpu[@]}" | median)
if [ -n "${BASELINE:-}" ]; then
  results[loop_b]=$(printf '%s\n' "${loop_b[@]}" | median)
  results[loop_bcpu]=$(printf '%s\n' "${loop_bcpu[@]}" | median)
  results[loop_bj]=$(printf '%s\n' "${loop_bj[@]}" | median)
  results[loop_bjcpu]=$(printf '%s\n' "${loop_bjcpu[@]}" | median)
fi

# Where the time goes: one more update of each kind under strace -c (the
# system calls of the process, counted) and, where perf can sample here,
# under perf record (software clock: this machine may have no hardware
# counters): the share of the process's samples in the kernel's two copies
# (file to buffer, buffer to socket).
profile_kinds=(moxtil)
[ -n "${BASELINE:-}" ] && profile_kinds+=(baseline)
profile_kinds+=(socat)
profile_calls=(read write sendto sendfile poll fcntl rt_sigprocmask)
profile_perf=no
perf record -q -e cpu-clock -o "$work/perf.try" -- true >/dev/null 2>&1 && profile_perf=yes
declare -A prof
profile_one() {  # kind prefix...
  local kind=$1
  shift
  local run_prefix="$*"
  case $kind in
    moxtil) moxtil_run "$work/p256" "" "" 127.0.0.2 lo "$(free_port_base 31000 32960)" ;;
    baseline) moxtil_run "$work/p256" "" "" 127.0.0.2 lo "$(free_port_base 31000 32960)" "$BASELINE" ;;
    socat) socat_run "$work/p256" "" "" 127.0.0.2 "$(($(free_port_base 31000 32960) + 30))" -b 1048576 ;;
  esac
}
echo "--- profile: strace -c$([ $profile_perf = yes ] && echo ", perf record") of one run of each"
for kind in "${profile_kinds[@]}"; do
  profile_one "$kind" strace -f -c -o "$work/strace.$kind"
  for call in "${profile_calls[@]}"; do
    prof[$kind.$call]=$(awk -v c="$call" '$NF == c || $NF == c "64" {print ($4 ~ /^[0-9]+$/) ? $4 : $5}' "$work/strace.$kind" | head -n 1)
    [ -n "${prof[$kind.$call]}" ] || prof[$kind.$call]=0
  done
  if [ $profile_perf = yes ]; then
    profile_one "$kind" perf record -q -e cpu-clock -F 10000 -g -o "$work/perf.$kind" --
    perf report -i "$work/perf.$kind" --children --sort sym --stdio -g none 2>/dev/null >"$work/perf.$kind.txt" || true
    prof[$kind.copies]=$(awk '$NF == "_copy_to_iter" || $NF == "_copy_from_iter" {sub("%", "", $2); t += $2} END {printf "%.1f", t}' "$work/perf.$kind.txt")
  fi
done

echo "--- idle announcing: 10 s without a target"
base=$(free_port_base 33000 33960)
{ time "$moxtil" "$work/loader.b" "$work/idcode.sys" "$work/p64" -T10 -ilo -D127.0.0.2 "-B$base" >"$work/idle.log"; } \
  2>"$work/time" || true
read -r wall user sys <"$work/time"
grep -q -- '-1 time out' "$work/idle.log" || { echo "bench: the idle run did not end on its time-out" >&2; exit 1; }
results[idle]=$(calc "100 * ($user + $sys) / $wall" 3)

shaped=no
shape_note="not run: needs root and network namespaces"
if [ "$(id -u)" -eq 0 ] && ip netns add "mxb$$-h" 2>/dev/null; then
  h=mxb$$-h t=mxb$$-t
  namespaces+=("$h" "$t")
  ip netns add "$t"
  ip link add "$h-v" netns "$h" type veth peer name "$t-v" netns "$t"
  ip -n "$h" addr add 169.254.88.1/24 dev "$h-v"
  # Ten target addresses, 169.254.88.2 to .11, behind the one link.
  for k in $(seq 2 11); do ip -n "$t" addr add "169.254.88.$k/24" dev "$t-v"; done
  for ns in "$h" "$t"; do ip -n "$ns" link set lo up; done
  ip -n "$h" link set "$h-v" up
  ip -n "$t" link set "$t-v" up
  # 100 Mbit/s with 1 ms each way where the kernel has netem; else the rate
  # alone, with a token bucket.
  if ip netns exec "$h" tc qdisc add dev "$h-v" root netem delay 1ms rate 100mbit 2>/dev/null; then
    ip netns exec "$t" tc qdisc add dev "$t-v" root netem delay 1ms rate 100mbit
    shape_note="netem: 100 Mbit/s and 1 ms delay each way"
  else
    ip netns exec "$h" tc qdisc add dev "$h-v" root tbf rate 100mbit burst 32kbit latency 50ms
    ip netns exec "$t" tc qdisc add dev "$t-v" root tbf rate 100mbit burst 32kbit latency 50ms
    shape_note="tbf: 100 Mbit/s each way; this kernel has no netem, so no added delay"
  fi
  shaped=yes
  head -c $((8 * mib)) "$work/p256" >"$work/p8"
  # Ten targets with -M10 behind the link, 8 MiB each: the link's rate while
  # programs flow, all bytes over the time from the first program byte any
  # target took to the last (from the simulator's report lines, stamped as
  # they come: a report comes end_wait_ms after the last byte, which came
  # stream_seconds after the first). Sets run_rate (MiB/s) and run_rss.
  ten_run() {  # base
    local base=$1
    ip netns exec "$t" "$sim" --address 169.254.88.2 --targets 10 --host 169.254.88.1 --base "$base" --count-only \
      --time-limit 120 | while IFS= read -r l; do echo "$EPOCHREALTIME $l"; done >"$work/ten-sim.log" &
    local sim_pid=$!
    pids+=("$sim_pid")
    wait_for_line "$work/ten-sim.log" ' ready '
    ip netns exec "$h" /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$moxtil" "$work/loader.b" "$work/idcode.sys" \
      "$work/p8" -M10 -T30 "-i$h-v" "-B$base" | cat >"$work/ten-moxtil.log"
    wait "$sim_pid" || true
    local finished
    finished=$(grep -cE '^D/moxtil: [0-9.]+ 100 % finish$' "$work/ten-moxtil.log" || true)
    if [ "$finished" != 10 ] || [ "$(grep -c ' result=ok ' "$work/ten-sim.log")" != 10 ]; then
      echo "bench: ten targets on the shaped link: $finished of 10 finished" >&2
      cat "$work/ten-moxtil.log" "$work/ten-sim.log" >&2
      exit 1
    fi
    run_rss=$(tail -n 1 "$work/time" | cut -d' ' -f4)
    run_rate=$(awk '$2 == "update" {
        for (i = 3; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
        last = $1 - f["end_wait_ms"] / 1000; first = last - f["stream_seconds"]
        if (n++ == 0 || first < lo) lo = first
        if (n == 1 || last > hi) hi = last
        bytes += f["program_bytes"]
      } END { printf "%.2f", bytes / 1048576 / (hi - lo) }' "$work/ten-sim.log")
  }
  echo "--- shaped link ($shape_note): one target 64 MiB, ten targets 8 MiB each, $runs runs each"
  shp_m=() shp_mcpu=() shp_b=() shp_bcpu=() shp_s=() shp_scpu=() shp_ten=() ten_rss=()
  for i in $(seq "$runs"); do
    # A base of its own per run, as on loopback.
    moxtil_run "$work/p64" "ip netns exec $h" "ip netns exec $t" 169.254.88.2 "$h-v" $((10000 + 40 * i))
    shp_m+=("$(calc "64 / $run_t" 2)") shp_mcpu+=("$(calc "$run_cpu * 16" 3)")
    if [ -n "${BASELINE:-}" ]; then
      moxtil_run "$work/p64" "ip netns exec $h" "ip netns exec $t" 169.254.88.2 "$h-v" $((10400 + 40 * i)) "$BASELINE"
      shp_b+=("$(calc "64 / $run_t" 2)") shp_bcpu+=("$(calc "$run_cpu * 16" 3)")
    fi
    socat_run "$work/p64" "ip netns exec $h" "ip netns exec $t" 169.254.88.2 $((9000 + i)) -b 1048576
    shp_s+=("$(calc "64 / $run_t" 2)") shp_scpu+=("$(calc "$run_cpu * 16" 3)")
    ten_run $((10800 + 40 * i))
    shp_ten+=("$run_rate") ten_rss+=("$run_rss")
    echo "run $i: moxtil ${shp_m[-1]} MiB/s (${shp_mcpu[-1]} s/GiB), socat ${shp_s[-1]} MiB/s" \
      "(${shp_scpu[-1]} s/GiB), ten targets ${shp_ten[-1]} MiB/s (peak ${ten_rss[-1]} KiB)"
  done
  for k in shp_m shp_mcpu shp_s shp_scpu shp_ten; do
    declare -n values=$k
    results[$k]=$(printf '%s\n' "${values[@]}" | median)
  done
  results[ten_rss]=$(printf '%s\n' "${ten_rss[@]}" | sort -g | tail -n 1)
  if [ -n "${BASELINE:-}" ]; then
    results[shp_b]=$(printf '%s\n' "${shp_b[@]}" | median)
    results[shp_bcpu]=$(printf '%s\n' "${shp_bcpu[@]}" | median)
  fi
fi

# Several targets: simulated devices that take the program at 2 MiB/s and
# reboot in 2 s, an 8 MiB program; with -M against the same devices served
# one after another. -M announces by broadcast, so this part runs in a
# network namespace of its own (root), with a device's small TCP buffers
# (at most 256 KiB), so that the devices' rate is what the host waits for.
several=no
several_note="not run: needs root and network namespaces"
declare -A multi_t serial_t multi_rss multi_ok
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
  several=yes
  several_note="2 MiB/s devices, 2 s reboot, 8 MiB program, TCP buffers of at most 256 KiB"
  head -c $((8 * mib)) "$work/p256" >"$work/p8"
  cat >"$work/several.sh" <<'INNER'
#!/usr/bin/env bash
# Inside the namespace: moxtil with -M against n devices, then the same n
# devices served one after another; prints "multi <s> <rss KiB> <finished>"
# and "serial <s>".
set -euo pipefail
moxtil=$1 sim=$2 work=$3 n=$4
ip link set lo up
for b in wmem rmem; do echo 4096 65536 262144 >/proc/sys/net/ipv4/tcp_$b; done
devices=(--targets "$n" --program-rate 2097152 --reboot-ms 2000 --count-only --time-limit 300)
"$sim" --address 127.0.0.2 --base 20000 --host 127.0.0.1 "${devices[@]}" >"$work/several-sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -q '^ready' "$work/several-sim.log" && break; sleep 0.05; done
start=$(date +%s.%N)
/usr/bin/time -f %M -o "$work/several-rss" "$moxtil" "$work/loader.b" "$work/idcode.sys" "$work/p8" \
  "-M$n" -T30 -ilo -B20000 >"$work/several-moxtil.log" 2>&1 || true
end=$(date +%s.%N)
wait "$sim_pid" || true
echo "multi $(awk "BEGIN {print $end - $start}") $(tail -n 1 "$work/several-rss") $(grep -cE '^D/moxtil: [0-9.]+ 100 % finish$' "$work/several-moxtil.log")"
# One after another: each device waits for an announce to its own address.
"$sim" --address 127.0.0.2 --base 20100 "${devices[@]}" >"$work/serial-sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -q '^ready' "$work/serial-sim.log" && break; sleep 0.05; done
start=$(date +%s.%N)
for k in $(seq 0 $((n - 1))); do
  "$moxtil" "$work/loader.b" "$work/idcode.sys" "$work/p8" -T30 -ilo "-D127.0.0.$((2 + k))" -B20100 \
    >"$work/serial-moxtil.log" 2>&1
  grep -q '^D/moxtil: 100 % finish$' "$work/serial-moxtil.log" || { echo "serial: device $k failed" >&2; exit 1; }
done
end=$(date +%s.%N)
wait "$sim_pid" || true
echo "serial $(awk "BEGIN {print $end - $start}")"
INNER
  chmod +x "$work/several.sh"
  for n in 1 4 10; do
    echo "--- several targets: $n"
    out_lines=$(unshare -n "$work/several.sh" "$moxtil" "$sim" "$work" "$n")
    read -r _ t rss done < <(grep '^multi ' <<<"$out_lines")
    read -r _ st < <(grep '^serial ' <<<"$out_lines")
    if [ "$done" != "$n" ]; then
      echo "bench: -M$n finished $done of $n devices" >&2
      cat "$work/several-moxtil.log" >&2
      exit 1
    fi
    multi_t[$n]=$(calc "$t" 1) multi_rss[$n]=$rss serial_t[$n]=$(calc "$st" 1)
    echo "$n devices: -M ${multi_t[$n]} s (peak ${multi_rss[$n]} KiB), one after another ${serial_t[$n]} s"
  done
fi

cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
[ -n "$cpu_model" ] || cpu_model=$(uname -m)
verdict() { awk "BEGIN {print ($1) ? \"met\" : \"NOT met\"}"; }
{
  echo "# Benchmark results"
  echo
  echo "Made by \`bench/bench.sh $runs\` on $(date -u +%Y-%m-%d): $cpu_model, $(nproc) cores, Linux $(uname -r)."
  echo "Medians of $runs runs, each kind in turn within this one run of the script. Moxtil's stream is its own"
  echo "time, from the first byte of the target program to the last acknowledgement (the \"program to\" line;"
  echo "the protocol's 1 s and 5 s waits are left out), with its log going into a pipe as the update app reads it;"
  echo "socat's is the wall time of the sender (\`socat -u -b 1048576 FILE:... TCP:...\`) into"
  echo "\`socat -u -b 1048576 TCP-LISTEN:... OPEN:/dev/null\`. Every run reads its file once first, so that it"
  echo "comes from the page cache."
  echo
  base_label=${BASELINE_LABEL:-$BASELINE}
  [ -n "${BASELINE:-}" ] || base_label="(no baseline run)"
  b() { [ -n "${BASELINE:-}" ] && echo "${results[$1]}" || echo "-"; }
  per() { calc "$1 / ($2 > 0 ? $2 : 0.001)" "${3:-2}"; }
  jcost=$(calc "${results[loop_jcpu]} - ${results[loop_mcpu]}" 3)
  echo "| Measurement | moxtil | socat -b 1048576 | moxtil / socat | $base_label | goal |"
  echo "|---|---|---|---|---|---|"
  echo "| CPU seconds per GiB sent, loopback, 256 MiB (user+system) | ${results[loop_mcpu]} | ${results[loop_sbcpu]} | $(per "${results[loop_mcpu]}" "${results[loop_sbcpu]}") | $(b loop_bcpu) | <= 0.75 of socat: $(verdict "${results[loop_mcpu]} <= 0.75 * ${results[loop_sbcpu]}") |"
  echo "| CPU seconds per GiB with -J (the program hashed once for the record, then sent by the kernel) | ${results[loop_jcpu]} | ${results[loop_sbcpu]} | $(per "${results[loop_jcpu]}" "${results[loop_sbcpu]}") | $(b loop_bjcpu) | - |"
  echo "| CPU seconds per GiB that -J adds | $jcost | | | $([ -n "${BASELINE:-}" ] && calc "${results[loop_bjcpu]} - ${results[loop_bcpu]}" 3 || echo -) | <= 1: $(verdict "$jcost <= 1") |"
  echo "| loopback speed, 256 MiB (MiB/s) | ${results[loop_m]} | ${results[loop_sb]} | $(per "${results[loop_m]}" "${results[loop_sb]}" 3) | $(b loop_b) | reported |"
  echo "| loopback speed with -J (MiB/s) | ${results[loop_j]} | ${results[loop_sb]} | $(per "${results[loop_j]}" "${results[loop_sb]}" 3) | $(b loop_bj) | reported |"
  echo "| against socat's default 8 KiB blocks: MiB/s, CPU seconds per GiB | ${results[loop_m]}, ${results[loop_mcpu]} | ${results[loop_s]}, ${results[loop_scpu]} (8 KiB) | $(per "${results[loop_m]}" "${results[loop_s]}" 3), $(per "${results[loop_mcpu]}" "${results[loop_scpu]}") | | reported |"
  if [ "$shaped" = yes ]; then
    shp_ratio=$(calc "${results[shp_m]} / ${results[shp_s]}" 3)
    ten_ratio=$(calc "${results[shp_ten]} / ${results[shp_s]}" 3)
    echo "| shaped link, one target, 64 MiB (MiB/s) | ${results[shp_m]} | ${results[shp_s]} | $shp_ratio | $(b shp_b) | >= 0.98: $(verdict "$shp_ratio >= 0.98") |"
    echo "| shaped link, ten targets with -M10, 8 MiB each: the link's rate while programs flow (MiB/s) | ${results[shp_ten]} | ${results[shp_s]} (one stream) | $ten_ratio | | >= 0.98: $(verdict "$ten_ratio >= 0.98") |"
    echo "| CPU seconds per GiB sent on the shaped link, one target | ${results[shp_mcpu]} | ${results[shp_scpu]} | $(per "${results[shp_mcpu]}" "${results[shp_scpu]}") | $(b shp_bcpu) | reported |"
  fi
  echo "| peak resident memory of moxtil, one target (KiB) | ${results[rss]} | | | | < 4096: $(verdict "${results[rss]} < 4096") |"
  if [ "$shaped" = yes ]; then
    echo "| peak resident memory of moxtil, ten targets on the shaped link (KiB) | ${results[ten_rss]} | | | | < 8192: $(verdict "${results[ten_rss]} < 8192") |"
  fi
  echo "| idle announcing, 10 s (% of one core) | ${results[idle]} | | | | < 0.5: $(verdict "${results[idle]} < 0.5") |"
  echo
  if [ "$several" = yes ]; then
    echo "Several targets ($several_note): wall time of the whole run, from moxtil's start to its end."
    echo
    echo "| Devices | -M (s) | one after another (s) | -M against one device with -M | peak memory with -M (KiB) | goal |"
    echo "|---|---|---|---|---|---|"
    for n in 1 4 10; do
      ratio=$(calc "${multi_t[$n]} / ${multi_t[1]}" 2)
      goal="-"
      [ "$n" = 10 ] && goal="<= 1.3 x one: $(verdict "$ratio <= 1.3"); < 8192 KiB: $(verdict "${multi_rss[$n]} < 8192")"
      echo "| $n | ${multi_t[$n]} | ${serial_t[$n]} | $ratio | ${multi_rss[$n]} | $goal |"
    done
    echo
  fi
  echo "## Where the time goes"
  echo
  echo "One more update of 256 MiB of each kind, on loopback as above. System calls of the whole process"
  echo "(\`strace -f -c\`, counted):"
  echo
  head="| system call |"; rule="|---|"
  for kind in "${profile_kinds[@]}"; do
    case $kind in moxtil) head+=" moxtil |" ;; baseline) head+=" ${BASELINE_LABEL:-baseline} |" ;; socat) head+=" socat -b 1048576 |" ;; esac
    rule+="---|"
  done
  echo "$head"
  echo "$rule"
  for call in "${profile_calls[@]}"; do
    row="| $call |"
    for kind in "${profile_kinds[@]}"; do row+=" ${prof[$kind.$call]} |"; done
    echo "$row"
  done
  echo
  if [ $profile_perf = yes ]; then
    echo "Share of each process's CPU samples in the kernel's two copies, file to buffer and buffer to"
    echo "socket (\`perf record -e cpu-clock -g\`, % of its samples):"
    echo
    echo "$head"
    echo "$rule"
    row="| \`_copy_to_iter\` + \`_copy_from_iter\` |"
    for kind in "${profile_kinds[@]}"; do row+=" ${prof[$kind.copies]} |"; done
    echo "$row"
    echo
  fi
  echo "What the goals measure: what the sender spends, where moxtil runs on a phone's battery or a"
  echo "station's cores. On loopback the receiver sets the pace and the sending thread also runs the"
  echo "receiving side's TCP in its softirq, so speed there says little of a real link, and a copy through"
  echo "the sender (read, then send) can even look faster: the receiver then copies memory just written."
  echo "Through a network adapter the copy is pure cost. So the program goes from the file to the socket"
  echo "inside the kernel (sendfile, in runs of 1 MiB) for one target as for several, and passes through"
  echo "moxtil's memory only where something needs its bytes: -N paces 1024-byte pieces, and -J hashes"
  echo "a program that changed after the record read it (read in runs of 256 KiB, hashed by nettle as"
  echo "they are sent). The counts above show it: sendfile with and without -J, reads for the digest."
  echo
  echo "What -J costs: the record digests each program once, in run_begin (or row_begin) before anything"
  echo "is announced; a target sent that same file, unchanged to the end of its send (its inode, size and"
  echo "times of change), gets that digest and the kernel's send. nettle's SHA-256, on the processor's SHA"
  echo "instructions, takes about 0.75 CPU seconds per GiB here and reading the file from the page cache"
  echo "0.15 to 0.2 more (measured apart from moxtil), so about 0.9 s per GiB is the floor of one digest read"
  echo "through memory; a profile of a -J run puts half its samples in nettle's compression and a tenth in"
  echo "the read's copy. Mapping the file instead of reading it would save that copy (0.83 s measured), but"
  echo "a file cut short while it is mapped ends the process with SIGBUS, and programs are cut short while"
  echo "they are sent: the file is read."
  echo
  echo "Earlier steps, still in place: the progress lines of a run go into the pipe in one write once the"
  echo "run is sent, a send waits only when the socket has no room, and the lines are put together without"
  echo "printf."
  echo
  echo "Other developers' builds and tests share this machine's two cores, so single runs drift by a third"
  echo "within minutes; the table holds medians, each kind run in turn within each round."
  echo
  spread() { sort -g | sed -n '1p;$p' | paste -sd- | sed 's/-/ to /'; }
  echo "Single loopback runs of moxtil ranged from $(printf '%s\n' "${loop_m[@]}" | spread) MiB/s and from"
  echo "$(printf '%s\n' "${loop_mcpu[@]}" | spread) CPU seconds per GiB, with -J from $(printf '%s\n' "${loop_jcpu[@]}" | spread) s;"
  echo "socat -b 1048576 from $(printf '%s\n' "${loop_sbcpu[@]}" | spread) s$([ -n "${BASELINE:-}" ] && echo "; the baseline from $(printf '%s\n' "${loop_b[@]}" | spread) MiB/s and $(printf '%s\n' "${loop_bcpu[@]}" | spread) s, with -J $(printf '%s\n' "${loop_bjcpu[@]}" | spread) s")."
  if [ "$shaped" = yes ]; then
    echo "Shaped link: $shape_note; ten targets ranged from $(printf '%s\n' "${shp_ten[@]}" | spread) MiB/s."
  fi
  echo "Moxtil's CPU is that of the whole process over the update (the protocol's waits cost none);"
  echo "socat's is the sender's. Peak memory, one target, is the largest of the loopback runs with and"
  echo "without -J; with ten, the largest of the shaped link's runs."
  echo
  # The soak's figures (bench/soak.sh) stay as that script's last run left them.
  sed -n '/^## Soak/,$p' "$root/bench/RESULTS.md"
} >"$work/results.md"
cp "$work/results.md" "$root/bench/RESULTS.md"
echo
cat "$root/bench/RESULTS.md"

#!/usr/bin/env bash
# What moxtil's sender costs against a raw socat stream: CPU per GiB on
# loopback with and without the record (-J), a 100 Mbit/s link between two
# network namespaces kept full with one and with ten targets, peak memory and
# idle cost. Loopback speed is reported, not a goal: there the receiver sets
# the pace, and the sender's CPU is what a battery pays.
#
# How CPU is measured: every CPU figure is the task clock of one process
# alone (perf stat -e task-clock), never bash's `time`, whose user and system
# seconds are getrusage(RUSAGE_CHILDREN) deltas: a background child that bash
# reaps while the command runs (a receiver that ends with the stream) adds
# its CPU to the command's. Both senders stream into the same receiver, the
# target simulator, with the same reads of the same size: moxtil's program
# into an update's --count-only target, socat's stream
# (socat -u -b 1048576 FILE:... TCP-LISTEN:...) into a --raw one that
# connects to it. On loopback the receiving side's TCP work runs in the
# softirq of whichever process sent the packet or the acknowledgement, so a
# sender's CPU holds part of its receiver's and the share moves with where
# the scheduler puts the two (one core or two): the receiver's own CPU and
# the sum of both are reported too. Moxtil and socat run in alternating
# rounds (moxtil first in odd rounds, socat first in even ones), each figure
# is given as its median and its spread over the rounds, moxtil against
# socat as the spread of the per-round quotients, and a goal gets a verdict
# only where every round agrees. Peak memory comes from runs of their own
# under /usr/bin/time, so that its own CPU stays out of the task clock.
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
  # Only what still runs of this shell's own (a pid may be perf's, with the
  # measured process its child).
  local running
  running=" $(jobs -p | tr '\n' ' ') "
  for p in "${pids[@]}"; do
    [[ $running == *" $p "* ]] || continue
    pkill -P "$p" 2>/dev/null || true
    kill "$p" 2>/dev/null || true
  done
  for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

mib=$((1024 * 1024))
head -c 65536 /dev/urandom >"$work/loader.b"
printf 'ID%08d' 1 >"$work/idcode.sys"
head -c $((256 * mib)) /dev/urandom >"$work/p256"
head -c $((64 * mib)) "$work/p256" >"$work/p64"

perf stat -e task-clock -x, -o "$work/perf.try" -- true 2>/dev/null ||
  { echo "bench: perf stat cannot count the task clock here (linux-perf)" >&2; exit 1; }

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
calc() { awk "BEGIN {printf \"%.${2:-3}f\", $1}"; }
# Sets metered to the words that run a command under perf stat, its task
# clock into the file, or for the sender to $run_prefix's (strace, perf
# record) where that takes it instead.
meter() {  # file [sender]
  metered=(perf stat -e task-clock -x ',' -o "$1" --)
  if [ -n "${2:-}" ] && [ -n "${run_prefix:-}" ]; then read -r -a metered <<<"$run_prefix"; fi
}
# The CPU seconds of the process that perf stat wrote of.
cpu_of() {  # file
  awk -F, '$3 == "task-clock" && $1 ~ /^[0-9.]+$/ {s = $1 / 1000} END {if (s == "") exit 1; printf "%.6f", s}' "$1" ||
    { echo "bench: no task clock in $1" >&2; cat "$1" >&2; exit 1; }
}

# One update by moxtil, its output into a pipe as the update app reads it;
# sets run_t (moxtil's own time of the program, from its first byte to its
# last acknowledgement), run_sim_t (the simulator's, first to last byte),
# run_cpu (CPU seconds of moxtil alone, its task clock) and run_rcpu (the
# receiving simulator's); with run_meter=rss instead run_rss (moxtil's peak
# resident KiB, /usr/bin/time) and no CPU. A prefix command (strace, perf
# record) may go in $run_prefix, more moxtil options in $run_options.
#   moxtil_run <program> <ns-prefix-or-empty> <target ns prefix> <address> <interface> <base> [moxtil]
moxtil_run() {
  local program=$1 hostx=$2 targetx=$3 addr=$4 ifname=$5 base=$6 binary=${7:-$moxtil}
  local bytes
  bytes=$(stat -c %s "$program")
  rm -f "$work/send.perf" "$work/recv.perf"
  meter "$work/recv.perf"
  $targetx "${metered[@]}" "$sim" --address "$addr" --base "$base" --count-only --time-limit 120 \
    >"$work/sim.log" 2>&1 &
  local sim_pid=$!
  pids+=("$sim_pid")
  wait_for_line "$work/sim.log" '^ready'
  cat "$program" >/dev/null  # in the page cache, whatever ran before
  meter "$work/send.perf" sender
  [ "${run_meter:-cpu}" = rss ] && metered=(/usr/bin/time -f %M -o "$work/time")
  $hostx "${metered[@]}" "$binary" "$work/loader.b" \
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
  local figures
  if [ "${run_meter:-cpu}" = rss ]; then
    run_rss=$(tail -n 1 "$work/time")
  elif [ -z "${run_prefix:-}" ]; then
    run_cpu=$(cpu_of "$work/send.perf") run_rcpu=$(cpu_of "$work/recv.perf")
  fi
  run_sim_t=$(field stream_seconds "$report")
  # "program to ...: <bytes> bytes in <n> ms (...)" or "... in <n.nn> s (...)"
  figures=$(sed -n 's/.*: program to [^ ]*: [0-9]* bytes in \([0-9.]*\) \(m*s\).*/\1 \2/p' "$work/moxtil.log")
  run_t=$(awk -v f="$figures" 'BEGIN {split(f, a, " "); printf "%.4f", a[2] == "ms" ? a[1] / 1000 : a[1]}')
}

# One socat stream, socat listening on the host's address at port base+11,
# into the simulator's --raw target, which connects to it and reads as an
# update's target reads its program; sets run_t (the receiver's time from the
# first to the last byte), run_cpu (the task clock of socat alone) and
# run_rcpu (the receiver's). $run_prefix (strace, perf record) takes the
# sender instead of perf stat.
#   socat_run <program> <host ns prefix> <target ns prefix> <host address> <target address> <base> [socat options]
socat_run() {
  local program=$1 hostx=$2 targetx=$3 host=$4 addr=$5 base=$6
  shift 6
  local port=$((base + 11)) bytes _
  bytes=$(stat -c %s "$program")
  rm -f "$work/send.perf" "$work/recv.perf"
  cat "$program" >/dev/null
  meter "$work/send.perf" sender
  $hostx "${metered[@]}" socat "$@" -u "FILE:$program" "TCP-LISTEN:$port,bind=$host,reuseaddr" &
  local send_pid=$!
  pids+=("$send_pid")
  for _ in $(seq 100); do
    $hostx ss -Htln "( sport = :$port )" | grep -q . && break
    sleep 0.05
  done
  meter "$work/recv.perf"
  $targetx "${metered[@]}" "$sim" --raw --address "$addr" --host "$host" --base "$base" --time-limit 120 \
    >"$work/raw.log" 2>&1
  wait "$send_pid"
  local report
  report=$(grep '^raw ' "$work/raw.log")
  if [ "$(field result "$report")" != ok ] || [ "$(field bytes "$report")" != "$bytes" ]; then
    echo "bench: the socat stream failed: $report" >&2
    exit 1
  fi
  run_t=$(field stream_seconds "$report")
  if [ -z "${run_prefix:-}" ]; then run_cpu=$(cpu_of "$work/send.perf") run_rcpu=$(cpu_of "$work/recv.perf"); fi
}

declare -A results
loop_m=() loop_mcpu=() loop_mrcpu=() loop_j=() loop_jcpu=() loop_rss=()
loop_s=() loop_scpu=() loop_sb=() loop_sbcpu=() loop_sbrcpu=()
loop_b=() loop_bcpu=() loop_bj=() loop_bjcpu=()

# The baseline moxtil, when given, runs before this one in odd rounds and
# after it in even ones, so that neither gains from its place.
baseline_run() {
  [ -n "${BASELINE:-}" ] || return 0
  moxtil_run "$work/p256" "" "" 127.0.0.2 lo "$(free_port_base 31000 32960)" "$BASELINE"
  loop_b+=("$(calc "256 / $run_t" 1)") loop_bcpu+=("$(calc "$run_cpu * 4" 3)")
  rm -f "$work/record.jsonl"
  run_options="-J$work/record.jsonl" moxtil_run "$work/p256" "" "" 127.0.0.2 lo "$(free_port_base 31000 32960)" \
    "$BASELINE"
  loop_bj+=("$(calc "256 / $run_t" 1)") loop_bjcpu+=("$(calc "$run_cpu * 4" 3)")
  echo "round $i: baseline moxtil ${loop_b[-1]} MiB/s (${loop_bcpu[-1]} s/GiB), with -J ${loop_bj[-1]} MiB/s" \
    "(${loop_bjcpu[-1]} s/GiB)"
}
loop_moxtil() {
  moxtil_run "$work/p256" "" "" 127.0.0.2 lo "$(free_port_base 31000 32960)"
  loop_m+=("$(calc "256 / $run_t" 1)") loop_mcpu+=("$(calc "$run_cpu * 4" 3)") loop_mrcpu+=("$(calc "$run_rcpu * 4" 3)")
}
# The record (-J): the program hashed once in run_begin, then sent by the kernel.
loop_moxtil_j() {
  rm -f "$work/record.jsonl"
  run_options="-J$work/record.jsonl" moxtil_run "$work/p256" "" "" 127.0.0.2 lo "$(free_port_base 31000 32960)"
  grep -q '"result":"finished"' "$work/record.jsonl" || { echo "bench: no record of the -J run" >&2; exit 1; }
  loop_j+=("$(calc "256 / $run_t" 1)") loop_jcpu+=("$(calc "$run_cpu * 4" 3)")
}
# socat as a user tuned it: 1 MiB blocks.
loop_socat() {
  socat_run "$work/p256" "" "" 127.0.0.1 127.0.0.2 "$(free_port_base 31000 32960)" -b 1048576
  loop_sb+=("$(calc "256 / $run_t" 1)") loop_sbcpu+=("$(calc "$run_cpu * 4" 3)") loop_sbrcpu+=("$(calc "$run_rcpu * 4" 3)")
}
# socat's default 8 KiB blocks.
loop_socat_8k() {
  socat_run "$work/p256" "" "" 127.0.0.1 127.0.0.2 "$(free_port_base 31000 32960)"
  loop_s+=("$(calc "256 / $run_t" 1)") loop_scpu+=("$(calc "$run_cpu * 4" 3)")
}

echo "--- loopback: 256 MiB, $runs rounds"
for i in $(seq "$runs"); do
  if [ $((i % 2)) = 1 ]; then
    baseline_run; loop_moxtil; loop_moxtil_j; loop_socat; loop_socat_8k
  else
    loop_socat_8k; loop_socat; loop_moxtil_j; loop_moxtil; baseline_run
  fi
  echo "round $i: moxtil ${loop_m[-1]} MiB/s (${loop_mcpu[-1]} s/GiB, its receiver ${loop_mrcpu[-1]}), with -J" \
    "${loop_j[-1]} MiB/s (${loop_jcpu[-1]} s/GiB); socat -b 1 MiB ${loop_sb[-1]} MiB/s (${loop_sbcpu[-1]} s/GiB," \
    "its receiver ${loop_sbrcpu[-1]}), socat ${loop_s[-1]} MiB/s (${loop_scpu[-1]} s/GiB)"
done
# Sender and receiver together, per run.
loop_msum=() loop_sbsum=()
for k in "${!loop_mcpu[@]}"; do
  loop_msum+=("$(calc "${loop_mcpu[k]} + ${loop_mrcpu[k]}" 3)") loop_sbsum+=("$(calc "${loop_sbcpu[k]} + ${loop_sbrcpu[k]}" 3)")
done
for k in loop_m loop_s loop_sb loop_j; do
  declare -n values=$k
  results[$k]=$(printf '%s\n' "${values[@]}" | median)
done
# Peak memory, from runs of its own (see the top).
run_meter=rss moxtil_run "$work/p256" "" "" 127.0.0.2 lo "$(free_port_base 31000 32960)"
loop_rss+=("$run_rss")
run_meter=rss run_options="-J$work/record.jsonl" moxtil_run "$work/p256" "" "" 127.0.0.2 lo \
  "$(free_port_base 31000 32960)"
loop_rss+=("$run_rss")
results[rss]=$(printf '%s\n' "${loop_rss[@]}" | sort -g | tail -n 1)

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
    socat) socat_run "$work/p256" "" "" 127.0.0.1 127.0.0.2 "$(free_port_base 31000 32960)" -b 1048576 ;;
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
start=$EPOCHREALTIME
perf stat -e task-clock -x, -o "$work/idle.perf" -- "$moxtil" "$work/loader.b" "$work/idcode.sys" "$work/p64" -T10 -ilo \
  -D127.0.0.2 "-B$base" >"$work/idle.log" || true
wall=$(calc "$EPOCHREALTIME - $start" 6)
grep -q -- '-1 time out' "$work/idle.log" || { echo "bench: the idle run did not end on its time-out" >&2; exit 1; }
results[idle]=$(calc "100 * $(cpu_of "$work/idle.perf") / $wall" 3)

shaped=no
shape_note="not run: needs root and network namespaces"
if [ "$(id -u)" -eq 0 ] && ip netns add "mxb$$-h" 2>/dev/null; then
  h=mxb$$-h t=mxb$$-t
  namespaces+=("$h" "$t")
  ip netns add "$t"
  ip link add "$h-v" netns "$h" type veth peer name "$t-v" netns "$t"
  ip -n "$h" addr add 169.254.88.1/24 dev "$h-v"
  # Ten target addresses, 169.254.88.2 to .11, behind the one link, each on
  # a macvlan of its own: ten devices have ten hardware addresses, and moxtil
  # takes one address's for a device that started over from another address.
  # Each answers ARP for its own address alone and sends from its own.
  ip netns exec "$t" sysctl -qw net.ipv4.conf.all.arp_ignore=1 net.ipv4.conf.all.rp_filter=0 \
    net.ipv4.conf.default.rp_filter=0
  for k in $(seq 2 11); do
    ip -n "$t" link add "$t-m$k" link "$t-v" type macvlan mode private
    ip -n "$t" addr add "169.254.88.$k/24" dev "$t-m$k"
    ip -n "$t" link set "$t-m$k" up
    ip -n "$t" rule add from "169.254.88.$k" table $((100 + k))
    ip -n "$t" route add 169.254.88.0/24 dev "$t-m$k" src "169.254.88.$k" table $((100 + k))
  done
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
  echo "--- shaped link ($shape_note): one target 64 MiB, ten targets 8 MiB each, $runs rounds"
  shp_m=() shp_mcpu=() shp_b=() shp_bcpu=() shp_s=() shp_scpu=() shp_ten=() ten_rss=()
  # A base of its own per run, as on loopback.
  shaped_moxtil() {
    moxtil_run "$work/p64" "ip netns exec $h" "ip netns exec $t" 169.254.88.2 "$h-v" $((10000 + 40 * i))
    shp_m+=("$(calc "64 / $run_t" 2)") shp_mcpu+=("$(calc "$run_cpu * 16" 3)")
    if [ -n "${BASELINE:-}" ]; then
      moxtil_run "$work/p64" "ip netns exec $h" "ip netns exec $t" 169.254.88.2 "$h-v" $((10400 + 40 * i)) "$BASELINE"
      shp_b+=("$(calc "64 / $run_t" 2)") shp_bcpu+=("$(calc "$run_cpu * 16" 3)")
    fi
  }
  shaped_socat() {
    socat_run "$work/p64" "ip netns exec $h" "ip netns exec $t" 169.254.88.1 169.254.88.2 $((9000 + 40 * i)) -b 1048576
    shp_s+=("$(calc "64 / $run_t" 2)") shp_scpu+=("$(calc "$run_cpu * 16" 3)")
  }
  for i in $(seq "$runs"); do
    if [ $((i % 2)) = 1 ]; then shaped_moxtil; shaped_socat; else shaped_socat; shaped_moxtil; fi
    ten_run $((10800 + 40 * i))
    shp_ten+=("$run_rate") ten_rss+=("$run_rss")
    echo "round $i: moxtil ${shp_m[-1]} MiB/s (${shp_mcpu[-1]} s/GiB), socat ${shp_s[-1]} MiB/s" \
      "(${shp_scpu[-1]} s/GiB), ten targets ${shp_ten[-1]} MiB/s (peak ${ten_rss[-1]} KiB)"
  done
  for k in shp_m shp_s shp_ten; do
    declare -n values=$k
    results[$k]=$(printf '%s\n' "${values[@]}" | median)
  done
  results[ten_rss]=$(printf '%s\n' "${ten_rss[@]}" | sort -g | tail -n 1)
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
# "median (least to most)" of the figures, with the decimals given.
cell() {  # decimals figures...
  local d=$1
  shift
  printf '%s\n' "$@" | sort -g | awk -v d="$d" '{v[NR] = $1} END {
    f = "%." d "f"; printf f " (" f " to " f ")", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[1], v[NR]}'
}
# One figure a round: a / b (or a - b), of two arrays filled round by round.
per_round() {  # / or - array-a array-b
  local -n ra=$2 rb=$3
  local k
  for k in "${!ra[@]}"; do
    awk -v a="${ra[k]}" -v b="${rb[k]}" -v op="$1" 'BEGIN {printf "%.4f\n", op == "/" ? a / (b > 0 ? b : 0.001) : a - b}'
  done
}
# "least..median..most" of the figures on standard input.
span() {  # [decimals]
  sort -g | awk -v d="${1:-2}" '{v[NR] = $1} END {
    f = "%." d "f"; printf f ".." f ".." f, v[1], (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[NR]}'
}
# A goal's verdict from the figures of every round (standard input): met or
# NOT met only where all rounds agree.
verdict_spread() {  # <= or >= goal
  sort -g | awk -v op="$1" -v g="$2" '{v[NR] = $1} END {lo = v[1]; hi = v[NR]
    if ((op == "<=" && hi <= g) || (op == ">=" && lo >= g)) print "met"
    else if ((op == "<=" && lo > g) || (op == ">=" && hi < g)) print "NOT met"
    else printf "no verdict: the rounds spread from %.3f to %.3f, across the goal\n", lo, hi}'
}
{
  echo "# Benchmark results"
  echo
  echo "Made by \`bench/bench.sh $runs\` on $(date -u +%Y-%m-%d): $cpu_model, $(nproc) cores, Linux $(uname -r)."
  echo "$runs rounds, moxtil and socat in turn (moxtil first in odd rounds, socat first in even ones). Every CPU"
  echo "figure is the task clock of one process alone (\`perf stat -e task-clock\`) over its whole life: the"
  echo "median of the rounds, and in brackets the least and the most. \"moxtil / socat\" is the quotient within"
  echo "each round, as least..median..most, and a goal is called met or not only where every round says so."
  echo "Both senders stream into the same receiver, the target simulator reading 1 MiB at a time: moxtil's"
  echo "program into an update's target (\`--count-only\`), socat's stream (\`socat -u -b 1048576 FILE:...\`"
  echo "\`TCP-LISTEN:...\`) into a \`--raw\` target that connects to it and reads the same way. Moxtil's speed is"
  echo "its own time from the first byte of the program to the last acknowledgement (the \"program to\" line;"
  echo "the protocol's 1 s and 5 s waits are left out), with its log going into a pipe as the update app reads"
  echo "it; socat's is the receiver's, from the first byte to the last. Every run reads its file once first,"
  echo "so that it comes from the page cache."
  echo
  base_label=${BASELINE_LABEL:-${BASELINE:-}}
  [ -n "${BASELINE:-}" ] || base_label="(no baseline run)"
  bcell() { if [ -n "${BASELINE:-}" ]; then local -n bv=$2; cell "$1" "${bv[@]}"; else echo "-"; fi; }
  per() { calc "$1 / ($2 > 0 ? $2 : 0.001)" "${3:-2}"; }
  loop_jadd=() loop_bjadd=()
  mapfile -t loop_jadd < <(per_round - loop_jcpu loop_mcpu)
  # shellcheck disable=SC2034  # loop_bjadd is read through bcell's name
  [ -n "${BASELINE:-}" ] && mapfile -t loop_bjadd < <(per_round - loop_bjcpu loop_bcpu)
  echo "| Measurement | moxtil | socat -b 1048576 | moxtil / socat | $base_label | goal |"
  echo "|---|---|---|---|---|---|"
  echo "| CPU seconds per GiB sent, loopback, 256 MiB (the sender's task clock) | $(cell 3 "${loop_mcpu[@]}") | $(cell 3 "${loop_sbcpu[@]}") | $(per_round / loop_mcpu loop_sbcpu | span) | $(bcell 3 loop_bcpu) | <= 0.75 of socat: $(per_round / loop_mcpu loop_sbcpu | verdict_spread '<=' 0.75) |"
  echo "| CPU seconds per GiB of the receiver (the same simulator for both) | $(cell 3 "${loop_mrcpu[@]}") | $(cell 3 "${loop_sbrcpu[@]}") | $(per_round / loop_mrcpu loop_sbrcpu | span) | | reported |"
  echo "| CPU seconds per GiB of sender and receiver together (on loopback either may run the other's TCP work) | $(cell 3 "${loop_msum[@]}") | $(cell 3 "${loop_sbsum[@]}") | $(per_round / loop_msum loop_sbsum | span) | | reported |"
  echo "| CPU seconds per GiB with -J (the program hashed once for the record, then sent by the kernel) | $(cell 3 "${loop_jcpu[@]}") | $(cell 3 "${loop_sbcpu[@]}") | $(per_round / loop_jcpu loop_sbcpu | span) | $(bcell 3 loop_bjcpu) | - |"
  echo "| CPU seconds per GiB that -J adds (the -J run less the one without, within each round) | $(cell 3 "${loop_jadd[@]}") | | | $(bcell 3 loop_bjadd) | <= 1: $(printf '%s\n' "${loop_jadd[@]}" | verdict_spread '<=' 1) |"
  echo "| loopback speed, 256 MiB (MiB/s) | $(cell 1 "${loop_m[@]}") | $(cell 1 "${loop_sb[@]}") | $(per_round / loop_m loop_sb | span 3) | $(bcell 1 loop_b) | reported |"
  echo "| loopback speed with -J (MiB/s) | $(cell 1 "${loop_j[@]}") | $(cell 1 "${loop_sb[@]}") | $(per_round / loop_j loop_sb | span 3) | $(bcell 1 loop_bj) | reported |"
  echo "| against socat's default 8 KiB blocks: CPU seconds per GiB | $(cell 3 "${loop_mcpu[@]}") | $(cell 3 "${loop_scpu[@]}") (8 KiB) | $(per_round / loop_mcpu loop_scpu | span) | | reported |"
  echo "| against socat's default 8 KiB blocks: MiB/s | ${results[loop_m]} | ${results[loop_s]} (8 KiB) | $(per_round / loop_m loop_s | span 3) | | reported |"
  if [ "$shaped" = yes ]; then
    shp_tens=()
    mapfile -t shp_tens < <(per_round / shp_ten shp_s)
    echo "| shaped link, one target, 64 MiB (MiB/s) | $(cell 2 "${shp_m[@]}") | $(cell 2 "${shp_s[@]}") | $(per_round / shp_m shp_s | span 3) | $(bcell 2 shp_b) | >= 0.98: $(per_round / shp_m shp_s | verdict_spread '>=' 0.98) |"
    echo "| shaped link, ten targets with -M10, 8 MiB each: the link's rate while programs flow (MiB/s) | $(cell 2 "${shp_ten[@]}") | $(cell 2 "${shp_s[@]}") (one stream) | $(printf '%s\n' "${shp_tens[@]}" | span 3) | | >= 0.98: $(printf '%s\n' "${shp_tens[@]}" | verdict_spread '>=' 0.98) |"
    echo "| CPU seconds per GiB sent on the shaped link, one target (the sender's task clock) | $(cell 3 "${shp_mcpu[@]}") | $(cell 3 "${shp_scpu[@]}") | $(per_round / shp_mcpu shp_scpu | span) | $(bcell 3 shp_bcpu) | reported |"
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
  echo "station's cores. On loopback the receiver sets the pace and either process may run the other's"
  echo "TCP work in its softirq (see below), so speed there says little of a real link, and a copy through"
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
  echo "within minutes: the table gives each figure's spread over the rounds, not only its median."
  if [ "$shaped" = yes ]; then
    echo "Shaped link: $shape_note."
  fi
  echo "Moxtil's CPU is that of the whole process over the update (the protocol's waits cost none), socat's"
  echo "that of the sending socat over its life. Peak memory, one target, is the larger of two runs of their"
  echo "own, with and without -J; with ten, the largest of the shaped link's runs."
  echo
  echo "## How CPU is measured, and why earlier tables differed"
  echo
  echo "Tables made before this measure timed socat's sender with bash's \`time\`, whose user and system"
  echo "seconds are getrusage(RUSAGE_CHILDREN) differences. The socat receiver was a background child of"
  echo "the same shell and ended with the stream, so the shell reaped it inside the timed interval and its"
  echo "CPU counted as the sender's; moxtil was timed by \`/usr/bin/time\` (wait4), itself alone. Each"
  echo "process measured apart (wait4 of each, 8 alternating pairs, 256 MiB, this machine busy): with the"
  echo "receiver a child of the timing shell, \`time\` gave 0.634 s/GiB (0.60 to 0.72) for a sender that used"
  echo "0.373 itself, and the 0.261 between them was the receiver's 0.248; with the receiver detached from"
  echo "that shell, 0.371 against 0.363. The 0.828 s/GiB of socat in those tables was thus a sender and its"
  echo "receiver, the 0.44 of moxtil a sender alone, and their 0.53 compared the two."
  echo
  echo "The second cause moves a sender's own figure from run to run: on loopback the receiving side's TCP"
  echo "work runs in the softirq of whichever process sends a packet, and an acknowledgement that the"
  echo "receiver sends lets the receiver transmit data queued by the sender, in its own context. Which"
  echo "process pays depends on where the scheduler puts the two. Pinned with taskset (4 alternating rounds"
  echo "each, the task clock of each process, the machine busy): moxtil's sender on its receiver's core"
  echo "took 0.25 to 0.27 s/GiB (its receiver 0.41 to 0.44), on the other core 0.48 to 0.64 (receiver 0.22"
  echo "to 0.25); socat's sender, which copies the data itself, 0.36 to 0.44 on the receiver's core and 0.43"
  echo "to 0.50 on the other. Sampled (perf record), moxtil's sender on the other core spent 16 % of its"
  echo "samples in net_rx_action and 37 % under tcp_write_xmit, on the receiver's core 3 % and 13 %. Left"
  echo "to the scheduler, the placement follows the load on the other core: here, busy, moxtil's sender took"
  echo "0.17 to 0.36 s/GiB (near its figures on one core, a quotient to socat of about 0.7); on a quiet machine"
  echo "of the same kind a second measurer found 0.18 to 0.46 and a median quotient of 1.14 over nine rounds"
  echo "(nearer its figures on two cores), while socat's sender stayed within 0.3 to 0.5 in both. The"
  echo "receiver's kind changed socat's sender little (6 alternating rounds: 0.38 to 0.45 s/GiB into the"
  echo "simulator, 0.44 to 0.47 into a socat receiver); the two files came from the page cache, and this"
  echo "virtual machine's clock does not scale. Hence the measure above: each process's own task clock,"
  echo "one receiver for both, alternating rounds, spreads, and the receiver's CPU and the sum of both"
  echo "beside the sender's."
  echo
  # The soak's figures (bench/soak.sh) stay as that script's last run left them.
  sed -n '/^## Soak/,$p' "$root/bench/RESULTS.md"
} >"$work/results.md"
cp "$work/results.md" "$root/bench/RESULTS.md"
echo
cat "$root/bench/RESULTS.md"

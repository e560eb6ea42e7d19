# Shell helpers shared by the demo, the benchmark and the shell tests (the
# namespaces, the terminal, the package); source it.

# A test's verdicts: skip (exit 77, which CTest reports as skipped), a failure
# told and counted (failed, which the test's end turns into its exit value),
# or one that ends the test at once (die).
failed=0
skip() { echo "SKIPPED: $*"; [ -n "${work:-}" ] && rm -rf "$work"; exit 77; }
fail() { echo "FAILED: $*"; failed=1; }
die() { echo "FAILED: $*"; exit 1; }

# Installs what is missing (scripts/setup.sh), then configures a Release
# build without tests in the directory and builds moxtil and the target
# simulator there; "quiet" leaves out the build's progress lines.
build_moxtil_and_sim() {  # dir [quiet]
  local top
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  "$top/scripts/setup.sh"
  cmake -S "$top" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMOXTIL_BUILD_TESTS=OFF >/dev/null
  if [ "${2:-}" = quiet ]; then
    cmake --build "$1" --target moxtil target-sim >/dev/null
  else
    cmake --build "$1" --target moxtil target-sim
  fi
}

# Prints the value of key=value in a simulator report line; nothing when the
# line has no such key.
field() {  # key report-line
  sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"
}

# Prints the first port base from $1 to $2 (steps of 40) whose UDP/TCP ports
# base+10 and base+11 no socket uses, so that nothing else listens or takes
# the datagrams there. Fails when none is.
free_port_base() {  # first last
  local b
  for b in $(seq "$1" 40 "$2"); do
    if [ -z "$(ss -Htanu "( sport = :$((b + 10)) or sport = :$((b + 11)) )")" ]; then
      echo "$b"
      return 0
    fi
  done
  echo "no free port base in $1-$2" >&2
  return 1
}

# Waits up to the given seconds (default 5) for a line matching the pattern
# in the file.
wait_for_line() {  # file pattern [seconds]
  local _
  for _ in $(seq $((${3:-5} * 20))); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "no '$2' in $1: $(cat "$1" 2>/dev/null)" >&2
  return 1
}

# The arguments of a test script that runs moxtil against the simulator:
# <moxtil> <target-sim> [launcher words...] (e.g. qemu-arm for a cross-built
# moxtil); MOXTIL_E2E_BIN and MOXTIL_E2E_LAUNCHER override the moxtil and the
# launcher given. Sets moxtil, sim and launcher.
take_test_args() {  # moxtil sim [launcher...]
  moxtil=${MOXTIL_E2E_BIN:-$1}
  sim=$2
  shift 2
  launcher=("$@")
  if [ -n "${MOXTIL_E2E_LAUNCHER:-}" ]; then read -r -a launcher <<<"$MOXTIL_E2E_LAUNCHER"; fi
}

# Prints the paths that the FILES section of a manual page (plain or
# compressed) names, one a line: where the installed files are said to be.
manpage_files() {  # page
  env -u MAN_KEEP_FORMATTING LC_ALL=C MANWIDTH=80 man -l "$1" 2>/dev/null | col -bx |
    sed -n '/^FILES$/,/^[A-Z]/{s|^       \(/[^ ]*\)$|\1|p}'
}

# Network namespaces for a station and its devices, nothing of which leaves
# them: <tag>-host, and <tag>-t1 to <tag>-t<count> with device k at
# 169.254.8k.2 (hardware address 02:00:00:00:08:0k) behind a veth link of its
# own, which reaches the station at 169.254.8k.1. With several devices the
# station's ends <tag>-h<k> are ports of one bridge, <tag>-br, the station's
# one interface, as a switch would be: it has the address 169.254.8k.1/24 of
# each. The bridge learns no addresses (a hub): devices given one cloned MAC
# would otherwise take each other's frames. With one device the station's
# interface is the link's end <tag>-h1.
# Sets station_if to the interface. Fails when a namespace cannot be made;
# remove_station takes them away again.
make_station() {  # tag count
  local tag=$1 count=$2 k
  ip netns add "$tag-host" || return 1
  ip -n "$tag-host" link set lo up
  station_if=$tag-h1
  if [ "$count" -gt 1 ]; then
    station_if=$tag-br
    ip -n "$tag-host" link add "$station_if" type bridge ageing_time 0 &&
      ip -n "$tag-host" link set "$station_if" up || return 1
  fi
  for k in $(seq "$count"); do
    ip netns add "$tag-t$k" && ip -n "$tag-t$k" link set lo up && make_link "$tag" "$k" || return 1
  done
}
# The veth link of device k of a station (make_station), made again as it
# was: for a test that takes it away (an adapter unplugged and plugged back).
make_link() {  # tag k
  local tag=$1 k=$2 bridged=
  ip -n "$tag-host" link show "$tag-br" >/dev/null 2>&1 && bridged=1
  ip link add "$tag-h$k" netns "$tag-host" type veth peer name "$tag-t$k" netns "$tag-t$k" &&
    ip -n "$tag-t$k" link set "$tag-t$k" address "02:00:00:00:08:0$k" &&
    if [ -n "$bridged" ]; then
      ip -n "$tag-host" link set "$tag-h$k" master "$tag-br" &&
        { ip -n "$tag-host" addr show dev "$tag-br" | grep -q "169.254.8$k.1/" ||
          ip -n "$tag-host" addr add "169.254.8$k.1/24" dev "$tag-br"; }
    else
      ip -n "$tag-host" addr add "169.254.8$k.1/24" dev "$tag-h$k"
    fi &&
    ip -n "$tag-t$k" addr add "169.254.8$k.2/24" dev "$tag-t$k" &&
    ip -n "$tag-host" link set "$tag-h$k" up &&
    ip -n "$tag-t$k" link set "$tag-t$k" up
}
remove_station() {  # tag count
  local k
  for k in $(seq "$2"); do ip netns del "$1-t$k" 2>/dev/null; done
  ip netns del "$1-host" 2>/dev/null
  return 0
}

# The start of a test on a station's namespaces (make_station): sets tag,
# host_ns, work (a folder of its own), pids (to kill at the end) and failed;
# skip, fail and the clean-up at exit are set up, and the namespaces made.
# Exits 77 (skipped) where namespaces cannot be made.
begin_station_test() {  # tag count
  tag=$1
  station_count=$2
  host_ns=$tag-host
  work=$(mktemp -d)
  pids=()
  failed=0
  [ "$(id -u)" -eq 0 ] || skip "network namespaces need root"
  command -v ip >/dev/null || skip "no ip command (iproute2)"
  ip netns add "$tag-probe" 2>/dev/null || skip "cannot create network namespaces here"
  ip netns del "$tag-probe"
  trap end_station_test EXIT
  make_station "$tag" "$station_count" || { echo "FAILED: the station's namespaces"; exit 1; }
}
end_station_test() {
  [ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2>/dev/null
  remove_station "$tag" "$station_count"
  rm -rf "$work"
}
# Starts the simulated device k of the station (begin_station_test), which
# connects at once to the station's end of its link, for at most `limit`
# seconds; its report goes to $work/sim<k>.log.
station_device() {  # k limit simulator options...
  local k=$1 limit=$2
  shift 2
  ip netns exec "$tag-t$k" "$sim" --address "169.254.8$k.2" --host "169.254.8$k.1" --base 10000 \
    --time-limit "$limit" --connect-retry 30 "$@" >"$work/sim$k.log" 2>&1 &
  pids+=("$!")
}

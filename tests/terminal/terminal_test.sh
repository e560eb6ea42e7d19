#!/usr/bin/env bash
# Moxtil on a person's terminal: the real binary in a tmux window against the
# simulator on loopback, the screen read with capture-pane while it runs and
# after it ended. Progress is one live line redrawn in place and cleared
# before the end; every other line stays, failures in red and the finish in
# green unless NO_COLOR is set; with TERM=dumb the lines are as in a pipe.
#   terminal_test.sh <moxtil> <target-sim> [launcher words...]
# Exit 77 (skipped) where tmux or socat is not installed.
set -u
. "$(dirname "$0")/../../scripts/lib.sh" || { echo "FAILED: no scripts/lib.sh beside the tests"; exit 1; }
take_test_args "$@"

command -v tmux >/dev/null || skip "no tmux"
command -v socat >/dev/null || skip "no socat (it holds the port block)"

work=$(mktemp -d)
tmux=(tmux -L "moxtil-terminal-$$" -f /dev/null)  # a server of our own, no user settings
sim_pid=
hold_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  "${tmux[@]}" kill-server 2>/dev/null
  [ -n "$hold_pid" ] && kill "$hold_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A block of 20 ports from 32000-32720, above the end-to-end tests' blocks and
# below the ephemeral ports, held like the end-to-end tests hold theirs (an
# abstract socket named after it), so that another variant running this test
# at the same time does not take it. Sets base.
base=
for b in $(seq 32000 40 32720); do
  [ -z "$(ss -Htanu "( sport >= :$((b + 10)) and sport <= :$((b + 17)) )")" ] || continue
  socat "ABSTRACT-LISTEN:moxtil-test-ports-$b" /dev/null 2>/dev/null &
  hold_pid=$!
  for _ in $(seq 40); do
    ss -Hxlp | grep -q "@moxtil-test-ports-$b .*pid=$hold_pid," && base=$b && break 2
    kill -0 "$hold_pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$hold_pid" 2>/dev/null
  hold_pid=
done
[ -n "$base" ] || { echo "FAILED: no free port block in 32000-32720"; exit 1; }

head -c 65536 /dev/urandom >"$work/loader.b"
printf 'ID%08d' 4711 >"$work/idcode.sys"
head -c $((8 << 20)) /dev/urandom >"$work/target.bin"

# The live line: address, percent, bytes done of due, MiB/s, time left.
live_re='^127\.0\.0\.2 +([0-9]+) %  ([0-9.]+) of ([0-9.]+) MiB  ([0-9.]+|--) MiB/s  ([0-9]+:[0-9][0-9]|--:--) left$'

# One update on the window's terminal, the target taking the program at
# 1 MB/s. The screen is sampled while it runs; a live line with its figures
# goes to $name.live, the screen after moxtil ended to $name.screen (and with
# its colours, capture-pane -e, to $name.colours).
#   run_case <name> <port offset> <environment words...> -- <simulator options...>
run_case() {
  local name=$1 offset=$2
  shift 2
  local env_words=()
  while [ "$1" != -- ]; do env_words+=("$1"); shift; done
  shift
  local b=$((base + offset))
  "$sim" --address 127.0.0.2 --base "$b" --time-limit 60 --program-rate 1000000 "$@" >"$work/$name-sim.log" 2>&1 &
  sim_pid=$!
  wait_for_line "$work/$name-sim.log" '^ready' 10 2>/dev/null || { fail "$name: simulator not ready"; return; }
  {
    printf 'env -u NO_COLOR'
    printf ' %q' "${env_words[@]}" "${launcher[@]}" "$moxtil" "$work/loader.b" "$work/idcode.sys" \
      "$work/target.bin" -R -T30 -ilo -D127.0.0.2 "-B$b"
    printf ' 2>%q\n' "$work/$name.stderr"
    printf 'echo $? >%q\n' "$work/$name.exit"
    echo 'exec sleep 300'  # the window stays as moxtil left it
  } >"$work/$name.sh"
  "${tmux[@]}" new-session -d -s "$name" -x 200 -y 50 "sh $work/$name.sh"
  local _
  for _ in $(seq 1200); do  # at most a minute
    [ -s "$work/$name.exit" ] && break
    "${tmux[@]}" capture-pane -p -t "$name" | grep -E "$live_re" >>"$work/$name.live"
    sleep 0.05
  done
  "${tmux[@]}" capture-pane -p -t "$name" >"$work/$name.screen"
  "${tmux[@]}" capture-pane -p -e -t "$name" >"$work/$name.colours"
  wait "$sim_pid"
  sim_pid=
  echo "--- $name: the screen's last lines at the end (moxtil exit $(cat "$work/$name.exit" 2>/dev/null))"
  sed '/^$/d' "$work/$name.screen" | tail -n 12
  echo "--- $name: live lines seen: $(sort -u "$work/$name.live" 2>/dev/null | wc -l)"
  sort -u "$work/$name.live" 2>/dev/null | head -n 3
  [ -s "$work/$name.stderr" ] && { echo "--- $name: moxtil's stderr"; cat "$work/$name.stderr"; }
  [ "$(cat "$work/$name.exit" 2>/dev/null)" = 0 ] || fail "$name: moxtil exit $(cat "$work/$name.exit" 2>/dev/null)"
}

screen_has() {  # name, line (exact)
  grep -qxF -- "$2" "$work/$1.screen" || fail "$1: no line '$2' on the screen"
}
screen_has_re() {  # name, extended regular expression
  grep -qE -- "$2" "$work/$1.screen" || fail "$1: no line matching '$2' on the screen"
}
screen_lacks_re() {  # name, extended regular expression
  ! grep -qE -- "$2" "$work/$1.screen" || fail "$1: a line matching '$2' is on the screen"
}
last_line_is_re() {  # name, extended regular expression: the screen ends with it
  sed '/^$/d' "$work/$1.screen" | tail -n 1 | grep -qE -- "$2" || fail "$1: the screen does not end with '$2'"
}
# A live line was seen mid-way with figures that agree: percent of the bytes
# due, a rate and a time left.
live_seen() {  # name, bytes due as shown ("8.0")
  local line ok=0
  while IFS= read -r line; do
    [[ $line =~ $live_re ]] || continue
    local percent=${BASH_REMATCH[1]} done=${BASH_REMATCH[2]} due=${BASH_REMATCH[3]} rate=${BASH_REMATCH[4]}
    [ "$due" = "$2" ] || { fail "$1: live line with $due MiB due: $line"; continue; }
    if [ "$percent" -ge 100 ] || [ "$rate" = -- ]; then continue; fi  # not mid-way yet, or done
    # done is rounded to a tenth of a MiB: at most 1.25 % off the percent.
    awk -v p="$percent" -v d="$done" -v t="$due" 'BEGIN { x = 100 * d / t - p; exit !(x > -2 && x < 2) }' \
      || { fail "$1: live line percent and bytes disagree: $line"; continue; }
    ok=1
  done <"$work/$1.live"
  [ "$ok" = 1 ] || fail "$1: no live line with figures while the program was sent"
}
progress_re='^D/moxtil: [0-9]{3} %$'
esc=$'\033'

# A finished update: banner, connect, finish (green) and the program's
# figures stay; no progress line and no live line are left.
run_case finish 0 --
live_seen finish 8.0
screen_has_re finish '^D/moxtil: Network program loading\(MOXTIL\) version [0-9.]+$'
screen_has finish 'D/moxtil: 000 % connect'
screen_has finish 'D/moxtil: 100 % finish'
screen_lacks_re finish "$progress_re"
screen_lacks_re finish '^127\.0\.0\.2 '
last_line_is_re finish '^D/moxtil: program to 127\.0\.0\.2:[0-9]+: 8388608 bytes in [0-9.]+ s \([0-9.]+ MiB/s\)$'
grep -qF "${esc}[32mD/moxtil: 100 % finish" "$work/finish.colours" || fail "finish: the finish line is not green"
[ "$(grep -c "${esc}\[3[12]m" "$work/finish.colours")" = 1 ] || fail "finish: another line is coloured"

# A target that dies halfway: the failure line (red) stays at the end, after
# the live line was shown and cleared.
run_case reset 2 -- --reset-program-after 2097152
live_seen reset 8.0
screen_has reset 'D/moxtil: 000 % Now erasing'
screen_lacks_re reset "$progress_re"
screen_lacks_re reset '^127\.0\.0\.2 '
last_line_is_re reset '^D/moxtil: -1 \*\*\*\*\*ERROR\*\*\*\*\*$'
grep -qF "${esc}[31mD/moxtil: -1 *****ERROR*****" "$work/reset.colours" || fail "reset: the failure line is not red"
[ "$(grep -c "${esc}\[3[12]m" "$work/reset.colours")" = 1 ] || fail "reset: another line is coloured"

# NO_COLOR: the same view, no colour anywhere.
run_case nocolour 4 NO_COLOR=1 -- --reset-program-after 2097152
live_seen nocolour 8.0
last_line_is_re nocolour '^D/moxtil: -1 \*\*\*\*\*ERROR\*\*\*\*\*$'
! grep -qF "$esc" "$work/nocolour.colours" || fail "nocolour: escape sequences on the screen"

# TERM=dumb: the lines of a pipe, progress lines and all, no live line.
run_case dumb 6 TERM=dumb -- --reset-program-after 1048576
[ ! -s "$work/dumb.live" ] || fail "dumb: a live line was drawn"
screen_has_re dumb "$progress_re"
last_line_is_re dumb '^D/moxtil: -1 \*\*\*\*\*ERROR\*\*\*\*\*$'
! grep -qF "$esc" "$work/dumb.colours" || fail "dumb: escape sequences on the screen"

[ "$failed" = 0 ] || exit 1
echo "PASSED"

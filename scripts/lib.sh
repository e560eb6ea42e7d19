# Shell helpers shared by the demo and the benchmark; source it.

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

# Waits up to 5 s for a line matching the pattern in the file.
wait_for_line() {  # file pattern
  local _
  for _ in $(seq 100); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "no '$2' in $1: $(cat "$1" 2>/dev/null)" >&2
  return 1
}

#!/usr/bin/env bash
# Installs every Debian package that building, testing, the demo and the
# benchmarks need. Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev googletest        # unit and end-to-end tests
  nlohmann-json3-dev python3     # the tests read the record (-J)
  libcli11-dev libssl-dev        # the target simulator's options and checksums
  nettle-dev                     # SHA-256 of the record (-J)
  iproute2                       # network namespaces for the broadcast test
  clang libclang-rt-14-dev       # fuzzing
  g++-arm-linux-gnueabihf qemu-user  # 32-bit ARM build, tests run under qemu
  nettle-dev:armhf               # the ARM build's static libnettle.a (multiarch)
  android-liblog-dev             # the liblog build
  socat time                     # benchmark baseline and its measurements; the terminal test's port block
  strace linux-perf              # the benchmark's profile (system calls counted, CPU sampled)
  tmux                           # the terminal test reads moxtil's screen through it
  jq                             # the manual page's examples over a record (the identity test)
  file                           # shows what a cross build made
  dpkg-dev                       # the Debian package: its dependencies and architecture
  groff-base man-db bsdextrautils  # the manual page rendered and checked (groff, man, col)
)

# The ARM build links the armhf nettle, which dpkg installs only once it
# knows the architecture.
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: need root to add the armhf architecture (dpkg --add-architecture armhf)" >&2
    exit 1
  fi
  dpkg --add-architecture armhf
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: need root to install: ${missing[*]}" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi
